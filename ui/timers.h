// The schedule slider and the three timers of the main window.
#pragma once
#include <windows.h>

constexpr UINT_PTR kClockTimer = 0;  // clock display and schedule
constexpr UINT_PTR kExitTimer = 1;   // ends the program after a launch-time correction
constexpr UINT_PTR kPassTimer = 2;   // blinking, deadline and rows during a pass
constexpr UINT_PTR kCatchUpTimer = 3;  // a pass after a resume or a new network address
constexpr UINT kClockVisibleMs = 100;
constexpr UINT kClockHiddenMs = 10000;
constexpr UINT kExitDelayMs = 10000;
constexpr UINT kPassTickMs = 200;

void SetUpScheduleSlider();
void OnScheduleSlider();
// Sets the clock timer's period: every tick updates the clock shown and may start the schedule's pass.
void StartClockTimer(UINT periodMs);
void OnShowWindow(bool shown);
void OnTimer(UINT_PTR id);

// The machine goes to sleep (PBT_APMSUSPEND); it woke (PBT_APMRESUMEAUTOMATIC).
void OnSuspend();
void OnResume();
// The clock was set by another program (WM_TIMECHANGE that is not the program's own).
void OnClockChangedElsewhere();
// The machine gained a network address (posted by the network watch, or a test).
constexpr UINT kNetworkChangedMessage = WM_APP + 1;
void OnNetworkChanged();
// A pass has ended: a catch-up that reached no server is tried again later.
void CatchUpAfterPass();
// Starts and stops the watch that posts kNetworkChangedMessage.
void StartNetworkWatch(HWND window);
void StopNetworkWatch();
