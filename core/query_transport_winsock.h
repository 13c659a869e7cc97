// The window that receives the completions of look-ups and sockets.
#pragma once
#include <windows.h>

constexpr UINT kLookupDoneMessage = WM_USER + 1;   // wParam handle, HIWORD(lParam) error
constexpr UINT kSocketEventMessage = WM_USER + 2;  // wParam socket, LOWORD event, HIWORD error

extern HWND gNetEventWindow;

// Hands a completion posted to gNetEventWindow to the query engine; false for
// any other message.
bool DispatchNetMessage(UINT message, WPARAM wParam, LPARAM lParam);
