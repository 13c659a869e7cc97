// What the History window shows, decided without the platform: the
// entries of a span, the plot's axes, ticks and labels, the servers that
// get a line, and the texts of the list's cells.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/pass_history.h"
#include "ui/texts.h"

enum HistorySpan { SpanDay, SpanWeek, SpanMonth, SpanEverything, kHistorySpans };
extern const char* const kSpanLabels[kHistorySpans];
constexpr HistorySpan kDefaultSpan = SpanWeek;

// Offsets beyond this either way are drawn at the plot's edge; it keeps
// every range and step far inside 64 bits.
constexpr int64_t kPlotLimitMs = 200LL * 365 * 86400 * 1000;
constexpr int kMostPlottedServers = 10;
constexpr int kMaxTalliedServers = 200;  // names counted to find the busiest

// Colours as 0x00BBGGRR: a pass's marker by what became of it (grey for a
// test), and the lines of the plotted servers.
constexpr uint32_t kResultColors[] = {0x808080, 0x009600, 0x000080, 0x006080,
                                      0x008CE6, 0xC00080, 0x0000D2, 0x808000};
static_assert(sizeof kResultColors / sizeof kResultColors[0] == OutcomeClockChanged + 1,
              "a colour for every outcome");
constexpr uint32_t kServerColors[kMostPlottedServers] = {
    0xB4771F, 0x0E7FFF, 0x2CA02C, 0x2827D6, 0xBD6794, 0x4B568C, 0xC277E3, 0x7F7F7F, 0x22BDBC, 0xCFBE17,
};

// How far back a span reaches; 0 for everything.
int64_t SpanMs(HistorySpan span);
// Of count entries that ended at these times, oldest first: the indices of
// those in the span that ends at now, newest first. Returns how many.
int EntriesInSpan(const Ms1900* ended, int count, HistorySpan span, Ms1900 now, int* shown);

struct PlotAxis {
  int64_t low, high;  // the values at the two ends, low < high
  int64_t step;       // between ticks, which lie on its multiples
  int unit;           // what the labels count in
};
// Offsets from least to most, and zero, rounded out to whole steps, with at
// most maxSteps steps from end to end.
PlotAxis OffsetAxis(int64_t least, int64_t most, int maxSteps);
// Local times from..to (at least a minute), with at most maxTicks ticks.
PlotAxis TimeAxis(Ms1900 from, Ms1900 to, int maxTicks);
// The ticks run from this one by the step up to the axis' high end.
int64_t FirstTick(const PlotAxis& axis);
// The pixel of a value between those of the axis' two ends; a value beyond
// an end lands on it.
int PixelOf(int64_t value, const PlotAxis& axis, int atLow, int atHigh);
// "-250", "0", "+15": a tick's value in the axis' unit, which OffsetUnit
// names ("ms", "s", "min", "h" or "days"). out holds kTextBufferSize bytes.
void OffsetLabel(int64_t value, const PlotAxis& axis, char* out);
const char* OffsetUnit(const PlotAxis& axis);
// "2:05:30pm" or "2:05pm" by the step, "1/31" at midnight, "1/31/26" for a
// step of days. out holds kTextBufferSize bytes.
void TimeLabel(Ms1900 localTime, const PlotAxis& axis, char* out);

struct ServerTally {
  int count;
  struct {
    char name[kServerNameSize];
    int uses;
  } servers[kMaxTalliedServers];
};
// Counts each server the entry measured; a new name finds no place once
// kMaxTalliedServers are counted.
void TallyServers(const PassEntry& entry, ServerTally* tally);
// Indices into the tally of the servers measured most often (most first,
// ties by name), at most kMostPlottedServers; returns how many.
int BusiestServers(const ServerTally& tally, int (&busiest)[kMostPlottedServers]);

enum HistoryColumn {
  ColumnEnded,  // the platform writes its text, in local time
  ColumnPass,
  ColumnTrigger,
  ColumnResult,
  ColumnCorrection,
  ColumnServers,
  kHistoryColumns,
};
extern const char* const kHistoryColumnTitles[kHistoryColumns];
// The cell's text, cut to fit size bytes.
void HistoryCellText(const PassEntry& entry, HistoryColumn column, char* out, size_t size);
