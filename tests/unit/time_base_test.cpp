#include "core/time_base.h"

#include <gtest/gtest.h>


TEST(TimeBase, FileTimeConversions) {
  // 116444736000000000 is 1970-01-01 in FILETIME units; 1970 is 2,208,988,800 s
  // after 1900 and 2000 is the TIME protocol's 3,155,673,600 s.
  EXPECT_EQ(FileTimeToMs1900(116444736000000000ULL), 2208988800000LL);
  EXPECT_EQ(FileTimeToMs1900(116444736000009999ULL), 2208988800000LL);
  EXPECT_EQ(FileTimeToMs1900(125911584000000000ULL), 3155673600000LL);
  EXPECT_EQ(FileTimeToMs1900(0), -kMs1601To1900);
  // A round trip drops exactly the part below one millisecond.
  for (uint64_t ft : {116444736000000000ULL, 116444736000009999ULL, 133500000012345678ULL,
                      94354848000000000ULL, 1ULL})
    EXPECT_EQ(Ms1900ToFileTime(FileTimeToMs1900(ft)), ft - ft % 10000) << ft;
}

TEST(TimeBase, TickArithmetic) {
  // 1000 * 2^32 / f, truncated.
  EXPECT_EQ(TickFactorFor(10'000'000), 429496u);
  EXPECT_EQ(TickFactorFor(3'579'545), 1199864u);
  EXPECT_EQ(TickFactorFor(1000), 1ULL << 32);
  // 10 MHz: 12,345,678,901 counts are 1,234,567.89 ms, read as 1,234,565.
  EXPECT_EQ(TickFromCounter(12'345'678'901ULL, TickFactorFor(10'000'000)), 1234565u);
  // Over one second the truncated factor loses less than 2 us.
  uint64_t factor = TickFactorFor(10'000'000);
  uint64_t base = 98'765'432'109ULL;
  EXPECT_EQ(TickFromCounter(base + 10'000'000, factor) - TickFromCounter(base, factor), 1000u);
  // Differences survive the wrap of the 32-bit reading.
  TickMs before = 4'294'967'000u, after = 704u;
  EXPECT_EQ(static_cast<TickMs>(after - before), 1000u);
  uint64_t wrapCount = (uint64_t{1} << 32) * 1000;  // 2^32 ms at 1 kHz
  EXPECT_EQ(TickFromCounter(wrapCount + 5, TickFactorFor(1000)), 5u);
}

TEST(TimeBase, ServerSecondsAreReadInTheNearestEra) {
  constexpr int64_t kEra = int64_t{1} << 32;  // seconds
  const Ms1900 y2026 = 3'974'400'000'000;     // about 2025-12
  const Ms1900 y2036 = kEra * 1000;           // 2036-02-07 06:28:16 UTC
  struct Case {
    uint32_t seconds;
    Ms1900 localNow;
    Ms1900 expected;
  } cases[] = {
      {3'974'400'000u, y2026, 3'974'400'000'000},         // today: unchanged
      {0u, y2026, kEra * 1000},  // a wrapped 0 ten years ahead, not 126 back
      {4'294'967'295u, y2036 - 500, (kEra - 1) * 1000},     // last second of the era
      {5u, y2036 - 2000, (kEra + 5) * 1000},                // server already wrapped
      {4'294'967'290u, y2036 + 3000, (kEra - 6) * 1000},    // local clock already wrapped
      {5u, y2036 + 10'000, (kEra + 5) * 1000},              // both past the wrap
      {100u, (kEra * 3 + 50) * 1000, (kEra * 3 + 100) * 1000},
      // A clock of 1947 and a reading past 2027: nearer as 1891, before the epoch.
      {0xF0000000u, 1'500'000'000'000, (0xF0000000 - kEra) * 1000},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ServerTimeNear(c.seconds, c.localNow), c.expected) << c.seconds << " " << c.localNow;
}
