// What servers send: a TIME count read against any local clock the platform
// can report, and any datagram as an NTP reply.
#include <cstring>

#include "core/ntp_protocol.h"
#include "core/time_base.h"

namespace {
// The latest time a FILETIME can hold, in the program's unit.
constexpr Ms1900 kLatestClock = INT64_MAX / kFileTimeUnitsPerMs - kMs1601To1900;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  struct {
    uint32_t seconds;
    int64_t clock;
    uint32_t roundTrip, random;
    int64_t userOffset;
  } in = {};
  if (size < sizeof in) return 0;
  std::memcpy(&in, data, sizeof in);
  Ms1900 clock = static_cast<Ms1900>(static_cast<uint64_t>(in.clock) % uint64_t(kLatestClock));
  Ms1900 read = ServerTimeNear(in.seconds, clock);
  // The reading lies within half an era of the clock.
  constexpr int64_t kHalfEraMs = (int64_t{1} << 31) * 1000;
  if (read - clock > kHalfEraMs + 1000 || clock - read > kHalfEraMs + 1000) __builtin_trap();

  uint8_t request[kNtpPacketSize];
  uint64_t stamp = BuildNtpRequest(clock, in.random, request);
  const uint8_t* reply = data + sizeof in;
  int length = static_cast<int>(size - sizeof in);
  // Half the inputs answer the request itself, so the checks past the
  // originate stamp are reached.
  uint8_t echoed[kNtpPacketSize];
  if (length >= kNtpPacketSize && (reply[0] & 0x80) == 0) {
    std::memcpy(echoed, reply, kNtpPacketSize);
    for (int i = 0; i < 8; ++i) echoed[24 + i] = static_cast<uint8_t>(stamp >> (56 - 8 * i));
    reply = echoed;
    length = kNtpPacketSize;
  }
  if (CheckNtpReply(reply, length, stamp) == NtpReplyUsable) {
    OffsetMs user = in.userOffset % (int64_t{1} << 40);  // what "Offset" can hold sensibly
    ComputeNtpSample(reply, clock, in.roundTrip, user);
  }
  return 0;
}
