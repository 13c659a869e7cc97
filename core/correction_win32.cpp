#include <windows.h>

#include "core/correction.h"
#include "core/machine_turn_win32.h"

namespace {

// The system may send its own notice of the step shortly after ours.
constexpr DWORD kOwnNoticeMs = 3000;
DWORD gAnnouncedAt;
bool gAnnounced;
MachineTurn gClockTurn = {"Global\\OrvalenClockStep", nullptr};

}  // namespace

bool OwnTimeChange() { return gAnnounced && GetTickCount() - gAnnouncedAt < kOwnNoticeMs; }

void AnnounceTimeChange() {
  gAnnounced = true;
  gAnnouncedAt = GetTickCount();
  // A broadcast goes to every top-level window and waits for each; a hung
  // window must not hang the correction, so it is skipped.
  DWORD_PTR result;
  SendMessageTimeoutA(HWND_BROADCAST, WM_TIMECHANGE, 0, 0,
                      SMTO_NORMAL | SMTO_ABORTIFHUNG, 1000, &result);
}

void TakeClockTurn() { TakeTurn(&gClockTurn); }

void EndClockTurn() { EndTurn(&gClockTurn); }
