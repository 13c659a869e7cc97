// The settings store against the real registry, and the real clock under
// Wine, which accepts a step of under half a second as a no-op and refuses
// larger ones for want of the privilege.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/query_slot.h"
#include "core/time_base.h"
#include "core/view_hooks.h"
#include "store/settings_store.h"
#include "tests/win/registry.h"

// The core's screen is replaced; a fatal error is recorded instead of shown.
std::vector<std::string> fatalMessages;
void FatalExit(const char* message) { fatalMessages.push_back(message); }
void SyncRows(bool) {
  for (auto& slot : QuerySlots) slot.dirty = 0;
}
void RefreshDirtyRows() {}
void UpdateStatusLine(StatusLineState) {}
void SetPassButtonText(const char*) {}
void ArmExitTimer() {}

namespace {

TEST(Store, WritesByTypeAndDeletes) {
  reg::DeleteKey();
  fatalMessages.clear();
  uint32_t version = 17968;
  int64_t offset = -5;
  uint8_t record[152] = {'a'};
  WriteSetting("Version", &version, 4);  // creates the key
  WriteSetting("Offset", &offset, 8);
  WriteSetting("Server000", record, 152);
  EXPECT_EQ(reg::Read("Version").type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(reg::As<uint32_t>(reg::Read("Version")), 17968u);
  EXPECT_EQ(reg::Read("Offset").type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(reg::As<int64_t>(reg::Read("Offset")), -5);
  EXPECT_EQ(reg::Read("Server000").bytes.size(), 152u);
  // Null data or size 0 deletes; deleting a missing value is no error.
  WriteSetting("Version", nullptr, 4);
  WriteSetting("Offset", &offset, 0);
  WriteSetting("Schedule", nullptr, 0);
  EXPECT_FALSE(reg::Read("Version").exists);
  EXPECT_FALSE(reg::Read("Offset").exists);
  EXPECT_TRUE(fatalMessages.empty());
  reg::DeleteKey();
}

TEST(Store, ReadsOnlyWhatFitsTheDestination) {
  reg::DeleteKey();
  int64_t destination = 77;
  EXPECT_FALSE(ReadSetting("Offset", &destination, 8));
  EXPECT_FALSE(reg::KeyExists()) << "a read never creates the key";
  const struct { int stored; bool read; int64_t expected; const char* why; } cases[] = {
      {-1, false, 77, "missing: the destination keeps its value"},
      {0, true, 77, "empty: read, nothing copied"},
      {4, true, 0x04030201, "short: only the leading bytes"},
      {8, true, 0x0807060504030201, "exact"},
      {9, false, 77, "longer than the destination: not ours"},
  };
  const uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  for (const auto& c : cases) {
    reg::DeleteKey();
    reg::Write(c.stored < 0 ? "Other" : "Offset", REG_BINARY, bytes, c.stored < 0 ? 1 : c.stored);
    struct { int64_t value; uint8_t guard[8]; } target = {77, {}};
    EXPECT_EQ(ReadSetting("Offset", &target.value, 8), c.read) << c.why;
    EXPECT_EQ(target.value, c.expected) << c.why;
    EXPECT_EQ(target.guard[0] | target.guard[7], 0) << c.why;
  }
  reg::DeleteKey();
}

TEST(Clock, ReadsAndStepsThePlatformClock) {
  fatalMessages.clear();
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  Ms1900 before = FileTimeToMs1900((uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
  Ms1900 now = CurrentMs1900();
  EXPECT_GE(now, before);
  EXPECT_LT(now - before, 1000);
  TickMs tick = ReadTickMs();
  Sleep(200);
  EXPECT_NEAR(static_cast<double>(ReadTickMs() - tick), 200, 100);

  // A step of zero is accepted and returns the time it set.
  Ms1900 set = StepSystemClock(0);
  EXPECT_GE(set, now);
  EXPECT_LE(set, CurrentMs1900());
  // A refused step returns 0 without a word, and leaves the process at
  // normal priority after raising it for the step.
  SetPriorityClass(GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS);
  EXPECT_EQ(StepSystemClock(-1500), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
  EXPECT_TRUE(fatalMessages.empty());
}

}  // namespace
