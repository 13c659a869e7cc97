#include "core/query_engine.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/correction.h"
#include "core/query_transport.h"
#include "tests/unit/fakes.h"

namespace {

class QueryEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }

  static int Add(const char* name, bool enabled = true) {
    int slot = AddServer(name);
    ServerTable[slot].enabled = enabled;
    return slot;
  }
  static uintptr_t Socket(int slot) { return QuerySlots[slot].socket; }
  static void Connected(int slot, uint32_t error = 0) {
    DispatchSocketEvent(Socket(slot), kEventConnect, error);
  }
  // The server's answer: its clock `ahead` ms in front of ours, read `tripMs`
  // after the connection completed.
  static void Answer(int slot, int64_t ahead, TickMs tripMs) {
    Ms1900 serverMs = (fake::now + ahead) / 1000 * 1000;  // servers send whole seconds
    fake::now = serverMs - ahead;
    uint32_t seconds = static_cast<uint32_t>(serverMs / 1000);
    uint8_t bytes[4] = {uint8_t(seconds >> 24), uint8_t(seconds >> 16), uint8_t(seconds >> 8),
                        uint8_t(seconds)};
    fake::sockets.at(Socket(slot)).reply.assign(bytes, bytes + 4);
    fake::tick += tripMs;
    DispatchSocketEvent(Socket(slot), kEventRead, 0);
  }
  // Three samples with the given round trips, each server `ahead` ms in front.
  static void Measure(int slot, int64_t ahead, TickMs a = 10, TickMs b = 10, TickMs c = 10) {
    for (TickMs trip : {a, b, c}) {
      Connected(slot);
      Answer(slot, ahead, trip);
    }
  }
  static void Reply(int slot, std::vector<uint8_t> bytes) {
    fake::sockets.at(Socket(slot)).reply = std::move(bytes);
    DispatchSocketEvent(Socket(slot), kEventRead, 0);
  }
};

TEST_F(QueryEngineTest, QueryStatesFromStartToResult) {
  fake::hosts["good.example"] = fake::Ip(10, 0, 0, 1);
  int dotted = Add("192.0.2.1");
  int named = Add("good.example");
  int broadcast = Add("255.255.255.255");  // not an address: goes to the look-up
  StartCorrectingPass();

  EXPECT_EQ(QuerySlots[dotted].phase, PhaseConnecting);
  EXPECT_EQ(fake::sockets.at(Socket(dotted)).address, fake::Ip(192, 0, 2, 1));
  EXPECT_EQ(QuerySlots[named].phase, PhaseResolving);
  EXPECT_EQ(QuerySlots[broadcast].phase, PhaseResolving);
  EXPECT_EQ(ActiveQueries, 3);

  OnLookupDone(QuerySlots[named].lookupHandle, 0);
  EXPECT_EQ(QuerySlots[named].phase, PhaseConnecting);
  EXPECT_EQ(QuerySlots[named].lookupHandle, 0u);
  EXPECT_EQ(fake::sockets.at(Socket(named)).address, fake::Ip(10, 0, 0, 1));

  Connected(dotted);
  EXPECT_EQ(QuerySlots[dotted].phase, PhaseReading);
  Answer(dotted, 0, 10);
  EXPECT_EQ(QuerySlots[dotted].phase, PhaseConnecting);  // the next sample
  EXPECT_EQ(QuerySlots[dotted].samplesTaken, 1u);
  Connected(dotted);
  Answer(dotted, 0, 10);
  Connected(dotted);
  Answer(dotted, 0, 10);
  EXPECT_EQ(QuerySlots[dotted].phase, PhaseIdle);
  EXPECT_EQ(ServerTable[dotted].status, StatusMeasured);
  for (const auto& [handle, connection] : fake::sockets) {
    if (connection.address == fake::Ip(192, 0, 2, 1)) {
      EXPECT_TRUE(connection.closed);
    }
  }
  EXPECT_EQ(fake::store.count("Server000"), 1u);  // the result is persisted
}

TEST_F(QueryEngineTest, FailuresBecomeTheServersStatus) {
  fake::hosts["empty.example"] = 0;  // a host entry without addresses
  int refused = Add("10.0.0.1");
  int unreachable = Add("10.0.0.2");
  int readError = Add("10.0.0.3");
  int shortReply = Add("10.0.0.4");
  int closed = Add("10.0.0.5");
  int unknown = Add("unknown.example");
  int noAddress = Add("empty.example");
  int otherLookupError = Add("flaky.example");
  StartCorrectingPass();

  Connected(refused, kErrorConnectionRefused);
  Connected(unreachable, 10060);
  Connected(readError);
  DispatchSocketEvent(Socket(readError), kEventRead, 10054);
  Connected(shortReply);
  Reply(shortReply, {0x12, 0x34});
  Connected(closed);
  Reply(closed, {});
  OnLookupDone(QuerySlots[unknown].lookupHandle, kErrorHostNotFound);
  OnLookupDone(QuerySlots[noAddress].lookupHandle, 0);
  OnLookupDone(QuerySlots[otherLookupError].lookupHandle, 11002);

  EXPECT_EQ(ServerTable[refused].status, StatusRefused);
  EXPECT_EQ(ServerTable[unreachable].status, StatusNoResponse);
  EXPECT_EQ(ServerTable[readError].status, StatusNoResponse);
  EXPECT_EQ(ServerTable[shortReply].status, StatusNoResponse);
  EXPECT_EQ(ServerTable[closed].status, StatusNoResponse);
  EXPECT_EQ(ServerTable[unknown].status, StatusNoDnsEntry);
  EXPECT_EQ(ServerTable[noAddress].status, StatusNoDnsEntry);
  // Any other look-up error waits for the deadline.
  EXPECT_EQ(QuerySlots[otherLookupError].phase, PhaseResolving);
  EXPECT_EQ(QuerySlots[otherLookupError].lookupHandle, 0u);
  EXPECT_EQ(ActiveQueries, 1);
  fake::now = PassDeadline + 1;
  CheckPassDeadline();
  EXPECT_EQ(ServerTable[otherLookupError].status, StatusSlowResponse);
  EXPECT_EQ(ActiveQueries, 0);
}

TEST_F(QueryEngineTest, SetUpFailuresAreWinsockErrors) {
  Add("10.0.0.1");
  Add("named.example");
  fake::failConnections = true;
  fake::refuseLookups = true;
  StartCorrectingPass();
  EXPECT_EQ(ServerTable[0].status, StatusWinsockError);
  EXPECT_EQ(ServerTable[1].status, StatusWinsockError);
  EXPECT_EQ(ActiveQueries, 0);
  // Both failed inside the start loop: one pass, ended once, after the loop.
  EXPECT_EQ(fake::statusLines, (std::vector<StatusLineState>{LineChecking, LineIdle}));
  EXPECT_TRUE(CorrectionFailed);
}

TEST_F(QueryEngineTest, AnEarlyFailureDoesNotCorrectFromAnEarlierPass) {
  int failing = Add("named.example");
  int measured = Add("10.0.0.2");
  ServerTable[measured].status = StatusMeasured;  // left by the pass before
  ServerTable[measured].offset = 60'000;
  fake::refuseLookups = true;
  StartCorrectingPass();
  EXPECT_EQ(ServerTable[failing].status, StatusWinsockError);
  EXPECT_TRUE(fake::steps.empty());  // nothing corrected from the stale 102
  EXPECT_EQ(ActiveQueries, 1);
  Measure(measured, 300);
  ASSERT_EQ(fake::steps.size(), 1u);
  EXPECT_EQ(fake::steps[0], 305);  // 300 ahead plus half of the 10 ms trips
}

TEST_F(QueryEngineTest, SampleArithmeticAndReduction) {
  // 500 ms ahead, read 41 ms after the connection completed: 500 + 20.
  int slot = Add("10.0.0.1");
  StartCorrectingPass();
  Connected(slot);
  Answer(slot, 500, 41);
  EXPECT_EQ(QuerySlots[slot].sampleOffset[0], 520);

  struct Case {
    TickMs trips[3];
    OffsetMs offsets[3];
    OffsetMs offset;
    uint32_t latency;
  } cases[] = {
      {{30, 10, 20}, {100, 200, 400}, 300, 20},  // the two quickest: b and c
      {{20, 20, 10}, {100, 200, 400}, 300, 16},  // (10,c) (20,b) (20,a): a drops out
      {{10, 10, 11}, {-3, 0, 99}, -1, 10},       // -3/2 rounds toward zero
      {{10, 30, 20}, {100, 200, 400}, 250, 20},  // the two quickest: a and c
  };
  for (const Case& c : cases) {
    QuerySlot& q = QuerySlots[slot];
    q.phase = PhaseReading;
    ++ActiveQueries;
    std::memcpy(q.roundTripMs, c.trips, sizeof c.trips);
    std::memcpy(q.sampleOffset, c.offsets, sizeof c.offsets);
    ReduceSamples(slot);
    EXPECT_EQ(ServerTable[slot].offset, c.offset);
    EXPECT_EQ(ServerTable[slot].latencyMs, c.latency);
  }
}

TEST_F(QueryEngineTest, StaleNotificationsForAReusedSocketAreIgnored) {
  int slot = Add("10.0.0.1");
  StartCorrectingPass();
  Connected(slot);
  uintptr_t first = Socket(slot);
  // A server that sends 8 bytes: the surplus raises one more read notice,
  // queued for a socket number that the next connection may reuse.
  fake::sockets.at(first).reply = {0xEC, 0, 0, 0, 1, 2, 3, 4};
  DispatchSocketEvent(first, kEventRead, 0);
  ASSERT_EQ(QuerySlots[slot].phase, PhaseConnecting);
  QuerySlots[slot].socket = first;  // the platform hands out the same number
  fake::sockets.at(first).closed = false;
  DispatchSocketEvent(first, kEventRead, 0);
  EXPECT_EQ(QuerySlots[slot].phase, PhaseConnecting);
  EXPECT_EQ(ServerTable[slot].status, StatusNone);
  Connected(slot);
  DispatchSocketEvent(first, kEventConnect, 0);  // and a late connect while reading
  EXPECT_EQ(QuerySlots[slot].phase, PhaseReading);
  // Messages for sockets no slot holds are dropped.
  DispatchSocketEvent(9999, kEventRead, 0);
  OnLookupDone(9999, 0);
  EXPECT_EQ(ActiveQueries, 1);
}

TEST_F(QueryEngineTest, DeadlineRules) {
  int a = Add("10.0.0.1");
  int b = Add("10.0.0.2");
  const Ms1900 start = fake::now;
  StartCorrectingPass();
  EXPECT_EQ(PassDeadline, start + kPassTimeoutMs);
  fake::now += 500;
  Connected(a);
  EXPECT_EQ(PassDeadline, start + 500 + kReplyTimeoutMs);
  fake::now += 100;
  Connected(b, kErrorConnectionRefused);  // completion with an error counts too
  EXPECT_EQ(PassDeadline, start + 600 + kReplyTimeoutMs);
  fake::now = PassDeadline;
  CheckPassDeadline();
  EXPECT_EQ(ActiveQueries, 1);  // exactly at the deadline is not past it
  fake::now += 1;
  CheckPassDeadline();
  EXPECT_EQ(ServerTable[a].status, StatusSlowResponse);
  EXPECT_EQ(ActiveQueries, 0);
}

TEST_F(QueryEngineTest, PassBeginsAndEndsOnce) {
  int a = Add("10.0.0.1");
  int b = Add("10.0.0.2");
  int off = Add("10.0.0.3", false);
  const Ms1900 start = fake::now;
  StartCorrectingPass();
  EXPECT_EQ(ScheduleBase, start);
  EXPECT_EQ(ServerTable[off].status, StatusDisabled);
  EXPECT_EQ(fake::store.count("Server002"), 1u);
  EXPECT_EQ(fake::statusLines, std::vector<StatusLineState>{LineChecking});
  EXPECT_EQ(fake::buttonTexts, std::vector<std::string>{"Stop Correcting..."});
  StartCorrectingPass();  // refused while one runs
  StartTestingPass(&a, 1);
  EXPECT_EQ(ActiveQueries, 2);

  Measure(a, 100);
  EXPECT_TRUE(fake::steps.empty());
  Measure(b, 150);
  ASSERT_EQ(fake::steps.size(), 1u);
  EXPECT_EQ(fake::statusLines, (std::vector<StatusLineState>{LineChecking, LineIdle}));
  EXPECT_EQ(fake::buttonTexts.back(), "Synchronize Time");
  EXPECT_GE(fake::refreshes, 2);
}

TEST_F(QueryEngineTest, NoEnabledServerStartsNoPass) {
  Add("10.0.0.1", false);
  StartCorrectingPass();
  EXPECT_EQ(ServerTable[0].status, StatusDisabled);
  EXPECT_TRUE(fake::statusLines.empty());
  EXPECT_TRUE(fake::buttonTexts.empty());
  EXPECT_FALSE(CorrectionFailed);
}

TEST_F(QueryEngineTest, TestingPassQueriesTheChosenServersOnly) {
  int on = Add("10.0.0.1");
  int off = Add("10.0.0.2", false);
  int untouched = Add("10.0.0.3");
  int chosen[] = {off, on};
  StartTestingPass(chosen, 2);
  EXPECT_EQ(fake::statusLines, std::vector<StatusLineState>{LineTesting});
  EXPECT_EQ(fake::buttonTexts.front(), "Stop Testing...");
  EXPECT_EQ(QuerySlots[untouched].phase, PhaseIdle);
  Measure(on, 0);
  Measure(off, 0);
  EXPECT_EQ(ServerTable[on].status, StatusTested);
  EXPECT_EQ(ServerTable[off].status, StatusTested);
  EXPECT_EQ(ScheduleBase, 0);
  EXPECT_TRUE(fake::steps.empty());
  StartTestingPass(chosen, 0);  // nothing selected
  EXPECT_EQ(ActiveQueries, 0);
}

TEST_F(QueryEngineTest, StoppingAPassStillCorrectsFromTheMeasuredServers) {
  int done = Add("10.0.0.1");
  int running = Add("named.example");
  StartCorrectingPass();
  Measure(done, 1000);
  uintptr_t lookup = QuerySlots[running].lookupHandle;
  FinishAllQueries(StatusInterrupted);
  EXPECT_EQ(ServerTable[running].status, StatusInterrupted);
  EXPECT_EQ(fake::cancelledLookups, std::vector<uintptr_t>{lookup});
  ASSERT_EQ(fake::steps.size(), 1u);
  EXPECT_EQ(fake::steps[0], 1005);
  // The same for the last running server being deleted or edited.
  StartCorrectingPass();
  Measure(done, 200);
  FinishQuery(running, StatusInterrupted);
  EXPECT_EQ(ActiveQueries, 0);
  EXPECT_EQ(fake::steps.back(), 205);
}

}  // namespace

// ---- NTP servers in the same engine ----------------------------------------

class NtpQueryTest : public QueryEngineTest {
 protected:
  static std::vector<uint8_t>& Sent(int slot) { return fake::sockets.at(Socket(slot)).sent.back(); }
  // The server's reply to the slot's last request: its clock `ahead` ms in
  // front of ours, after `tripMs` in flight and no time held. Times are
  // whole milliseconds, so the arithmetic is exact.
  static std::vector<uint8_t> Reply(int slot, int64_t ahead, TickMs tripMs) {
    Ms1900 serverMs = QuerySlots[slot].requestSent + tripMs / 2 + ahead;
    uint64_t stamp = uint64_t(serverMs / 1000) << 32 |
                     (uint64_t(serverMs % 1000) * (uint64_t{1} << 32) + 999) / 1000;
    std::vector<uint8_t> reply(48, 0);
    reply[0] = 0x24;  // leap 0, version 4, mode 4
    reply[1] = 1;     // stratum
    std::copy(Sent(slot).begin() + 40, Sent(slot).end(), reply.begin() + 24);  // originate
    for (int i = 0; i < 8; ++i) reply[32 + i] = reply[40 + i] = uint8_t(stamp >> (56 - 8 * i));
    return reply;
  }
  static void Deliver(int slot, std::vector<uint8_t> reply, TickMs tripMs = 0) {
    fake::tick += tripMs;
    fake::sockets.at(Socket(slot)).reply = std::move(reply);
    DispatchSocketEvent(Socket(slot), kEventRead, 0);
  }
  static void Measure(int slot, int64_t ahead, std::initializer_list<TickMs> trips) {
    for (TickMs trip : trips) Deliver(slot, Reply(slot, ahead, trip), trip);
  }
};

TEST_F(NtpQueryTest, ThreeRequestsOnOneSocketMakeTheResult) {
  fake::hosts["ntp.example"] = fake::Ip(10, 0, 0, 9);
  int named = Add("NTP://ntp.example");
  int dotted = Add("ntp://192.0.2.7");
  StartCorrectingPass();
  EXPECT_EQ(fake::lookups.at(QuerySlots[named].lookupHandle), "ntp.example");
  OnLookupDone(QuerySlots[named].lookupHandle, 0);
  EXPECT_EQ(fake::sockets.at(Socket(named)).address, fake::Ip(10, 0, 0, 9));
  EXPECT_EQ(QuerySlots[named].phase, PhaseReading);
  // No connection to wait for: the request goes out at once.
  EXPECT_EQ(QuerySlots[dotted].phase, PhaseReading);
  const fake::Connection& socket = fake::sockets.at(Socket(dotted));
  EXPECT_EQ(socket.address, fake::Ip(192, 0, 2, 7));
  EXPECT_EQ(socket.datagramPort, 123);
  EXPECT_EQ(Sent(dotted)[0], 0x23);  // a version 4 client request

  // A reply to another request is dropped and the query waits on.
  std::vector<uint8_t> stray = Reply(dotted, 250, 40);
  stray[31] ^= 1;
  Deliver(dotted, stray);
  EXPECT_EQ(QuerySlots[dotted].phase, PhaseReading);
  EXPECT_EQ(QuerySlots[dotted].samplesTaken, 0u);

  Measure(dotted, 250, {40, 20, 30});
  EXPECT_EQ(ServerTable[dotted].status, StatusMeasured);
  EXPECT_EQ(ServerTable[dotted].offset, 250);
  EXPECT_EQ(ServerTable[dotted].latencyMs, 30u);  // the mean delay
  EXPECT_EQ(socket.sent.size(), 3u);
  EXPECT_TRUE(socket.closed);
  EXPECT_EQ(fake::LastSocketTo(fake::Ip(192, 0, 2, 7)), 0u);  // one socket, now closed
}

TEST_F(NtpQueryTest, FailuresBecomeTheServersStatus) {
  std::vector<int> slots;
  for (int i = 1; i <= 8; ++i) slots.push_back(Add(("ntp://10.0.0." + std::to_string(i)).c_str()));
  StartCorrectingPass();
  auto with = [](int slot, int at, uint8_t value, const char* code = nullptr) {
    std::vector<uint8_t> reply = Reply(slot, 0, 10);
    reply[at] = value;
    if (code) std::copy(code, code + 4, reply.begin() + 12);
    return reply;
  };
  Deliver(slots[0], with(slots[0], 1, 0, "RATE"));  // kiss-o'-death
  Deliver(slots[1], with(slots[1], 1, 0, "INIT"));  // stratum 0, no known code
  Deliver(slots[2], with(slots[2], 0, 0xE4));       // leap indicator 3
  std::vector<uint8_t> shortReply = Reply(slots[3], 0, 10);
  shortReply.pop_back();
  Deliver(slots[3], shortReply);
  DispatchSocketEvent(Socket(slots[4]), kEventRead, kErrorConnectionReset);  // port closed
  DispatchSocketEvent(Socket(slots[5]), kEventRead, 10065);                  // host unreachable
  DispatchSocketEvent(Socket(slots[7]), kEventClose, kErrorConnectionRefused);  // as Wine tells it

  EXPECT_EQ(ServerTable[slots[0]].status, StatusRefused);
  EXPECT_EQ(fake::sockets.at(fake::nextSocket - 8).sent.size(), 1u);  // no second request
  EXPECT_EQ(ServerTable[slots[1]].status, StatusNoResponse);
  EXPECT_EQ(ServerTable[slots[2]].status, StatusNoResponse);
  EXPECT_EQ(ServerTable[slots[3]].status, StatusNoResponse);
  EXPECT_EQ(ServerTable[slots[4]].status, StatusRefused);
  EXPECT_EQ(ServerTable[slots[5]].status, StatusNoResponse);
  EXPECT_EQ(ServerTable[slots[7]].status, StatusRefused);
  // A silent server: the deadline runs from its request.
  EXPECT_EQ(PassDeadline, fake::now + kReplyTimeoutMs);
  fake::now = PassDeadline + 1;
  CheckPassDeadline();
  EXPECT_EQ(ServerTable[slots[6]].status, StatusSlowResponse);
}

TEST_F(NtpQueryTest, WithNtpResultsTheTimeServersGoUnused) {
  for (bool ntpFirst : {true, false}) {  // every slot counts, the first one too
    fake::Reset();
    int ntp = ntpFirst ? Add("ntp://10.0.0.2") : -1;
    int time = Add("10.0.0.1");
    if (!ntpFirst) ntp = Add("ntp://10.0.0.2");
    StartCorrectingPass();
    Measure(ntp, -300, {10, 10, 10});
    QueryEngineTest::Measure(time, 900);  // whole seconds: reads 1000 plus half the trip
    ASSERT_EQ(fake::steps.size(), 1u);
    EXPECT_EQ(fake::steps[0], -300);
    EXPECT_EQ(ServerTable[time].status, StatusRejected);  // shown " (unused)"
    EXPECT_EQ(ServerTable[ntp].status, StatusMeasured);
  }
}
