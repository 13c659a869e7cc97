#include "core/nts_sessions.h"

#include <openssl/rand.h>

#include <cstring>

NtsSession NtsSessions[kMaxServers];

bool NtsHasCookie(int slot) {
  const NtsSession& s = NtsSessions[slot];
  return s.keys.cookies.count > 0 && std::strcmp(s.name, ServerTable[slot].name) == 0;
}

void KeepNtsKeys(int slot, const NtsKeys& keys) {
  NtsSession& s = NtsSessions[slot];
  std::memcpy(s.name, ServerTable[slot].name, sizeof s.name);
  uint16_t port;
  IsNtsName(s.name, s.host, &port);
  s.keys = keys;
}

void ForgetNtsKeys(int slot) { NtsSessions[slot].keys.cookies.count = 0; }

const char* NtsServerName(int slot) {
  const NtsSession& s = NtsSessions[slot];
  return s.keys.server[0] != '\0' ? s.keys.server : s.host;
}

uint16_t NtsServerPort(int slot) { return NtsSessions[slot].keys.port; }

int AddNtsRequestFields(int slot, uint8_t (&packet)[kNtsMaxPacketSize]) {
  NtsSession& s = NtsSessions[slot];
  uint8_t nonce[kNtsNonceSize];
  if (RAND_bytes(s.uid, sizeof s.uid) != 1 || RAND_bytes(nonce, sizeof nonce) != 1) return 0;
  return AddNtsFields(s.keys, s.uid, nonce, kAesSivCmac256, packet);
}

NtsReplyVerdict CheckNtsReplyFor(int slot, const uint8_t* data, int size, uint64_t originate) {
  NtsSession& s = NtsSessions[slot];
  return CheckNtsReply(data, size, originate, s.uid, s.keys, kAesSivCmac256);
}
