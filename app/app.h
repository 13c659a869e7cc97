// Process-wide state of the application shell.
#pragma once
#include <windows.h>

#include "resources/product.h"

constexpr DWORD StoreVersion = ORVALEN_STORE_VERSION;

extern bool gSocketsStarted;  // from here on every way out calls WSACleanup once
