// The schedule slider and the three timers of the main window.
#pragma once
#include <windows.h>

constexpr UINT_PTR kClockTimer = 0;  // clock display and schedule
constexpr UINT_PTR kExitTimer = 1;   // ends the program after a launch-time correction
constexpr UINT_PTR kPassTimer = 2;   // blinking, deadline and rows during a pass
constexpr UINT kClockVisibleMs = 100;
constexpr UINT kClockHiddenMs = 10000;
constexpr UINT kExitDelayMs = 10000;
constexpr UINT kPassTickMs = 200;

void SetUpScheduleSlider();
void OnScheduleSlider();
void OnShowWindow(bool shown);
void OnTimer(UINT_PTR id);
