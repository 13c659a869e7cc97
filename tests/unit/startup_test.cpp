// Decisions at start-up and on the clock: the launch letter, a stored window
// placement, the launch-time pass and the schedule of periodic passes.
#include <gtest/gtest.h>

#include "app/launch.h"
#include "ui/placement.h"
#include "ui/schedule.h"

TEST(Startup, OnlyALowerCaseFirstLetterCounts) {
  const struct { const char* commandLine; char letter; } cases[] = {
      {"s", 's'}, {"uninstall", 'u'}, {"S", 0}, {"U", 0}, {" s", 0}, {"x", 0}, {"", 0}, {nullptr, 0}};
  for (const auto& c : cases) EXPECT_EQ(LaunchLetter(c.commandLine), c.letter) << (c.commandLine != nullptr);
}

TEST(Startup, TwentyPixelsOfAStoredWindowMustStayOnScreen) {
  const int cx = 1024, cy = 738;  // 1024 x 768 with a 30-pixel task bar
  const struct { uint32_t length; SavedRect rect; bool accepted; } cases[] = {
      {44, {cx - 20, 100, cx + 280, 300}, true}, {44, {cx - 19, 100, cx + 281, 300}, false},  // right
      {44, {-280, 100, 20, 300}, true}, {44, {-281, 100, 19, 300}, false},                    // left
      {44, {100, cy - 20, 400, cy + 180}, true}, {44, {100, cy - 19, 400, cy + 181}, false},  // bottom
      {44, {100, -180, 400, 20}, true}, {44, {100, -181, 400, 19}, false},                    // top
      {40, {100, 100, 400, 300}, false}, {48, {100, 100, 400, 300}, false}};  // not that record
  for (const auto& c : cases) EXPECT_EQ(PlacementAccepted(c.length, c.rect, cx, cy), c.accepted);
}

TEST(Startup, LaunchPassAndWhetherTheProgramThenEnds) {
  const struct { bool correctOnLaunch; char mode; int index; bool wanted, exitAfter; } cases[] = {
      {true, 0, 5, true, false}, {true, 's', 9, true, false},  // a periodic schedule keeps it running
      {true, 0, 1, true, true}, {true, 0, -1, true, true},     // a stray -1 is no schedule...
      {true, 0, 12, true, false},                              // ...a stray 12 is not
      {false, 's', 1, true, true}, {false, 's', 4, false, false}, {false, 'u', 1, false, false}};
  for (const auto& c : cases) {
    bool exitAfter = !c.exitAfter;
    EXPECT_EQ(LaunchPassWanted(c.correctOnLaunch, c.mode, c.index, &exitAfter), c.wanted) << c.index;
    EXPECT_EQ(exitAfter, c.exitAfter) << c.correctOnLaunch << c.mode << c.index;
  }
}

TEST(Startup, SliderPositionsAndStrayNumbers) {
  const struct { int index; const char* label; OffsetMs interval; } cases[] = {
      {1, "On Startup", 0}, {2, "Every 30 Seconds", 30000}, {4, "Every 5 Minutes", 300000},
      {8, "Daily", 86400000}, {9, "Every 3 Days", 259200000}, {10, "No Scheduled Interval", 0},
      {-1, "No Scheduled Interval", 0}};
  for (const auto& c : cases) {
    EXPECT_STREQ(ScheduleLabel(c.index), c.label);
    EXPECT_EQ(ScheduleIntervalFor(c.index), c.interval) << c.index;
  }
}

TEST(Startup, APassIsDueAtTheIntervalOrWhenTheClockWentBack) {
  const Ms1900 now = 4'000'000'000'000;
  const OffsetMs five = 300000;
  const struct { Ms1900 base; OffsetMs interval; bool due; } cases[] = {
      {now - five, five, true}, {now - five + 1, five, false},   // due exactly at the interval
      {now + five, five, false}, {now + five + 1, five, true},   // the base more than one ahead
      {0, 259200000, true}, {now - 86400000, 0, false}, {now + 86400000, 0, false},  // no interval
      {INT64_MAX, five, true}, {INT64_MIN, five, true},          // stored bases that must not overflow
  };
  for (const auto& c : cases) EXPECT_EQ(ScheduleDue(now, c.base, c.interval), c.due) << c.base;
}
