#include "ui/server_rows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/query_engine.h"
#include "tests/unit/fakes.h"
#include "ui/texts.h"

namespace {

class ServerRowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    SortColumn = 1;
    SortDirection = 1;
  }

  static void Idle(int slot, const char* name, uint32_t status, uint32_t latencyMs = 0,
                   OffsetMs offset = 0, bool enabled = true) {
    ServerRecord& r = ServerTable[slot];
    std::strcpy(r.name, name);
    r.enabled = enabled ? 1 : 0;
    r.status = status;
    r.latencyMs = latencyMs;
    r.offset = offset;
  }

  static void Running(int slot, const char* name, QueryPhase phase, uint32_t samplesTaken) {
    Idle(slot, name, StatusNone);
    QuerySlots[slot].phase = phase;
    QuerySlots[slot].samplesTaken = samplesTaken;
  }

  // The named rows in the order the list control would put them.
  static std::vector<std::string> Sorted() {
    std::vector<int> rows;
    for (int i = 0; i < kMaxServers; ++i)
      if (IsNamed(i)) rows.push_back(i);
    std::sort(rows.begin(), rows.end(),
              [](int a, int b) { return CompareRows(a, b, std::strcmp) < 0; });
    std::vector<std::string> names;
    for (int i : rows) names.push_back(ServerTable[i].name);
    return names;
  }

  // One of each kind of row, spread over the slots out of order so that a
  // comparison falling back to the slot number would show.
  static void FillMixedList() {
    Idle(31, "m80", StatusMeasured, 80, 500);
    Idle(2, "m20", StatusMeasured, 20, -5000);
    Idle(17, "unused50", StatusRejected, 50, 9000);
    Idle(40, "test5", StatusTested, 5, 1000);
    Idle(5, "fail8", StatusInterrupted);
    Idle(29, "fail3", StatusSlowResponse);
    Idle(0, "fail1", StatusWinsockError);
    Idle(12, "fresh", StatusNone);
    Running(44, "run-read2", PhaseReading, 2);
    Running(8, "run-dns", PhaseResolving, 0);
    Running(23, "run-conn1", PhaseConnecting, 1);
    Idle(3, "off-m1", StatusMeasured, 1, -1, false);
    Idle(49, "off-disabled", StatusDisabled, 0, 0, false);
    Idle(19, "off-fresh", StatusNone, 0, 0, false);
  }
};

TEST_F(ServerRowsTest, InitialOrderPutsQuickestFirstAndDisabledLast) {
  FillMixedList();
  const std::vector<std::string> expected = {
      "test5",     "m20",     "unused50",  "m80",      // measured, quickest first
      "fail8",     "fail3",   "fail1",                 // failures, 8 down to 1
      "fresh",                                         // no status
      "run-read2", "run-conn1", "run-dns",             // running, furthest first
      "off-m1",    "off-disabled", "off-fresh",        // disabled, same inner order
  };
  EXPECT_EQ(Sorted(), expected);
}

TEST_F(ServerRowsTest, LatencyDescendingReversesRanksButKeepsDisabledLast) {
  FillMixedList();
  ClickColumn(1);
  const std::vector<std::string> expected = {
      "run-dns", "run-conn1", "run-read2", "fresh", "fail1", "fail3", "fail8",
      "m80",     "unused50",  "m20",       "test5", "off-fresh", "off-disabled", "off-m1",
  };
  EXPECT_EQ(Sorted(), expected);
}

TEST_F(ServerRowsTest, CorrectionKeepsMeasuredRowsOnTopInBothDirections) {
  FillMixedList();
  ClickColumn(2);
  // Offsets compare signed: -5 s before +0.5 s.
  const std::vector<std::string> ascending = {
      "m20",     "m80",     "test5",  "unused50", "fail8",        "fail3",    "fail1",
      "fresh",   "run-read2", "run-conn1", "run-dns", "off-m1", "off-disabled", "off-fresh",
  };
  EXPECT_EQ(Sorted(), ascending);

  ClickColumn(2);
  const std::vector<std::string> descending = {
      "unused50", "test5",   "m80",     "m20",    "fail8",        "fail3",    "fail1",
      "fresh",    "run-read2", "run-conn1", "run-dns", "off-m1", "off-disabled", "off-fresh",
  };
  EXPECT_EQ(Sorted(), descending);
}

TEST_F(ServerRowsTest, TimeServerSortsByNameAloneMixingDisabled) {
  Idle(0, "delta", StatusMeasured, 10, 0);
  Idle(1, "alpha", StatusNone, 0, 0, false);
  Idle(2, "charlie", StatusNoResponse);
  Running(3, "bravo", PhaseReading, 1);
  ClickColumn(0);
  EXPECT_EQ(Sorted(), (std::vector<std::string>{"alpha", "bravo", "charlie", "delta"}));
  ClickColumn(0);
  EXPECT_EQ(Sorted(), (std::vector<std::string>{"delta", "charlie", "bravo", "alpha"}));
}

TEST_F(ServerRowsTest, TiesAreBrokenByAscendingNameInEitherDirection) {
  Idle(0, "zulu", StatusMeasured, 30, 700);
  Idle(1, "alpha", StatusMeasured, 30, 700);
  Idle(2, "yankee", StatusNoResponse);
  Idle(3, "bravo", StatusNoResponse);
  const struct { int column; int direction; std::vector<std::string> order; } cases[] = {
      {1, +1, {"alpha", "zulu", "bravo", "yankee"}},
      {1, -1, {"bravo", "yankee", "alpha", "zulu"}},
      {2, +1, {"alpha", "zulu", "bravo", "yankee"}},
      {2, -1, {"alpha", "zulu", "bravo", "yankee"}},
  };
  for (const auto& c : cases) {
    SortColumn = c.column;
    SortDirection = c.direction;
    EXPECT_EQ(Sorted(), c.order) << c.column << " " << c.direction;
  }
}

TEST_F(ServerRowsTest, LatencyComparesAsUnsigned) {
  Idle(0, "huge", StatusMeasured, 0x80000000u, 0);
  Idle(1, "small", StatusMeasured, 100, 0);
  EXPECT_EQ(Sorted(), (std::vector<std::string>{"small", "huge"}));
}

TEST_F(ServerRowsTest, ColumnClicksToggleOrSwitch) {
  const struct { int click; int column; int direction; } steps[] = {
      {1, 1, -1}, {1, 1, +1}, {2, 2, +1}, {2, 2, -1},
      {0, 0, +1},  // another column always starts ascending
      {0, 0, -1}, {1, 1, +1},
  };
  for (const auto& s : steps) {
    ClickColumn(s.click);
    EXPECT_EQ(SortColumn, s.column);
    EXPECT_EQ(SortDirection, s.direction) << "after a click on " << s.click;
  }
}

TEST_F(ServerRowsTest, ColumnTextsFollowPhaseThenStatus) {
  // Correction texts are FormatOffset's: 1234 ms is "+1.2s", -150000 ms "-2.50m".
  const struct {
    QueryPhase phase;
    uint32_t samples;
    uint32_t status;
    uint32_t latencyMs;
    OffsetMs offset;
    const char* latency;
    const char* correction;
  } cases[] = {
      {PhaseResolving, 0, StatusNone, 0, 0, "DNS Lookup...", ""},
      {PhaseConnecting, 0, StatusNone, 0, 0, "Connecting 1...", ""},
      {PhaseReading, 0, StatusNone, 0, 0, "Reading 1...", ""},
      {PhaseConnecting, 1, StatusNone, 0, 0, "Connecting 2...", ""},
      {PhaseReading, 2, StatusNone, 0, 0, "Reading 3...", ""},
      // A running query hides whatever the record still holds.
      {PhaseReading, 1, StatusMeasured, 40, 1234, "Reading 2...", ""},
      {PhaseIdle, 0, StatusWinsockError, 0, 0, "Winsock Error", ""},
      {PhaseIdle, 0, StatusNoResponse, 0, 0, "No Response", ""},
      {PhaseIdle, 0, StatusSlowResponse, 0, 0, "Slow Response", ""},
      {PhaseIdle, 0, StatusRefused, 0, 0, "Refused", ""},
      {PhaseIdle, 0, StatusNetDown, 0, 0, "Net is Down", ""},
      {PhaseIdle, 0, StatusNoDnsEntry, 0, 0, "No DNS entry", ""},
      {PhaseIdle, 0, StatusDisabled, 0, 0, "Disabled", ""},
      {PhaseIdle, 0, StatusInterrupted, 0, 0, "Interrupted", ""},
      {PhaseIdle, 0, StatusRejected, 42, 1234, "42", "+1.2s (unused)"},
      {PhaseIdle, 0, StatusTested, 7, -150000, "7", "-2.50m (test)"},
      {PhaseIdle, 0, StatusMeasured, 1500, 0, "1500", " 0.0s"},
      {PhaseIdle, 0, StatusNone, 42, 1234, "", ""},
      {PhaseIdle, 0, 9, 42, 1234, "", ""},
      {PhaseIdle, 0, 99, 42, 1234, "", ""},
      {PhaseIdle, 0, 103, 42, 1234, "", ""},
  };
  for (const auto& c : cases) {
    Idle(7, "server", c.status, c.latencyMs, c.offset);
    QuerySlots[7].phase = c.phase;
    QuerySlots[7].samplesTaken = c.samples;
    char latency[kTextBufferSize] = "stale";
    char correction[kTextBufferSize] = "stale";
    RowTexts(7, latency, correction);
    EXPECT_STREQ(latency, c.latency) << "status " << c.status << " phase " << c.phase;
    EXPECT_STREQ(correction, c.correction) << "status " << c.status << " phase " << c.phase;
  }
}

}  // namespace

namespace {

TEST(ServerEdits, StopTheQueryThenSaveTheSlot) {
  fake::Reset();
  int a = AddServer("a.example");
  int b = AddServer("b.example");
  // b's query is the last one running: stopping it ends the pass.
  QuerySlots[b].phase = PhaseReading;
  ActiveQueries = 1;
  PassMode = Testing;
  RenameSlot(b, "renamed.example");
  EXPECT_EQ(ServerTable[b].status, StatusInterrupted);
  EXPECT_EQ(ActiveQueries, 0);
  EXPECT_STREQ(ServerTable[b].name, "renamed.example");
  EXPECT_EQ(fake::store.count("Server001"), 1u);

  RenameSlot(a, std::string(200, 'x').c_str());
  EXPECT_EQ(std::strlen(ServerTable[a].name), 127u);

  ToggleSlot(a);
  EXPECT_EQ(ServerTable[a].enabled, 0u);
  EXPECT_EQ(ServerTable[a].status, StatusNone);  // an idle server keeps its status
  EXPECT_EQ(fake::store["Server000"][128], 0);   // the stored `enabled`

  // An empty name frees the slot and removes its stored value.
  RenameSlot(a, "");
  EXPECT_FALSE(IsNamed(a));
  EXPECT_EQ(fake::store.count("Server000"), 0u);
  DeleteSlot(b);
  EXPECT_EQ(fake::store.count("Server001"), 0u);
  EXPECT_EQ(fake::fullSyncs, 5);  // every edit brings the rows in line
}

}  // namespace
