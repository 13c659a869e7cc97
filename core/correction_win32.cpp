#include <windows.h>
#include <sddl.h>

#include "core/correction.h"

namespace {

// The system may send its own notice of the step shortly after ours.
constexpr DWORD kOwnNoticeMs = 3000;
DWORD gAnnouncedAt;
bool gAnnounced;
// Held for a few milliseconds: a turn not given in this time is taken anyway.
constexpr DWORD kClockTurnMs = 5000;
HANDLE gClockTurn;

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

void TakeClockTurn() {
  // In the global namespace, so that every user's session shares it, and
  // open to every account that may set the clock: the creator's default
  // rights would shut out another's.
  static const char kName[] = "Global\\OrvalenClockStep";
  if (gClockTurn == nullptr) {
    SECURITY_ATTRIBUTES everyone = {sizeof everyone, nullptr, FALSE};
    ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x100001;;;AU)",
                                                         SDDL_REVISION_1, &everyone.lpSecurityDescriptor, nullptr);
    gClockTurn = CreateMutexA(&everyone, FALSE, kName);
    LocalFree(everyone.lpSecurityDescriptor);
    if (gClockTurn == nullptr) gClockTurn = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kName);
  }
  if (gClockTurn != nullptr) WaitForSingleObject(gClockTurn, kClockTurnMs);
}

void EndClockTurn() {
  if (gClockTurn != nullptr) ReleaseMutex(gClockTurn);
}
