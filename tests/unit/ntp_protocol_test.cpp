#include "core/ntp_protocol.h"

#include <gtest/gtest.h>

#include <cstring>

constexpr Ms1900 kEraMs = (int64_t{1} << 32) * 1000;  // 2036-02-07 06:28:16 UTC
constexpr Ms1900 kSendTime = 3'974'400'000'999;      // about 2025-12, at 999 ms: a carry is near

static void Put(uint8_t* at, uint64_t stamp) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(stamp >> (56 - 8 * i));
}
// A server's reading 0.6 ms into the millisecond, so that rounding instead of truncating is one off.
static uint64_t ServerStamp(Ms1900 time) {
  return uint64_t(time / 1000) << 32 | ((time % 1000 * 1000 + 600) << 32) / 1000000;
}
// Sends a request at sendTime and checks it; reply becomes a stratum 1
// answer received t2 and sent t3 ms after it. Returns the request's stamp.
static uint64_t Exchange(uint8_t* reply, Ms1900 sendTime, int t2, int t3, uint32_t random) {
  uint8_t request[kNtpPacketSize], expected[kNtpPacketSize] = {0x23};  // LI 0, version 4, mode 3
  uint64_t stamp = BuildNtpRequest(sendTime, random, request);
  Put(expected + 40, stamp);
  EXPECT_EQ(std::memcmp(request, expected, kNtpPacketSize), 0);
  // The stamp reads back as the send time, to the millisecond; the random part never carries.
  EXPECT_EQ(ServerTimeNear(uint32_t(stamp >> 32), sendTime) + int64_t((stamp & 0xFFFFFFFFu) * 1000 >> 32),
            sendTime);
  EXPECT_EQ(stamp - BuildNtpRequest(sendTime, 0, expected), random & 0x3FFFFF);
  std::memcpy(reply, "\x24\x01\0\0\0\0\0\0\0\0\0\0GPS", 16);  // leap 0, version 4, mode 4
  std::memcpy(reply + 24, request + 40, 8);                     // originate: our transmit stamp
  Put(reply + 32, ServerStamp(sendTime + t2));
  Put(reply + 40, ServerStamp(sendTime + t3));
  return stamp;
}

TEST(NtpProtocol, OffsetAndDelay) {
  // offset = ((T2 - T1) + (T3 - T4)) / 2, delay = (T4 - T1) - (T3 - T2), T4 - T1 the trip
  const struct { int t2, t3; uint32_t trip; OffsetMs offset; uint32_t delay; Ms1900 sendTime; OffsetMs user;
                 bool consistent = true; }
  cases[] = {
      {310, 311, 21, 300, 20, kSendTime, 0},     {-290, -289, 21, -300, 20, kSendTime, 0},
      {310, 311, 21, 50, 20, kSendTime, -250},   // the user's offset
      {30, 30, 40, 10, 40, kSendTime, 0},        // 30 ms out, 10 back: off by half the difference
      {5, 8, 1, 6, 0, kSendTime, 0},             // a 3 ms hold in a 1 ms trip: no negative delay
      {5, 26, 1, 15, 0, kSendTime, 0},           // a hold 20 ms longer than the trip, the most read
      {-600000, 1, 20, -300009, 0, kSendTime, 0, false},  // a stale receive stamp: 5 minutes off
      {5, 27, 1, 15, 0, kSendTime, 0, false},
      {10, 11, 2, 9, 1, kEraMs - 5, 0},          // the server's stamps already past 2036
      {4, 6, 12, -1, 10, kEraMs - 5, 0},         // received before 2036, sent after: no reversal
      {-295, -294, 10, -299, 9, kEraMs + 3, 0},  // ours past 2036; -599 / 2 truncates
  };
  uint32_t random = 0;  // 0, then the largest values
  for (const auto& c : cases) {
    uint8_t reply[kNtpPacketSize] = {};
    uint64_t stamp = Exchange(reply, c.sendTime, c.t2, c.t3, random--);
    ASSERT_EQ(CheckNtpReply(reply, kNtpPacketSize, stamp), NtpReplyUsable) << c.t2;
    NtpSample sample = ComputeNtpSample(reply, c.sendTime, c.trip, c.user);
    EXPECT_EQ(sample.offset, c.offset) << c.t2;
    EXPECT_EQ(sample.delayMs, c.delay) << c.t2;
    EXPECT_EQ(sample.consistent, c.consistent) << c.t2;
  }
}

// Kiss-o'-death as servers send it: leap 3, stratum 0, then a reference stamp.
static void Kiss(uint8_t* reply, const char* code) {
  reply[0] = 0xE4, reply[1] = 0, reply[16] = 0xE9;
  std::memcpy(reply + 12, code, 4);
}

TEST(NtpProtocol, RepliesAreJudgedInOrder) {
  const struct { const char* what; void (*edit)(uint8_t* p); NtpReplyVerdict verdict; } cases[] = {
      {"version 1", [](uint8_t* p) { p[0] = 0x0C; }, NtpReplyUsable},
      {"stratum 15", [](uint8_t* p) { p[1] = 15; }, NtpReplyUsable},
      {"short", nullptr, NtpReplyUnusable},
      {"wrong originate", [](uint8_t* p) { p[31] ^= 1; }, NtpReplyIgnored},
      {"mode 3", [](uint8_t* p) { p[0] = 0x23; }, NtpReplyUnusable},
      {"version 0", [](uint8_t* p) { p[0] = 0x04; }, NtpReplyUnusable},
      {"version 5", [](uint8_t* p) { p[0] = 0x2C; }, NtpReplyUnusable},
      {"kiss RATE", [](uint8_t* p) { Kiss(p, "RATE"); }, NtpReplyRefused},
      {"kiss DENY", [](uint8_t* p) { Kiss(p, "DENY"); }, NtpReplyDenied},
      {"kiss RSTR", [](uint8_t* p) { Kiss(p, "RSTR"); }, NtpReplyDenied},
      {"kiss INIT", [](uint8_t* p) { Kiss(p, "INIT"); }, NtpReplyUnusable},
      {"kiss XATE", [](uint8_t* p) { Kiss(p, "XATE"); }, NtpReplyUnusable},  // all four letters count
      {"kiss to another request", [](uint8_t* p) { Kiss(p, "RATE"), p[24] ^= 0x80; }, NtpReplyIgnored},
      {"stratum 16", [](uint8_t* p) { p[1] = 16; }, NtpReplyUnusable},
      {"leap 3", [](uint8_t* p) { p[0] = 0xE4; }, NtpReplyUnusable},
      {"zero transmit", [](uint8_t* p) { std::memset(p + 40, 0, 8); }, NtpReplyUnusable},
      // A zero stamp would read as 2036, about 10 years from now.
      {"zero receive", [](uint8_t* p) { std::memset(p + 32, 0, 8); }, NtpReplyUnusable},
      {"sent before received", [](uint8_t* p) {
         uint64_t sent = 0;
         for (int i = 0; i < 8; ++i) sent = sent << 8 | p[40 + i];
         Put(p + 32, sent + 1);
       }, NtpReplyUnusable},
  };
  for (const auto& c : cases) {
    uint8_t reply[kNtpPacketSize] = {};
    uint64_t stamp = Exchange(reply, kSendTime, 10, 10, 0);
    if (c.edit) c.edit(reply);
    EXPECT_EQ(CheckNtpReply(reply, kNtpPacketSize - !c.edit, stamp), c.verdict) << c.what;
  }
}
