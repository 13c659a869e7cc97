#include "ui/texts.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::string Offset(OffsetMs value) {
  char out[kTextBufferSize];
  FormatOffset(value, out);
  return out;
}

TEST(FormatOffset, UnitRoundingAndSign) {
  const struct { OffsetMs value; const char* text; } cases[] = {
      {0, " 0.0s"},
      {49, " 0.0s"},
      {-40, " 0.0s"},
      {50, "+0.1s"},
      {-50, "-0.1s"},
      {1234, "+1.2s"},
      {-1234, "-1.2s"},
      {9999, "+10.0s"},
      {119950, "+120.0s"},  // the unit is chosen before rounding
      {120000, "+2.00m"},
      {-150000, "-2.50m"},
      {7199999, "+120.00m"},
      {7200000, "+2.00h"},
      {90000000, "+25.00h"},
      {172799999, "+48.00h"},
      {172800000, "+2.00d"},
      {4294967296, "+49.71d"},
      {31536000000, "+365.00d"},
      // 2^63 ms / 86,400,000 ms a day = 106,751,991,167.300 days; also the
      // longest text there is, 17 characters.
      {INT64_MIN, "-106751991167.30d"},
      {INT64_MAX, "+106751991167.30d"},
  };
  for (const auto& c : cases) EXPECT_EQ(Offset(c.value), c.text) << c.value;
}

TEST(ParseOffset, LooseForms) {
  const struct { const char* text; OffsetMs value; } cases[] = {
      {"1.5", 1500},
      {".5", 500},
      {"-1.5h", -5400000},
      {"2m", 120000},
      {"2.5M", 150000},
      {"1.25D", 108000000},
      {"3 days", 259200000},
      {"1.2345", 1234},
      {"0.001", 1},
      {"0.0005", 0},
      {"+3s", 3000},
      {"--1", 1000},
      {"1,5", 15000},
      {"1.2.3", 1230},
      {"12:30", 1230000},
      {"1h30m", 21601800000},
      {"", 0},
      {"abc", 0},
      {"-", 0},
      // (10^20 mod 2^64 - 1) * 1000 mod 2^64, read as signed.
      {"99999999999999999999", 200376420520688664},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseOffset(c.text), c.value) << c.text;
}

// Rounds to what the text can show: tenths of a second below two minutes,
// else hundredths of a minute, an hour or a day; halves away from zero.
OffsetMs RoundToShown(OffsetMs value) {
  uint64_t magnitude = static_cast<uint64_t>(value);
  if (value < 0) magnitude = 0 - magnitude;
  const uint64_t step = magnitude < 120000      ? 100
                        : magnitude < 7200000   ? 600
                        : magnitude < 172800000 ? 36000
                                                : 864000;
  uint64_t rounded = (magnitude + step / 2) / step * step;
  if (value < 0) rounded = 0 - rounded;
  return static_cast<OffsetMs>(rounded);
}

TEST(ParseOffset, ReadsBackWhatFormatOffsetWrites) {
  std::vector<OffsetMs> values;
  // Every millisecond across zero and the seconds/minutes boundary.
  for (OffsetMs v = -250000; v <= 250000; ++v) values.push_back(v);
  const OffsetMs centres[] = {7200000, 172800000, 4294967296, 31536000000,
                              INT64_MAX - 2000};
  for (OffsetMs centre : centres) {
    for (OffsetMs d = -2000; d <= 2000; ++d) {
      values.push_back(centre + d);
      values.push_back(-(centre + d));
    }
  }
  values.push_back(INT64_MIN);
  for (OffsetMs v = 1; v < INT64_MAX / 3; v = v * 3 + 1) {
    for (OffsetMs w : {v - 1, v, v + 1}) {
      values.push_back(w);
      values.push_back(-w);
    }
  }
  for (OffsetMs v : values) {
    const std::string text = Offset(v);
    ASSERT_EQ(ParseOffset(text.c_str()), RoundToShown(v)) << v << " " << text;
  }
}

TEST(FormatClockFields, TwelveHourClockAndShortDate) {
  const struct { CalendarFields local; const char* text; } cases[] = {
      {{2024, 3, 5, 0, 5, 9}, "12:05:09am on 3/5/24 "},
      {{2024, 3, 5, 11, 59, 59}, "11:59:59am on 3/5/24 "},
      {{2024, 3, 5, 12, 0, 0}, "12:00:00pm on 3/5/24 "},
      {{2024, 3, 5, 14, 7, 9}, "2:07:09pm on 3/5/24 "},
      {{2009, 12, 31, 23, 59, 59}, "11:59:59pm on 12/31/09 "},
      {{2100, 7, 4, 9, 30, 0}, "9:30:00am on 7/4/00 "},
      {{1999, 12, 31, 12, 59, 59}, "12:59:59pm on 12/31/99 "},  // the longest
  };
  for (const auto& c : cases) {
    char out[kTextBufferSize];
    FormatClockFields(c.local, out);
    EXPECT_STREQ(out, c.text);
  }
}

}  // namespace
