// The engine's exact results: statuses, offsets, deadlines and what the
// screen is told. Event orders at random are engine_model_test's.
#include "core/query_engine.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/correction.h"
#include "core/ntp_protocol.h"
#include "core/query_transport.h"
#include "tests/unit/fakes.h"

using Bytes = std::vector<uint8_t>;

struct QueryEngineTest : ::testing::Test {
  void SetUp() override { fake::Reset(); }
};

static void Event(int slot, uint32_t event, uint32_t error = 0, Bytes reply = {}) {
  fake::sockets[QuerySlots[slot].socket].reply = std::move(reply);
  DispatchSocketEvent(QuerySlots[slot].socket, event, error);
}
// The answer of a server whose clock reads `server`: a TIME count of
// seconds, or an NTP reply (leap 0, version 4, mode 4) to the request out.
static Bytes Answer(int slot, Ms1900 server, uint8_t stratum = 1, const char* code = "GPS") {
  uint64_t stamp = uint64_t(server / 1000) << 32 | ((uint64_t(server % 1000) << 32) + 999) / 1000;
  uint64_t stamps[] = {QuerySlots[slot].requestStamp, stamp, stamp};  // originate, receive, transmit
  Bytes reply(QuerySlots[slot].ntp ? 48 : 4, 0);
  for (int i = 0; i < 4; ++i) reply[i] = uint8_t(stamp >> (56 - 8 * i));
  if (reply.size() == 4) return reply;
  reply[0] = 0x24, reply[1] = stratum, std::copy_n(code, 4, &reply[12]);
  for (int i = 0; i < 24; ++i) reply[24 + i] = uint8_t(stamps[i / 8] >> (56 - i % 8 * 8));
  return reply;
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

TEST_F(QueryEngineTest, ATestingPassMeasuresTheChosenServers) {
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
  Measure(time, 500, {21});  // TIME: the reading plus half the round trip, 500 + 21 / 2 + 7
  EXPECT_EQ(QuerySlots[time].sampleOffset[0], 517);
  Measure(time, 500, {30, 10});
  // The offset is the mean of the two quickest samples, the latency of all three.
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

TEST_F(QueryEngineTest, ACorrectingPassEndsEachQueryWithItsStatus) {
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
      {"ntp://10.0.0.4", [](int s) { Event(s, kEventRead, 0, Answer(s, fake::now, 0, "RATE")); }, StatusRefused},
      {"ntp://10.0.0.5", [](int s) { Event(s, kEventRead, 0, Answer(s, fake::now, 0, "INIT")); }, StatusNoResponse},
      {"ntp://10.0.0.6", [](int s) { Event(s, kEventRead, kErrorConnectionReset); }, StatusRefused},
      {"ntp://10.0.0.7", [](int s) { Event(s, kEventRead, 10065); }, StatusNoResponse},
      {"ntp://10.0.0.8", [](int s) { Event(s, kEventClose, kErrorConnectionRefused); }, StatusRefused},
      // A reply to another request is dropped; the query waits on.
      {"ntp://10.0.0.9", [](int s) { Bytes r = Answer(s, fake::now); r[31] ^= 1, Event(s, kEventRead, 0, r); },
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
