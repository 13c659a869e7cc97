#include <windows.h>

#include "core/correction.h"

void AnnounceTimeChange() {
  // A broadcast goes to every top-level window and waits for each; a hung
  // window must not hang the correction, so it is skipped.
  DWORD_PTR result;
  SendMessageTimeoutA(HWND_BROADCAST, WM_TIMECHANGE, 0, 0,
                      SMTO_NORMAL | SMTO_ABORTIFHUNG, 1000, &result);
}
