// The texts of offsets and time stamps, one look for every place that shows them.
#pragma once
#include "core/correction.h"
#include "core/time_base.h"

// Every text below fits a buffer of this size with room to spare.
constexpr int kTextBufferSize = 100;

// A signed number with one unit letter: " 0.0s", "+1.2s", "-2.50m", "+49.71d".
void FormatOffset(OffsetMs value, char* out);
// Reads what FormatOffset writes, and looser forms ("1.5", "2m", "3 days");
// 0 when nothing usable is found. A number too large wraps modulo 2^64.
OffsetMs ParseOffset(const char* text);

// "The time servers say this clock is 2 days 0 hours 3 minutes behind.": a
// correction in words, for someone asked whether to make it.
void DescribeCorrection(OffsetMs correction, char* out);
// The tray tip after a correcting pass that stepped nothing, by what became
// of it; correction is the agreed mean. out holds 2 * kTextBufferSize bytes.
void FailureTip(CorrectionOutcome outcome, OffsetMs correction, char* out);

// Local wall-clock time as the platform reports it.
struct CalendarFields {
  unsigned year, month, day, hour, minute, second;
};
// "2:07:09pm on 3/5/24 ": 12-hour clock, two-digit year, one trailing space.
void FormatClockFields(const CalendarFields& local, char* out);

// Platform side: time as local wall-clock text, or "" for a time the platform
// cannot convert. A past time reads as the clock showed it then, by the
// zone's daylight rule for that date, not the one in force now.
void FormatLocalTimestamp(Ms1900 time, char* out);
// The same as a count on the local clock; the time itself when it cannot be converted.
Ms1900 LocalTimeOf(Ms1900 time);
