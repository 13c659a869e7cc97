#include <winsock2.h>

#include "app/app.h"
#include "store/settings_store.h"
#include "ui/main_window.h"

bool SocketsStarted;

void FatalExit(const char* message) {
  // The box below keeps messages flowing; a second fatal error raised by one
  // of them returns here and its caller gives up.
  static bool underway;
  if (underway) return;
  underway = true;
  if (MainWindow != nullptr) ShutdownCleanup();
  MessageBoxA(MainWindow, message, WindowTitle, MB_SYSTEMMODAL | MB_ICONERROR);
  if (SocketsStarted) WSACleanup();
  ExitProcess(0);
}
