// The engine's exact results: statuses, offsets, deadlines, the correction
// and what the screen is told; then the rules that hold under any order of events.
#include "core/query_engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "core/correction.h"
#include "core/ntp_protocol.h"
#include "core/query_transport.h"
#include "tests/unit/engine_script.h"
#include "tests/unit/fakes.h"

using Bytes = std::vector<uint8_t>;

static void Event(int slot, uint32_t event, uint32_t error = 0, Bytes reply = {}) {
  fake::sockets[QuerySlots[slot].socket].reply = std::move(reply);
  DispatchSocketEvent(QuerySlots[slot].socket, event, error);
}
static Bytes Answer(int slot, Ms1900 server, uint8_t stratum = 1, const char* code = "GPS") {
  return fake::Reply(server, QuerySlots[slot].ntp, QuerySlots[slot].requestStamp, stratum, code);
}
// Samples from a server `ahead` ms in front of us, each answered `trip` ms
// after the TIME connection completed or the NTP request went out.
static void Measure(int slot, int64_t ahead, std::vector<TickMs> trips) {
  const QuerySlot& q = QuerySlots[slot];
  for (TickMs trip : trips) {
    if (!q.ntp) fake::now -= (fake::now + ahead) % 1000, Event(slot, kEventConnect);  // whole seconds
    Bytes reply = Answer(slot, q.ntp ? q.requestSent + trip / 2 + ahead : fake::now + ahead);
    fake::tick += trip;
    Event(slot, kEventRead, 0, reply);
  }
}

TEST(QueryEngine, ATestingPassMeasuresTheChosenServers) {
  fake::Reset();
  fake::hosts["ntp.example"] = fake::Ip(10, 0, 0, 9);
  int chosen[] = {AddServer("NTP://ntp.example"), AddServer("192.0.2.1")};
  const int ntp = chosen[0], time = chosen[1];
  AddServer("10.0.0.3");  // not chosen: the pass ends without it
  ServerTable[time].enabled = 0, UserOffset = 7;  // disabled servers are tested all the same
  StartTestingPass(chosen, 0);  // nothing selected
  StartTestingPass(chosen, 2);
  OnLookupDone(QuerySlots[ntp].lookupHandle, 0);
  const fake::Socket& udp = fake::sockets[QuerySlots[ntp].socket];
  EXPECT_EQ(udp.address, fake::Ip(10, 0, 0, 9));
  EXPECT_EQ(udp.port, kNtpPort);
  EXPECT_EQ(PassDeadline, fake::now + kReplyTimeoutMs);  // from the request on
  Measure(ntp, 250, {40, 20, 30});
  // TIME: the reading plus half the round trip, 500 + 21 / 2 + 7 = 517, 522 and 512. The offset
  // is the mean of the two quickest samples, the latency that of all three.
  Measure(time, 500, {21, 30, 10});
  EXPECT_EQ(ServerTable[time].offset, (512 + 517) / 2);
  EXPECT_EQ(ServerTable[time].latencyMs, 20u);
  EXPECT_EQ(ServerTable[ntp].offset, 257);
  EXPECT_EQ(ServerTable[ntp].latencyMs, 30u);
  EXPECT_EQ(ServerTable[ntp].status, StatusTested);
  EXPECT_EQ(udp.sent, 3);                // three requests on one socket,
  EXPECT_EQ(fake::sockets.size(), 4u);  // three TIME connections
  for (const auto& [handle, socket] : fake::sockets) EXPECT_TRUE(socket.closed) << handle;
  EXPECT_EQ(ScheduleBase, 0);
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
      {"unknown.example", [](int s) { OnLookupDone(QuerySlots[s].lookupHandle, kErrorHostNotFound); },
       StatusNoDnsEntry},
      {"empty.example", [](int s) { OnLookupDone(QuerySlots[s].lookupHandle, 0); }, StatusNoDnsEntry},
      // Any other look-up error leaves the query to the deadline.
      {"flaky.example", [](int s) { OnLookupDone(QuerySlots[s].lookupHandle, 11002); }, StatusSlowResponse},
      {"ntp://10.0.0.4", [](int s) { Event(s, kEventRead, 0, Answer(s, 1, 0, "RATE")); }, StatusRefused},
      {"ntp://10.0.0.5", [](int s) { Event(s, kEventRead, 0, Answer(s, 1, 0, "INIT")); }, StatusNoResponse},
      {"ntp://10.0.0.6", [](int s) { Event(s, kEventRead, kErrorConnectionReset); }, StatusRefused},
      {"ntp://10.0.0.7", [](int s) { Event(s, kEventRead, 10065); }, StatusNoResponse},
      {"ntp://10.0.0.8", [](int s) { Event(s, kEventClose, kErrorConnectionRefused); }, StatusRefused},
      // A reply to another request is dropped; the query waits on.
      {"ntp://10.0.0.9", [](int s) { Bytes r = Answer(s, 1); r[31] ^= 1, Event(s, kEventRead, 0, r); },
       StatusSlowResponse},
      // A stale connect notice while reading changes nothing.
      {"10.0.0.10", [](int s) { Event(s, kEventConnect), Measure(s, 100, {10, 10, 10}); }, StatusMeasured},
  };
  for (const auto& c : cases) ServerTable[AddServer(c.name)].enabled = c.status != StatusDisabled;
  const Ms1900 start = fake::now;
  StartCorrectingPass();
  EXPECT_EQ(ScheduleBase, start);
  EXPECT_EQ(PassDeadline, start + kPassTimeoutMs);  // while connections are being made
  const int running[] = {4};
  StartCorrectingPass(), StartTestingPass(running, 1);  // refused while one runs
  for (int slot = 0; slot < 17; ++slot) cases[slot].events(slot);
  EXPECT_EQ(PassDeadline, fake::now + kReplyTimeoutMs);  // from the last connection on
  EXPECT_EQ(fake::store.count("Server003"), 1u);  // the disabled server's status is saved
  fake::now = PassDeadline;
  CheckPassDeadline();
  EXPECT_EQ(ActiveQueries, 2);  // exactly at the deadline is not past it
  fake::now += 1;
  CheckPassDeadline();
  for (int slot = 0; slot < 17; ++slot) EXPECT_EQ(ServerTable[slot].status, cases[slot].status) << slot;
  EXPECT_EQ(fake::log, "line 1; button Stop Correcting...; refresh; step 105; announce; line 0; "
                       "button Synchronize Time; refresh; ");
}

struct Server { int slot; OffsetMs offset; uint32_t status = StatusMeasured; bool ntp = false; };
constexpr OffsetMs kNoStep = INT64_MIN;

TEST(CorrectClock, RejectsOutliersOneAtATimeThenStepsByTheMean) {
  const struct {
    std::vector<Server> servers;
    std::vector<int> rejected;
    OffsetMs step;
    bool refused = false;
  } cases[] = {
      {{{0, 100}, {1, 150}, {2, 5000}}, {2}, 125},  // mean 1750, then 125
      {{{0, 5000}, {1, 100}, {2, 150}}, {0}, 125},  // the outlier in the first slot
      {{{3, -2000}, {7, 2000}}, {7}, -2000},        // equal deviations: the highest slot goes
      {{{0, 0}, {1, 3999}}, {1}, 0},                // mean 1999: a deviation of 2000 is out
      {{{0, 0}, {1, 3998}}, {}, 1999},              // 1999 and 1999 stay
      {{{4, -73000}}, {}, -73000},                  // a lone server is its own mean
      {{{0, 10}, {1, 20, StatusTested}, {2, 9000, StatusRejected}, {3, 7000, StatusNoResponse}}, {}, 10},
      // TIME replies are whole seconds: beside NTP results they go unused.
      {{{0, 900}, {1, -300, StatusMeasured, true}}, {0}, -300},
      {{{0, -300, StatusMeasured, true}, {1, 900}}, {1}, -300},
      // A refused step records no time and keeps the pass's start as the base: no storm of passes.
      {{{0, 100}, {1, 150}, {2, 5000}}, {2}, 125, true},
      {{{0, 100, StatusNoResponse}, {1, 100, StatusTested}}, {}, kNoStep},  // nothing measured
  };
  for (const auto& c : cases) {
    fake::Reset();
    for (const Server& s : c.servers) {
      std::strcpy(ServerTable[s.slot].name, "host");
      ServerTable[s.slot].status = s.status, ServerTable[s.slot].offset = s.offset;
      QuerySlots[s.slot].ntp = s.ntp;
    }
    ServerTable[9].status = StatusMeasured;  // unnamed slots never count
    ScheduleBase = 12345, ExitAfterCorrection = true, fake::refuseStep = c.refused;
    CorrectClock();
    const bool stepped = c.step != kNoStep;
    std::vector<int> rejected;  // by this correction: marked to be redrawn and saved
    for (int i = 0; i < kMaxServers; ++i)
      if (ServerTable[i].status == StatusRejected && QuerySlots[i].dirty == 1) rejected.push_back(i);
    EXPECT_EQ(rejected, c.rejected) << c.step;
    EXPECT_EQ(fake::store.size(), rejected.size() + (stepped ? 2 : 0));
    EXPECT_EQ(fake::log, stepped ? "step " + std::to_string(c.step) + "; exit timer; announce; " : "");
    EXPECT_EQ(CorrectionFailed, !stepped);
    if (!stepped) continue;
    const Ms1900 setTo = c.refused ? 0 : fake::now + c.step;
    EXPECT_EQ(ScheduleBase, c.refused ? 12345 : setTo);
    EXPECT_EQ(std::memcmp(fake::store["LastCorrectionTime"].data(), &setTo, 8), 0);
    EXPECT_EQ(std::memcmp(fake::store["LastCorrectionValue"].data(), &c.step, 8), 0);
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
