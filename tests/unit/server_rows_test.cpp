// The server table, its storage, and the list's rows built from it.
#include "ui/server_rows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "core/query_engine.h"
#include "tests/unit/fakes.h"
#include "ui/texts.h"

static void Row(int slot, const char* name, uint32_t status, uint32_t latencyMs = 0, OffsetMs offset = 0,
                bool enabled = true, QueryPhase phase = PhaseIdle, uint32_t samplesTaken = 0) {
  ServerRecord& r = gServerTable[slot];
  std::strcpy(r.name, name);
  r.enabled = enabled, r.status = status, r.latencyMs = latencyMs, r.offset = offset;
  gQuerySlots[slot].phase = phase, gQuerySlots[slot].samplesTaken = samplesTaken;
}

TEST(ServerRows, OrderFollowsTheColumnClicks) {
  fake::Reset();
  // Spread over the slots out of order, so that falling back to the slot number would show.
  Row(31, "m80", StatusMeasured, 80, 500), Row(2, "m20", StatusMeasured, 20, -5000);
  Row(9, "a20", StatusMeasured, 20, -5000);        // ties with m20
  Row(14, "big", StatusMeasured, 0x80000000u, 0);  // latencies compare unsigned
  Row(17, "u50", StatusRejected, 50, 9000), Row(40, "t5", StatusTested, 5, 1000);
  gServerTable[40].enabled = 0xFFFFFFFFu;  // true as a script may store it
  Row(5, "f8", StatusInterrupted), Row(29, "f3", StatusSlowResponse), Row(33, "e3", StatusSlowResponse);
  Row(0, "f1", StatusWinsockError), Row(12, "new", StatusNone);
  Row(44, "r2", StatusNone, 0, 0, true, PhaseReading, 2);
  Row(23, "c1", StatusNone, 0, 0, true, PhaseConnecting, 1);
  Row(8, "dns", StatusNone, 0, 0, true, PhaseResolving, 0), Row(3, "g1", StatusMeasured, 1, -1, false);
  Row(49, "ox", StatusDisabled, 0, 0, false), Row(19, "h0", StatusNone, 0, 0, false);
  const struct { int click; const char* order; } clicks[] = {
      // Enabled rows first; measured ones by latency, then failures 8 down to 1,
      // no status, and queries running, furthest first. Ties go by name.
      {-1, "t5 a20 m20 u50 m80 big f8 e3 f3 f1 new r2 c1 dns g1 ox h0"},
      {1, "dns c1 r2 new f1 e3 f3 f8 big m80 u50 a20 m20 t5 h0 ox g1"},
      // Under "Correction" measured rows stay on top either way; offsets are signed.
      {2, "a20 m20 big m80 t5 u50 f8 e3 f3 f1 new r2 c1 dns g1 ox h0"},
      {2, "u50 t5 m80 big a20 m20 f8 e3 f3 f1 new r2 c1 dns g1 ox h0"},
      {0, "a20 big c1 dns e3 f1 f3 f8 g1 h0 m20 m80 new ox r2 t5 u50"},  // names alone
      {0, "u50 t5 r2 ox new m80 m20 h0 g1 f8 f3 f1 e3 dns c1 big a20"},
      {1, "t5 a20 m20 u50 m80 big f8 e3 f3 f1 new r2 c1 dns g1 ox h0"},  // a new column starts ascending
  };
  for (const auto& c : clicks) {
    if (c.click >= 0) ClickColumn(c.click);
    std::vector<int> rows;
    for (int i = 0; i < kMaxServers; ++i)
      if (IsNamed(i)) rows.push_back(i);
    std::sort(rows.begin(), rows.end(), [](int a, int b) { return CompareRows(a, b, std::strcmp) < 0; });
    std::string order;
    for (int i : rows) order += (order.empty() ? "" : " ") + std::string(gServerTable[i].name);
    EXPECT_EQ(order, c.order);
  }
}

TEST(ServerRows, ColumnTextsFollowPhaseThenStatus) {
  const struct { QueryPhase phase; uint32_t samples, status; const char* texts; } cases[] = {
      {PhaseResolving, 0, StatusNone, "DNS Lookup...|"}, {PhaseConnecting, 1, StatusNone, "Connecting 2...|"},
      {PhaseReading, 0, StatusMeasured, "Reading 1...|"},  // the record is hidden
      {PhaseWaiting, 1, StatusNone, "Reading 2...|"},
      {PhaseIdle, 0, StatusWinsockError, "Winsock Error|"}, {PhaseIdle, 0, StatusInterrupted, "Interrupted|"},
      {PhaseIdle, 0, StatusRejected, "42|-2.50m (unused)"}, {PhaseIdle, 0, StatusTested, "42|-2.50m (test)"},
      {PhaseIdle, 0, StatusMeasured, "42|-2.50m"},
      {PhaseIdle, 0, StatusNone, "|"}, {PhaseIdle, 0, 9, "|"}, {PhaseIdle, 0, 103, "|"},
  };
  for (const auto& c : cases) {
    Row(7, "server", c.status, 42, -150000, true, c.phase, c.samples);
    char latency[kTextBufferSize] = "stale", correction[kTextBufferSize] = "stale";
    RowTexts(7, latency, correction);
    EXPECT_EQ(std::string(latency) + "|" + correction, c.texts) << c.status << " " << c.phase;
  }
}

TEST(ServerRows, EditsStopTheQueryThenSaveTheSlot) {
  fake::Reset();
  int a = AddServer("a.example"), b = AddServer("b.example");
  SaveServer(a), SaveServer(b);
  StartTestingPass(&b, 1);
  RenameSlot(b, "b.example\t");  // the name confirmed as it stands: the query goes on
  EXPECT_NE(gQuerySlots[b].phase, PhaseIdle);
  RenameSlot(b, " renamed.example \t");  // stopping the last query running ends the pass; blanks go
  EXPECT_EQ(gServerTable[b].status, StatusInterrupted);
  EXPECT_STREQ(gServerTable[b].name, "renamed.example");
  gServerTable[a].status = StatusMeasured;
  RenameSlot(a, std::string(200, 'a').c_str());  // a long name stops at its field, not in `enabled`
  EXPECT_EQ(gServerTable[a].enabled, 1u);
  EXPECT_EQ(std::strlen(gServerTable[a].name), kServerNameSize - 1u);
  EXPECT_EQ(gServerTable[a].status, StatusNone) << "the old name's result";
  gServerTable[a].status = StatusTested;
  RenameSlot(a, std::string(300, 'a').c_str());  // the same name, as far as the field keeps it
  EXPECT_EQ(gServerTable[a].status, StatusTested);
  gServerTable[a].enabled = 0xFFFFFFFFu, SaveServer(a);  // true as a script may store it
  ToggleSlot(a);
  EXPECT_EQ(gServerTable[a].status, StatusTested);  // an idle server keeps its status
  EXPECT_EQ(fake::store["Server000"][128], 0);   // the stored `enabled`
  DeleteSlot(b);
  EXPECT_EQ(fake::store.count("Server001"), 0u);
  EXPECT_EQ(fake::log, "line 2; button Stop Testing...; sync; cancel; line 0; button Synchronize Time; refresh; "
                       "sync; sync; sync; ");  // every edit brings the rows in line
}

// Another Orvalen renamed one entry and deleted another since this one read the list: an edit
// of either shows the entry as it is now and changes nothing, its query ended first.
TEST(ServerRows, AnEditMeetsTheEntryAsAnotherOrvalenLeftIt) {
  fake::Reset();
  const int renamed = AddServer("a.example"), deleted = AddServer("b.example");
  SaveServer(renamed), SaveServer(deleted);
  StartTestingPass(&renamed, 1);
  fake::store["Server000"][0] = 'X';
  fake::store.erase("Server001");
  fake::log.clear();
  ToggleSlot(renamed), RenameSlot(deleted, "c.example");
  EXPECT_EQ(fake::store.count("Server001"), 0u);
  EXPECT_EQ(fake::store["Server000"][0], 'X');
  EXPECT_EQ(fake::store["Server000"][offsetof(ServerRecord, enabled)], 1);
  EXPECT_STREQ(gServerTable[renamed].name, "X.example");
  EXPECT_EQ(gServerTable[renamed].enabled, 1u);
  EXPECT_EQ(gQuerySlots[renamed].phase, PhaseIdle);
  EXPECT_FALSE(IsNamed(deleted));
  EXPECT_EQ(fake::log, "cancel; line 0; button Synchronize Time; refresh; sync; sync; ");
  ToggleSlot(renamed);  // as it is shown now
  EXPECT_EQ(fake::store["Server000"][offsetof(ServerRecord, enabled)], 0);
}

TEST(gServerTable, AddTakesTheLowestFreeSlot) {
  fake::Reset();
  EXPECT_EQ(AddServer(""), -1);
  EXPECT_EQ(AddServer(nullptr), -1);
  for (int i = 0; i < kMaxServers; ++i) EXPECT_EQ(AddServer("same.host"), i);
  EXPECT_EQ(AddServer("one.too.many"), -1);
  gServerTable[3] = {};  // deleted during a pass that asked it: the new one goes unrecorded there
  gServerTable[3].status = StatusMeasured, gQuerySlots[3].asked = 1;
  EXPECT_EQ(AddServer(std::string(200, 'x').c_str()), 3);
  EXPECT_EQ(gServerTable[3].name, std::string(127, 'x'));
  EXPECT_EQ(gServerTable[3].status, StatusNone);
  EXPECT_EQ(gServerTable[3].enabled, 1u);
  EXPECT_EQ(gQuerySlots[3].dirty, 1);
  EXPECT_EQ(gQuerySlots[3].asked, 0);
}

TEST(gServerTable, APassResultIsNotStoredOverAnotherName) {
  fake::Reset();
  const int slot = AddServer(std::string(127, 'x').c_str());
  SaveServer(slot);
  fake::store["Server000"][126] = 'y';  // renamed elsewhere, at the last character
  gServerTable[slot].status = StatusMeasured;
  SaveServerResult(slot);
  EXPECT_EQ(fake::store["Server000"][offsetof(ServerRecord, status)], StatusNone);
}

TEST(gServerTable, AServerAnotherOrvalenAddedIsTakenInBeforeAnAdd) {
  fake::Reset();
  SetServerName(1, "ours.example"), SaveServer(1);
  ServerRecord theirs = {"", 0, StatusMeasured, 0, 0, 0};
  std::memset(theirs.name, 'h', sizeof theirs.name);  // unterminated
  fake::store["Server000"].assign(reinterpret_cast<uint8_t*>(&theirs), reinterpret_cast<uint8_t*>(&theirs + 1));
  fake::store["Server002"] = {1, 2, 3};  // not a record
  gQuerySlots[0].denied = gQuerySlots[0].asked = 1;  // as the server last in that slot here
  fake::log.clear();
  TakeInStoredServers();
  EXPECT_EQ(fake::log, "sync; ") << "shown, also when the list is full now";
  EXPECT_EQ(AddServer("new.example"), 2);
  EXPECT_EQ(gServerTable[0].name, std::string(kServerNameSize - 1, 'h'));
  EXPECT_EQ(gServerTable[0].enabled, 0u);
  EXPECT_EQ(gServerTable[0].status, StatusNone) << "no result of another's pass counts in this one's";
  EXPECT_EQ(gQuerySlots[0].denied + gQuerySlots[0].asked, 0);
  ToggleSlot(0);  // the stored name cut where the list cuts it is the same server's
  EXPECT_EQ(fake::store["Server000"][offsetof(ServerRecord, enabled)], 1);
}

TEST(gServerTable, LoadSeedsTheDefaultsOnceThenReadsTheStore) {
  fake::Reset();
  LoadServerTable();
  EXPECT_FALSE(gFirstRun);
  for (int i = 0; i < kDefaultServerCount; ++i) EXPECT_STREQ(gServerTable[i].name, kDefaultServers[i]);
  EXPECT_EQ(fake::store.size(), size_t{kDefaultServerCount});  // a value for each, none for free slots
  ServerRecord r = {};
  std::memset(r.name, 'h', sizeof r.name);  // unterminated
  r.offset = -1234;
  fake::store["Server020"].assign(reinterpret_cast<uint8_t*>(&r), reinterpret_cast<uint8_t*>(&r + 1));
  fake::store.erase("Server003");  // a missing value frees the slot
  gServerTable[3].status = StatusMeasured;
  fake::log.clear();
  LoadServerTable();
  for (int i = 0; i < kMaxServers; ++i) EXPECT_EQ(IsNamed(i), i < kDefaultServerCount ? i != 3 : i == 20);
  EXPECT_EQ(gServerTable[20].name, std::string(127, 'h'));
  EXPECT_EQ(gServerTable[20].offset, -1234);
  EXPECT_EQ(gServerTable[3].status, StatusNone);
  EXPECT_EQ(fake::log.size(), kMaxServers * std::strlen("sync; "));  // a full sync after each slot read
  EXPECT_EQ(fake::store.size(), size_t{kDefaultServerCount});  // nothing written
}
