#include <windows.h>

#include <cstdint>

#include "ui/texts.h"

namespace {

// Outside this range Ms1900ToFileTime would wrap around and name a wrong date
// instead of failing; FILETIME covers 1601 up to 2^63 - 1 units of 100 ns.
constexpr Ms1900 kFirstConvertibleMs = -kMs1601To1900;
constexpr Ms1900 kLastConvertibleMs =
    INT64_MAX / kFileTimeUnitsPerMs - kMs1601To1900;

}  // namespace

void FormatLocalTimestamp(Ms1900 time, char* out) {
  // A time the platform cannot convert shows as nothing rather than as a
  // made-up date; callers pass the current time or a stored correction time.
  out[0] = '\0';
  if (time < kFirstConvertibleMs || time > kLastConvertibleMs) return;

  const uint64_t fileTime = Ms1900ToFileTime(time);
  FILETIME utc;
  utc.dwLowDateTime = static_cast<DWORD>(fileTime);
  utc.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
  // The bias and daylight rule in force now apply, not those at that time.
  FILETIME local;
  SYSTEMTIME fields;
  if (!FileTimeToLocalFileTime(&utc, &local) ||
      !FileTimeToSystemTime(&local, &fields)) {
    return;
  }
  FormatClockFields({fields.wYear, fields.wMonth, fields.wDay, fields.wHour,
                     fields.wMinute, fields.wSecond},
                    out);
}
