// The message by which a finished key exchange reaches the window.
#pragma once
#include <windows.h>

// wParam the exchange's handle, lParam its NtsKeResult, which the receiver frees.
constexpr UINT kKeyExchangeDoneMessage = WM_APP + 22;

// Hands a finished key exchange posted to gNetEventWindow to the query engine
// and frees its result.
void DispatchKeyExchangeMessage(WPARAM wParam, LPARAM lParam);
