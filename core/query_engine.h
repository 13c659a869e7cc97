// Queries the time servers over the TIME protocol (RFC 868): three samples
// per server over three connections, all servers at once, without threads.
#pragma once
#include <cstdint>

#include "core/query_slot.h"
#include "core/time_base.h"

constexpr int64_t kPassTimeoutMs = 120000;   // while connections are being issued
constexpr int64_t kReplyTimeoutMs = 2000;    // after the last connection completed

enum PassKind { Correcting, Testing };

extern int ActiveQueries;  // a pass runs while this is nonzero
extern PassKind PassMode;
extern Ms1900 PassDeadline;
extern Ms1900 ScheduleBase;
extern OffsetMs UserOffset;

void StartCorrectingPass();
// Queries the given slots, enabled or not, without touching the clock.
void StartTestingPass(const int* slots, int count);
void FinishQuery(int slot, ServerStatus status);
void FinishAllQueries(ServerStatus status);
// Ends every running query with "Slow Response" once the deadline has passed.
void CheckPassDeadline();

void OnLookupDone(uintptr_t handle, uint32_t error);
void DispatchSocketEvent(uintptr_t socket, uint32_t event, uint32_t error);

// Orders the three samples by round trip; the offset is the mean of the two
// quickest, the latency the mean of all three.
void ReduceSamples(int slot);
