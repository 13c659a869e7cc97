// What the core tells the screen. The core declares these and the user
// interface defines them, so no core file depends on a window.
#pragma once
#include "core/time_base.h"

enum StatusLineState { LineIdle = 0, LineChecking = 1, LineTesting = 2 };

// Brings the list rows in line with the server table (all rows, or with
// textsOnly only the progress and result columns); clears every dirty flag.
void SyncRows(bool textsOnly);
// Rewrites the rows' texts if any slot is dirty, then re-sorts.
void RefreshDirtyRows();
// Status line, tray tip and icon; starts the pass timer when checking or testing.
void UpdateStatusLine(StatusLineState state);
// The text of the synchronize / stop button.
void SetPassButtonText(const char* text);
// Arms the timer that ends the program ten seconds after a launch-time correction.
void ArmExitTimer();
// The pass has fully ended (its correction, status line and rows done).
void PassEnded();
// A request held behind the pass that just ended started no pass of its
// own: there was no server it could ask.
void HeldPassAskedNoOne(bool correcting);
// Asks the user whether to step the clock by a correction larger than the
// guard allows; true for yes.
bool ConfirmLargeCorrection(OffsetMs correction);
// After a pass has ended and the status line says so: the pass is recorded.
void PassEnded();
