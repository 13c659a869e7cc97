#include "ui/texts.h"

#include <gtest/gtest.h>

#include <cstdint>

TEST(Texts, FormatOffsetAndReadingItBack) {
  // Tenths of a second below two minutes, else hundredths of a minute, an
  // hour or a day; halves away from zero; the unit chosen before rounding.
  const struct { OffsetMs value; const char* text; OffsetMs readBack; } cases[] = {
      {0, " 0.0s", 0}, {49, " 0.0s", 0}, {-49, " 0.0s", 0},  // zero shows no sign
      {50, "+0.1s", 100}, {-50, "-0.1s", -100}, {1234, "+1.2s", 1200}, {9999, "+10.0s", 10000},
      {119950, "+120.0s", 120000}, {120000, "+2.00m", 120000}, {-150000, "-2.50m", -150000},
      {7199999, "+120.00m", 7200000}, {7200000, "+2.00h", 7200000}, {90000000, "+25.00h", 90000000},
      {172799999, "+48.00h", 172800000}, {172800000, "+2.00d", 172800000},
      {4294967296, "+49.71d", 4294944000},
      // 2^63 ms are 106,751,991,167.300 days: the longest text, 17 characters.
      {INT64_MIN, "-106751991167.30d", -9223372036854720000},
      {INT64_MAX, "+106751991167.30d", 9223372036854720000},
  };
  for (const auto& c : cases) {
    char out[kTextBufferSize];
    FormatOffset(c.value, out);
    EXPECT_STREQ(out, c.text) << c.value;
    EXPECT_EQ(ParseOffset(out), c.readBack) << c.value;
  }
}

TEST(Texts, ParseOffsetTakesAUnitAndWrapsWithoutOverflow) {
  const struct { const char* text; OffsetMs value; } cases[] = {
      {"2.5M", 150000}, {"-1.25D", -108000000}, {"1.2345", 1234}, {"abc", 0},
      {"99999999999999999999", 200376420520688664},  // (10^20 mod 2^64 - 1) * 1000 mod 2^64, signed
  };
  for (const auto& c : cases) EXPECT_EQ(ParseOffset(c.text), c.value) << c.text;
}

TEST(Texts, ClockFieldsUseATwelveHourClockAndAShortDate) {
  const struct { CalendarFields local; const char* text; } cases[] = {
      {{2024, 3, 5, 0, 5, 9}, "12:05:09am on 3/5/24 "}, {{2024, 3, 5, 11, 59, 59}, "11:59:59am on 3/5/24 "},
      {{2024, 3, 5, 12, 0, 0}, "12:00:00pm on 3/5/24 "}, {{2100, 12, 31, 14, 7, 9}, "2:07:09pm on 12/31/00 "},
  };
  for (const auto& c : cases) {
    char out[kTextBufferSize];
    FormatClockFields(c.local, out);
    EXPECT_STREQ(out, c.text);
  }
}

TEST(Texts, ACorrectionInWords) {
  const struct { OffsetMs correction; const char* text; } cases[] = {
      {172980000, "The time servers say this clock is 2 days 0 hours 3 minutes behind."},
      {-93810000, "The time servers say this clock is 1 day 2 hours 3 minutes ahead."},
      {-61999, "The time servers say this clock is 1 minute 1 second ahead."},
      {INT64_MIN, "The time servers say this clock is 106751991167 days 7 hours 12 minutes ahead."},
  };
  for (const auto& c : cases) {
    char out[kTextBufferSize];
    DescribeCorrection(c.correction, out);
    EXPECT_STREQ(out, c.text);
  }
  char tip[2 * kTextBufferSize];
  FailureTip(OutcomeGuardRefused, INT64_MIN, tip);
  EXPECT_STREQ(tip, "Not corrected: the clock is 106751991167 days 7 hours 12 minutes ahead, more than "
                    "allowed.  Double-click for details...");
  // Servers that disagree fail a pass as no answer does.
  FailureTip(OutcomeDisagreed, 0, tip);
  EXPECT_STREQ(tip, "Unsuccessful correction!  Double-click for details...");
}
