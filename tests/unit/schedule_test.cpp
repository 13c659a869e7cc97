#include "ui/schedule.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(Schedule, EverySliderPositionAndStrayNumbers) {
  const struct { int index; const char* label; OffsetMs interval; } cases[] = {
      {0, "No Scheduled Interval", 0},
      {1, "On Startup", 0},
      {2, "Every 30 Seconds", 30000},
      {3, "Every 1 Minute", 60000},
      {4, "Every 5 Minutes", 300000},
      {5, "Every 15 Minutes", 900000},
      {6, "Hourly", 3600000},
      {7, "Every Six Hours", 21600000},
      {8, "Daily", 86400000},
      {9, "Every 3 Days", 259200000},
      // A stored number outside the slider's range means no schedule.
      {10, "No Scheduled Interval", 0},
      {12, "No Scheduled Interval", 0},
      {-1, "No Scheduled Interval", 0},
      {INT32_MIN, "No Scheduled Interval", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(std::string(ScheduleLabel(c.index)), c.label) << c.index;
    EXPECT_EQ(ScheduleIntervalFor(c.index), c.interval) << c.index;
  }
}

TEST(Schedule, DueAtTheIntervalOrWhenTheClockWentBack) {
  const Ms1900 now = 4'000'000'000'000;
  const OffsetMs fiveMinutes = 300000;
  const struct { Ms1900 base; OffsetMs interval; bool due; const char* why; } cases[] = {
      {now - fiveMinutes, fiveMinutes, true, "due time reached exactly"},
      {now - fiveMinutes + 1, fiveMinutes, false, "one ms early"},
      {now - 86400000, fiveMinutes, true, "long overdue"},
      {now, fiveMinutes, false, "a pass just started"},
      {now + 5, fiveMinutes, false, "base a few ms ahead"},
      {now + fiveMinutes, fiveMinutes, false, "base exactly one interval ahead"},
      {now + fiveMinutes + 1, fiveMinutes, true, "base more than one interval ahead"},
      {0, 259200000, true, "never corrected"},
      {0, 0, false, "no periodic schedule"},
      {now - 86400000, 0, false, "no periodic schedule, long ago"},
      {now + 86400000, 0, false, "no periodic schedule, base ahead"},
      // A stored base at either end of the range must not overflow.
      {INT64_MAX, fiveMinutes, true, "largest base"},
      {INT64_MIN, fiveMinutes, true, "smallest base"},
  };
  for (const auto& c : cases) EXPECT_EQ(ScheduleDue(now, c.base, c.interval), c.due) << c.why;
}

TEST(Schedule, LaunchPassAndWhetherTheProgramThenEnds) {
  const struct {
    bool correctOnLaunch;
    char launchMode;
    int index;
    bool wanted;
    bool exitAfter;
  } cases[] = {
      {true, 0, 5, true, false},  // a periodic schedule keeps the program running
      {true, 's', 9, true, false},
      {true, 0, 0, true, true},
      {true, 0, 1, true, true},
      {true, 0, -1, true, true},   // signed: a stray -1 counts as no schedule
      {true, 0, 12, true, false},  // ...but a stray 12 does not
      {false, 's', 1, true, true},
      {false, 's', 0, false, false},
      {false, 's', 4, false, false},
      {false, 0, 1, false, false},
      {false, 'u', 1, false, false},
  };
  for (const auto& c : cases) {
    bool exitAfter = !c.exitAfter;
    EXPECT_EQ(LaunchPassWanted(c.correctOnLaunch, c.launchMode, c.index, &exitAfter), c.wanted)
        << c.correctOnLaunch << " '" << c.launchMode << "' " << c.index;
    EXPECT_EQ(exitAfter, c.exitAfter) << c.correctOnLaunch << " '" << c.launchMode << "' " << c.index;
  }
}

}  // namespace
