// Stored values as the loader sees them: server records of any size and
// content, then what the list makes of them, a stored schedule and a stored
// offset, which must never push a sample past what 64 bits hold.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/query_engine.h"
#include "core/server_table.h"
#include "tests/unit/fakes.h"
#include "ui/schedule.h"
#include "ui/server_rows.h"
#include "ui/texts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fake::Reset();
  gFirstRun = false;
  // Each value: one length byte, then that many bytes.
  size_t at = 0;
  for (int slot = 0; slot < kMaxServers && at < size; ++slot) {
    size_t wanted = data[at++] * 2u;
    size_t length = std::min(wanted, size - at);
    char name[16];
    ServerValueName(slot, name);
    fake::store[name].assign(data + at, data + at + length);
    at += length;
  }
  LoadServerTable();
  std::vector<int> order;
  for (int slot = 0; slot < kMaxServers; ++slot) {
    if (strnlen(gServerTable[slot].name, kServerNameSize) == kServerNameSize) __builtin_trap();
    char latency[kTextBufferSize], correction[kTextBufferSize];
    RowTexts(slot, latency, correction);
    if (IsNamed(slot)) order.push_back(slot);
  }
  std::sort(order.begin(), order.end(), [](int a, int b) { return CompareRows(a, b, std::strcmp) < 0; });
  int32_t schedule = 0;
  std::memcpy(&schedule, data, std::min<size_t>(size, sizeof schedule));
  ScheduleLabel(schedule);
  ScheduleDue(fake::now, fake::now - ScheduleIntervalFor(schedule), ScheduleIntervalFor(schedule));
  fake::store["Offset"].assign(data, data + std::min<size_t>(size, 8));
  LoadUserOffset();
  if (gUserOffset > kMaxUserOffsetMs || gUserOffset < -kMaxUserOffsetMs) __builtin_trap();
  return 0;
}
