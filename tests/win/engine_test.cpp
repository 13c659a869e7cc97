// Correcting and testing passes through real WinSock against loopback servers.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/correction.h"
#include "core/query_engine.h"
#include "core/query_transport_winsock.h"
#include "core/server_table.h"
#include "tests/win/core_hooks.h"
#include "tests/win/event_window.h"
#include "tests/win/registry.h"
#include "tests/win/timeservers.h"

namespace {

class EngineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(CreateEngineEventWindow()); }

  void SetUp() override {
    reg::DeleteKey();
    hooks::Reset();
    timeservers::Clear();
    memset(ServerTable, 0, sizeof ServerTable);
    memset(QuerySlots, 0, sizeof QuerySlots);
    FirstRun = false;
    LastCorrectionTime = LastCorrectionValue = 0;
    ScheduleBase = 0;
    CorrectionFailed = false;
  }

  void TearDown() override {
    FinishAllQueries(StatusInterrupted);
    timeservers::Clear();
    reg::DeleteKey();
  }

  static int Server(const char* name, const std::string& behaviour = "") {
    if (!behaviour.empty()) {
      EXPECT_TRUE(timeservers::Set(name, behaviour)) << name;
    }
    return AddServer(name);
  }

  // Pumps the window's messages and checks the deadline as the pass timer
  // does, until the pass has ended.
  static void RunPass(DWORD limitMs = 20000) {
    DWORD start = GetTickCount();
    DWORD lastCheck = start;
    while (ActiveQueries != 0 && GetTickCount() - start < limitMs) {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
      if (GetTickCount() - lastCheck >= 200) {
        lastCheck = GetTickCount();
        CheckPassDeadline();
      }
    }
    ASSERT_EQ(ActiveQueries, 0) << "the pass did not end";
  }

  // A server sends whole seconds, so its reply is exact only right after its
  // clock has passed a second boundary: start the pass at that moment.
  static void AtWholeSecond(int64_t shift) {
    Ms1900 first = CurrentMs1900() + shift;
    for (int spins = 0; spins < 100000000; ++spins) {
      if ((CurrentMs1900() + shift) / 1000 != first / 1000) return;
    }
  }

  static ServerRecord Stored(int slot) {
    char name[10];
    ServerValueName(slot, name);
    ServerRecord record = {};
    reg::Value v = reg::Read(name);
    if (v.bytes.size() == sizeof record) memcpy(&record, v.bytes.data(), sizeof record);
    return record;
  }
};

TEST_F(EngineTest, EveryBehaviourEndsWithItsStatus) {
  struct Case {
    const char* name;
    const char* behaviour;
    uint32_t status;
  } cases[] = {
      {"127.0.0.11", "now 100", StatusMeasured},
      {"127.0.0.12", "now 0", StatusMeasured},
      {"localhost", "", StatusMeasured},  // looked up: 127.0.0.1, set below
      {"127.0.0.14", "now 6000", StatusRejected},  // the outlier
      {"127.0.0.15", "refuse", StatusRefused},
      {"127.0.0.16", "silent", StatusSlowResponse},
      // A close without data raises no read notice: the deadline ends it.
      {"127.0.0.17", "close", StatusSlowResponse},
      {"127.0.0.18", "short", StatusNoResponse},
      {"127.0.0.19", "split 300", StatusNoResponse},
      {"127.0.0.20", "long", StatusMeasured},  // the surplus is ignored
      {"127.0.0.21", "delay 400 0", StatusMeasured},
      {"no-such-host.invalid", "", StatusNoDnsEntry},
      {"127.0.0.23", "now 0", StatusDisabled},
  };
  ASSERT_TRUE(timeservers::Set("127.0.0.1", "now -100"));
  for (const Case& c : cases) Server(c.name, c.behaviour);
  ServerTable[12].enabled = 0;

  AtWholeSecond(0);
  StartCorrectingPass();
  RunPass();

  for (int slot = 0; slot < 13; ++slot) {
    EXPECT_EQ(ServerTable[slot].status, cases[slot].status) << cases[slot].name;
    EXPECT_EQ(Stored(slot).status, cases[slot].status) << cases[slot].name;
  }
  // Servers on our own second read within a few milliseconds; the others
  // (+100, -100) send whole seconds and read up to a second behind.
  EXPECT_NEAR(ServerTable[1].offset, 0, 50);
  EXPECT_NEAR(ServerTable[9].offset, 0, 50);
  EXPECT_NEAR(ServerTable[0].offset, -400, 500);
  EXPECT_NEAR(ServerTable[2].offset, -600, 500);
  EXPECT_GE(ServerTable[10].latencyMs, 390u);
  EXPECT_EQ(timeservers::Count("127.0.0.11"), 3);  // one connection per sample

  // The correction stepped by the mean of the four kept servers; under half a
  // second Wine accepts the step.
  EXPECT_LT(LastCorrectionValue, 500);
  EXPECT_GT(LastCorrectionValue, -600);
  EXPECT_NE(LastCorrectionTime, 0);
  EXPECT_EQ(ScheduleBase, LastCorrectionTime);
  EXPECT_EQ(reg::As<int64_t>(reg::Read("LastCorrectionValue")), LastCorrectionValue);
  EXPECT_EQ(reg::As<int64_t>(reg::Read("LastCorrectionTime")), LastCorrectionTime);
  EXPECT_EQ(hooks::statusLines, (std::vector<StatusLineState>{LineChecking, LineIdle}));
  EXPECT_FALSE(CorrectionFailed);
}

TEST_F(EngineTest, AnExactServerIsMeasuredWithinFiveMilliseconds) {
  Server("127.0.0.30", "now 250");
  Ms1900 before = CurrentMs1900();
  AtWholeSecond(250);
  StartCorrectingPass();
  RunPass();
  ASSERT_EQ(ServerTable[0].status, static_cast<uint32_t>(StatusMeasured));
  EXPECT_NEAR(ServerTable[0].offset, 250, 5);
  EXPECT_NEAR(LastCorrectionValue, 250, 5);
  EXPECT_GE(LastCorrectionTime, before);  // the step was accepted
}

TEST_F(EngineTest, ARefusedStepIsRecordedAsNoCorrection) {
  Server("127.0.0.31", "now 800");
  LastCorrectionTime = 1;
  AtWholeSecond(800);
  Ms1900 start = CurrentMs1900();
  StartCorrectingPass();
  RunPass();
  EXPECT_NEAR(LastCorrectionValue, 800, 5);
  EXPECT_EQ(LastCorrectionTime, 0);  // Wine refuses steps of half a second or more
  EXPECT_GE(ScheduleBase, start);    // the next pass waits for its interval
  reg::Value stored = reg::Read("LastCorrectionTime");
  ASSERT_TRUE(stored.exists);
  EXPECT_EQ(reg::As<int64_t>(stored), 0);
}

TEST_F(EngineTest, ATestingPassLeavesTheClockAndScheduleAlone) {
  int slots[] = {Server("127.0.0.32", "now 3000"), Server("127.0.0.33", "now 0")};
  ServerTable[slots[0]].enabled = 0;  // tested even when disabled
  ScheduleBase = 777;
  AtWholeSecond(0);
  StartTestingPass(slots, 2);
  RunPass();
  EXPECT_EQ(ServerTable[slots[0]].status, static_cast<uint32_t>(StatusTested));
  EXPECT_NEAR(ServerTable[slots[0]].offset, 3000, 20);
  EXPECT_EQ(ServerTable[slots[1]].status, static_cast<uint32_t>(StatusTested));
  EXPECT_EQ(ScheduleBase, 777);
  EXPECT_FALSE(reg::Read("LastCorrectionTime").exists);
  EXPECT_EQ(LastCorrectionTime, 0);
  EXPECT_EQ(hooks::statusLines, (std::vector<StatusLineState>{LineTesting, LineIdle}));
}

}  // namespace
