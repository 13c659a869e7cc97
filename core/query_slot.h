// Transient per-server query state, one per table slot; never persisted.
#pragma once
#include <cstdint>

#include "core/query_transport.h"
#include "core/server_table.h"
#include "core/time_base.h"

constexpr int kSamplesPerQuery = 3;
constexpr int kLookupBufferSize = 1024;  // MAXGETHOSTSTRUCT
// A name's addresses tried in turn, as the resolver ordered them.
constexpr int kMaxAddresses = 8;

enum QueryPhase : uint32_t {
  PhaseIdle = 0,
  PhaseResolving = 1,
  PhaseConnecting = 2,  // TIME: a connection is being made
  PhaseReading = 3,     // a reply is awaited
  PhaseWaiting = 4,     // NTP: the next request is not due yet
  PhaseKeyExchange = 5, // NTS: keys and cookies are being fetched
};

constexpr uint8_t kDeniedBefore = 2;

struct QuerySlot {
  uint8_t dirty;  // the slot's list row must be redrawn
  uint8_t ntp;    // asked over NTP ("ntp://HOST"), else over TIME
  // The server sent a DENY or RSTR kiss-o'-death: it is not asked again
  // until the program restarts or its list entry is edited. kDeniedBefore
  // once a later pass has passed it over: that pass did not reach it.
  uint8_t denied;
  uint8_t nts;      // asked over NTS ("nts://HOST"); ntp is set too
  uint8_t forged;   // NTS: a reply to this query failed its authenticator
  uint8_t rekeyed;  // NTS: this query has run a key exchange
  // NTS: the request was answered "NTSN", which no authenticator covers:
  // only if no authentic reply follows by the deadline is it believed.
  uint8_t nak;
  uintptr_t keyExchange;  // the pending key exchange, 0 when none
  uint8_t asked;  // started in the pass running now, or in the last one
  uint32_t phase;
  uint32_t samplesTaken;
  uint8_t addressCount;  // addresses found
  uint8_t addressIndex;  // the one asked now
  NetAddress addresses[kMaxAddresses];
  // What the phase waits for ends at this tick: the look-up or connection,
  // the reply, or (waiting) the time the next request is due. The tick, not
  // the clock: a clock set back during the pass must not hold it up.
  TickMs deadline;
  // Tick of connection k's completion (TIME) or request k's sending (NTP),
  // replaced by sample k's round trip (TIME) or delay (NTP).
  TickMs roundTripMs[kSamplesPerQuery];
  OffsetMs sampleOffset[kSamplesPerQuery];
  // NTP: the outstanding request's transmit stamp, which the reply must
  // echo, and its sending time by the local clock.
  uint64_t requestStamp;
  Ms1900 requestSent;
  uintptr_t socket;        // 0 when the slot holds none
  uintptr_t lookupHandle;  // 0 when no look-up is pending
  alignas(4) char lookupBuffer[kLookupBufferSize];
};

extern QuerySlot gQuerySlots[kMaxServers];
