#include "ui/history_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "ui/server_rows.h"
#include "ui/texts.h"

const char* const kSpanLabels[kHistorySpans] = {"Last day", "Last week", "Last 30 days",
                                                "Everything"};
const char* const kHistoryColumnTitles[kHistoryColumns] = {
    "Ended", "Pass", "Started by", "Result", "Correction", "Servers"};
namespace {

constexpr int64_t kMsPerSecond = 1000;
constexpr int64_t kMsPerMinute = 60 * kMsPerSecond;
constexpr int64_t kMsPerHour = 60 * kMsPerMinute;
constexpr int64_t kMsPerDay = 24 * kMsPerHour;
constexpr int64_t kSpanMs[kHistorySpans] = {kMsPerDay, 7 * kMsPerDay, 30 * kMsPerDay, 0};
// Times outside the history's years, give or take a day of time zone, are
// drawn at the edge; this keeps a time range inside 64 bits too.
constexpr Ms1900 kEarliestPlotTime = -kMsPerDay;
constexpr Ms1900 kLatestPlotTime = 8100LL * 366 * kMsPerDay;

struct OffsetUnitName {
  int64_t ms;
  const char* name;
};
constexpr OffsetUnitName kOffsetUnits[] = {
    {1, "ms"}, {kMsPerSecond, "s"}, {kMsPerMinute, "min"}, {kMsPerHour, "h"}, {kMsPerDay, "days"}};

// Steps that read as round numbers of their unit, smallest first.
struct Step {
  int64_t count;
  int unit;
};
constexpr Step kOffsetSteps[] = {
    {1, 0}, {2, 0}, {5, 0}, {10, 0}, {20, 0}, {50, 0}, {100, 0}, {200, 0}, {500, 0},
    {1, 1}, {2, 1}, {5, 1}, {10, 1}, {15, 1}, {30, 1},
    {1, 2}, {2, 2}, {5, 2}, {10, 2}, {15, 2}, {30, 2},
    {1, 3}, {2, 3}, {3, 3}, {6, 3}, {12, 3},
    {1, 4}, {2, 4}, {5, 4}, {10, 4}, {20, 4}, {50, 4}, {100, 4}, {200, 4}, {500, 4},
    {1000, 4}, {2000, 4}, {5000, 4}, {10000, 4}, {20000, 4}, {50000, 4}, {100000, 4},
};
// Days go by weeks, then by multiples of 52 weeks, up to ten thousand years.
constexpr Step kTimeSteps[] = {
    {1, 1}, {2, 1}, {5, 1}, {10, 1}, {15, 1}, {30, 1},
    {1, 2}, {2, 2}, {5, 2}, {10, 2}, {15, 2}, {30, 2},
    {1, 3}, {2, 3}, {3, 3}, {6, 3}, {12, 3},
    {1, 4}, {2, 4}, {7, 4}, {14, 4}, {28, 4}, {91, 4}, {182, 4}, {364, 4}, {728, 4},
    {1820, 4}, {3640, 4}, {7280, 4}, {18200, 4}, {36400, 4}, {72800, 4}, {182000, 4},
    {364000, 4}, {728000, 4}, {1820000, 4}, {3640000, 4},
};

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - (a % b < 0 ? 1 : 0); }
int64_t CeilDiv(int64_t a, int64_t b) { return -FloorDiv(-a, b); }
int64_t StepMs(const Step& step) { return step.count * kOffsetUnits[step.unit].ms; }

const char* TriggerText(PassTrigger trigger) {
  switch (trigger) {
    case TriggerUser: return "User";
    case TriggerSecondLaunch: return "Second start";
    case TriggerSchedule: return "Schedule";
    case TriggerLaunch: return "Start";
    case TriggerResume: return "Resume";
    case TriggerNetwork: return "Network";
    case TriggerCommandLine: return "Command line";
  }
  return "";
}

const char* ResultText(CorrectionOutcome outcome) {
  switch (outcome) {
    case OutcomeNone: return "Tested";
    case OutcomeStepped: return "Stepped";
    case OutcomeNoAnswer: return "No server answered";
    case OutcomeDisagreed: return "Servers disagreed";
    case OutcomeGuardRefused: return "Too large, not made";
    case OutcomeDeclined: return "Declined";
    case OutcomePlatformRefused: return "Refused by Windows";
    case OutcomeClockChanged: return "Clock changed meanwhile";
  }
  return "";
}

// "a (NTP): used -1.2s, 31 ms; b (TIME): Slow Response", cut to size.
void ServersText(const PassEntry& entry, char* out, size_t size) {
  size_t used = 0;
  out[0] = '\0';
  for (int k = 0; k < entry.serverCount && used + 1 < size; ++k) {
    const ServerResult& s = entry.servers[k];
    // A failure as the server list says it; a measurement by its use.
    const char* status = FailureText(s.status);
    if (status == nullptr) status = StatusName(s.status);
    char measured[2 * kTextBufferSize] = "";
    if (Measured(s.status)) {
      char offset[kTextBufferSize];
      FormatOffset(s.offset, offset);
      std::snprintf(measured, sizeof measured, " %s, %lu ms", offset, static_cast<unsigned long>(s.delayMs));
    }
    const int n = std::snprintf(out + used, size - used, "%s%s (%s): %s%s", k ? "; " : "", s.name,
                                s.ntp ? "NTP" : "TIME", status, measured);
    used = n < 0 ? size : std::min(size - 1, used + static_cast<size_t>(n));
  }
}

}  // namespace

int64_t SpanMs(HistorySpan span) { return kSpanMs[span]; }

int EntriesInSpan(const Ms1900* ended, int count, HistorySpan span, Ms1900 now, int* shown) {
  int n = 0;
  for (int i = count - 1; i >= 0; --i)
    if (span == SpanEverything || ended[i] >= now - kSpanMs[span]) shown[n++] = i;
  return n;
}

PlotAxis OffsetAxis(int64_t least, int64_t most, int maxSteps) {
  const int64_t low = std::min<int64_t>(std::clamp(least, -kPlotLimitMs, kPlotLimitMs), 0);
  const int64_t high = std::max<int64_t>(std::clamp(most, -kPlotLimitMs, kPlotLimitMs), 0);
  maxSteps = std::max(maxSteps, 2);
  // Whole steps around both ends, at least one; the largest step covers
  // the whole limit in two.
  auto around = [&](const Step& step) {
    const int64_t ms = StepMs(step), first = FloorDiv(low, ms);
    return PlotAxis{first * ms, std::max(CeilDiv(high, ms), first + 1) * ms, ms, step.unit};
  };
  for (const Step& step : kOffsetSteps) {
    const PlotAxis axis = around(step);
    if ((axis.high - axis.low) / axis.step <= maxSteps) return axis;
  }
  return around(std::end(kOffsetSteps)[-1]);
}

PlotAxis TimeAxis(Ms1900 from, Ms1900 to, int maxTicks) {
  from = std::clamp(from, kEarliestPlotTime, kLatestPlotTime);
  to = std::clamp(to, kEarliestPlotTime, kLatestPlotTime);
  if (to - from < kMsPerMinute) {
    from += (to - from) / 2 - kMsPerMinute / 2;
    to = from + kMsPerMinute;
  }
  for (const Step& step : kTimeSteps) {
    const int64_t ms = StepMs(step);
    if (FloorDiv(to, ms) - CeilDiv(from, ms) + 1 <= maxTicks) return {from, to, ms, step.unit};
  }
  // Ten thousand years hold at most two ticks of the largest step.
  const Step& largest = std::end(kTimeSteps)[-1];
  return {from, to, StepMs(largest), largest.unit};
}

int64_t FirstTick(const PlotAxis& axis) { return CeilDiv(axis.low, axis.step) * axis.step; }

int PixelOf(int64_t value, const PlotAxis& axis, int atLow, int atHigh) {
  const int64_t inside = std::clamp(value, axis.low, axis.high);
  const double share =
      static_cast<double>(inside - axis.low) / static_cast<double>(axis.high - axis.low);
  return atLow + static_cast<int>(std::lround(share * (atHigh - atLow)));
}

void OffsetLabel(int64_t value, const PlotAxis& axis, char* out) {
  const long long count = value / kOffsetUnits[axis.unit].ms;
  std::snprintf(out, kTextBufferSize, count > 0 ? "+%lld" : "%lld", count);
}

const char* OffsetUnit(const PlotAxis& axis) { return kOffsetUnits[axis.unit].name; }

void TimeLabel(Ms1900 localTime, const PlotAxis& axis, char* out) {
  const CivilTime c = CivilFromMs(localTime);
  const int hour12 = c.hour % 12 == 0 ? 12 : c.hour % 12;
  const char half = c.hour < 12 ? 'a' : 'p';
  if (axis.step >= kMsPerDay)
    std::snprintf(out, kTextBufferSize, "%d/%d/%02d", c.month, c.day, static_cast<int>(c.year % 100));
  else if (c.hour == 0 && c.minute == 0 && c.second == 0)
    std::snprintf(out, kTextBufferSize, "%d/%d", c.month, c.day);
  else if (axis.step < kMsPerMinute)
    std::snprintf(out, kTextBufferSize, "%d:%02d:%02d%cm", hour12, c.minute, c.second, half);
  else
    std::snprintf(out, kTextBufferSize, "%d:%02d%cm", hour12, c.minute, half);
}

void TallyServers(const PassEntry& entry, ServerTally* tally) {
  for (int k = 0; k < entry.serverCount; ++k) {
    const ServerResult& s = entry.servers[k];
    if (!Measured(s.status)) continue;
    int i = 0;
    while (i < tally->count && std::strcmp(tally->servers[i].name, s.name) != 0) ++i;
    if (i == kMaxTalliedServers) continue;
    if (i == tally->count) {
      ++tally->count;
      std::memcpy(tally->servers[i].name, s.name, sizeof s.name);
      tally->servers[i].uses = 0;
    }
    ++tally->servers[i].uses;
  }
}

int BusiestServers(const ServerTally& tally, int (&busiest)[kMostPlottedServers]) {
  int order[kMaxTalliedServers];
  for (int i = 0; i < tally.count; ++i) order[i] = i;
  std::sort(order, order + tally.count, [&](int a, int b) {
    const auto &x = tally.servers[a], &y = tally.servers[b];
    return x.uses != y.uses ? x.uses > y.uses : std::strcmp(x.name, y.name) < 0;
  });
  const int n = std::min(tally.count, kMostPlottedServers);
  std::copy(order, order + n, busiest);
  return n;
}

void HistoryCellText(const PassEntry& entry, HistoryColumn column, char* out, size_t size) {
  const char* text = "";
  char offset[kTextBufferSize];
  switch (column) {
    case ColumnPass: text = entry.kind == Testing ? "Testing" : "Correcting"; break;
    case ColumnTrigger: text = TriggerText(entry.trigger); break;
    case ColumnResult: text = ResultText(entry.outcome); break;
    case ColumnCorrection:
      if (HasCorrection(entry.outcome)) FormatOffset(entry.correction, offset), text = offset;
      break;
    case ColumnServers: ServersText(entry, out, size); return;
    case ColumnEnded:
    case kHistoryColumns: break;
  }
  std::snprintf(out, size, "%s", text);
}
