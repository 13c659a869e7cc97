// A message-only window that hands look-up and socket completions to the
// query engine, as the main window does in the program.
#pragma once
#include <windows.h>

#include "core/query_engine.h"
#include "core/query_transport_winsock.h"

inline LRESULT CALLBACK EngineEventProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kLookupDoneMessage) {
    OnLookupDone(wParam, HIWORD(lParam));
    return 0;
  }
  if (message == kSocketEventMessage) {
    DispatchSocketEvent(wParam, LOWORD(lParam), HIWORD(lParam));
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

// Starts WinSock and makes the window the engine's NetEventWindow.
inline bool CreateEngineEventWindow() {
  WSADATA data;
  if (WSAStartup(0x0101, &data) != 0) return false;
  WNDCLASSA wc = {};
  wc.lpfnWndProc = EngineEventProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "EngineEvents";
  RegisterClassA(&wc);
  NetEventWindow = CreateWindowA(wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 wc.hInstance, nullptr);
  return NetEventWindow != nullptr;
}
