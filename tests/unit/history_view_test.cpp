// The History window's plot from a millisecond to thousands of years, the
// servers that get a line, the entries of a span and the rows' texts.
#include "ui/history_view.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int64_t kMinute = 60000, kHour = 60 * kMinute, kDay = 24 * kHour;
constexpr Ms1900 kMidnight = 3978806400000;  // 2026-01-31T00:00:00.000, 46,051 days after 1900

std::vector<int64_t> Ticks(const PlotAxis& axis) {
  std::vector<int64_t> ticks;
  for (int64_t t = FirstTick(axis); t <= axis.high; t += axis.step) ticks.push_back(t);
  return ticks;
}

TEST(HistoryView, OffsetAxesIncludeZeroAndEndOnWholeSteps) {
  const struct { int64_t least, most; int maxSteps; PlotAxis axis; const char* unit; } cases[] = {
      {0, 0, 5, {0, 1, 1, 0}, "ms"},
      {5, 5, 100, {0, 5, 1, 0}, "ms"},
      {-3, 7, 5, {-5, 10, 5, 0}, "ms"},  // steps of 1 and 2 need 10 and 6
      {120, 480, 4, {0, 600, 200, 0}, "ms"},
      {-1250, -40, 4, {-1500, 0, 500, 0}, "ms"},
      {0, 40000, 3, {0, 45000, 15000, 1}, "s"},
      {0, 93810000, 5, {0, 5 * 6 * kHour, 6 * kHour, 3}, "h"},
      {-366 * kDay, 0, 5, {-400 * kDay, 0, 100 * kDay, 4}, "days"},
      // Clamped to 200 years either way, whatever the width.
      {INT64_MIN, INT64_MAX, 0, {-100000 * kDay, 100000 * kDay, 100000 * kDay, 4}, "days"},
  };
  for (const auto& c : cases) {
    const PlotAxis axis = OffsetAxis(c.least, c.most, c.maxSteps);
    EXPECT_EQ(axis.low, c.axis.low) << c.least << ".." << c.most;
    EXPECT_EQ(axis.high, c.axis.high) << c.least << ".." << c.most;
    EXPECT_EQ(axis.step, c.axis.step) << c.least << ".." << c.most;
    EXPECT_STREQ(OffsetUnit(axis), c.unit) << c.least << ".." << c.most;
  }
  std::vector<std::string> labels;
  const PlotAxis seconds = OffsetAxis(-20000, 40000, 5);
  for (int64_t tick : Ticks(seconds)) {
    char label[kTextBufferSize];
    OffsetLabel(tick, seconds, label);
    labels.push_back(label);
  }
  EXPECT_EQ(labels, (std::vector<std::string>{"-30", "-15", "0", "+15", "+30", "+45"}));
}

TEST(HistoryView, TimeAxesTakeTheSmallestRoundStepThatFits) {
  const struct { Ms1900 from, to; int maxTicks; int64_t step; } cases[] = {
      {kMidnight, kMidnight + 10 * kMinute, 6, 2 * kMinute},
      {kMidnight, kMidnight + kDay, 8, 6 * kHour},  // 3 hours would need 9
      {kMidnight, kMidnight + 7 * kDay, 8, kDay},
      {kMidnight, kMidnight + 30 * kDay, 8, 7 * kDay},  // ticks on days 46053, 46060...
      {kMidnight, kMidnight, 5, 15000},                 // widened to a minute
      {kMidnight + kDay, kMidnight, 5, 15000},
      {0, 255611289599999, 6, 728000 * kDay},  // 1900 to 9999
      {INT64_MIN, INT64_MAX, 1, 3640000 * kDay},
  };
  for (const auto& c : cases) {
    const PlotAxis axis = TimeAxis(c.from, c.to, c.maxTicks);
    EXPECT_EQ(axis.step, c.step) << c.from << ".." << c.to;
    const size_t ticks = Ticks(axis).size();
    EXPECT_TRUE(ticks >= 1 && ticks <= static_cast<size_t>(c.maxTicks)) << ticks;
    EXPECT_GE(axis.high - axis.low, kMinute);
  }
  const struct { Ms1900 time; int64_t step; const char* text; } labels[] = {
      {kMidnight + 14 * kHour + 5 * kMinute + 30000, 30000, "2:05:30pm"},
      {kMidnight + 14 * kHour + 5 * kMinute, 5 * kMinute, "2:05pm"},
      {kMidnight + 12 * kHour, kHour, "12:00pm"}, {kMidnight + 30 * kMinute, 30 * kMinute, "12:30am"},
      {kMidnight, 6 * kHour, "1/31"}, {kMidnight, kDay, "1/31/26"},
  };
  for (const auto& l : labels) {
    char text[kTextBufferSize];
    TimeLabel(l.time, PlotAxis{0, 1, l.step, 0}, text);
    EXPECT_STREQ(text, l.text);
  }
}

TEST(HistoryView, PixelsStayBetweenTheEnds) {
  const PlotAxis axis = {-500, 1500, 500, 0}, widest = OffsetAxis(INT64_MIN, INT64_MAX, 2);
  const struct { int64_t value; const PlotAxis& axis; int pixel; } cases[] = {
      {-500, axis, 300}, {1500, axis, 0}, {500, axis, 150}, {0, axis, 225},
      {INT64_MIN, axis, 300}, {INT64_MAX, axis, 0}, {1, widest, 150}, {INT64_MAX, widest, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(PixelOf(c.value, c.axis, 300, 0), c.pixel) << c.value;
}

ServerResult Used(const std::string& name) {
  ServerResult s = {"", true, StatusMeasured, 5, 7};
  name.copy(s.name, sizeof s.name - 1);
  return s;
}

TEST(HistoryView, SpansAndTheServersThatGetALine) {
  const Ms1900 now = kMidnight;
  // The last entry ended after now: the clock was set back since.
  const Ms1900 ended[] = {now - 2 * kDay, now - kDay, now - kDay + 1, now + 5};
  const struct { HistorySpan span; std::vector<int> shown; } spans[] = {
      {SpanDay, {3, 2, 1}}, {SpanWeek, {3, 2, 1, 0}}, {SpanEverything, {3, 2, 1, 0}}};
  for (const auto& s : spans) {
    int shown[4];
    EXPECT_EQ(std::vector<int>(shown, shown + EntriesInSpan(ended, 4, s.span, now, shown)), s.shown);
  }
  // Twelve servers once and two of them again, and one that failed.
  auto tally = std::make_unique<ServerTally>();
  tally->count = 0;
  PassEntry entry = {};
  for (int i = 0; i < 12; ++i) entry.servers[entry.serverCount++] = Used("n" + std::to_string(10 + i));
  TallyServers(entry, tally.get());
  entry.serverCount = 0;
  for (const char* name : {"n21", "n15"}) entry.servers[entry.serverCount++] = Used(name);
  entry.servers[entry.serverCount++] = {"b", false, StatusNoResponse, 0, 0};
  TallyServers(entry, tally.get());
  int busiest[kMostPlottedServers];
  std::vector<std::string> names;
  for (int i = 0, n = BusiestServers(*tally, busiest); i < n; ++i) names.push_back(tally->servers[busiest[i]].name);
  EXPECT_EQ(names, (std::vector<std::string>{"n15", "n21", "n10", "n11", "n12", "n13", "n14", "n16", "n17", "n18"}));
}

TEST(HistoryView, CellTexts) {
  PassEntry entry = {0, Correcting, TriggerSchedule, OutcomeStepped, -1250, 2,
                     {{"ntp://a.example", true, StatusMeasured, -1203, 31}, {"c.example", false, StatusSlowResponse, 0, 0}}};
  const char* const texts[kHistoryColumns] = {
      "", "Correcting", "Schedule", "Stepped", "-1.3s",
      "ntp://a.example (NTP): used -1.2s, 31 ms; c.example (TIME): Slow Response"};
  char text[kMaxEntryText];
  for (int column = 0; column < kHistoryColumns; ++column) {
    HistoryCellText(entry, static_cast<HistoryColumn>(column), text, sizeof text);
    EXPECT_STREQ(text, texts[column]);
  }
  HistoryCellText(entry, ColumnServers, text, 20);  // as much as fits
  EXPECT_STREQ(text, "ntp://a.example (NT");
  entry.outcome = OutcomeNoAnswer;
  HistoryCellText(entry, ColumnCorrection, text, sizeof text);
  EXPECT_STREQ(text, "");
}

}  // namespace
