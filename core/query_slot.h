// Transient per-server query state, one per table slot; never persisted.
#pragma once
#include <cstdint>

#include "core/server_table.h"
#include "core/time_base.h"

constexpr int kSamplesPerQuery = 3;
constexpr int kLookupBufferSize = 1024;  // MAXGETHOSTSTRUCT

enum QueryPhase : uint32_t {
  PhaseIdle = 0,
  PhaseResolving = 1,
  PhaseConnecting = 2,  // TIME: a connection is being made
  PhaseReading = 3,     // a reply is awaited
  PhaseWaiting = 4,     // NTP: the next request is not due yet
};

struct QuerySlot {
  uint8_t dirty;  // the slot's list row must be redrawn
  uint8_t ntp;    // asked over NTP ("ntp://HOST"), else over TIME
  // The server sent a DENY or RSTR kiss-o'-death: it is not asked again
  // until the program restarts or its list entry is edited.
  uint8_t denied;
  uint8_t asked;  // started in the pass running now, or in the last one
  uint32_t phase;
  uint32_t samplesTaken;
  uint32_t address;  // IPv4, network byte order
  // What the phase waits for ends at this time: the look-up or connection,
  // the reply, or (waiting) the time the next request is due.
  Ms1900 deadline;
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

extern QuerySlot QuerySlots[kMaxServers];
