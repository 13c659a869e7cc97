// Queries the time servers over TIME (RFC 868) and NTP: three samples per
// server, all servers at once, without threads.
#pragma once
#include <cstdint>

#include "core/query_slot.h"
#include "core/time_base.h"

constexpr int64_t kConnectTimeoutMs = 120000;  // a look-up, or a connection being made
constexpr int64_t kReplyTimeoutMs = 2000;      // after the request or the connection
// NTP samples to one server are this far apart: public servers commonly
// answer a faster client with a RATE kiss-o'-death, or not at all.
constexpr int64_t kNtpSpacingMs = 2000;

enum PassKind { Correcting, Testing };

// What asked for a correcting pass. Only a pass that someone at the screen
// asked for may ask them about a large correction.
enum PassTrigger : uint32_t {
  TriggerUser = 0,      // the button or the tray menu
  TriggerSecondLaunch,  // another start of the program asked this one
  TriggerSchedule,
  TriggerLaunch,        // the pass at start, at log-on or with gCorrectOnLaunch
  TriggerResume,        // the machine woke from sleep
  TriggerNetwork,       // the machine gained a network address
  TriggerCommandLine,   // "Orvalen.exe /sync" from a script
};
inline bool IsUnattended(PassTrigger trigger) { return trigger >= TriggerSchedule; }

extern int gActiveQueries;  // queries started and not yet finished
extern PassKind gPassMode;
extern PassTrigger gPassStartedBy;
extern Ms1900 gScheduleBase;
extern OffsetMs gUserOffset;
extern bool gPassStopped;  // the last pass was ended as a whole: a stop, a reset of the list, the shutdown

// From the first started query until the pass end (correction, status line)
// has fully run, which may include a box or a broadcast that lets other
// messages in. A request for a pass meanwhile is held until then.
bool PassBusy();

// A testing pass between its first and last update of the screen, which
// let other messages in: a test asked for now could neither join it safely
// nor be told apart from it, and is best asked for once the message is done.
bool TestSettling();

// A request while a pass is busy is held and served when it has ended,
// unless it would repeat the pass that just ended (same kind).
void StartCorrectingPass(PassTrigger trigger);
// Queries the given slots, enabled or not, without touching the clock.
void StartTestingPass(const int* slots, int count);
void FinishQuery(int slot, ServerStatus status);
// Ends every running query, and drops a held request: a stop, a reset of
// the list or the shutdown.
void FinishAllQueries(ServerStatus status);
// A request of that kind is held, to be served when the busy pass has ended.
bool PassHeld(bool correcting);
// Every tick of the pass timer: sends the NTP requests that have come due
// and ends with "Slow Response" each query whose wait has run out; with "No
// Response" one whose key exchange never ended or whose replies were forged.
// An NTS query answered only "NTSN" exchanges keys anew instead, or, once
// it has, ends with "Refused".
void CheckDeadlines();

void OnLookupDone(uintptr_t handle, uint32_t error);
void DispatchSocketEvent(uintptr_t socket, uint32_t event, uint32_t error);

// Orders the three samples by round trip; the offset is the mean of the two
// quickest, the latency the mean of all three.
void ReduceSamples(int slot);

// The last pass reached no server at all: every query ended without an
// answer or a refusal, as when the network is not up yet.
bool PassFoundNoServer();

// The "Offset" setting as the samples may use it: an 8-byte value within a
// year either way; anything else counts as 0 and is left in the store.
constexpr OffsetMs kMaxUserOffsetMs = 366LL * 24 * 3600 * 1000;
OffsetMs UsableUserOffset(OffsetMs value);
void LoadUserOffset();
