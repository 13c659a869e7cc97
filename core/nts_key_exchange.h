// The NTS key exchange as the query engine sees it: the platform runs it
// (TLS may block, so it runs off the window's thread) and reports the
// outcome later as an event that the window passes to OnKeyExchangeDone.
#pragma once
#include <cstdint>

#include "core/nts_protocol.h"

// The connection and the handshake end within this time; the query gives it
// a little longer, so the exchange's own word comes first. The system's
// look-up of the name has no limit of its own: one slower than the query's
// time ends the query without an answer, and its outcome is dropped.
constexpr int64_t kKeyExchangeTimeoutMs = 10000;

enum NtsKeOutcome : uint32_t {
  KeAgreed,     // keys, cookies and the NTP server to ask
  KeNoAddress,  // the host name has no address
  KeRefused,    // no connection, a certificate or a handshake that failed, no agreement
  KeNoAnswer,   // no route, nothing, or not all of it within kKeyExchangeTimeoutMs
};

struct NtsKeResult {
  NtsKeOutcome outcome;
  NtsKeys keys;  // with KeAgreed
};

// The row status a failed key exchange ends its query with. An NTS server is
// never asked in plain NTP instead.
inline ServerStatus KeyExchangeFailureStatus(NtsKeOutcome outcome) {
  return outcome == KeNoAddress ? StatusNoDnsEntry : outcome == KeRefused ? StatusRefused : StatusNoResponse;
}

// Starts a key exchange with host on the TCP port; 0 when it cannot start.
uintptr_t NetStartKeyExchange(const char* host, uint16_t port);

// The engine's side: the outcome of the exchange with this handle.
void OnKeyExchangeDone(uintptr_t handle, const NtsKeResult& result);
