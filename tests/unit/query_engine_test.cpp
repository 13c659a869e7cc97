// The engine's exact results: statuses, offsets, deadlines, the correction
// and what the screen is told; then the rules that hold under any order of events.
#include "core/query_engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "core/correction.h"
#include "core/ntp_protocol.h"
#include "core/pass_history.h"
#include "core/query_transport.h"
#include "tests/unit/engine_script.h"
#include "tests/unit/fakes.h"
#include "ui/server_rows.h"

using Bytes = std::vector<uint8_t>;

static void Event(int slot, uint32_t event, uint32_t error = 0, Bytes reply = {}) {
  fake::sockets[gQuerySlots[slot].socket].reply = std::move(reply);
  DispatchSocketEvent(gQuerySlots[slot].socket, event, error);
}
static Bytes Answer(int slot, Ms1900 server, uint8_t stratum = 1, const char* code = "GPS") {
  return fake::Reply(server, gQuerySlots[slot].ntp, gQuerySlots[slot].requestStamp, stratum, code);
}
// Samples from a server `ahead` ms in front of us, each answered `trip` ms
// after the TIME connection completed or the NTP request went out; NTP
// requests go out 2 s apart, on the pass timer's tick.
static void Measure(int slot, int64_t ahead, std::vector<TickMs> trips) {
  const QuerySlot& q = gQuerySlots[slot];
  for (TickMs trip : trips) {
    if (!q.ntp) fake::now -= (fake::now + ahead) % 1000, Event(slot, kEventConnect);  // whole seconds
    if (q.phase == PhaseWaiting) fake::tick = q.deadline, CheckDeadlines();
    Bytes reply = Answer(slot, fake::now + ahead + (q.ntp ? trip / 2 : 0));
    fake::tick += trip;
    Event(slot, kEventRead, 0, reply);
  }
}

TEST(QueryEngine, ATestingPassMeasuresTheChosenServers) {
  fake::Reset();
  fake::hosts["ntp.example"] = {fake::Ip(10, 0, 0, 9)};
  int chosen[] = {AddServer("NTP://ntp.example"), AddServer("192.0.2.1")};
  const int ntp = chosen[0], time = chosen[1];
  AddServer("10.0.0.3");  // not chosen: the pass ends without it
  gServerTable[time].enabled = 0;  // disabled servers are tested all the same
  fake::store["Offset"] = {7, 0, 0, 0, 0, 0, 0, 0};  // as stored when the pass starts
  fake::buildMs = 1;  // the NTP offset is measured from the send, not from the request's stamp
  StartTestingPass(chosen, 0);  // nothing selected
  StartTestingPass(chosen, 2);
  OnLookupDone(gQuerySlots[ntp].lookupHandle, 0);
  const fake::Socket& udp = fake::sockets[gQuerySlots[ntp].socket];
  EXPECT_EQ(udp.address, fake::Ip(10, 0, 0, 9));
  EXPECT_EQ(udp.port, kNtpPort);
  EXPECT_EQ(gQuerySlots[ntp].deadline, fake::tick + kReplyTimeoutMs);  // from the request on
  const TickMs sent = fake::tick;
  Measure(ntp, 250, {40});
  // The next request waits for its turn, 2 s after the first, by the tick: the clock set back
  // meanwhile by another program holds nothing up.
  fake::now -= 3'600'000;
  fake::tick = sent + kNtpSpacingMs - 1, CheckDeadlines();
  EXPECT_EQ(udp.sent, 1);
  fake::tick += 1, CheckDeadlines();
  EXPECT_EQ(udp.sent, 2);
  Measure(ntp, 250, {20, 30});
  // TIME: the reading plus half the round trip, 500 + 21 / 2 + 7 = 517, 522 and 512. The offset
  // is the mean of the two quickest samples, the latency that of all three.
  Measure(time, 500, {21, 30, 10});
  EXPECT_EQ(gServerTable[time].offset, (512 + 517) / 2);
  EXPECT_EQ(gServerTable[time].latencyMs, 20u);
  EXPECT_EQ(gServerTable[ntp].offset, 257);
  EXPECT_EQ(gServerTable[ntp].latencyMs, 30u);
  EXPECT_EQ(gServerTable[ntp].status, StatusTested);
  EXPECT_EQ(udp.sent, 3);  // three requests on one socket
  for (const auto& [handle, socket] : fake::sockets) EXPECT_TRUE(socket.closed) << handle;
  EXPECT_EQ(gScheduleBase, 0);
  static PassEntry record;
  CapturePass(0, &record);
  EXPECT_EQ(record.serverCount, 2) << "the record names the chosen servers only";
  EXPECT_EQ(fake::log, "line 2; button Stop Testing...; line 0; button Synchronize Time; refresh; ");
}

TEST(QueryEngine, ACorrectingPassEndsEachQueryWithItsStatus) {
  fake::Reset();
  const struct { const char* name; void (*events)(int slot); uint32_t status; } cases[] = {
      // Set-up failures: no connection, datagram socket or look-up starts.
      {"0.0.0.0", [](int) {}, StatusWinsockError}, {"ntp://0.0.0.0", [](int) {}, StatusWinsockError},
      {"ntp://", [](int) {}, StatusWinsockError}, {"10.0.0.99", [](int) {}, StatusDisabled},
      {"10.0.0.1", [](int s) { Event(s, kEventConnect, kErrorConnectionRefused); }, StatusRefused},
      {"10.0.0.2", [](int s) { Event(s, kEventConnect, 10060); }, StatusNoResponse},
      {"10.0.0.3", [](int s) { Event(s, kEventConnect), Event(s, kEventRead, 0, {1, 2}); }, StatusNoResponse},
      {"10.0.0.12", [](int s) { Event(s, kEventConnect), Event(s, kEventRead, 0, {0, 0, 0, 0}); }, StatusNoResponse},
      // Every look-up error ends the query at once: no such name, no address, a failing name server.
      {"unknown.example", [](int s) { OnLookupDone(gQuerySlots[s].lookupHandle, 11001); }, StatusNoDnsEntry},
      {"v6only.example", [](int s) { OnLookupDone(gQuerySlots[s].lookupHandle, 11004); }, StatusNoDnsEntry},
      {"flaky.example", [](int s) { OnLookupDone(gQuerySlots[s].lookupHandle, 11002); }, StatusNoDnsEntry},
      {"empty.example", [](int s) { OnLookupDone(gQuerySlots[s].lookupHandle, 0); }, StatusNoDnsEntry},
      {"ntp://10.0.0.4", [](int s) { Event(s, kEventRead, 0, Answer(s, 1, 0, "RATE")); }, StatusRefused},
      {"ntp://10.0.0.5", [](int s) { Event(s, kEventRead, 0, Answer(s, 1, 0, "INIT")); }, StatusNoResponse},
      {"ntp://10.0.0.6", [](int s) { Event(s, kEventRead, kErrorConnectionReset); }, StatusRefused},
      {"ntp://10.0.0.7", [](int s) { Event(s, kEventRead, 10065); }, StatusNoResponse},
      {"ntp://10.0.0.8", [](int s) { Event(s, kEventClose, kErrorConnectionRefused); }, StatusRefused},
      // A reply to another request is dropped; the query waits on.
      {"ntp://10.0.0.9", [](int s) { Bytes r = Answer(s, 1); r[31] ^= 1, Event(s, kEventRead, 0, r); },
       StatusSlowResponse},
      // A stale connect notice while reading, and read notices with nothing to read, change nothing.
      {"10.0.0.10", [](int s) { Event(s, kEventConnect), Event(s, kEventRead), Event(s, kEventConnect),
                                Measure(s, 100, {10, 10, 10}); }, StatusMeasured},
      {"ntp://10.0.0.11", [](int s) { Event(s, kEventRead), Event(s, kEventClose); }, StatusSlowResponse},
      // A receive stamp 10 minutes before the transmit stamp: not a reading of the server's clock.
      {"ntp://10.0.0.13", [](int s) { Bytes r = Answer(s, fake::now), old = Answer(s, fake::now - 600000);
                                      std::copy(old.begin() + 32, old.begin() + 40, r.begin() + 32);
                                      Event(s, kEventRead, 0, r); }, StatusNoResponse},
      // A name that resolves slowly has a deadline of its own: others finishing do not cut it short.
      {"slow.example", [](int) {}, StatusMeasured},
  };
  for (const auto& c : cases) {
    const int slot = AddServer(c.name);
    gServerTable[slot].enabled = c.status != StatusDisabled;
    SaveServer(slot);
  }
  // Another Orvalen disables, renames and deletes a server meanwhile: no result goes onto those.
  fake::store["Server004"][offsetof(ServerRecord, enabled)] = 0;
  fake::store["Server005"][0] = 'X';
  fake::store.erase("Server006");
  const Bytes disabled = fake::store["Server004"], renamed = fake::store["Server005"];
  const int slow = 21;
  fake::hosts["slow.example"] = {fake::Ip(10, 0, 0, 12)};
  const Ms1900 start = fake::now;
  const TickMs started = fake::tick = 0u - 60'000;  // the tick wraps during the pass
  gClockChangedInPass = true;  // during an earlier pass: this one measures afresh
  fake::store["LastCorrectionTime"] = Bytes(8, 7);  // as is another Orvalen's step before it
  fake::store["Offset"] = {5, 0, 0, 0, 0, 0, 0, 0};  // and the offset, which every sample adds
  StartCorrectingPass(TriggerUser);
  EXPECT_EQ(gScheduleBase, start);
  EXPECT_EQ(gQuerySlots[slow].deadline, TickMs(started + kConnectTimeoutMs));
  for (int slot = 0; slot < slow; ++slot) cases[slot].events(slot);
  fake::tick = gQuerySlots[17].deadline;
  CheckDeadlines();
  EXPECT_EQ(gActiveQueries, 3) << "exactly at a deadline is not past it";
  fake::tick += 1;
  CheckDeadlines();
  EXPECT_EQ(gActiveQueries, 1);
  fake::tick += 5000;
  OnLookupDone(gQuerySlots[slow].lookupHandle, 0);
  Measure(slow, 100, {30, 10, 10});  // the slowest first: 120 is left out
  for (int slot = 0; slot <= slow; ++slot) {
    EXPECT_EQ(gServerTable[slot].status, cases[slot].status) << slot;
    char value[10];
    ServerValueName(slot, value);
    if (slot < 4 || slot > 6) {  // and stored so
      EXPECT_EQ(fake::store[value][offsetof(ServerRecord, status)], cases[slot].status) << slot;
    }
  }
  EXPECT_EQ(fake::store["Server004"], disabled);
  EXPECT_EQ(fake::store["Server005"], renamed);
  EXPECT_EQ(fake::store.count("Server006"), 0u);
  EXPECT_EQ(fake::log, "line 1; button Stop Correcting...; refresh; step 110; announce; line 0; "
                       "button Synchronize Time; refresh; ");
}

TEST(QueryEngine, AnotherOrvalensStepDuringThePassIsNotMadeAgain) {
  fake::Reset();
  AddServer("10.0.0.1");
  StartCorrectingPass(TriggerSchedule);
  fake::store["LastCorrectionTime"] = Bytes(8, 7);  // a script's Orvalen stepped the clock meanwhile
  Measure(0, 100, {10, 10, 10});
  EXPECT_EQ(gLastOutcome, OutcomeClockChanged);
  EXPECT_EQ(fake::log.find("step"), std::string::npos) << fake::log;
  EXPECT_FALSE(fake::turnHeld) << "the next step, any Orvalen's, would wait";
}

TEST(QueryEngine, EachAddressOfANameIsTriedInTurn) {
  fake::Reset();
  const NetAddress v6 = fake::Ip(0, 0, 0, 1, true), v4 = fake::Ip(10, 0, 0, 1);
  fake::hosts["dual.example"] = {v6, v4};
  fake::hosts["ntp.example"] = {v6, fake::Ip(0, 0, 0, 0), v4};  // the middle one cannot be opened
  const int time = AddServer("dual.example"), ntp = AddServer("ntp://ntp.example");
  const int literal = AddServer("[::1]"), ntpLiteral = AddServer("ntp://[::1]");
  StartCorrectingPass(TriggerUser);
  EXPECT_EQ(fake::sockets[gQuerySlots[literal].socket].address, v6);
  EXPECT_EQ(fake::sockets[gQuerySlots[ntpLiteral].socket].address, v6);
  OnLookupDone(gQuerySlots[time].lookupHandle, 0), OnLookupDone(gQuerySlots[ntp].lookupHandle, 0);
  const uintptr_t refused = gQuerySlots[time].socket;
  Event(time, kEventConnect, kErrorConnectionRefused);  // IPv6 refused: then IPv4
  EXPECT_EQ(fake::sockets[gQuerySlots[time].socket].address, v4);
  DispatchSocketEvent(refused, kEventConnect, kErrorConnectionRefused);  // still queued for the old socket
  fake::tick = gQuerySlots[ntp].deadline + 1, CheckDeadlines();  // IPv6 silent: then IPv4, anew
  EXPECT_EQ(fake::sockets[gQuerySlots[ntp].socket].address, v4);
  EXPECT_EQ(gQuerySlots[ntp].deadline, fake::tick + kReplyTimeoutMs);
  Measure(time, 100, {10, 10, 10}), Measure(ntp, 100, {10, 10, 10});
  EXPECT_EQ(gServerTable[time].status, StatusMeasured);
  EXPECT_EQ(gServerTable[ntp].status, StatusMeasured);
  // A pass that slept for a month, longer than the tick's signed range, ends once awake; a
  // look-up's deadline, its whole wait ahead, is not taken for one passed that long ago.
  FinishAllQueries(StatusInterrupted), StartCorrectingPass(TriggerUser), CheckDeadlines();
  EXPECT_EQ(gQuerySlots[time].phase, PhaseResolving);
  fake::tick += 30u * 24 * 3600 * 1000, CheckDeadlines();
  EXPECT_FALSE(PassBusy());
}

TEST(QueryEngine, PassesDoNotNest) {
  fake::Reset();
  gServerTable[AddServer("10.0.0.1")].enabled = 1;
  static int testSlot = AddServer("10.0.0.2");
  gServerTable[testSlot].enabled = 0, SaveServer(testSlot);
  // Requests while a correcting pass runs or ends (its broadcast lets messages in): another
  // correction would repeat it, a test is held until the pass has fully ended.
  StartCorrectingPass(TriggerUser);
  StartCorrectingPass(TriggerSecondLaunch);
  fake::onAnnounce = [] { StartTestingPass(&testSlot, 1), StartCorrectingPass(TriggerSecondLaunch); };
  EXPECT_EQ(fake::sockets.size(), 1u);
  Measure(0, 100, {10, 10, 10});
  EXPECT_EQ(fake::log, "line 1; button Stop Correcting...; refresh; step 105; announce; line 0; "
                       "button Synchronize Time; refresh; line 2; button Stop Testing...; ");
  EXPECT_EQ(gPassMode, Testing);
  // A stop drops what was held.
  StartCorrectingPass(TriggerSchedule);
  FinishAllQueries(StatusInterrupted);
  EXPECT_FALSE(PassBusy());
  EXPECT_TRUE(gPassStopped);
  EXPECT_EQ(gServerTable[testSlot].status, StatusInterrupted);
  // A correction held while its one server was disabled asks no one, and says so.
  StartTestingPass(&testSlot, 1);
  StartCorrectingPass(TriggerCommandLine);
  gServerTable[0].enabled = 0;
  FinishQuery(testSlot, StatusRefused);
  EXPECT_EQ(fake::log.substr(fake::log.size() - 8), "no one; ");
  EXPECT_FALSE(gPassStopped) << "the stop was the pass before";
  // An edit that ends the last query of a pass is made before a held pass starts. A user's
  // start joins a script's held correction, which still asks no one.
  StartTestingPass(&testSlot, 1);
  StartCorrectingPass(TriggerCommandLine), StartCorrectingPass(TriggerSecondLaunch);
  ToggleSlot(testSlot);  // enabled, for the held pass to ask
  EXPECT_NE(gQuerySlots[testSlot].phase, PhaseIdle);
  EXPECT_EQ(gPassStartedBy, TriggerCommandLine);
  FinishAllQueries(StatusInterrupted);
  StartTestingPass(&testSlot, 1), StartCorrectingPass(TriggerUser), FinishQuery(testSlot, StatusRefused);
  EXPECT_EQ(gPassStartedBy, TriggerUser) << "the script's request went with its pass";
  // A test asked for while a stopped pass ends starts once the stop is done, not under it; a
  // reset of the list stops it too, as it asks a server that went with the list.
  AddServer("10.0.0.3");
  static int later = AddServer("10.0.0.4");
  gServerTable[later].enabled = 0;
  fake::onAnnounce = [] { StartTestingPass(&later, 1); };
  for (const bool reset : {false, true}) {
    FinishAllQueries(StatusInterrupted);
    StartCorrectingPass(TriggerUser);
    Measure(testSlot, 100, {10, 10, 10});
    reset ? ResetSlots() : FinishAllQueries(StatusInterrupted);
    EXPECT_EQ(gLastOutcome, OutcomeStepped) << "on the one answer, before any reset";
    EXPECT_EQ(gQuerySlots[later].phase != PhaseIdle, !reset);
    EXPECT_EQ(PassBusy(), !reset);
    EXPECT_EQ(std::strcmp(gServerTable[testSlot].name, "10.0.0.2") == 0, !reset);
  }
  // A test settles while it updates the screen at its start and end; a correction never does.
  FinishAllQueries(StatusInterrupted);
  static std::string settling;
  fake::onLine = [] { settling += TestSettling() ? "T" : "-"; };
  StartTestingPass(&testSlot, 1);
  EXPECT_FALSE(TestSettling());
  FinishAllQueries(StatusInterrupted);
  StartCorrectingPass(TriggerUser), FinishAllQueries(StatusInterrupted);
  EXPECT_EQ(settling, "TT--");
  // A shutdown under the pass's end (its question, its broadcast) drops a test held meanwhile,
  // and ends the pass no second time.
  fake::Reset();
  const int asked = AddServer("10.0.0.1");
  gServerTable[later = AddServer("10.0.0.2")].enabled = 0;
  fake::onAnnounce = [] { fake::onAnnounce = nullptr, StartTestingPass(&later, 1), FinishAllQueries(StatusInterrupted); };
  StartCorrectingPass(TriggerUser);
  Measure(asked, 100, {10, 10, 10});
  EXPECT_EQ(fake::log.substr(fake::log.find("step")), "step 105; announce; line 0; button Synchronize Time; refresh; ");
  EXPECT_FALSE(PassBusy());
}

// An edit that ends a pass is stored before the pass's step lets messages in: what another
// Orvalen does to the entry meanwhile stays.
TEST(QueryEngine, AnEditIsStoredBeforeThePassItEndsSteps) {
  fake::Reset();
  const int answers = AddServer("10.0.0.1"), edited = AddServer("10.0.0.2");
  SaveServer(answers), SaveServer(edited);
  static PassEntry entry;
  for (const bool rename : {true, false}) {
    StartCorrectingPass(TriggerUser);
    Measure(answers, 100, {10, 10, 10});
    fake::onAnnounce = [] { fake::store["Server001"][0] = 'X', CapturePass(0, &entry); };
    rename ? RenameSlot(edited, "renamed.example") : ToggleSlot(edited);
    EXPECT_EQ(gLastOutcome, OutcomeStepped);
    EXPECT_EQ(entry.serverCount, rename ? 1 : 2) << "the pass did not ask the new name";
    EXPECT_FALSE(gPassStopped) << "an edit that ends the last query stops no pass";
    EXPECT_EQ(fake::store["Server001"][0], 'X') << rename;
    fake::onAnnounce = nullptr, TakeInChangedServer(edited);
  }
}

// A pass held behind one that ends on a deadline starts with deadlines of its own.
TEST(QueryEngine, AHeldPassIsNotTimedOutWithThePassBeforeIt) {
  fake::Reset();
  const int answers = AddServer("10.0.0.1"), silent = AddServer("10.0.0.2");
  int held = AddServer("held.example");
  gServerTable[held].enabled = 0;  // asked by the test alone
  StartCorrectingPass(TriggerUser);
  Measure(answers, 100, {10, 10, 10});
  StartTestingPass(&held, 1);
  fake::onAnnounce = [] { fake::tick += 1; };  // the step's broadcast takes its time
  fake::tick = gQuerySlots[silent].deadline + 1, CheckDeadlines();
  EXPECT_EQ(gServerTable[silent].status, StatusSlowResponse);
  EXPECT_EQ(gPassMode, Testing);
  EXPECT_EQ(gQuerySlots[held].phase, PhaseResolving);
}

TEST(QueryEngine, ATestAskedForDuringAnotherJoinsIt) {
  fake::Reset();
  int first = AddServer("10.0.0.1"), second = AddServer("10.0.0.2"), third = AddServer("10.0.0.3");
  gServerTable[second].enabled = gServerTable[third].enabled = 0;  // asked by the tests alone
  StartCorrectingPass(TriggerUser);
  StartTestingPass(&first, 1), FinishAllQueries(StatusInterrupted);  // a stop drops the held test
  fake::log.clear();
  StartCorrectingPass(TriggerUser);
  // A script's test of two servers, then the user's of one of them: the later drops neither.
  int script[] = {third, second};
  StartTestingPass(script, 2), StartTestingPass(&third, 1);
  EXPECT_EQ(gQuerySlots[second].phase, PhaseIdle) << "a correction is not joined: the test waits";
  Measure(first, 100, {10, 10, 10});
  EXPECT_EQ(gQuerySlots[first].phase, PhaseIdle) << "the dropped test came back";
  Measure(third, 100, {10, 10, 10});
  StartTestingPass(&first, 1);
  for (int slot : {first, second}) Measure(slot, 100, {10, 10, 10});
  for (int slot : {first, second, third}) EXPECT_EQ(gServerTable[slot].status, StatusTested) << slot;
  static PassEntry record;
  CapturePass(0, &record);
  EXPECT_EQ(record.serverCount, 3) << "one testing pass asked all three";
  EXPECT_EQ(fake::log, "line 1; button Stop Correcting...; refresh; step 105; announce; line 0; "
                       "button Synchronize Time; refresh; line 2; button Stop Testing...; line 0; "
                       "button Synchronize Time; refresh; ");
}

TEST(QueryEngine, AServerThatDeniesIsNotAskedAgainUntilEdited) {
  fake::Reset();
  const int slot = AddServer("ntp://10.0.0.1"), rate = AddServer("ntp://10.0.0.2");
  SaveServer(slot);
  StartCorrectingPass(TriggerUser);
  Event(slot, kEventRead, 0, Answer(slot, 1, 0, "DENY"));
  Event(rate, kEventRead, 0, Answer(rate, 1, 0, "RATE"));
  StartCorrectingPass(TriggerSchedule);
  EXPECT_EQ(gQuerySlots[slot].phase, PhaseIdle);
  EXPECT_EQ(gServerTable[slot].status, StatusRefused);
  EXPECT_EQ(gQuerySlots[rate].phase, PhaseReading) << "a RATE kiss ends only that pass's query";
  FinishAllQueries(StatusInterrupted);
  // With no other server the pass is made all the same, and reached none.
  ToggleSlot(rate);
  fake::log.clear();
  StartCorrectingPass(TriggerSchedule);
  static PassEntry record;
  CapturePass(0, &record);
  EXPECT_EQ(fake::log.rfind("line 1; button Stop Correcting...; line 0; button Synchronize Time; ", 0), 0u) << fake::log;
  EXPECT_EQ(record.outcome, OutcomeNoAnswer);
  ASSERT_EQ(record.serverCount, 1);
  EXPECT_EQ(record.servers[0].status, StatusRefused);
  ToggleSlot(slot), ToggleSlot(slot);
  StartCorrectingPass(TriggerUser);
  EXPECT_EQ(gQuerySlots[slot].phase, PhaseReading);
}

// After a resume or a network change a pass is retried while every server asked failed to answer.
TEST(QueryEngine, APassFoundNoServerWhenNoServerAskedAnswered) {
  const struct { std::vector<uint32_t> statuses; bool none; } cases[] = {
      {{StatusSlowResponse, StatusNoDnsEntry, StatusDisabled}, true},
      {{StatusNoResponse, StatusNetDown, StatusWinsockError}, true},
      {{StatusDisabled}, false}, {{StatusNoResponse, StatusRefused}, false}, {{StatusSlowResponse, StatusTested}, false},
  };
  for (const auto& c : cases) {
    fake::Reset();
    for (uint32_t status : c.statuses) gServerTable[AddServer("h")].status = status;
    gServerTable[kMaxServers - 1].status = StatusMeasured;  // an unnamed slot counts for nothing
    EXPECT_EQ(PassFoundNoServer(), c.none) << c.statuses.size();
  }
  // A DENY answers; remembered in the next pass, it tells nothing of the network.
  fake::Reset();
  const int denying = AddServer("ntp://10.0.0.4"), silent = AddServer("10.0.0.5");
  SaveServer(denying), SaveServer(silent);
  for (const bool before : {false, true}) {
    StartCorrectingPass(TriggerUser);
    if (!before) Event(denying, kEventRead, 0, Answer(denying, 1, 0, "DENY"));
    fake::tick = gQuerySlots[silent].deadline + 1, CheckDeadlines();
    EXPECT_EQ(gActiveQueries, 0);
    EXPECT_EQ(gServerTable[denying].status, StatusRefused);
    EXPECT_EQ(PassFoundNoServer(), before);
  }
}

struct Server { int slot; OffsetMs offset; uint32_t status = StatusMeasured; bool ntp = false; bool enabled = true; };
constexpr OffsetMs kNoStep = INT64_MIN;
constexpr OffsetMs kYear = 365LL * 86400000;

TEST(CorrectClock, TheServersMustAgreeAndTheGuardMustPass) {
  const struct {
    std::vector<Server> servers;
    std::vector<int> setAside;  // marked " (unused)" by this correction
    OffsetMs step;
    CorrectionOutcome outcome;
    PassTrigger trigger = TriggerUser;
    std::vector<uint8_t> maxCorrection = {};  // the stored value's bytes
    bool confirm = false, refused = false, clockChanged = false;
  } cases[] = {
      {{{0, 100}, {1, 150}, {2, 5000}}, {2}, 125, OutcomeStepped},  // mean 1750, then 125
      {{{0, 5000}, {1, 100}, {2, 150}}, {0}, 125, OutcomeStepped},
      {{{0, 0}, {1, 3998}}, {}, 1999, OutcomeStepped},  // deviations 1999 stay
      {{{0, -2000}, {1, 0}, {2, 2000}}, {2}, -1000, OutcomeStepped},  // of two as far, the higher slot goes
      {{{4, -73000}}, {}, -73000, OutcomeStepped},      // a lone answer is a majority of one
      {{{0, 100}, {1, 150}, {2, 5000, StatusMeasured, false, false}}, {2}, 125, OutcomeStepped},  // disabled since
      {{{0, 100, StatusMeasured, false, false}}, {0}, kNoStep, OutcomeNoAnswer},
      {{{0, 10}, {1, 20, StatusTested}, {2, 9000, StatusRejected}, {3, 7000, StatusNoResponse}}, {}, 10,
       OutcomeStepped},
      // Two that disagree, a 2/2 split: ties no longer decide, nothing is stepped.
      {{{3, -2000}, {7, 2000}}, {3, 7}, kNoStep, OutcomeDisagreed},
      {{{0, 0}, {1, 3999}}, {0, 1}, kNoStep, OutcomeDisagreed},
      {{{0, 0}, {1, 10}, {2, 9000}, {3, 9010}}, {0, 1, 2, 3}, kNoStep, OutcomeDisagreed},
      // Both protocols are judged together; then the NTP mean decides, if it and each TIME server
      // that bears it out (reading up to 500 ms above it or 1500 ms below) are a majority.
      {{{0, 0}, {1, 10}, {2, 20}, {3, 5 * kYear, StatusMeasured, true}}, {3}, 10, OutcomeStepped},
      {{{0, -500, StatusMeasured, true}, {1, 0}}, {1}, -500, OutcomeStepped},
      {{{0, 0}, {1, 1499, StatusMeasured, true}}, {0}, 1499, OutcomeStepped},
      {{{0, 0}, {1, 1500, StatusMeasured, true}}, {0, 1}, kNoStep, OutcomeDisagreed},
      {{{0, -300, StatusMeasured, true}, {1, 900}, {2, -310, StatusMeasured, true}}, {1}, -305, OutcomeStepped},
      {{{0, 0, StatusMeasured, true}, {1, 0, StatusMeasured, true}, {2, -500}, {3, -3000}, {4, -3000}}, {2, 3, 4}, 0,
       OutcomeStepped},
      // The NTP servers are judged again on their own: -3000 is 2 s from their mean.
      {{{0, 0, StatusMeasured, true}, {1, 0, StatusMeasured, true}, {2, -3000, StatusMeasured, true}, {3, -1400},
        {4, -3000}}, {2, 3, 4}, 0, OutcomeStepped},
      {{{0, 250, StatusMeasured, true}, {1, -3250, StatusMeasured, true}, {2, -2250}, {3, 0, StatusMeasured, true}},
       {0, 1, 2, 3}, kNoStep, OutcomeDisagreed},
      {{{0, -1500}, {1, -1500}, {2, 1500}, {3, 1500, StatusMeasured, true}, {4, 1500, StatusMeasured, true}},
       {0, 1, 2}, 1500, OutcomeStepped},
      // Failing that the TIME mean decides, judged again on its own, with each NTP server that bears it out.
      {{{0, -500}, {1, -500}, {2, -500}, {3, 1400, StatusMeasured, true}}, {3}, -500, OutcomeStepped},
      {{{0, 0, StatusMeasured, true}, {1, -1600, StatusMeasured, true}, {2, -2500}, {3, -2500}}, {0, 1}, -2500,
       OutcomeStepped},  // the NTP result has but half
      {{{0, 1000, StatusMeasured, true}, {1, 1000, StatusMeasured, true}, {2, -2000, StatusMeasured, true}, {3, -2000},
        {4, -2000}}, {0, 1, 2}, -2000, OutcomeStepped},
      {{{0, -4100}, {1, -4100}, {2, -2000, StatusMeasured, true}, {3, -900}}, {0, 1, 2, 3}, kNoStep,
       OutcomeDisagreed},
      {{{0, 0}, {1, 1600, StatusMeasured, true}, {2, 1600, StatusMeasured, true}, {3, 9000}, {4, -9000}},
       {0, 1, 2, 3, 4}, kNoStep, OutcomeDisagreed},
      // The guard: 15 hours unless "MaxCorrection" (a DWORD of seconds, 0 for none) says otherwise.
      {{{0, 54000001}}, {}, kNoStep, OutcomeDeclined},
      {{{0, -54000001}}, {}, -54000001, OutcomeStepped, TriggerSecondLaunch, {}, true},
      {{{0, 54000001}}, {}, kNoStep, OutcomeGuardRefused, TriggerSchedule, {}, true},
      {{{0, 54000000}}, {}, 54000000, OutcomeStepped, TriggerLaunch},
      {{{0, 5 * kYear}}, {}, 5 * kYear, OutcomeStepped, TriggerSchedule, {0, 0, 0, 0}},
      {{{0, 10001}}, {}, kNoStep, OutcomeGuardRefused, TriggerLaunch, {10, 0, 0, 0}},
      {{{0, 10000}}, {}, 10000, OutcomeStepped, TriggerLaunch, {10, 0, 0, 0}},
      {{{0, 54000001}}, {}, kNoStep, OutcomeGuardRefused, TriggerSchedule, {0, 0}},  // not a DWORD: 15 h
      // A refused step keeps the last correction and the pass's start as the base: no storm of passes.
      {{{0, 100}, {1, 150}, {2, 5000}}, {2}, 125, OutcomePlatformRefused, TriggerUser, {}, false, true},
      // Offsets measured across a clock change step nothing and ask nothing, however far or split.
      {{{0, 54000001}}, {}, kNoStep, OutcomeClockChanged, TriggerUser, {}, true, false, true},
      {{{3, -2000}, {7, 2000}}, {}, kNoStep, OutcomeClockChanged, TriggerUser, {}, false, false, true},
      {{{0, 100, StatusNoResponse}, {1, 100, StatusTested}}, {}, kNoStep, OutcomeNoAnswer},
  };
  for (const auto& c : cases) {
    fake::Reset();
    for (const Server& s : c.servers) {
      std::strcpy(gServerTable[s.slot].name, "host");
      gServerTable[s.slot].enabled = s.enabled;
      gServerTable[s.slot].status = s.status, gServerTable[s.slot].offset = s.offset;
      gQuerySlots[s.slot].ntp = s.ntp;
      SaveServer(s.slot);
    }
    gServerTable[9].status = StatusMeasured;  // unnamed slots never count
    if (!c.maxCorrection.empty()) fake::store["MaxCorrection"] = c.maxCorrection;
    const Ms1900 before = 777;
    gLastCorrectionTime = gLastCorrectionValue = before;
    gScheduleBase = 12345, gExitAfterCorrection = true, gPassStartedBy = c.trigger;
    fake::refuseStep = c.refused, fake::confirm = c.confirm, gClockChangedInPass = c.clockChanged;
    CorrectClock();
    const bool stepped = c.outcome == OutcomeStepped;
    std::vector<int> setAside;
    for (int i = 0; i < kMaxServers; ++i)
      if (gServerTable[i].status == StatusRejected && gQuerySlots[i].dirty == 1) setAside.push_back(i);
    EXPECT_EQ(setAside, c.setAside) << c.step;
    EXPECT_EQ(gLastOutcome, c.outcome) << c.step;
    EXPECT_EQ(gCorrectionFailed, !stepped) << c.step;
    const bool asked =
        c.outcome == OutcomeDeclined || (c.confirm && !IsUnattended(c.trigger) && c.outcome != OutcomeClockChanged);
    std::string log = asked ? "ask " + std::to_string(c.servers[0].offset) + "; " : "";
    if (c.step != kNoStep) log += "step " + std::to_string(c.step) + "; exit timer; ";
    if (stepped) log += "announce; ";
    EXPECT_EQ(fake::log, log) << c.step;
    EXPECT_FALSE(fake::turnHeld) << c.step;  // another Orvalen's step may not wait on this one
    const Ms1900 setTo = stepped ? fake::now + c.step : before;
    EXPECT_EQ(gLastCorrectionTime, setTo) << c.step;
    EXPECT_EQ(gLastCorrectionValue, stepped ? c.step : before) << c.step;
    EXPECT_EQ(gScheduleBase, stepped ? setTo : 12345) << c.step;
    EXPECT_EQ(fake::store.count("LastCorrectionTime"), stepped ? 1u : 0u) << c.step;
    // What the tip and the history report: the agreed mean, made or not.
    const bool agreed =
        c.outcome != OutcomeDisagreed && c.outcome != OutcomeNoAnswer && c.outcome != OutcomeClockChanged;
    EXPECT_EQ(gPassCorrection, !agreed ? 0 : c.step != kNoStep ? c.step : c.servers[0].offset) << c.step;
    for (int slot : setAside) {  // and saved so
      char name[10];
      ServerValueName(slot, name);
      EXPECT_EQ(fake::store[name][offsetof(ServerRecord, status)], StatusRejected) << slot;
    }
    if (stepped) {
      EXPECT_EQ(std::memcmp(fake::store["LastCorrectionValue"].data(), &c.step, 8), 0);
    }
  }
}

TEST(StoredValues, TheUserOffsetCountsOnlyWhenItIsAYearOrLess) {
  auto little = [](int64_t value, size_t size) {
    std::vector<uint8_t> bytes(size);
    std::memcpy(bytes.data(), &value, size);
    return bytes;
  };
  const struct { std::vector<uint8_t> bytes; OffsetMs offset; } cases[] = {
      {{}, 0}, {little(5000, 8), 5000},
      {little(-1000, 4), 0},  // a DWORD -1000 would read as +49.7 days in the low half
      {little(kMaxUserOffsetMs, 8), kMaxUserOffsetMs}, {little(-kMaxUserOffsetMs, 8), -kMaxUserOffsetMs},
      {little(kMaxUserOffsetMs + 1, 8), 0},
      {little(INT64_MAX, 8), 0},  // would overflow the sum of samples
  };
  for (const auto& c : cases) {
    fake::Reset();
    if (!c.bytes.empty()) fake::store["Offset"] = c.bytes;
    gUserOffset = 99;
    LoadUserOffset();
    EXPECT_EQ(gUserOffset, c.offset) << c.bytes.size();
    EXPECT_EQ(fake::store.count("Offset"), c.bytes.empty() ? 0u : 1u) << "left in the store as it is";
  }
}

// Random event orders: deadlines, stale and mismatched events, cancellations
// and edits across all 50 slots. The fuzz target engine_events searches
// further with the same script.
TEST(EngineModel, RandomEventOrdersKeepTheRules) {
  std::mt19937 random(20261206u);
  uint8_t script[400];
  for (int run = 0; run < 10000; ++run) {
    for (uint8_t& byte : script) byte = static_cast<uint8_t>(random());
    ASSERT_EQ(RunEngineScript(script, sizeof script), "") << "run " << run;
  }
}
