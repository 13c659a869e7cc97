#include "core/correction.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/query_engine.h"
#include "core/server_table.h"
#include "tests/unit/fakes.h"

namespace {

struct Server {
  int slot;
  OffsetMs offset;
  uint32_t status = StatusMeasured;
};

class CorrectionTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }

  static void Place(const std::vector<Server>& servers) {
    for (const Server& s : servers) {
      std::strcpy(ServerTable[s.slot].name, "host");
      ServerTable[s.slot].status = s.status;
      ServerTable[s.slot].offset = s.offset;
    }
  }
  static std::vector<int> Rejected() {
    std::vector<int> slots;
    for (int i = 0; i < kMaxServers; ++i)
      if (ServerTable[i].status == StatusRejected) slots.push_back(i);
    return slots;
  }
};

// The worked examples: offsets, the servers rejected and the step.
TEST_F(CorrectionTest, RejectsOutliersOneAtATimeAndStepsByTheMean) {
  struct Case {
    std::vector<Server> servers;
    std::vector<int> rejected;
    OffsetMs step;
  } cases[] = {
      {{{0, 100}, {1, 150}, {2, 5000}}, {2}, 125},  // mean 1750, then 125
      {{{0, 5000}, {1, 100}, {2, 150}}, {0}, 125},  // the outlier in the first slot
      {{{3, -2000}, {7, 2000}}, {7}, -2000},        // equal deviations: highest slot goes
      {{{0, 0}, {1, 3999}}, {1}, 0},                // mean 1999: deviation 2000 is out
      {{{0, 0}, {1, 3998}}, {}, 1999},              // 1999 and 1999 stay
      {{{0, 0}, {1, 1999}}, {}, 999},               // 999.5 truncates
      {{{4, -73000}}, {}, -73000},                  // a lone server is its own mean
      {{{0, -1}, {1, -2}}, {}, -1},                 // toward zero, not down
      {{{0, 10}, {1, 20, StatusTested}, {2, 9000, StatusRejected}, {3, 7000, StatusNoResponse}},
       {2},  // already rejected before: only slot 0 counts
       10},
  };
  for (const Case& c : cases) {
    fake::Reset();
    Place(c.servers);
    CorrectClock();
    EXPECT_EQ(Rejected(), c.rejected);
    ASSERT_EQ(fake::steps.size(), 1u);
    EXPECT_EQ(fake::steps[0], c.step);
    EXPECT_EQ(LastCorrectionValue, c.step);
  }
}

TEST_F(CorrectionTest, RecordsAndAnnouncesTheCorrection) {
  Place({{0, 100}, {1, 150}, {2, 5000}});
  ExitAfterCorrection = true;
  CorrectClock();
  EXPECT_EQ(LastCorrectionTime, fake::now + 125);
  EXPECT_EQ(ScheduleBase, LastCorrectionTime);
  EXPECT_EQ(fake::store["LastCorrectionValue"],
            (std::vector<uint8_t>{0x7D, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(fake::store["LastCorrectionTime"].size(), 8u);
  // The rejected server is saved first, then the time, then the value.
  EXPECT_EQ(fake::storeWrites,
            (std::vector<std::string>{"Server002", "LastCorrectionTime", "LastCorrectionValue"}));
  EXPECT_EQ(fake::exitTimersArmed, 1);
  EXPECT_EQ(fake::timeChangesAnnounced, 1);
  EXPECT_EQ(QuerySlots[2].dirty, 1);
}

TEST_F(CorrectionTest, ARefusedStepRecordsNoTime) {
  Place({{0, 800}});
  ScheduleBase = 12345;
  LastCorrectionTime = 999;
  ExitAfterCorrection = true;
  fake::refuseStep = true;
  CorrectClock();
  EXPECT_EQ(LastCorrectionTime, 0);
  EXPECT_EQ(ScheduleBase, 12345);  // the pass's start: no storm of passes
  EXPECT_EQ(LastCorrectionValue, 800);
  EXPECT_EQ(fake::store["LastCorrectionTime"], std::vector<uint8_t>(8, 0));
  EXPECT_EQ(fake::exitTimersArmed, 1);
  EXPECT_EQ(fake::timeChangesAnnounced, 1);
}

TEST_F(CorrectionTest, NothingMeasuredOnlyFlagsTheFailure) {
  Place({{0, 100, StatusNoResponse}, {1, 100, StatusTested}});
  ServerTable[2].status = StatusMeasured;  // unnamed slots never count
  ServerTable[2].offset = 5;
  LastCorrectionValue = 42;
  ExitAfterCorrection = true;
  CorrectClock();
  EXPECT_TRUE(CorrectionFailed);
  EXPECT_TRUE(fake::steps.empty());
  EXPECT_TRUE(fake::storeWrites.empty());
  EXPECT_EQ(LastCorrectionValue, 42);
  EXPECT_EQ(fake::exitTimersArmed, 0);
  EXPECT_EQ(fake::timeChangesAnnounced, 0);
}

}  // namespace
