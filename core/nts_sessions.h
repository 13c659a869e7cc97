// Each NTS server's keys and cookies, kept in memory between passes so that
// a pass normally needs no key exchange. They belong to the name the server
// had when its keys came: another name starts afresh.
#pragma once
#include <cstdint>

#include "core/nts_protocol.h"
#include "core/server_table.h"

struct NtsSession {
  char name[kServerNameSize];  // the server's list entry the keys belong to
  char host[kServerNameSize];  // the key exchange's host
  NtsKeys keys;
  uint8_t uid[kNtsUidSize];    // the outstanding request's identifier
};
extern NtsSession gNtsSessions[kMaxServers];

// The slot's server, as now named, has keys and a cookie left.
bool NtsHasCookie(int slot);
void KeepNtsKeys(int slot, const NtsKeys& keys);
void ForgetNtsKeys(int slot);
// Where the slot's NTP requests go: the server the key exchange named, or its own host.
const char* NtsServerName(int slot);
uint16_t NtsServerPort(int slot);
// Completes the request whose 48-byte header is in packet with a fresh
// identifier and nonce; its size, or 0 when no request can be made.
int AddNtsRequestFields(int slot, uint8_t (&packet)[kNtsMaxPacketSize]);
NtsReplyVerdict CheckNtsReplyFor(int slot, const uint8_t* data, int size, uint64_t originate);
