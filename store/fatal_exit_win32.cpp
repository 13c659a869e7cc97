#include "store/fatal_exit.h"

#include "resources/product.h"

namespace {

void (*gBeforeBox)();
void (*gAfterBox)();
const HWND* gOwner;
void (*gPrint)(const char*);
int gCallerExitCode;

}  // namespace

void SetFatalExitHooks(void (*beforeBox)(), void (*afterBox)(), const HWND* owner) {
  gBeforeBox = beforeBox;
  gAfterBox = afterBox;
  gOwner = owner;
}

void SetFatalExitForCaller(void (*print)(const char*), int exitCode) {
  gPrint = print;
  gCallerExitCode = exitCode;
}

void FatalExit(const char* message) {
  static bool underway;
  if (underway) return;
  underway = true;
  if (gBeforeBox != nullptr) gBeforeBox();
  if (gPrint != nullptr) {
    gPrint(message);
    gPrint("\r\n");
  } else {
    MessageBoxA(gOwner != nullptr ? *gOwner : nullptr, message, ORVALEN_WINDOW_TITLE,
                MB_SYSTEMMODAL | MB_ICONERROR);
  }
  if (gAfterBox != nullptr) gAfterBox();
  ExitProcess(gPrint != nullptr ? gCallerExitCode : 0);
}
