#include "core/ntp_protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr Ms1900 kEraMs = (int64_t{1} << 32) * 1000;  // 2036-02-07 06:28:16 UTC
// About 2025-12, at 999 ms: the worst case for a carry into the seconds.
constexpr Ms1900 kSendTime = 3'974'400'000'999;

uint64_t Stamp(const uint8_t* at) {
  uint64_t stamp = 0;
  for (int i = 0; i < 8; ++i) stamp = stamp << 8 | at[i];
  return stamp;
}
// RFC 5905: seconds since 1900 modulo 2^32, then the fraction of a second.
Ms1900 StampMs(uint64_t stamp, Ms1900 near) {
  return ServerTimeNear(static_cast<uint32_t>(stamp >> 32), near) +
         static_cast<int64_t>((stamp & 0xFFFFFFFFu) * 1000 >> 32);
}
// A server's reading 0.6 ms into the millisecond, so a reader that rounds
// instead of truncating is one off.
void PutStamp(uint8_t* at, Ms1900 time) {
  uint64_t fraction = static_cast<uint64_t>((time % 1000 * 1000 + 600) << 32) / 1000000;
  uint64_t stamp = static_cast<uint64_t>(time / 1000) << 32 | fraction;
  for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(stamp >> (56 - 8 * i));
}
// Kiss-o'-death as servers send it: leap indicator 3 (alarm) and stratum 0.
void Kiss(uint8_t* reply, const char* code) {
  reply[0] = 0xE4;
  reply[1] = 0;
  std::memcpy(reply + 12, code, 4);
  reply[16] = 0xE9;  // the reference stamp that follows is no part of the code
}

TEST(NtpProtocol, RequestsRepliesAndArithmetic) {
  struct Case {
    const char* what;
    void (*edit)(uint8_t* reply);  // applied to a good reply
    NtpReplyVerdict verdict;
    int t2, t3;     // server receive and transmit, ms after our send time
    uint32_t trip;  // T4 - T1 by the tick
    OffsetMs offset;
    uint32_t delay;
    int size = kNtpPacketSize;
    Ms1900 sendTime = kSendTime;
    OffsetMs user = 0;
  } cases[] = {
      // offset = ((T2 - T1) + (T3 - T4)) / 2, delay = (T4 - T1) - (T3 - T2)
      {"in step", nullptr, NtpReplyUsable, 10, 10, 20, 0, 20},
      {"300 ahead", nullptr, NtpReplyUsable, 310, 311, 21, 300, 20},
      {"300 behind", nullptr, NtpReplyUsable, -290, -289, 21, -300, 20},
      {"user offset", nullptr, NtpReplyUsable, 310, 311, 21, 50, 20, 48, kSendTime, -250},
      // 30 ms out, 10 ms back: off by half the difference, as SNTP is
      {"asymmetric path", nullptr, NtpReplyUsable, 30, 30, 40, 10, 40},
      // a hold of 3 ms inside a 1 ms trip: delay -2 is shown as 0
      {"hold longer than trip", nullptr, NtpReplyUsable, 5, 8, 1, 6, 0},
      // request in the last second of the era, server times already wrapped
      {"server past 2036", nullptr, NtpReplyUsable, 10, 11, 2, 9, 1, 48, kEraMs - 5},
      // -599 / 2 truncates toward zero
      {"client past 2036", nullptr, NtpReplyUsable, -295, -294, 10, -299, 9, 48, kEraMs + 3},
      {"version 1", [](uint8_t* p) { p[0] = 0x0C; }, NtpReplyUsable, 10, 10, 20, 0, 20},
      {"stratum 15", [](uint8_t* p) { p[1] = 15; }, NtpReplyUsable, 10, 10, 20, 0, 20},
      {"short", nullptr, NtpReplyUnusable, 0, 0, 0, 0, 0, kNtpPacketSize - 1},
      {"wrong originate", [](uint8_t* p) { p[31] ^= 1; }, NtpReplyIgnored, 0, 0, 0, 0, 0},
      {"mode 3", [](uint8_t* p) { p[0] = 0x23; }, NtpReplyUnusable, 0, 0, 0, 0, 0},
      {"version 0", [](uint8_t* p) { p[0] = 0x04; }, NtpReplyUnusable, 0, 0, 0, 0, 0},
      {"version 5", [](uint8_t* p) { p[0] = 0x2C; }, NtpReplyUnusable, 0, 0, 0, 0, 0},
      {"kiss RATE", [](uint8_t* p) { Kiss(p, "RATE"); }, NtpReplyRefused, 0, 0, 0, 0, 0},
      {"kiss DENY", [](uint8_t* p) { Kiss(p, "DENY"); }, NtpReplyRefused, 0, 0, 0, 0, 0},
      {"kiss RSTR", [](uint8_t* p) { Kiss(p, "RSTR"); }, NtpReplyRefused, 0, 0, 0, 0, 0},
      {"kiss INIT", [](uint8_t* p) { Kiss(p, "INIT"); }, NtpReplyUnusable, 0, 0, 0, 0, 0},
      {"kiss to another request",
       [](uint8_t* p) { Kiss(p, "RATE"); p[24] ^= 0x80; }, NtpReplyIgnored, 0, 0, 0, 0, 0},
      {"stratum 16", [](uint8_t* p) { p[1] = 16; }, NtpReplyUnusable, 0, 0, 0, 0, 0},
      {"leap 3", [](uint8_t* p) { p[0] = 0xE4; }, NtpReplyUnusable, 0, 0, 0, 0, 0},
      {"zero transmit",
       [](uint8_t* p) { std::memset(p + 40, 0, 8); }, NtpReplyUnusable, 0, 0, 0, 0, 0},
  };
  uint32_t i = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // 0, then the largest values: the random part must not carry into the seconds.
    uint32_t random = 0u - i++;
    uint8_t request[kNtpPacketSize], plain[kNtpPacketSize];
    uint64_t stamp = BuildNtpRequest(c.sendTime, random, request);
    EXPECT_EQ(request[0], 0x23);  // LI 0, version 4, mode 3
    EXPECT_EQ(std::string(request + 1, request + 40), std::string(39, '\0'));
    EXPECT_EQ(Stamp(request + 40), stamp);
    EXPECT_EQ(StampMs(stamp, c.sendTime), c.sendTime);
    EXPECT_EQ(stamp - BuildNtpRequest(c.sendTime, 0, plain), random & 0x3FFFFF);

    uint8_t reply[kNtpPacketSize] = {0x24, 1};  // LI 0, version 4, mode 4; stratum 1
    std::memcpy(reply + 12, "GPS", 4);
    std::memcpy(reply + 24, request + 40, 8);  // originate: our transmit stamp
    PutStamp(reply + 32, c.sendTime + c.t2);
    PutStamp(reply + 40, c.sendTime + c.t3);
    if (c.edit) c.edit(reply);
    EXPECT_EQ(CheckNtpReply(reply, c.size, stamp), c.verdict);
    if (c.verdict != NtpReplyUsable) continue;
    NtpSample sample = ComputeNtpSample(reply, c.sendTime, c.trip, c.user);
    EXPECT_EQ(sample.offset, c.offset);
    EXPECT_EQ(sample.delayMs, c.delay);
  }
}

TEST(NtpProtocol, SchemeSelectsTheProtocol) {
  struct {
    const char* name;
    const char* host;  // null: a TIME server
  } cases[] = {
      {"ntp://pool.example", "pool.example"}, {"NTP://192.0.2.7", "192.0.2.7"},
      {"nTp://", ""},  // NTP, and the empty host fails the look-up
      {"time.example", nullptr},              {"ntp:/pool.example", nullptr},
      {"ntp:", nullptr},                      {"xntp://pool.example", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    const char* host = nullptr;
    EXPECT_EQ(IsNtpName(c.name, &host), c.host != nullptr) << c.name;
    EXPECT_STREQ(host, c.host) << c.name;  // left alone for TIME names
  }
}

}  // namespace
