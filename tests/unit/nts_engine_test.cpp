// An NTS server in the engine: the key exchange comes first, and whatever
// becomes of it, the server is never asked in plain NTP.
#include <gtest/gtest.h>

#include <cstring>

#include "core/nts_key_exchange.h"
#include "core/nts_sessions.h"
#include "core/query_engine.h"
#include "tests/unit/fakes.h"
#include "ui/server_rows.h"

namespace {

// A reply with the slot's request stamp and identifier, which anyone who saw
// the request can send, and nothing after them.
std::vector<uint8_t> ReplyNamingTheRequest(int slot, uint8_t stratum = 1, const char* code = "GPS") {
  std::vector<uint8_t> reply = fake::Reply(fake::now, true, gQuerySlots[slot].requestStamp, stratum, code);
  const uint8_t field[] = {0x01, 0x04, 0, 36};
  reply.insert(reply.end(), field, field + 4);
  reply.insert(reply.end(), gNtsSessions[slot].uid, gNtsSessions[slot].uid + kNtsUidSize);
  return reply;
}

TEST(NtsQueries, AFailedKeyExchangeEndsTheQueryWithoutAsking) {
  const struct { NtsKeOutcome outcome; ServerStatus status; } cases[] = {
      {KeNoAddress, StatusNoDnsEntry}, {KeRefused, StatusRefused}, {KeNoAnswer, StatusNoResponse}};
  for (const auto& c : cases) {
    fake::Reset();
    const int slot = AddServer("NTS://ke.example:4461");
    StartCorrectingPass(TriggerUser);
    EXPECT_NE(fake::log.find("key exchange ke.example:4461; "), std::string::npos) << fake::log;
    EXPECT_EQ(gQuerySlots[slot].phase, PhaseKeyExchange);
    NtsKeResult result = {c.outcome, {}};
    OnKeyExchangeDone(fake::keyExchanges + 1, result);  // another exchange's: not this query's
    OnKeyExchangeDone(fake::keyExchanges, result);
    EXPECT_EQ(gServerTable[slot].status, c.status);
    EXPECT_TRUE(fake::sockets.empty()) << "asked in plain NTP";
  }
  // Nor does one that outlasts the query (its look-up hangs): no answer either.
  fake::Reset();
  const int late = AddServer("nts://ke.example");
  StartCorrectingPass(TriggerUser);
  fake::tick = gQuerySlots[late].deadline + 1;
  CheckDeadlines();
  EXPECT_EQ(gServerTable[late].status, StatusNoResponse);
  // Behind the NTP scheme an NTS name is just a name to look up.
  fake::Reset();
  const int slot = AddServer("ntp://nts://ke.example");
  StartCorrectingPass(TriggerUser);
  EXPECT_EQ(fake::log.find("key exchange"), std::string::npos) << fake::log;
  EXPECT_EQ(gQuerySlots[slot].phase, PhaseResolving);
}

TEST(NtsQueries, KeysSendRequestsWhereTheExchangeSaysAndForgedRepliesDoNotCount) {
  fake::Reset();
  const int slot = AddServer("nts://ke.example");
  StartCorrectingPass(TriggerUser);
  NtsKeResult result = {KeAgreed, {}};
  std::strcpy(result.keys.server, "192.0.2.7");
  result.keys.port = 1123;
  const uint8_t cookie[] = {1, 2, 3, 4};
  PutCookie(result.keys.cookies, cookie, sizeof cookie);
  PutCookie(result.keys.cookies, cookie, sizeof cookie);
  OnKeyExchangeDone(fake::keyExchanges, result);
  const QuerySlot& q = gQuerySlots[slot];
  const fake::Socket& udp = fake::sockets[q.socket];
  EXPECT_EQ(udp.address, fake::Ip(192, 0, 2, 7));
  EXPECT_EQ(udp.port, 1123);
  EXPECT_EQ(udp.sent, 1);
  // A datagram longer than any reply is dropped unread.
  fake::sockets[q.socket].reply.assign(5000, 0);
  DispatchSocketEvent(q.socket, kEventRead, 0);
  EXPECT_EQ(q.phase, PhaseReading);
  // Our stamp and identifier, and an authenticator that does not verify.
  std::vector<uint8_t> reply = ReplyNamingTheRequest(slot);
  const uint8_t authenticator[40] = {0x04, 0x04, 0, 40, 0, 16, 0, 16};
  reply.insert(reply.end(), authenticator, authenticator + 40);
  fake::sockets[q.socket].reply = reply;
  DispatchSocketEvent(q.socket, kEventRead, 0);
  EXPECT_EQ(q.phase, PhaseReading);
  fake::tick = q.deadline + 1, CheckDeadlines();
  EXPECT_EQ(gServerTable[slot].status, StatusNoResponse) << "a forged reply is no answer";
  // A cookie is left, but the one address failed: the next pass exchanges keys again.
  fake::log.clear();
  StartCorrectingPass(TriggerUser);
  EXPECT_NE(fake::log.find("key exchange ke.example:4460; "), std::string::npos) << fake::log;
}

TEST(NtsQueries, AnUnprovenNakIsBelievedOnlyWhenNoAuthenticReplyFollows) {
  fake::Reset();
  const int slot = AddServer("nts://ke.example");
  const QuerySlot& q = gQuerySlots[slot];
  NtsKeResult result = {KeAgreed, {}};
  std::strcpy(result.keys.server, "192.0.2.7");
  const uint8_t cookie[] = {1, 2, 3, 4};
  for (int i = 0; i < 3; ++i) PutCookie(result.keys.cookies, cookie, sizeof cookie);
  KeepNtsKeys(slot, result.keys);  // from an earlier pass
  StartCorrectingPass(TriggerUser);
  auto nak = [&] {
    fake::sockets[q.socket].reply = ReplyNamingTheRequest(slot, 0, "NTSN");
    DispatchSocketEvent(q.socket, kEventRead, 0);
  };
  nak();
  fake::tick = q.deadline, CheckDeadlines();  // the whole wait
  EXPECT_EQ(q.phase, PhaseReading) << "the server's own reply may still come";
  EXPECT_TRUE(NtsHasCookie(slot));
  fake::log.clear();
  ++fake::tick, CheckDeadlines();
  EXPECT_NE(fake::log.find("key exchange ke.example:4460; "), std::string::npos) << fake::log;
  // Exchanged anew, the server sends nothing: no answer, whatever an earlier request heard.
  OnKeyExchangeDone(fake::keyExchanges, result);
  fake::tick = q.deadline + 1, CheckDeadlines();
  EXPECT_EQ(gServerTable[slot].status, StatusSlowResponse);
  // Cookies fresh from an exchange refused too: the server is broken.
  StartCorrectingPass(TriggerUser);
  OnKeyExchangeDone(fake::keyExchanges, result);
  nak();
  fake::tick = q.deadline + 1, CheckDeadlines();
  EXPECT_EQ(gServerTable[slot].status, StatusRefused);
  // Renamed to a TIME server that connects and then keeps quiet: slow, and no key exchange.
  SaveServer(slot);  // as the list keeps it
  RenameSlot(slot, "192.0.2.9");
  StartCorrectingPass(TriggerUser);
  DispatchSocketEvent(q.socket, kEventConnect, 0);
  fake::log.clear();
  fake::tick = q.deadline + 1, CheckDeadlines();
  EXPECT_EQ(gServerTable[slot].status, StatusSlowResponse);
  EXPECT_EQ(fake::log.find("key exchange"), std::string::npos) << fake::log;
}

TEST(NtsQueries, AnExchangeForMoreCookiesGoesOnWithTheNextAddress) {
  fake::Reset();
  fake::hosts["ntp.example"] = {fake::Ip(10, 0, 0, 1), fake::Ip(10, 0, 0, 2), fake::Ip(10, 0, 0, 3)};
  const int slot = AddServer("nts://ke.example");
  StartCorrectingPass(TriggerUser);
  const QuerySlot& q = gQuerySlots[slot];
  NtsKeResult result = {KeAgreed, {}};
  std::strcpy(result.keys.server, "ntp.example");
  const uint8_t cookie[] = {1, 2, 3, 4};
  PutCookie(result.keys.cookies, cookie, sizeof cookie);
  // One cookie each, spent on a silent address; a shorter list goes on from its end.
  for (int address : {1, 2, 5}) {
    if (address == 5) fake::hosts["ntp.example"] = {fake::Ip(10, 0, 0, 4), fake::Ip(10, 0, 0, 5)};
    OnKeyExchangeDone(fake::keyExchanges, result);
    OnLookupDone(q.lookupHandle, 0);
    EXPECT_EQ(fake::sockets[q.socket].address, fake::Ip(10, 0, 0, address));
    fake::tick = q.deadline + 1, CheckDeadlines();
  }
  EXPECT_FALSE(PassBusy());
  for (const auto& [handle, socket] : fake::sockets) EXPECT_TRUE(socket.closed) << handle;
  // Keys naming a server this network cannot look up are exchanged anew.
  StartCorrectingPass(TriggerUser);
  std::strcpy(result.keys.server, "gone.example");
  OnKeyExchangeDone(fake::keyExchanges, result);
  OnLookupDone(q.lookupHandle, 11001);
  EXPECT_EQ(gServerTable[slot].status, StatusNoDnsEntry);
  fake::log.clear();
  StartCorrectingPass(TriggerUser);
  EXPECT_NE(fake::log.find("key exchange"), std::string::npos) << fake::log;
}

}  // namespace
