#include <windows.h>

#include <cstdint>

#include "ui/texts.h"

namespace {

// Outside this range Ms1900ToFileTime would wrap around and name a wrong date
// instead of failing; FILETIME covers 1601 up to 2^63 - 1 units of 100 ns.
constexpr Ms1900 kFirstConvertibleMs = -kMs1601To1900;
constexpr Ms1900 kLastConvertibleMs =
    INT64_MAX / kFileTimeUnitsPerMs - kMs1601To1900;

// The local calendar fields at time. SystemTimeToTzSpecificLocalTime
// applies the bias for that date; FileTimeToLocalFileTime would apply today's.
bool LocalFields(Ms1900 time, SYSTEMTIME* local) {
  if (time < kFirstConvertibleMs || time > kLastConvertibleMs) return false;
  const uint64_t fileTime = Ms1900ToFileTime(time);
  FILETIME utc;
  utc.dwLowDateTime = static_cast<DWORD>(fileTime);
  utc.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
  SYSTEMTIME fields;
  return FileTimeToSystemTime(&utc, &fields) && SystemTimeToTzSpecificLocalTime(nullptr, &fields, local);
}

}  // namespace

void FormatLocalTimestamp(Ms1900 time, char* out) {
  // A time the platform cannot convert shows as nothing rather than as a
  // made-up date.
  out[0] = '\0';
  SYSTEMTIME fields;
  if (!LocalFields(time, &fields)) return;
  FormatClockFields({fields.wYear, fields.wMonth, fields.wDay, fields.wHour,
                     fields.wMinute, fields.wSecond},
                    out);
}

Ms1900 LocalTimeOf(Ms1900 time) {
  SYSTEMTIME fields;
  FILETIME local;
  if (!LocalFields(time, &fields) || !SystemTimeToFileTime(&fields, &local)) return time;
  return FileTimeToMs1900(static_cast<uint64_t>(local.dwHighDateTime) << 32 | local.dwLowDateTime);
}
