// Turns the offsets of a correcting pass into one step of the system clock.
#pragma once
#include "core/time_base.h"

constexpr int64_t kRejectLimitMs = 2000;

extern Ms1900 LastCorrectionTime;      // 0: none, or the step was refused
extern OffsetMs LastCorrectionValue;
extern bool CorrectionFailed;          // the last correcting pass measured nothing
// Set at launch when the program is to end by itself after the correction.
extern bool ExitAfterCorrection;

// Drops the server farthest from the mean while it lies RejectLimit or more
// away, steps the clock by the mean of the rest and records the correction.
void CorrectClock();

// Tells every top-level window that the time has changed (platform side).
void AnnounceTimeChange();
