#include "core/query_engine.h"

#include <algorithm>
#include <cstring>

#include "core/correction.h"
#include "core/ntp_protocol.h"
#include "core/nts_key_exchange.h"
#include "core/nts_sessions.h"
#include "core/query_transport.h"
#include "core/view_hooks.h"
#include "store/settings_store.h"

QuerySlot gQuerySlots[kMaxServers];
int gActiveQueries;
PassKind gPassMode = Correcting;
PassTrigger gPassStartedBy = TriggerUser;
Ms1900 gScheduleBase;
OffsetMs gUserOffset;
bool gPassStopped;

namespace {

// Between the first started query of a pass and the end of its pass end.
bool gPassOpen;
// While a loop starts or stops a pass's queries the pass does not end: at
// the start the servers not started yet still carry an earlier pass's
// results, and at a stop a pass held behind it would start under the loop.
bool gLoopingQueries;

// Requests that came while a pass was busy, one of each kind.
struct HeldRequests {
  bool correcting;
  PassTrigger trigger;
  bool testing;
  int count;
  int slots[kMaxServers];
};
HeldRequests gHeld;

// Larger than a reply needs: a datagram longer than the buffer fails to read.
constexpr int kDatagramBufferSize = 2 * kNtsMaxPacketSize;

void OpenConnection(int slot);
void Resolve(int slot, const char* host);
void StartKeyExchange(int slot);

// A failure of the address asked now: the name's next address is tried
// before the query ends with status.
void FailQuery(int slot, ServerStatus status) {
  QuerySlot& q = gQuerySlots[slot];
  if (q.phase == PhaseIdle || q.addressIndex + 1 >= q.addressCount) {
    // Keys whose every address failed may lead where this network does not
    // reach (the address an exchange was made over, before a move): the
    // next query exchanges them anew, and learns where to ask now.
    if (q.nts) ForgetNtsKeys(slot);
    FinishQuery(slot, status);
    return;
  }
  // The next address's socket is opened before this one is closed, so it
  // cannot take this one's number: a notice still queued for this one would
  // be taken for its own.
  const uintptr_t old = q.socket;
  q.socket = 0;
  ++q.addressIndex;
  q.samplesTaken = 0;
  OpenConnection(slot);
  if (old != 0) NetCloseSocket(old);
}

void OpenPass() {
  if (!gPassOpen) {
    gPassOpen = true;
    gPassStopped = false;
    // The offset as stored now: another user's Orvalen running beside this
    // one, or a script, may have changed it, and two that differ would step
    // the clock to and fro.
    LoadUserOffset();
    UpdateStatusLine(gPassMode == Correcting ? LineChecking : LineTesting);
    SetPassButtonText(gPassMode == Correcting ? "Stop Correcting..." : "Stop Testing...");
  }
}

void BeginQuery() {
  OpenPass();
  ++gActiveQueries;
}

// A request of the kind that just ended would only repeat it.
void ServeHeldRequest(PassKind ended) {
  bool correct = gHeld.correcting && ended == Testing;
  bool test = gHeld.testing && ended == Correcting;
  gHeld.correcting = gHeld.testing = false;
  if (correct) StartCorrectingPass(gHeld.trigger);
  if (test) StartTestingPass(gHeld.slots, gHeld.count);
  if ((correct || test) && !PassBusy()) HeldPassAskedNoOne(correct);
}

void EndPassIfDone() {
  if (gActiveQueries != 0 || gLoopingQueries || !gPassOpen) return;
  // The correction may ask the user and broadcasts the change: both let
  // other messages in, and the pass stays busy until they are done.
  const PassKind ended = gPassMode;
  if (ended == Correcting) CorrectClock();
  UpdateStatusLine(LineIdle);
  SetPassButtonText("Synchronize Time");
  RefreshDirtyRows();
  PassEnded();
  gPassOpen = false;
  ServeHeldRequest(ended);
}

bool HoldCorrecting(PassTrigger trigger) {
  if (!PassBusy()) return false;
  // A script waits on a pass that asks no one: a start that asks too joins it as it is.
  if (!gHeld.correcting || gHeld.trigger != TriggerCommandLine) gHeld.trigger = trigger;
  gHeld.correcting = true;
  return true;
}

// Tests asked for meanwhile add up: a script's waits on its servers, the user's on the rows chosen.
bool HoldTesting(const int* slots, int count) {
  if (!PassBusy()) return false;
  if (!gHeld.testing) gHeld.count = 0;
  gHeld.testing = true;
  int* const held = gHeld.slots;
  for (int i = 0; i < count && gHeld.count < kMaxServers; ++i)
    if (std::find(held, held + gHeld.count, slots[i]) == held + gHeld.count) held[gHeld.count++] = slots[i];
  return true;
}

void StartQuery(int slot) {
  QuerySlot& q = gQuerySlots[slot];
  q.asked = 1;
  // Taken once per query: a rename during the pass does not switch protocols.
  const char* host = gServerTable[slot].name;
  q.ntp = IsNtpName(host, &host);
  char keHost[kServerNameSize];
  uint16_t kePort;
  q.nts = IsNtsName(gServerTable[slot].name, keHost, &kePort);  // "ntp://nts://..." is not one
  q.ntp |= q.nts;  // an NTS server counts as NTP wherever NTP counts
  q.forged = q.rekeyed = q.nak = 0;
  q.addressIndex = 0;
  if (q.denied) {
    // Not asked, and refused all the same: a pass that finds only such servers is
    // made, and ends, as one whose every server refused at once.
    OpenPass();
    q.denied = kDeniedBefore;
    gServerTable[slot].status = StatusRefused;
    SaveServerResult(slot);
    q.dirty = 1;
    return;
  }
  BeginQuery();
  q.samplesTaken = 0;
  gServerTable[slot].status = StatusNone;
  if (q.nts && !NtsHasCookie(slot)) {
    StartKeyExchange(slot);
    return;
  }
  Resolve(slot, q.nts ? NtsServerName(slot) : host);
}

// A key exchange in the middle of a query (its cookies spent on addresses
// that did not answer, or refused) goes on from the address it reached:
// starting over would ask the silent ones again, for ever.
void Resolve(int slot, const char* host) {
  QuerySlot& q = gQuerySlots[slot];
  q.addressCount = NetParseAddress(host, &q.addresses[0]) ? 1 : 0;
  if (q.addressCount != 0) {
    q.addressIndex = 0;
    OpenConnection(slot);
    return;
  }
  q.phase = PhaseResolving;
  q.dirty = 1;
  q.deadline = ReadTickMs() + kConnectTimeoutMs;
  q.lookupHandle = NetStartLookup(host, q.lookupBuffer, kLookupBufferSize);
  if (q.lookupHandle == 0) FinishQuery(slot, StatusWinsockError);
}

// NTS: keys and cookies from the server's key exchange, which runs off the
// window's thread; the query goes on in OnKeyExchangeDone. The addresses
// are looked up again afterwards: the exchange may name another server.
void StartKeyExchange(int slot) {
  QuerySlot& q = gQuerySlots[slot];
  char host[kServerNameSize];
  uint16_t port;
  IsNtsName(gServerTable[slot].name, host, &port);
  q.phase = PhaseKeyExchange;
  q.dirty = 1;
  q.addressCount = 0;
  q.deadline = ReadTickMs() + kKeyExchangeTimeoutMs + kReplyTimeoutMs;
  q.rekeyed = 1;
  q.keyExchange = NetStartKeyExchange(host, port);
  if (q.keyExchange == 0) FinishQuery(slot, StatusWinsockError);
}

// The server said "NTSN" and sent nothing authentic after: it no longer
// takes our cookies. Cookies fresh from this query's exchange refused too:
// the server is broken.
void TakeNak(int slot) {
  ForgetNtsKeys(slot);
  if (gQuerySlots[slot].rekeyed)
    FinishQuery(slot, StatusRefused);
  else
    StartKeyExchange(slot);
}

// NTP: one request on the query's socket; the reply deadline starts now.
// Each NTS request spends a cookie; without one a key exchange comes first.
void SendNtpRequest(int slot) {
  QuerySlot& q = gQuerySlots[slot];
  if (q.nts && !NtsHasCookie(slot)) {
    StartKeyExchange(slot);
    return;
  }
  uint8_t packet[kNtsMaxPacketSize];
  uint8_t header[kNtpPacketSize];
  q.requestStamp = BuildNtpRequest(CurrentMs1900(), NetRandomBits(), header);
  std::memcpy(packet, header, kNtpPacketSize);
  const int size = q.nts ? AddNtsRequestFields(slot, packet) : kNtpPacketSize;
  // The stamp only names the request. The measurement starts once it is
  // built: sealing one for NTS can take a millisecond.
  q.requestSent = CurrentMs1900();
  q.roundTripMs[q.samplesTaken] = ReadTickMs();
  q.phase = PhaseReading;
  q.nak = 0;
  q.dirty = 1;
  q.deadline = q.roundTripMs[q.samplesTaken] + kReplyTimeoutMs;
  if (size == 0 || !NetSend(q.socket, packet, size)) FailQuery(slot, StatusWinsockError);
}

void OpenConnection(int slot) {
  QuerySlot& q = gQuerySlots[slot];
  // Busy before the set-up: a failure must find the query running to end it.
  q.phase = PhaseConnecting;
  q.dirty = 1;
  if (q.ntp) {
    // One socket carries the query's three requests.
    q.socket = NetOpenDatagram(q.addresses[q.addressIndex], q.nts ? NtsServerPort(slot) : kNtpPort);
    if (q.socket == 0)
      FailQuery(slot, StatusWinsockError);
    else
      SendNtpRequest(slot);
    return;
  }
  q.socket = NetOpenConnection(q.addresses[q.addressIndex]);
  if (q.socket == 0) {
    FailQuery(slot, StatusWinsockError);
    return;
  }
  q.deadline = ReadTickMs() + kConnectTimeoutMs;
}

void OnConnectDone(int slot, uint32_t error) {
  if (error == kErrorConnectionRefused) {
    FailQuery(slot, StatusRefused);
  } else if (error != 0) {
    FailQuery(slot, StatusNoResponse);
  } else {
    QuerySlot& q = gQuerySlots[slot];
    q.roundTripMs[q.samplesTaken] = ReadTickMs();
    q.phase = PhaseReading;
    q.dirty = 1;
    q.deadline = ReadTickMs() + kReplyTimeoutMs;
  }
}

void OnNtpReadable(int slot, uint32_t error) {
  QuerySlot& q = gQuerySlots[slot];
  uint8_t reply[kDatagramBufferSize];
  int size = error == 0 ? NetReceive(q.socket, reply, sizeof reply) : -static_cast<int>(error);
  TickMs received = ReadTickMs();
  if (size == -static_cast<int>(kErrorWouldBlock)) return;  // a notice with nothing behind it
  if (q.phase == PhaseWaiting) return;  // a late duplicate, read only to keep notices coming
  // No reply is that long: anyone may send it, and the reply may still come.
  if (size == -static_cast<int>(kErrorMessageSize)) return;
  if (size < 0) {
    // A closed port answers with an ICMP message, which the socket reports.
    uint32_t code = static_cast<uint32_t>(-size);
    bool refused = code == kErrorConnectionReset || code == kErrorConnectionRefused;
    FailQuery(slot, refused ? StatusRefused : StatusNoResponse);
    return;
  }
  if (q.nts) {
    // Only an authentic reply is read further; anyone can send the rest.
    const NtsReplyVerdict nts = CheckNtsReplyFor(slot, reply, size, q.requestStamp);
    if (nts == NtsReplyForged) q.forged = 1;
    // Anyone who sees the request can answer it so: the server's own
    // reply may still come, and is waited for.
    if (nts == NtsReplyRekey) q.nak = 1;
    if (nts != NtsReplyAuthentic) return;
  }
  NtpReplyVerdict verdict = CheckNtpReply(reply, size, q.requestStamp);
  if (verdict == NtpReplyIgnored) return;  // not the answer to this request
  if (verdict == NtpReplyDenied) q.denied = 1;
  if (verdict == NtpReplyUnusable) {
    FailQuery(slot, StatusNoResponse);
    return;
  }
  if (verdict != NtpReplyUsable) {  // a kiss-o'-death speaks for the server, not one address
    FinishQuery(slot, NtpFailureStatus(verdict));
    return;
  }
  uint32_t k = q.samplesTaken;
  const TickMs sent = q.roundTripMs[k];
  NtpSample sample = ComputeNtpSample(reply, q.requestSent, received - sent, gUserOffset);
  if (!sample.consistent) {
    FailQuery(slot, StatusNoResponse);
    return;
  }
  q.roundTripMs[k] = sample.delayMs;
  q.sampleOffset[k] = sample.offset;
  q.samplesTaken = k + 1;
  q.dirty = 1;
  if (q.samplesTaken == kSamplesPerQuery) {
    ReduceSamples(slot);
    return;
  }
  q.phase = PhaseWaiting;
  q.deadline = sent + kNtpSpacingMs;
}

void OnReadable(int slot, uint32_t error) {
  QuerySlot& q = gQuerySlots[slot];
  if (q.ntp) {
    OnNtpReadable(slot, error);
    return;
  }
  uint8_t reply[4];
  int size = error == 0 ? NetReceive(q.socket, reply, sizeof reply) : -1;
  if (size == -static_cast<int>(kErrorWouldBlock)) return;
  const uint32_t seconds = size != 4 ? 0 : (uint32_t{reply[0]} << 24) | (uint32_t{reply[1]} << 16) |
                                               (uint32_t{reply[2]} << 8) | reply[3];
  if (seconds == 0) {  // no count, or a zero one, which would read as a time in 2036
    FailQuery(slot, StatusNoResponse);
    return;
  }
  Ms1900 now = CurrentMs1900();  // before the tick, as the round trip ends here
  Ms1900 serverMs = ServerTimeNear(seconds, now);
  uint32_t k = q.samplesTaken;
  q.roundTripMs[k] = ReadTickMs() - q.roundTripMs[k];
  q.sampleOffset[k] = (serverMs - now) + q.roundTripMs[k] / 2 + gUserOffset;
  q.samplesTaken = k + 1;
  q.dirty = 1;
  if (q.samplesTaken == kSamplesPerQuery) {
    ReduceSamples(slot);
    return;
  }
  NetCloseSocket(q.socket);
  q.socket = 0;
  OpenConnection(slot);
}

}  // namespace

bool PassBusy() { return gPassOpen || gActiveQueries != 0; }

bool TestSettling() { return gPassOpen && gPassMode == Testing && (gLoopingQueries || gActiveQueries == 0); }

bool PassFoundNoServer() {
  bool asked = false;
  for (int slot = 0; slot < kMaxServers; ++slot) {
    if (!IsNamed(slot)) continue;
    switch (gServerTable[slot].status) {
      case StatusDisabled:
        break;
      case StatusWinsockError:  // as when no network is up: no route to a server's address
      case StatusNoDnsEntry:
      case StatusNetDown:
      case StatusNoResponse:
      case StatusSlowResponse:
        asked = true;
        break;
      case StatusRefused:  // a refusal remembered says nothing of the network now
        if (gQuerySlots[slot].denied == kDeniedBefore) break;
        return false;
      default:
        return false;
    }
  }
  return asked;
}

void ReduceSamples(int slot) {
  QuerySlot& q = gQuerySlots[slot];
  for (int i = 0; i < 2; ++i) {
    for (int j = i + 1; j < 3; ++j) {
      if (q.roundTripMs[j] < q.roundTripMs[i]) {
        TickMs trip = q.roundTripMs[i];
        q.roundTripMs[i] = q.roundTripMs[j];
        q.roundTripMs[j] = trip;
        OffsetMs offset = q.sampleOffset[i];
        q.sampleOffset[i] = q.sampleOffset[j];
        q.sampleOffset[j] = offset;
      }
    }
  }
  ServerRecord& record = gServerTable[slot];
  record.offset = (q.sampleOffset[0] + q.sampleOffset[1]) / 2;
  uint64_t trips = uint64_t{q.roundTripMs[0]} + q.roundTripMs[1] + q.roundTripMs[2];
  record.latencyMs = static_cast<uint32_t>(trips / 3);
  FinishQuery(slot, gPassMode == Correcting ? StatusMeasured : StatusTested);
}

void StartCorrectingPass(PassTrigger trigger) {
  if (HoldCorrecting(trigger)) return;
  gPassMode = Correcting;
  gPassStartedBy = trigger;
  gClockChangedInPass = false;  // measured afresh, against the clock as it is now
  NoteStoredCorrection();
  gScheduleBase = CurrentMs1900();
  for (QuerySlot& q : gQuerySlots) q.asked = 0;
  gLoopingQueries = true;
  for (int slot = 0; slot < kMaxServers; ++slot) {
    if (!IsNamed(slot)) continue;
    if (gServerTable[slot].enabled) {
      StartQuery(slot);
    } else {
      gServerTable[slot].status = StatusDisabled;
      SaveServerResult(slot);
      gQuerySlots[slot].dirty = 1;
    }
  }
  gLoopingQueries = false;
  EndPassIfDone();
  RefreshDirtyRows();
}

void StartTestingPass(const int* slots, int count) {
  // A test asked for while another still asks its servers joins it: held,
  // it would be dropped as a repeat when that one ends.
  const bool join = gPassMode == Testing && gActiveQueries != 0;
  if (count == 0 || (!join && HoldTesting(slots, count))) return;
  gPassMode = Testing;
  if (!join)
    for (QuerySlot& q : gQuerySlots) q.asked = 0;
  gLoopingQueries = true;
  for (int i = 0; i < count; ++i) {
    if (slots[i] >= 0 && slots[i] < kMaxServers && IsNamed(slots[i]) &&
        gQuerySlots[slots[i]].phase == PhaseIdle)
      StartQuery(slots[i]);
  }
  gLoopingQueries = false;
  EndPassIfDone();
}

void FinishQuery(int slot, ServerStatus status) {
  QuerySlot& q = gQuerySlots[slot];
  if (q.phase == PhaseIdle) return;
  if (q.lookupHandle != 0) {
    NetCancelLookup(q.lookupHandle);
    q.lookupHandle = 0;
  }
  if (q.socket != 0) {
    NetCloseSocket(q.socket);
    q.socket = 0;
  }
  q.phase = PhaseIdle;
  gServerTable[slot].status = status;
  SaveServerResult(slot);
  --gActiveQueries;
  q.dirty = 1;
  EndPassIfDone();
}

void FinishAllQueries(ServerStatus status) {
  gHeld.correcting = gHeld.testing = false;
  // With none running, a pass still open is ending already (a shutdown
  // under its question): it must not be ended again.
  if (gActiveQueries == 0) return;
  gPassStopped = true;
  gLoopingQueries = true;
  for (int slot = 0; slot < kMaxServers; ++slot) FinishQuery(slot, status);
  gLoopingQueries = false;
  EndPassIfDone();
}

bool PassHeld(bool correcting) { return correcting ? gHeld.correcting : gHeld.testing; }

void CheckDeadlines() {
  if (gActiveQueries == 0) return;
  const TickMs now = ReadTickMs();
  // A pass held behind this one starts once the loop is done: its deadlines
  // are set after `now` was read, and under the loop would look wrapped.
  gLoopingQueries = true;
  for (int slot = 0; slot < kMaxServers; ++slot) {
    QuerySlot& q = gQuerySlots[slot];
    // No deadline is set further ahead than a connection's: one that seems
    // to be was passed in a sleep of weeks, and the tick's difference wrapped.
    int64_t past = static_cast<int32_t>(now - q.deadline);
    if (past < -kConnectTimeoutMs) past += int64_t{1} << 32;
    if (q.phase == PhaseWaiting && past >= 0)
      SendNtpRequest(slot);
    else if (q.phase == PhaseReading && q.nak && past > 0)
      TakeNak(slot);
    else if (q.phase != PhaseIdle && past > 0)
      FailQuery(slot, q.forged || q.phase == PhaseKeyExchange ? StatusNoResponse : StatusSlowResponse);
  }
  gLoopingQueries = false;
  EndPassIfDone();
}

void OnKeyExchangeDone(uintptr_t handle, const NtsKeResult& result) {
  for (int slot = 0; slot < kMaxServers; ++slot) {
    QuerySlot& q = gQuerySlots[slot];
    if (q.phase != PhaseKeyExchange || q.keyExchange != handle) continue;
    q.keyExchange = 0;
    if (result.outcome != KeAgreed) {
      FinishQuery(slot, KeyExchangeFailureStatus(result.outcome));
      return;
    }
    KeepNtsKeys(slot, result.keys);
    if (q.socket != 0) {
      NetCloseSocket(q.socket);
      q.socket = 0;
    }
    Resolve(slot, NtsServerName(slot));
    return;
  }
}

void OnLookupDone(uintptr_t handle, uint32_t error) {
  for (int slot = 0; slot < kMaxServers; ++slot) {
    QuerySlot& q = gQuerySlots[slot];
    if (q.phase != PhaseResolving || q.lookupHandle != handle) continue;
    q.lookupHandle = 0;
    // Whatever the error (no such name, no address of this kind, a failing
    // name server), waiting longer would not bring an answer.
    q.addressCount = error == 0 ? static_cast<uint8_t>(
                                      NetHostAddresses(q.lookupBuffer, q.addresses, kMaxAddresses))
                                : 0;
    if (q.addressCount == 0) {
      FailQuery(slot, StatusNoDnsEntry);  // no address to try, as after the last one failed
      return;
    }
    if (q.addressIndex >= q.addressCount) q.addressIndex = q.addressCount - 1;  // a shorter list
    OpenConnection(slot);
    return;
  }
}

void DispatchSocketEvent(uintptr_t socket, uint32_t event, uint32_t error) {
  for (int slot = 0; slot < kMaxServers; ++slot) {
    QuerySlot& q = gQuerySlots[slot];
    if (q.phase == PhaseIdle || q.socket != socket) continue;
    // The platform may hand a closed socket's number to the next connection,
    // and a notice queued for the old one then arrives here: an event that
    // does not fit the phase is such a stale message, and a read notice
    // finds nothing to read.
    bool reading = q.phase == PhaseReading || (q.ntp && q.phase == PhaseWaiting);
    if (event == kEventConnect && q.phase == PhaseConnecting && !q.ntp)
      OnConnectDone(slot, error);
    else if (event == kEventRead && reading)
      OnReadable(slot, error);
    else if (event == kEventClose && q.ntp && reading)
      OnNtpReadable(slot, error);  // a closed port, as some platforms report it
    return;
  }
}

OffsetMs UsableUserOffset(OffsetMs value) {
  return value >= -kMaxUserOffsetMs && value <= kMaxUserOffsetMs ? value : 0;
}

void LoadUserOffset() {
  OffsetMs stored = 0;
  uint32_t size = 0;
  bool read = ReadSetting("Offset", &stored, sizeof stored, &size);
  gUserOffset = read && size == sizeof stored ? UsableUserOffset(stored) : 0;
}
