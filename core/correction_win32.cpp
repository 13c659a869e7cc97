#include <windows.h>

#include "core/correction.h"

namespace {

// The system may send its own notice of the step shortly after ours.
constexpr DWORD kOwnNoticeMs = 3000;
DWORD AnnouncedAt;
bool Announced;

}  // namespace

bool OwnTimeChange() { return Announced && GetTickCount() - AnnouncedAt < kOwnNoticeMs; }

void AnnounceTimeChange() {
  Announced = true;
  AnnouncedAt = GetTickCount();
  // A broadcast goes to every top-level window and waits for each; a hung
  // window must not hang the correction, so it is skipped.
  DWORD_PTR result;
  SendMessageTimeoutA(HWND_BROADCAST, WM_TIMECHANGE, 0, 0,
                      SMTO_NORMAL | SMTO_ABORTIFHUNG, 1000, &result);
}
