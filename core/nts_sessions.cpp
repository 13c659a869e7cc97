#include "core/nts_sessions.h"

#include <openssl/rand.h>

#include <cstring>

NtsSession gNtsSessions[kMaxServers];

bool NtsHasCookie(int slot) {
  const NtsSession& s = gNtsSessions[slot];
  return s.keys.cookies.count > 0 && std::strcmp(s.name, gServerTable[slot].name) == 0;
}

void KeepNtsKeys(int slot, const NtsKeys& keys) {
  NtsSession& s = gNtsSessions[slot];
  std::memcpy(s.name, gServerTable[slot].name, sizeof s.name);
  uint16_t port;
  IsNtsName(s.name, s.host, &port);
  s.keys = keys;
}

void ForgetNtsKeys(int slot) { gNtsSessions[slot].keys.cookies.count = 0; }

const char* NtsServerName(int slot) {
  const NtsSession& s = gNtsSessions[slot];
  return s.keys.server[0] != '\0' ? s.keys.server : s.host;
}

uint16_t NtsServerPort(int slot) { return gNtsSessions[slot].keys.port; }

int AddNtsRequestFields(int slot, uint8_t (&packet)[kNtsMaxPacketSize]) {
  NtsSession& s = gNtsSessions[slot];
  uint8_t nonce[kNtsNonceSize];
  if (RAND_bytes(s.uid, sizeof s.uid) != 1 || RAND_bytes(nonce, sizeof nonce) != 1) return 0;
  return AddNtsFields(s.keys, s.uid, nonce, kAesSivCmac256, packet);
}

NtsReplyVerdict CheckNtsReplyFor(int slot, const uint8_t* data, int size, uint64_t originate) {
  NtsSession& s = gNtsSessions[slot];
  return CheckNtsReply(data, size, originate, s.uid, s.keys, kAesSivCmac256);
}
