// Time arithmetic and the one place that changes the system clock.
#pragma once
#include <cstdint>

// Milliseconds since 1900-01-01 00:00:00 UTC, the epoch of the TIME protocol.
// 0 stands for "no time" where a time is optional.
using Ms1900 = int64_t;
// A signed difference of two times, or a fixed offset, in milliseconds.
using OffsetMs = int64_t;
// Millisecond reading of the performance counter; only differences taken in
// unsigned 32-bit arithmetic mean anything.
using TickMs = uint32_t;

// From the FILETIME epoch (1601) to 1900: 109,207 days.
constexpr int64_t kMs1601To1900 = 9435484800000LL;
constexpr int64_t kFileTimeUnitsPerMs = 10000;

// fileTime is a FILETIME as one 64-bit count of 100 ns units since 1601.
Ms1900 FileTimeToMs1900(uint64_t fileTime);
uint64_t Ms1900ToFileTime(Ms1900 time);

// Milliseconds per counter count in 32.32 fixed point; frequency must be > 0.
uint64_t TickFactorFor(uint64_t frequency);
TickMs TickFromCounter(uint64_t count, uint64_t tickFactor);

// A server's 32-bit seconds count (TIME reply, NTP timestamp) read in the
// era (multiple of 2^32 s) that puts it nearest the local clock, in ms.
Ms1900 ServerTimeNear(uint32_t seconds, Ms1900 localNow);

// Before Windows 8 the clock's plain reading moves only at each timer
// interrupt and lags the time by up to a period: it is fresh just as it has
// moved. Reads until it moves, for at most limitMs by tick, and returns that
// reading (the last one when it never moved).
uint64_t ReadClockAsItMoves(uint64_t (*read)(), TickMs (*tick)(), TickMs limitMs);

// Platform side.
Ms1900 CurrentMs1900();
// Steps the clock by delta and returns the time it was set to, or 0 when the
// process may not set the clock or the target is no calendar date. Any other
// failure ends the program.
Ms1900 StepSystemClock(OffsetMs delta);
// Fine while a pass measures and steps: before Windows 8 the clock's plain
// reading moves only at each timer interrupt, 15.6 ms apart unless asked
// otherwise, and both ends of an offset and the step would inherit that.
void KeepClockFine(bool fine);
TickMs ReadTickMs();
