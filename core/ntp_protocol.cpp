#include "core/ntp_protocol.h"

namespace {

constexpr uint8_t kClientRequest = 0x23;  // LI 0, version 4, mode 3
constexpr int kModeServer = 4;
constexpr int kLeapUnsynchronised = 3;
constexpr int kMaxStratum = 15;
constexpr int64_t kFractionUnit = int64_t{1} << 32;  // one second in stamp units

bool SameBytes(const uint8_t* at, const char* text) {
  for (int i = 0; i < 4; ++i)
    if (at[i] != static_cast<uint8_t>(text[i])) return false;
  return true;
}

// The fraction is truncated to the millisecond, as TIME replies are to the
// second; the seconds are read in the era nearest the local clock.
Ms1900 StampTime(const uint8_t* at, Ms1900 localNow) {
  uint64_t stamp = ReadNtpStamp(at);
  int64_t fractionMs = static_cast<int64_t>((stamp & 0xFFFFFFFFu) * 1000 >> 32);
  return ServerTimeNear(static_cast<uint32_t>(stamp >> 32), localNow) + fractionMs;
}

}  // namespace

uint64_t ReadNtpStamp(const uint8_t* at) {
  uint64_t stamp = 0;
  for (int i = 0; i < 8; ++i) stamp = stamp << 8 | at[i];
  return stamp;
}

bool IsNtpName(const char* name, const char** host) {
  static const char kScheme[] = "ntp://";
  for (int i = 0; kScheme[i] != '\0'; ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kScheme[i]) return false;  // also stops at the terminating NUL
  }
  if (host) *host = name + sizeof kScheme - 1;
  return true;
}

uint64_t NtpStamp(Ms1900 time) {
  uint64_t seconds = static_cast<uint32_t>(time / 1000);  // modulo 2^32
  uint64_t fraction = static_cast<uint64_t>((time % 1000 * kFractionUnit + 999) / 1000);
  return seconds << 32 | fraction;
}

uint64_t BuildNtpRequest(Ms1900 sendTime, uint32_t randomBits, uint8_t (&packet)[kNtpPacketSize]) {
  for (uint8_t& byte : packet) byte = 0;
  packet[0] = kClientRequest;
  // The random part stays below the next millisecond (see kNtpRandomBits).
  uint64_t stamp = NtpStamp(sendTime) + (randomBits & ((uint32_t{1} << kNtpRandomBits) - 1));
  for (int i = 0; i < 8; ++i) packet[kTransmitAt + i] = static_cast<uint8_t>(stamp >> (56 - 8 * i));
  return stamp;
}

NtpReplyVerdict CheckNtpReply(const uint8_t* data, int size, uint64_t expectedOriginate) {
  if (size < kNtpPacketSize) return NtpReplyUnusable;
  if (ReadNtpStamp(data + kOriginateAt) != expectedOriginate) return NtpReplyIgnored;
  int leap = data[0] >> 6;
  int version = data[0] >> 3 & 7;
  int mode = data[0] & 7;
  if (mode != kModeServer || version < 1 || version > 4) return NtpReplyUnusable;
  const uint8_t* code = data + kReferenceIdAt;
  if (data[kStratumAt] == 0) {
    if (SameBytes(code, "RATE")) return NtpReplyRefused;
    if (SameBytes(code, "DENY") || SameBytes(code, "RSTR")) return NtpReplyDenied;
    return NtpReplyUnusable;
  }
  const uint64_t received = ReadNtpStamp(data + kReceiveAt);
  const uint64_t sent = ReadNtpStamp(data + kTransmitAt);
  // The stamps wrap every 136 years: compare them by their difference.
  if (data[kStratumAt] > kMaxStratum || leap == kLeapUnsynchronised || received == 0 ||
      sent == 0 || static_cast<int64_t>(sent - received) < 0)
    return NtpReplyUnusable;
  return NtpReplyUsable;
}

NtpSample ComputeNtpSample(const uint8_t* reply, Ms1900 sendTime, uint32_t roundTripMs,
                           OffsetMs userOffset) {
  Ms1900 t1 = sendTime;
  Ms1900 t4 = sendTime + roundTripMs;
  Ms1900 t2 = StampTime(reply + kReceiveAt, t1);
  Ms1900 t3 = StampTime(reply + kTransmitAt, t4);
  NtpSample sample;
  sample.offset = ((t2 - t1) + (t3 - t4)) / 2 + userOffset;
  // The server's hold time is two truncated readings of its clock and the
  // round trip whole ticks of ours, so on a fast link the hold time can come
  // out a little longer than the trip; a delay is never negative. A server
  // that claims to have sent before it received cannot push it past 32 bits.
  int64_t delay = (t4 - t1) - (t3 - t2);
  sample.consistent = delay >= -kHoldSlackMs;
  if (delay < 0) delay = 0;
  if (delay > int64_t{UINT32_MAX}) delay = UINT32_MAX;
  sample.delayMs = static_cast<uint32_t>(delay);
  return sample;
}
