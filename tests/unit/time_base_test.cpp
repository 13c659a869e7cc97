#include "core/time_base.h"

#include <gtest/gtest.h>

TEST(TimeBase, FileTimesAndTicks) {
  // 116444736000000000 is 1970-01-01 in FILETIME units, 2,208,988,800 s after 1900.
  EXPECT_EQ(FileTimeToMs1900(116444736000009999ULL), 2208988800000LL);
  EXPECT_EQ(FileTimeToMs1900(0), -kMs1601To1900);
  // A round trip drops exactly the part below one millisecond.
  for (uint64_t ft : {116444736000009999ULL, 133500000012345678ULL, 1ULL})
    EXPECT_EQ(Ms1900ToFileTime(FileTimeToMs1900(ft)), ft - ft % 10000) << ft;
  // 1000 * 2^32 / f, truncated: 12,345,678,901 counts at 10 MHz are 1,234,567.89 ms, read as 1,234,565.
  EXPECT_EQ(TickFactorFor(3'579'545), 1199864u);
  EXPECT_EQ(TickFromCounter(12'345'678'901ULL, TickFactorFor(10'000'000)), 1234565u);
  EXPECT_EQ(TickFromCounter((uint64_t{1} << 32) * 1000 + 5, TickFactorFor(1000)), 5u);  // wraps at 2^32 ms
}

TEST(TimeBase, ServerSecondsAreReadInTheNearestEra) {
  constexpr int64_t kEra = int64_t{1} << 32;  // seconds
  const Ms1900 y2026 = 3'974'400'000'000, y2036 = kEra * 1000;  // 2036-02-07 06:28:16 UTC
  const struct { uint32_t seconds; Ms1900 localNow, expected; } cases[] = {
      {3'974'400'000u, y2026, 3'974'400'000'000},         // today: unchanged
      {0u, y2026, kEra * 1000},                           // a wrapped 0 ten years ahead, not 126 back
      {4'294'967'295u, y2036 - 500, (kEra - 1) * 1000},   // last second of the era
      {5u, y2036 - 2000, (kEra + 5) * 1000},              // server already wrapped
      {4'294'967'290u, y2036 + 3000, (kEra - 6) * 1000},  // local clock already wrapped
      {100u, (kEra * 3 + 50) * 1000, (kEra * 3 + 100) * 1000},
      // A clock of 1947 and a reading past 2027: nearer as 1891, before the epoch.
      {0xF0000000u, 1'500'000'000'000, (0xF0000000 - kEra) * 1000},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ServerTimeNear(c.seconds, c.localNow), c.expected) << c.seconds << " " << c.localNow;
}
