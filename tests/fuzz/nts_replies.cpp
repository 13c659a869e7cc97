// What NTS servers send: key exchange records, and any datagram as an NTS
// reply to our request.
#include <cstring>

#include "core/nts_protocol.h"

namespace {

// Opens whatever has a zero first tag byte, so that the fuzzer reaches the
// fields inside the seal; the real AEAD judges the other half.
bool FakeOpen(const uint8_t*, const uint8_t*, int, const uint8_t*, int, const uint8_t* sealed,
              int sealedSize, uint8_t* plain) {
  std::memcpy(plain, sealed + kNtsTagSize, static_cast<size_t>(sealedSize - kNtsTagSize));
  return sealed[0] == 0;
}
const NtsAead kFake = {kAesSivCmac256.seal, FakeOpen};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > size_t{kNtsMaxKeResponse}) return 0;
  static NtsKeys keys;
  const int length = static_cast<int>(size - 1);
  if (data[0] < 0x40) {
    NtsKeVerdict verdict = ParseNtsKeResponse(data + 1, length, &keys);
    if (keys.cookies.count > kNtsMaxCookies || keys.port == 0 ||
        std::memchr(keys.server, 0, kNtsMaxHostSize) == nullptr ||
        (verdict == NtsKeAgreed && keys.cookies.count == 0))
      __builtin_trap();
    return 0;
  }
  // The reply echoes the request's stamp and identifier, as a server's would.
  uint8_t uid[kNtsUidSize] = {};
  uint64_t stamp = 0;
  if (length >= 48) {
    for (int i = 0; i < 8; ++i) stamp = stamp << 8 | data[1 + 24 + i];
    if (length >= 48 + 4 + kNtsUidSize) std::memcpy(uid, data + 1 + 48 + 4, kNtsUidSize);
  }
  keys.cookies.count = data[0] & 7;
  NtsReplyVerdict verdict = CheckNtsReply(data + 1, length, stamp, uid, keys, data[0] & 0x80 ? kFake : kAesSivCmac256);
  if (keys.cookies.count > kNtsMaxCookies || (verdict == NtsReplyAuthentic && length < 48 + 40)) __builtin_trap();
  // Whatever came in, the next request still fits its buffer.
  static uint8_t packet[kNtsMaxPacketSize];
  uint8_t nonce[kNtsNonceSize] = {};
  if (keys.cookies.count > 0 && AddNtsFields(keys, uid, nonce, kAesSivCmac256, packet) > kNtsMaxPacketSize)
    __builtin_trap();
  return 0;
}
