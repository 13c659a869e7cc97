// Events: pass starts and stops, look-ups, connections and replies (TIME and
// NTP, fitting or not, for live and closed sockets), time passing, and edits.
#include "tests/unit/engine_script.h"

#include <cstdio>
#include <iterator>

#include "core/query_engine.h"
#include "core/query_transport.h"
#include "core/view_hooks.h"
#include "tests/unit/fakes.h"
#include "ui/server_rows.h"

namespace {

struct Script {
  const uint8_t *at, *end;
  uint8_t Byte() { return at == end ? 0 : *at++; }
  uint32_t Below(size_t limit) { return static_cast<uint32_t>(Byte() % limit); }
};

// The running query that holds a socket or look-up handle, or null.
const QuerySlot* Holder(uintptr_t handle) {
  for (const QuerySlot& q : gQuerySlots)
    if (q.phase != PhaseIdle && (q.socket == handle || q.lookupHandle == handle)) return &q;
  return nullptr;
}

// A TIME count, bytes of any length, or an NTP packet from a server up to
// 12.8 s off that echoes the request or not.
std::vector<uint8_t> Reply(Script& s, uint64_t request) {
  uint32_t kind = s.Below(3);
  if (kind == 2) {
    Ms1900 server = fake::now + int8_t(s.Byte()) * 100;
    uint64_t origin = request ^ (s.Byte() & 1);
    uint8_t stratum = static_cast<uint8_t>(s.Below(3));  // 0 (a kiss), 1 or 2
    return fake::Reply(server, true, origin, stratum, s.Byte() & 1 ? "RATE" : "INIT");
  }
  std::vector<uint8_t> reply(kind == 0 ? 4 : s.Below(60));
  for (uint8_t& byte : reply) byte = s.Byte();
  return reply;
}

std::string Broken(bool passStartedHere) {
  int busy = 0;
  for (const QuerySlot& q : gQuerySlots) {
    busy += q.phase != PhaseIdle;
    if (q.phase == PhaseIdle && (q.socket || q.lookupHandle)) return "an idle slot holds a socket or look-up";
    if (q.samplesTaken > kSamplesPerQuery) return "more samples than a query takes";
  }
  if (gActiveQueries != busy) return "ActiveQueries does not count the busy slots";
  for (const ServerRecord& r : gServerTable)  // a correction may use only what this pass measures
    if (passStartedHere && r.name[0] && (r.status == StatusMeasured || r.status == StatusRejected))
      return "a result of an earlier pass survived the start of a new one";
  return "";
}

// What an event may change: the table, the slots but for their look-up buffers, and the pass.
std::string State() {
  std::string state(reinterpret_cast<const char*>(gServerTable), sizeof gServerTable);
  for (const QuerySlot& q : gQuerySlots)
    state.append(reinterpret_cast<const char*>(&q), offsetof(QuerySlot, lookupBuffer));
  return state + std::to_string(gActiveQueries);
}

}  // namespace

std::string RunEngineScript(const uint8_t* data, size_t size) {
  static const char* const kNames[] = {"10.0.0.%d", "ntp://10.0.0.%d", "host%d.example",
                                       "ntp://host%d.example", "missing%d.example"};
  static const uint32_t kEvents[] = {kEventConnect, kEventRead, kEventClose};
  static const uint32_t kErrors[] = {0, 0, 0, kErrorConnectionRefused, kErrorConnectionReset, 10060,
                                     11001, 11002};
  fake::Reset();
  gFirstRun = false;
  Script s{data, data + size};
  for (int i = 1, servers = 1 + s.Below(kMaxServers); i <= servers; ++i) {
    char name[kServerNameSize];
    std::snprintf(name, sizeof name, kNames[s.Below(5)], i);
    int slot = AddServer(name);
    gServerTable[slot].enabled = s.Byte() % 8 != 0;
    gServerTable[slot].status = s.Below(2) ? StatusMeasured : StatusNone;  // left from before
    SaveServer(slot);
    // Some names lead to an IPv6 address first, which may not answer.
    fake::hosts["host" + std::to_string(i) + ".example"] = {fake::Ip(10, 1, 0, i, i % 3 == 0), fake::Ip(10, 1, 0, i)};
  }
  for (int step = 0, line = LineIdle; s.at != s.end && step < 2000; ++step) {
    const bool idle = gActiveQueries == 0;
    const uint32_t event = s.Below(9);
    std::string before;  // for an event that no running query awaits: it must change nothing
    fake::log.clear();
    if (event == 0) StartCorrectingPass(static_cast<PassTrigger>(s.Below(4)));
    if (event == 1) {
      int chosen[3];  // -1 to 50: one past each end of the table
      for (int& slot : chosen) slot = static_cast<int>(s.Below(kMaxServers + 2)) - 1;
      StartTestingPass(chosen, 1 + static_cast<int>(s.Below(3)));
    }
    if (event == 2) {  // the first pending look-up from a random slot on, or any handle
      uintptr_t handle = 0;
      for (int i = s.Below(kMaxServers + 10); handle == 0 && i < kMaxServers; ++i)
        handle = gQuerySlots[i].lookupHandle;
      if (handle == 0) handle = 1 + s.Byte();
      if (!Holder(handle) || Holder(handle)->lookupHandle != handle) before = State();
      OnLookupDone(handle, kErrors[s.Below(8)]);
    }
    if ((event == 3 || event == 4) && !fake::sockets.empty()) {
      auto it = std::next(fake::sockets.begin(), s.Below(fake::sockets.size()));
      const QuerySlot* q = Holder(it->first);
      uint32_t kind = kEvents[s.Below(3)];
      uint32_t error = kErrors[s.Below(6)];
      if (kind != kEventConnect) it->second.reply = Reply(s, q ? q->requestStamp : 0), fake::tick += s.Byte();
      // A close counts only for NTP: a closed port, as some platforms report it. A read
      // notice that finds nothing, as one left from a closed socket of the same number, is none.
      bool awaited = q && (kind == kEventConnect ? q->phase == PhaseConnecting
                                                 : q->phase == PhaseReading && (kind == kEventRead || q->ntp) &&
                                                       (error != 0 || !it->second.reply.empty()));
      if (!awaited) before = State();
      DispatchSocketEvent(it->first, kind, error);
    }
    if (event == 5) fake::now += s.Byte(), fake::tick += s.Byte() * 50, CheckDeadlines();
    if (event == 6) FinishAllQueries(StatusInterrupted);
    if (event == 7) (s.Below(2) ? ToggleSlot : DeleteSlot)(static_cast<int>(s.Below(kMaxServers)));
    if (event == 8) fake::refuseStep = s.Below(2), fake::failSetUp = s.Below(4) == 0;
    std::string broken = Broken(event == 0 && idle);
    if (!before.empty() && State() != before) broken = "a stale event changed a query";
    // A pass shows its start once, and its end once nothing runs.
    int starts = 0;
    for (size_t at = fake::log.find("line "); at != std::string::npos; at = fake::log.find("line ", at + 1))
      starts += (line = fake::log[at + 5] - '0') != LineIdle;
    if (starts > 1) broken = "one event started two passes";
    if (gActiveQueries == 0 && line != LineIdle) broken = "no query runs but the pass has not ended";
    if (!broken.empty()) return broken + " (event " + std::to_string(step) + ")";
  }
  // Every query ends by its deadlines: a wait, then at most two more NTP requests.
  for (int round = 0; round < 4; ++round) fake::tick += kConnectTimeoutMs + 1, CheckDeadlines();
  return PassBusy() ? "a pass did not end at its deadlines" : Broken(false);
}
