// The History window: the corrections and the servers' offsets plotted over
// time above the list of passes, newest first.
#pragma once
#include <windows.h>

constexpr char kHistoryWindowClass[] = "OrvalenHistory";
constexpr char kHistoryMenuText[] = "&History...";

// Creates the window, or brings it to the front.
void OpenHistoryWindow();
// Reads the file again when the window is open.
void RefreshHistoryWindow();
// Gives a key meant for the window its meaning in a dialog (Tab, Escape,
// Alt with a marked letter); true when the key was taken so.
bool TakeHistoryKey(MSG* message);
