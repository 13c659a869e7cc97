#include "ui/server_rows.h"

#include <cstdio>
#include <cstring>

#include "core/nts_protocol.h"
#include "core/query_engine.h"
#include "core/view_hooks.h"
#include "ui/texts.h"

int gSortColumn = 1;
int gSortDirection = 1;

namespace {

constexpr int kMeasuredRank = 102;

// Indexed by status 1..8; the statuses that end a query without a measurement.
const char* const kFailureTexts[] = {
    nullptr,         "Winsock Error", "No Response", "Slow Response", "Refused",
    "Net is Down",   "No DNS entry",  "Disabled",    "Interrupted",
};
constexpr uint32_t kLastFailureStatus = StatusInterrupted;

template <typename T>
int Order(T a, T b) {
  return (a > b) - (a < b);
}

}  // namespace

const char* FailureText(uint32_t status) {
  return status >= 1 && status <= kLastFailureStatus ? kFailureTexts[status] : nullptr;
}

int StatusRank(int slot) {
  const uint32_t status = gServerTable[slot].status;
  const QuerySlot& q = gQuerySlots[slot];
  if (status >= StatusRejected) return kMeasuredRank;
  // A query that has got further ranks higher: -3, -2 or -1.
  if (status == StatusNone && q.phase != PhaseIdle)
    return static_cast<int>(q.samplesTaken) - kSamplesPerQuery;
  return static_cast<int>(status);
}

int CompareRows(int a, int b, NameCompare compareNames) {
  const ServerRecord& ra = gServerTable[a];
  const ServerRecord& rb = gServerTable[b];
  if (gSortColumn == 0) return gSortDirection * compareNames(ra.name, rb.name);

  // Enabled servers stay on top whichever way the column runs.
  if (!ra.enabled != !rb.enabled) return ra.enabled ? -1 : 1;

  const int rankA = StatusRank(a);
  const int rankB = StatusRank(b);
  if (rankA != rankB) {
    const int higherFirst = rankA < rankB ? 1 : -1;
    // Under "Correction" the measured rows stay above the rest in both directions.
    return gSortColumn == 2 ? higherFirst : higherFirst * gSortDirection;
  }
  if (rankA == kMeasuredRank) {
    const int order = gSortColumn == 2 ? Order(ra.offset, rb.offset)
                                      : Order(ra.latencyMs, rb.latencyMs);
    if (order != 0) return order * gSortDirection;
  }
  return compareNames(ra.name, rb.name);
}

void ClickColumn(int column) {
  if (column == gSortColumn) {
    gSortDirection = -gSortDirection;
  } else {
    gSortColumn = column;
    gSortDirection = 1;
  }
}

void RowTexts(int slot, char* latency, char* correction) {
  const QuerySlot& q = gQuerySlots[slot];
  const ServerRecord& record = gServerTable[slot];
  latency[0] = '\0';
  correction[0] = '\0';

  const unsigned attempt = q.samplesTaken + 1;
  switch (q.phase) {
    case PhaseResolving:
      std::snprintf(latency, kTextBufferSize, "DNS Lookup...");
      return;
    case PhaseConnecting:
      std::snprintf(latency, kTextBufferSize, "Connecting %u...", attempt);
      return;
    case PhaseReading:
    case PhaseWaiting:  // NTP: the next request goes out shortly
      std::snprintf(latency, kTextBufferSize, "Reading %u...", attempt);
      return;
    case PhaseKeyExchange:
      std::snprintf(latency, kTextBufferSize, "Key Exchange...");
      return;
    default:
      break;
  }

  const uint32_t status = record.status;
  if (const char* failure = FailureText(status)) {
    std::snprintf(latency, kTextBufferSize, "%s", failure);
    return;
  }
  if (status != StatusRejected && status != StatusTested && status != StatusMeasured) return;

  std::snprintf(latency, kTextBufferSize, "%d", static_cast<int32_t>(record.latencyMs));
  FormatOffset(record.offset, correction);
  // An NTS server's results are authenticated: no other reply is ever used.
  char host[kServerNameSize];
  uint16_t port;
  if (IsNtsName(record.name, host, &port)) std::strcat(correction, " (NTS)");
  if (status == StatusRejected) std::strcat(correction, " (unused)");
  if (status == StatusTested) std::strcat(correction, " (test)");
}

namespace {

// An edit goes onto the entry the user sees: one that another Orvalen has
// changed or deleted meanwhile is shown as it is now instead, and the edit
// dropped. Taken in before its query ends, as a pass held behind it may start.
bool ChangedElsewhere(int slot) {
  if (!TakeInChangedServer(slot)) return false;
  FinishQuery(slot, StatusInterrupted);
  SyncRows(false);
  return true;
}

}  // namespace

// An edited entry may name another server: one that refused us is asked
// again. The edit is made and stored before the end of the entry's query,
// which may end its pass and start one held behind it: that pass sees the
// entry as edited. The pass's step lets messages in (the question, the time
// change's broadcast), in which another Orvalen may change the entry again.
void RenameSlot(int slot, const char* name) {
  // Blanks around a typed or pasted name would be looked up with it.
  while (*name == ' ' || *name == '\t') ++name;
  char kept[kServerNameSize] = "";
  std::strncpy(kept, name, kServerNameSize - 1);  // as much as the field holds
  for (size_t n = std::strlen(kept); n > 0 && (kept[n - 1] == ' ' || kept[n - 1] == '\t');) kept[--n] = '\0';
  // An edit that leaves the name as it was (a click on a selected row opens
  // the editor) renames nothing: the result and a query running stay.
  if (std::strncmp(kept, gServerTable[slot].name, kServerNameSize) == 0 || ChangedElsewhere(slot)) return;
  gQuerySlots[slot].denied = gQuerySlots[slot].asked = 0;
  SetServerName(slot, kept);
  // The old name's result is none of the new one's: it neither shows beside
  // it nor counts in the pass that measured it, whose history does not name
  // the new one among the servers asked.
  if (gQuerySlots[slot].phase == PhaseIdle) gServerTable[slot].status = StatusNone;
  UpdateServer(slot);
  FinishQuery(slot, StatusInterrupted);
}

void DeleteSlot(int slot) { RenameSlot(slot, ""); }

// The pass ends on the list it asked; one held behind it, started at its
// end, asked servers that are gone now, and is stopped too.
void ResetSlots() {
  FinishAllQueries(StatusInterrupted);
  ResetServerTable();
  FinishAllQueries(StatusInterrupted);
}

void ToggleSlot(int slot) {
  if (ChangedElsewhere(slot)) return;
  gQuerySlots[slot].denied = 0;
  gServerTable[slot].enabled = !gServerTable[slot].enabled;
  UpdateServer(slot);
  FinishQuery(slot, StatusInterrupted);
}
