#include "ui/texts.h"

#include <cstdio>
#include <cstring>

namespace {

struct OffsetUnit {
  uint64_t belowMs;  // the unit serves magnitudes below this
  uint64_t divisor;  // ms per tenth of a second, or per thousandth of the unit
  uint64_t point;    // the decimal point follows the digit worth this much
  char letter;
};

// Chosen by the magnitude before rounding, so 119,950 ms reads "+120.0s"
// rather than "+2.00m".
constexpr OffsetUnit kOffsetUnits[] = {
    {120000, 10, 10, 's'},
    {7200000, 60, 100, 'm'},
    {172800000, 3600, 100, 'h'},
    {UINT64_MAX, 86400, 100, 'd'},
};

constexpr uint64_t kSecondsPerDay = 86400;
constexpr uint64_t kSecondsPerHour = 3600;
constexpr uint64_t kSecondsPerMinute = 60;

}  // namespace

void FormatOffset(OffsetMs value, char* out) {
  // Negating in unsigned arithmetic keeps -2^63 exact.
  uint64_t magnitude = static_cast<uint64_t>(value);
  if (value < 0) magnitude = 0 - magnitude;

  const OffsetUnit* unit = kOffsetUnits;
  while (magnitude >= unit->belowMs) ++unit;
  uint64_t rest = (magnitude / unit->divisor + 5) / 10;

  // Zero shows neither sign.
  *out++ = rest == 0 ? ' ' : value < 0 ? '-' : '+';
  uint64_t place = unit->point * 10;
  while (place <= rest) place *= 10;
  do {
    place /= 10;
    *out++ = static_cast<char>('0' + rest / place);
    rest %= place;
    if (place == unit->point) *out++ = '.';
  } while (place > 1);
  *out++ = unit->letter;
  *out = '\0';
}

OffsetMs ParseOffset(const char* text) {
  // Unsigned, so that a number too large for 64 bits wraps without overflow.
  uint64_t number = 0;
  bool decimals = false;
  uint32_t scale = 1000;  // ms per unit of the last digit read
  bool negative = false;
  for (; *text != '\0'; ++text) {
    const char c = *text;
    if (c >= '0' && c <= '9') {
      // Beyond the third decimal digits no longer count.
      if (scale > 1) {
        number = number * 10 + static_cast<uint64_t>(c - '0');
        if (decimals) scale /= 10;
      }
      continue;
    }
    switch (c) {
      case '.': decimals = true; break;
      case '-': negative = !negative; break;
      // A unit multiplies everything read so far, decimals included.
      case 'd': case 'D': number *= kSecondsPerDay; break;
      case 'h': case 'H': number *= kSecondsPerHour; break;
      case 'm': case 'M': number *= kSecondsPerMinute; break;
      default: break;
    }
  }
  uint64_t result = number * scale;
  if (negative) result = 0 - result;
  return static_cast<OffsetMs>(result);
}

namespace {

// The longest lag, "106751991167 days 23 hours 59 minutes behind", and its NUL.
constexpr int kLagSize = 48;
constexpr int kLagSizeText = kLagSize - 8;  // without " behind"

// "1 day", "0 hours": appended at out's end.
void AppendCount(char (&out)[kLagSizeText], uint64_t count, const char* unit) {
  size_t used = std::strlen(out);
  std::snprintf(out + used, sizeof out - used, "%s%llu %s%s", used ? " " : "",
                static_cast<unsigned long long>(count), unit, count == 1 ? "" : "s");
}

// "2 days 0 hours 3 minutes behind", in words the size and direction of a
// correction: a server ahead of this clock means the clock is behind.
void FormatLag(OffsetMs correction, char* out) {
  uint64_t seconds = static_cast<uint64_t>(correction);
  if (correction < 0) seconds = 0 - seconds;
  seconds /= 1000;
  char size[kLagSizeText] = "";
  const uint64_t days = seconds / kSecondsPerDay;
  const uint64_t hours = seconds % kSecondsPerDay / kSecondsPerHour;
  const uint64_t minutes = seconds % kSecondsPerHour / kSecondsPerMinute;
  if (days != 0) AppendCount(size, days, "day");
  if (days != 0 || hours != 0) AppendCount(size, hours, "hour");
  AppendCount(size, minutes, "minute");
  if (days == 0 && hours == 0) AppendCount(size, seconds % kSecondsPerMinute, "second");
  std::snprintf(out, kLagSize, "%s %s", size, correction >= 0 ? "behind" : "ahead");
}

}  // namespace

void DescribeCorrection(OffsetMs correction, char* out) {
  char lag[kLagSize];
  FormatLag(correction, lag);
  std::snprintf(out, kTextBufferSize, "The time servers say this clock is %s.", lag);
}

void FailureTip(CorrectionOutcome outcome, OffsetMs correction, char* out) {
  static const char kDetails[] = "  Double-click for details...";
  char reason[kTextBufferSize];
  switch (outcome) {
    case OutcomeGuardRefused:
    case OutcomeDeclined: {
      char lag[kLagSize];
      FormatLag(correction, lag);
      std::snprintf(reason, sizeof reason, "Not corrected: the clock is %s, more than allowed.", lag);
      break;
    }
    case OutcomePlatformRefused:
      std::snprintf(reason, sizeof reason, "Not corrected: Windows refused to set the clock.");
      break;
    case OutcomeClockChanged:
      std::snprintf(reason, sizeof reason, "Not corrected: the clock was changed during the pass.");
      break;
    default:
      std::snprintf(reason, sizeof reason, "Unsuccessful correction!");
      break;
  }
  std::snprintf(out, 2 * kTextBufferSize, "%s%s", reason, kDetails);
}

void FormatClockFields(const CalendarFields& local, char* out) {
  const unsigned hour12 = local.hour % 12 == 0 ? 12 : local.hour % 12;
  const char letter = local.hour < 12 ? 'a' : 'p';
  std::snprintf(out, kTextBufferSize, "%u:%02u:%02u%cm on %u/%u/%02u ", hour12,
                local.minute, local.second, letter, local.month, local.day,
                local.year % 100);
}
