#include "core/time_base.h"

#include <gtest/gtest.h>

TEST(TimeBase, FileTimesAndTicks) {
  // 116444736000000000 is 1970-01-01 in FILETIME units, 2,208,988,800 s after 1900.
  EXPECT_EQ(FileTimeToMs1900(116444736000009999ULL), 2208988800000LL);
  for (uint64_t ft : {116444736000009999ULL, 1ULL})  // a round trip drops what is below 1 ms
    EXPECT_EQ(Ms1900ToFileTime(FileTimeToMs1900(ft)), ft - ft % 10000) << ft;
  // 1000 * 2^32 / f, truncated: 12,345,678,901 counts at 10 MHz are 1,234,567.89 ms, read as 1,234,565.
  EXPECT_EQ(TickFromCounter(12'345'678'901ULL, TickFactorFor(10'000'000)), 1234565u);
  EXPECT_EQ(TickFromCounter((uint64_t{1} << 32) * 1000 + 5, TickFactorFor(1000)), 5u);  // wraps at 2^32 ms
}

TEST(TimeBase, ServerSecondsAreReadInTheNearestEra) {
  constexpr int64_t kEra = int64_t{1} << 32;  // seconds; the first ends 2036-02-07 06:28:16 UTC
  const struct { uint32_t seconds; Ms1900 localNow, expected; } cases[] = {
      {3'974'400'000u, 3'974'400'000'000, 3'974'400'000'000},  // 2025: unchanged
      {0u, 3'974'400'000'000, kEra * 1000},                    // a wrapped 0 ten years ahead, not 126 back
      {4'294'967'295u, kEra * 1000 - 500, (kEra - 1) * 1000},  // the era's last second
      {5u, kEra * 1000 - 2000, (kEra + 5) * 1000},             // the server already wrapped
      {4'294'967'290u, kEra * 1000 + 3000, (kEra - 6) * 1000}, // the local clock already wrapped
      {100u, (kEra * 3 + 50) * 1000, (kEra * 3 + 100) * 1000},
      {0xF0000000u, 1'500'000'000'000, (0xF0000000 - kEra) * 1000},  // 1947 reads 2027 as 1891
      {0x80000000u, -kEra * 1000, -kEra / 2 * 1000},  // before 1900; half an era either way: the later
  };
  for (const auto& c : cases) EXPECT_EQ(ServerTimeNear(c.seconds, c.localNow), c.expected) << c.seconds;
}

namespace {
// A clock read a millisecond apart by the tick, moving at the reading named.
int gReads, gMovesAt;
uint64_t PlainClock() { return ++gReads >= gMovesAt ? 156250 : 0; }
TickMs Tick() { return static_cast<TickMs>(gReads) - 5; }  // wraps on the way
}  // namespace

TEST(TimeBase, APlainClockIsReadAsItMoves) {
  for (int movesAt : {2, 33, 34, 1000}) {
    gReads = 0, gMovesAt = movesAt;
    const uint64_t read = ReadClockAsItMoves(PlainClock, Tick, 32);
    EXPECT_EQ(read, movesAt <= 33 ? 156250u : 0u) << movesAt;
    EXPECT_EQ(gReads, std::min(movesAt, 33)) << "stops as it moves, or at the limit";
  }
}
