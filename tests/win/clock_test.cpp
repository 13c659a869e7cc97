// The real clock path under Wine, which accepts a step of under half a second
// as a no-op and refuses larger ones for want of the privilege.
#include <windows.h>

#include <gtest/gtest.h>

#include "core/time_base.h"
#include "tests/win/core_hooks.h"

namespace {

TEST(Clock, CurrentTimeMatchesThePlatform) {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  Ms1900 before = FileTimeToMs1900((uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
  Ms1900 now = CurrentMs1900();
  EXPECT_GE(now, before);
  EXPECT_LT(now - before, 1000);
}

TEST(Clock, StepOfZeroReturnsTheCurrentReading) {
  hooks::Reset();
  Ms1900 before = CurrentMs1900();
  Ms1900 set = StepSystemClock(0);
  Ms1900 after = CurrentMs1900();
  EXPECT_GE(set, before);
  EXPECT_LE(set, after);
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
  EXPECT_TRUE(hooks::fatalMessages.empty());
}

TEST(Clock, RefusedStepReturnsZeroSilently) {
  hooks::Reset();
  SetPriorityClass(GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS);
  EXPECT_EQ(StepSystemClock(-1500), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
  EXPECT_TRUE(hooks::fatalMessages.empty());
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
}

TEST(Clock, TickFollowsTheCounter) {
  TickMs first = ReadTickMs();
  Sleep(200);
  TickMs elapsed = ReadTickMs() - first;
  EXPECT_GE(elapsed, 190u);
  EXPECT_LT(elapsed, 1000u);
}

}  // namespace
