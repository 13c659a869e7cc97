#include "core/query_engine.h"

#include "core/correction.h"
#include "core/ntp_protocol.h"
#include "core/query_transport.h"
#include "core/view_hooks.h"

QuerySlot QuerySlots[kMaxServers];
int ActiveQueries;
PassKind PassMode = Correcting;
Ms1900 PassDeadline;
Ms1900 ScheduleBase;
OffsetMs UserOffset;

namespace {

// Between the first started query of a pass and its end.
bool PassOpen;
// While a pass start loop runs, a query that fails at once must not end the
// pass: the servers not started yet still carry the results of an earlier one.
bool StartingPass;

// Larger than a reply needs: a datagram longer than the buffer fails to read.
constexpr int kDatagramBufferSize = 512;

void OpenConnection(int slot);

void BeginQuery() {
  if (!PassOpen) {
    PassOpen = true;
    UpdateStatusLine(PassMode == Correcting ? LineChecking : LineTesting);
    SetPassButtonText(PassMode == Correcting ? "Stop Correcting..." : "Stop Testing...");
  }
  ++ActiveQueries;
}

void EndPassIfDone() {
  if (ActiveQueries != 0 || StartingPass || !PassOpen) return;
  PassOpen = false;
  if (PassMode == Correcting) CorrectClock();
  UpdateStatusLine(LineIdle);
  SetPassButtonText("Synchronize Time");
  RefreshDirtyRows();
}

void StartQuery(int slot) {
  PassDeadline = CurrentMs1900() + kPassTimeoutMs;
  BeginQuery();
  QuerySlot& q = QuerySlots[slot];
  q.samplesTaken = 0;
  ServerTable[slot].status = StatusNone;
  // Taken once per query: a rename during the pass does not switch protocols.
  const char* host = ServerTable[slot].name;
  q.ntp = IsNtpName(host, &host);
  uint32_t address = NetParseAddress(host);
  if (address != kNoAddress) {
    q.address = address;
    OpenConnection(slot);
    return;
  }
  q.phase = PhaseResolving;
  q.dirty = 1;
  q.lookupHandle = NetStartLookup(host, q.lookupBuffer, kLookupBufferSize);
  if (q.lookupHandle == 0) FinishQuery(slot, StatusWinsockError);
}

// NTP: one request on the query's socket; the reply deadline starts now.
void SendNtpRequest(int slot) {
  QuerySlot& q = QuerySlots[slot];
  uint8_t packet[kNtpPacketSize];
  q.requestSent = CurrentMs1900();
  q.requestStamp = BuildNtpRequest(q.requestSent, NetRandomBits(), packet);
  q.roundTripMs[q.samplesTaken] = ReadTickMs();
  q.phase = PhaseReading;
  q.dirty = 1;
  if (!NetSend(q.socket, packet, kNtpPacketSize)) {
    FinishQuery(slot, StatusWinsockError);
    return;
  }
  PassDeadline = CurrentMs1900() + kReplyTimeoutMs;
}

void OpenConnection(int slot) {
  QuerySlot& q = QuerySlots[slot];
  if (q.ntp) {
    // One socket carries the query's three requests. The phase comes first:
    // a failure must find the query busy to end it.
    q.phase = PhaseReading;
    q.socket = NetOpenDatagram(q.address, kNtpPort);
    if (q.socket == 0)
      FinishQuery(slot, StatusWinsockError);
    else
      SendNtpRequest(slot);
    return;
  }
  q.phase = PhaseConnecting;
  q.dirty = 1;
  q.socket = NetOpenConnection(q.address);
  if (q.socket == 0) {
    FinishQuery(slot, StatusWinsockError);
    return;
  }
  PassDeadline = CurrentMs1900() + kPassTimeoutMs;
}

void OnConnectDone(int slot, uint32_t error) {
  if (error == kErrorConnectionRefused) {
    FinishQuery(slot, StatusRefused);
  } else if (error != 0) {
    FinishQuery(slot, StatusNoResponse);
  } else {
    QuerySlot& q = QuerySlots[slot];
    q.roundTripMs[q.samplesTaken] = ReadTickMs();
    q.phase = PhaseReading;
    q.dirty = 1;
  }
  PassDeadline = CurrentMs1900() + kReplyTimeoutMs;
}

void OnNtpReadable(int slot, uint32_t error) {
  QuerySlot& q = QuerySlots[slot];
  uint8_t reply[kDatagramBufferSize];
  int size = error == 0 ? NetReceive(q.socket, reply, sizeof reply) : -static_cast<int>(error);
  TickMs received = ReadTickMs();
  if (size < 0) {
    // A closed port answers with an ICMP message, which the socket reports.
    uint32_t code = static_cast<uint32_t>(-size);
    bool refused = code == kErrorConnectionReset || code == kErrorConnectionRefused;
    FinishQuery(slot, refused ? StatusRefused : StatusNoResponse);
    return;
  }
  NtpReplyVerdict verdict = CheckNtpReply(reply, size, q.requestStamp);
  if (verdict == NtpReplyIgnored) return;  // not the answer to this request
  if (verdict != NtpReplyUsable) {
    FinishQuery(slot, NtpFailureStatus(verdict));
    return;
  }
  uint32_t k = q.samplesTaken;
  NtpSample sample = ComputeNtpSample(reply, q.requestSent, received - q.roundTripMs[k], UserOffset);
  q.roundTripMs[k] = sample.delayMs;
  q.sampleOffset[k] = sample.offset;
  q.samplesTaken = k + 1;
  q.dirty = 1;
  if (q.samplesTaken == kSamplesPerQuery)
    ReduceSamples(slot);
  else
    SendNtpRequest(slot);
}

void OnReadable(int slot, uint32_t error) {
  QuerySlot& q = QuerySlots[slot];
  if (q.ntp) {
    OnNtpReadable(slot, error);
    return;
  }
  uint8_t reply[4];
  if (error != 0 || NetReceive(q.socket, reply, sizeof reply) != 4) {
    FinishQuery(slot, StatusNoResponse);
    return;
  }
  uint32_t seconds = (uint32_t{reply[0]} << 24) | (uint32_t{reply[1]} << 16) |
                     (uint32_t{reply[2]} << 8) | reply[3];
  Ms1900 now = CurrentMs1900();  // before the tick, as the round trip ends here
  Ms1900 serverMs = ServerTimeNear(seconds, now);
  uint32_t k = q.samplesTaken;
  q.roundTripMs[k] = ReadTickMs() - q.roundTripMs[k];
  q.sampleOffset[k] = (serverMs - now) + q.roundTripMs[k] / 2 + UserOffset;
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

void ReduceSamples(int slot) {
  QuerySlot& q = QuerySlots[slot];
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
  ServerRecord& record = ServerTable[slot];
  record.offset = (q.sampleOffset[0] + q.sampleOffset[1]) / 2;
  record.latencyMs = (q.roundTripMs[0] + q.roundTripMs[1] + q.roundTripMs[2]) / 3;
  FinishQuery(slot, PassMode == Correcting ? StatusMeasured : StatusTested);
}

void StartCorrectingPass() {
  if (ActiveQueries != 0) return;
  PassMode = Correcting;
  ScheduleBase = CurrentMs1900();
  StartingPass = true;
  for (int slot = 0; slot < kMaxServers; ++slot) {
    if (!IsNamed(slot)) continue;
    if (ServerTable[slot].enabled) {
      StartQuery(slot);
    } else {
      ServerTable[slot].status = StatusDisabled;
      SaveServer(slot);
      QuerySlots[slot].dirty = 1;
    }
  }
  StartingPass = false;
  EndPassIfDone();
  RefreshDirtyRows();
}

void StartTestingPass(const int* slots, int count) {
  if (count == 0 || ActiveQueries != 0) return;
  PassMode = Testing;
  StartingPass = true;
  for (int i = 0; i < count; ++i) {
    if (slots[i] >= 0 && slots[i] < kMaxServers && IsNamed(slots[i]) &&
        QuerySlots[slots[i]].phase == PhaseIdle)
      StartQuery(slots[i]);
  }
  StartingPass = false;
  EndPassIfDone();
}

void FinishQuery(int slot, ServerStatus status) {
  QuerySlot& q = QuerySlots[slot];
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
  ServerTable[slot].status = status;
  SaveServer(slot);
  --ActiveQueries;
  q.dirty = 1;
  EndPassIfDone();
}

void FinishAllQueries(ServerStatus status) {
  for (int slot = 0; slot < kMaxServers; ++slot) FinishQuery(slot, status);
}

void CheckPassDeadline() {
  if (ActiveQueries != 0 && CurrentMs1900() > PassDeadline)
    FinishAllQueries(StatusSlowResponse);
}

void OnLookupDone(uintptr_t handle, uint32_t error) {
  for (int slot = 0; slot < kMaxServers; ++slot) {
    QuerySlot& q = QuerySlots[slot];
    if (q.phase == PhaseIdle || q.lookupHandle != handle) continue;
    q.lookupHandle = 0;
    if (error == 0) {
      // A host entry that lists no address leaves nothing to connect to.
      if (NetFirstHostAddress(q.lookupBuffer, &q.address))
        OpenConnection(slot);
      else
        FinishQuery(slot, StatusNoDnsEntry);
    } else if (error == kErrorHostNotFound) {
      FinishQuery(slot, StatusNoDnsEntry);
    }
    // Other errors leave the query to the pass deadline.
    return;
  }
}

void DispatchSocketEvent(uintptr_t socket, uint32_t event, uint32_t error) {
  for (int slot = 0; slot < kMaxServers; ++slot) {
    QuerySlot& q = QuerySlots[slot];
    if (q.phase == PhaseIdle || q.socket != socket) continue;
    // The platform may hand a closed socket's number to the next connection,
    // and a notification queued for the old one then arrives here: an event
    // that does not fit the phase is such a stale message.
    if (event == kEventConnect && q.phase == PhaseConnecting)
      OnConnectDone(slot, error);
    else if (event == kEventRead && q.phase == PhaseReading)
      OnReadable(slot, error);
    else if (event == kEventClose && q.ntp && q.phase == PhaseReading)
      OnNtpReadable(slot, error);  // a closed port, as some platforms report it
    return;
  }
}
