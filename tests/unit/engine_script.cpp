#include "tests/unit/engine_script.h"

#include <cstring>
#include <vector>

#include "core/correction.h"
#include "core/query_engine.h"
#include "core/query_transport.h"
#include "core/server_table.h"
#include "tests/unit/fakes.h"
#include "ui/server_rows.h"

namespace {

class Script {
 public:
  Script(const uint8_t* data, size_t size) : at_(data), end_(data + size) {}
  bool done() const { return at_ == end_; }
  uint8_t Byte() { return at_ == end_ ? 0 : *at_++; }
  uint32_t Below(uint32_t limit) { return limit == 0 ? 0 : Byte() % limit; }

 private:
  const uint8_t* at_;
  const uint8_t* end_;
};

const char* const kNames[] = {"10.0.0.%d", "ntp://10.0.0.%d", "host%d.example", "ntp://host%d.example",
                              "missing%d.example"};

// A reply for the socket: a TIME count, an NTP packet that echoes the
// outstanding request (or not), or bytes of any length.
std::vector<uint8_t> ReplyFor(Script& s, uintptr_t socket) {
  std::vector<uint8_t> reply;
  const QuerySlot* owner = nullptr;
  for (const QuerySlot& q : QuerySlots)
    if (q.socket == socket && q.phase != PhaseIdle) owner = &q;
  switch (s.Below(3)) {
    case 0:
      for (int i = 0; i < 4; ++i) reply.push_back(s.Byte());
      break;
    case 1: {
      reply.assign(48, 0);
      reply[0] = 0x24;
      reply[1] = s.Below(3);  // stratum 0 (kiss), 1 or 2
      if (reply[1] == 0) std::memcpy(&reply[12], s.Byte() & 1 ? "RATE" : "INIT", 4);
      uint64_t origin = owner ? owner->requestStamp : 0;
      if (s.Byte() & 1) origin ^= 1;  // a reply to another request
      Ms1900 server = fake::now + static_cast<int8_t>(s.Byte()) * 100;
      uint64_t stamp = uint64_t(server / 1000) << 32;
      for (int i = 0; i < 8; ++i) {
        reply[24 + i] = uint8_t(origin >> (56 - 8 * i));
        reply[32 + i] = reply[40 + i] = uint8_t(stamp >> (56 - 8 * i));
      }
      break;
    }
    default:
      for (uint32_t n = s.Below(60); n > 0; --n) reply.push_back(s.Byte());
  }
  return reply;
}

std::string Broken(bool passStartedHere) {
  int busy = 0;
  for (int slot = 0; slot < kMaxServers; ++slot) {
    const QuerySlot& q = QuerySlots[slot];
    if (q.phase != PhaseIdle) {
      ++busy;
    } else if (q.socket != 0 || q.lookupHandle != 0) {
      return "an idle slot still holds a socket or a look-up";
    }
    if (q.samplesTaken > kSamplesPerQuery) return "more samples than a query takes";
  }
  if (ActiveQueries < 0) return "ActiveQueries is negative";
  if (ActiveQueries != busy) return "ActiveQueries does not count the busy slots";
  if (passStartedHere) {
    // A correction may use only what this pass measures: nothing measured
    // before it may be left standing once it has started.
    for (const ServerRecord& r : ServerTable)
      if (r.name[0] && (r.status == StatusMeasured || r.status == StatusRejected))
        return "a result of an earlier pass survived the start of a new one";
  }
  return "";
}

}  // namespace

std::string RunEngineScript(const uint8_t* data, size_t size) {
  fake::Reset();
  FirstRun = false;
  Script s(data, size);
  int servers = 1 + s.Below(kMaxServers);
  for (int i = 0; i < servers; ++i) {
    char name[kServerNameSize];
    std::snprintf(name, sizeof name, kNames[s.Below(5)], i + 1);
    int slot = AddServer(name);
    ServerTable[slot].enabled = s.Byte() % 8 != 0;
    ServerTable[slot].status = s.Below(2) ? StatusMeasured : StatusNone;  // left from before
    fake::hosts["host" + std::to_string(i + 1) + ".example"] = fake::Ip(10, 1, 0, i + 1);
    fake::hosts["missing" + std::to_string(i + 1) + ".example"] = 0;
  }
  for (int steps = 0; !s.done() && steps < 2000; ++steps) {
    bool started = false;
    size_t linesBefore = fake::statusLines.size();
    switch (s.Below(9)) {
      case 0:
        started = ActiveQueries == 0;
        StartCorrectingPass();
        break;
      case 1: {
        // Slot numbers from -1 to 50: one past each end of the table.
        int chosen[3];
        for (int& slot : chosen) slot = static_cast<int>(s.Below(kMaxServers + 2)) - 1;
        StartTestingPass(chosen, 1 + s.Below(3));
        break;
      }
      case 2: {
        static const uint32_t kErrors[] = {0, kErrorHostNotFound, 11002};
        uintptr_t handle = fake::lookups.empty() ? s.Byte() : fake::lookups.begin()->first;
        OnLookupDone(handle, kErrors[s.Below(3)]);
        break;
      }
      case 3:
      case 4: {
        if (fake::sockets.empty()) break;
        auto it = fake::sockets.begin();
        std::advance(it, s.Below(static_cast<uint32_t>(fake::sockets.size())));
        static const uint32_t kErrors[] = {0, 0, 0, kErrorConnectionRefused, kErrorConnectionReset, 10060};
        uint32_t error = kErrors[s.Below(6)];
        if (s.Below(2)) {
          DispatchSocketEvent(it->first, kEventConnect, error);
        } else {
          it->second.reply = ReplyFor(s, it->first);
          fake::tick += s.Byte();
          DispatchSocketEvent(it->first, kEventRead, error);
        }
        break;
      }
      case 5:
        fake::now += s.Byte() * 50;
        fake::tick += s.Byte();
        CheckPassDeadline();
        break;
      case 6:
        FinishAllQueries(StatusInterrupted);
        break;
      case 7:
        if (s.Below(2))
          ToggleSlot(s.Below(kMaxServers));
        else
          DeleteSlot(s.Below(kMaxServers));
        break;
      default:
        fake::refuseStep = s.Below(2);
        fake::failConnections = s.Below(4) == 0;
        break;
    }
    std::string broken = Broken(started);
    // A pass shows its start once, and its end once nothing runs.
    int starts = 0;
    for (size_t i = linesBefore; i < fake::statusLines.size(); ++i) starts += fake::statusLines[i] != LineIdle;
    if (starts > 1) broken = "one event started two passes";
    if (ActiveQueries == 0 && !fake::statusLines.empty() && fake::statusLines.back() != LineIdle)
      broken = "no query runs but the pass has not ended";
    if (!broken.empty()) return broken + " (event " + std::to_string(steps) + ")";
  }
  // Every pass ends: at the latest when its deadline has passed.
  fake::now += kPassTimeoutMs + 1;
  CheckPassDeadline();
  if (ActiveQueries != 0) return "a pass did not end at its deadline";
  return Broken(false);
}
