// Correcting passes through real WinSock against loopback servers: the
// accuracy of an exact reading and a step the platform refuses. Every other
// server behaviour is met through the program itself (tests/e2e).
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
};

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

}  // namespace
