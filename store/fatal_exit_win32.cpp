#include "store/fatal_exit.h"

#include "resources/product.h"

namespace {

void (*gBeforeBox)();
void (*gAfterBox)();
const HWND* gOwner;

}  // namespace

void SetFatalExitHooks(void (*beforeBox)(), void (*afterBox)(), const HWND* owner) {
  gBeforeBox = beforeBox;
  gAfterBox = afterBox;
  gOwner = owner;
}

void FatalExit(const char* message) {
  static bool underway;
  if (underway) return;
  underway = true;
  if (gBeforeBox != nullptr) gBeforeBox();
  MessageBoxA(gOwner != nullptr ? *gOwner : nullptr, message, ORVALEN_WINDOW_TITLE,
              MB_SYSTEMMODAL | MB_ICONERROR);
  if (gAfterBox != nullptr) gAfterBox();
  ExitProcess(0);
}
