// Turns the offsets of a correcting pass into one step of the system clock.
#pragma once
#include <cstdint>

#include "core/time_base.h"

constexpr int64_t kRejectLimitMs = 2000;
// "MaxCorrection" (seconds) when the value is missing: the largest step that
// Windows itself makes unasked on a standalone PC. 0 means no limit.
constexpr uint32_t kDefaultMaxCorrectionS = 54000;

// What became of the last correcting pass.
enum CorrectionOutcome : uint32_t {
  OutcomeNone = 0,         // no correcting pass has ended yet
  OutcomeStepped,
  OutcomeNoAnswer,         // no server was measured
  OutcomeDisagreed,        // no majority of the measured servers agreed
  OutcomeGuardRefused,     // larger than "MaxCorrection" in an unattended pass
  OutcomeDeclined,         // larger than "MaxCorrection", and the user said No
  OutcomePlatformRefused,  // the system did not take the step
  OutcomeClockChanged,     // the clock was set elsewhere, or the machine slept, during the pass
};

extern Ms1900 gLastCorrectionTime;      // the last step that was made; 0: none
extern OffsetMs gLastCorrectionValue;
extern bool gCorrectionFailed;          // the last correcting pass stepped nothing
extern CorrectionOutcome gLastOutcome;
extern OffsetMs gPassCorrection;        // the agreed mean of the last pass, stepped or not
// Set at launch when the program is to end by itself after the correction.
extern bool gExitAfterCorrection;
// Set when the clock was set elsewhere, or the machine slept, while a
// correcting pass ran: its offsets were measured against another clock.
extern bool gClockChangedInPass;

// Drops the server farthest from the mean while it lies RejectLimit or more
// away, over TIME and NTP servers together, then over the kind whose mean
// is taken (NTP's first). The servers that agree with that mean must be more
// than half of those measured, and it must pass the guard; then the clock is
// stepped by it and the correction recorded.
void CorrectClock();

// At a correcting pass's start: notes the last correction that any Orvalen
// stored. Another's step during the pass changes it.
void NoteStoredCorrection();

// Tells every top-level window that the time has changed (platform side).
void AnnounceTimeChange();
// Orvalens in every session take turns to compare the stored correction
// and step the clock (platform side).
void TakeClockTurn();
void EndClockTurn();
// Whether a time-change notice arriving now is the program's own: during or
// just after its broadcast.
bool OwnTimeChange();
