// A history file of any content as the recorder and the History window read
// it: the entry added always reads back last, every entry read writes back
// as it was, and no text outgrows its buffer.
#include <cstring>
#include <vector>

#include "core/pass_history.h"
#include "ui/history_view.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* file = reinterpret_cast<const char*>(data);
  static PassEntry entry, back;
  entry = {4'000'000'000'000, Correcting, TriggerSchedule, OutcomeStepped, -1250, 1, {}};
  entry.servers[0] = {"ntp://a\\b\tc", true, StatusMeasured, -1203, 31};
  std::vector<char> out(HistoryUpdateSize(size));
  const HistoryUpdate update = PlanHistoryUpdate(file, size, entry, out.data());
  std::vector<char> after(out.begin(), out.begin() + update.length);
  if (!update.replace) after.insert(after.begin(), file, file + size);
  std::vector<size_t> starts(kHistoryMost + 1);
  const int total = FindEntries(after.data(), after.size(), starts.data(), kHistoryMost + 1);
  if (total < 1 || total > kHistoryMost) __builtin_trap();
  const size_t last = starts[std::min(total, kHistoryMost + 1) - 1];
  if (!ParseEntry(&after[last], LineLength(after.data(), after.size(), last), &back) ||
      back.ended != entry.ended || std::strcmp(back.servers[0].name, entry.servers[0].name) != 0)
    __builtin_trap();

  std::vector<size_t> found(kHistoryMost);
  const int count = std::min(FindEntries(file, size, found.data(), kHistoryMost), kHistoryMost);
  static char line[kMaxEntryText], again[kMaxEntryText], cell[kMaxEntryText];
  for (int i = 0; i < count; ++i) {
    if (!ParseEntry(file + found[i], LineLength(file, size, found[i]), &entry)) __builtin_trap();
    const size_t length = FormatEntry(entry, line);
    if (length >= kMaxEntryText || !ParseEntry(line, length - 2, &back)) __builtin_trap();
    if (FormatEntry(back, again) != length || std::memcmp(line, again, length) != 0) __builtin_trap();
    if (CsvRow(entry, kMaxServers, cell) >= kMaxEntryText) __builtin_trap();
    for (int column = 0; column < kHistoryColumns; ++column)
      HistoryCellText(entry, static_cast<HistoryColumn>(column), cell, sizeof cell);
  }
  return 0;
}
