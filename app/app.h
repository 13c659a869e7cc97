// Process-wide state of the application shell.
#pragma once
#include <windows.h>

constexpr DWORD StoreVersion = 17968;

extern bool SocketsStarted;  // from here on every way out calls WSACleanup once
