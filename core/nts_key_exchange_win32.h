// The message by which a finished key exchange reaches the window.
#pragma once
#include <windows.h>

// wParam the exchange's handle; its outcome stays with the exchange.
constexpr UINT kKeyExchangeDoneMessage = WM_APP + 22;

// Hands the outcome of the finished key exchange that wParam names, when
// there is one, to the query engine and lets the exchange go.
void DispatchKeyExchangeMessage(WPARAM wParam);
