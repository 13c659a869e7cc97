// The History window: the corrections and the servers' offsets plotted over
// time above the list of passes, newest first.
#pragma once

constexpr char kHistoryWindowClass[] = "OrvalenHistory";
constexpr char kHistoryMenuText[] = "&History...";

// Creates the window, or brings it to the front.
void OpenHistoryWindow();
// Reads the file again when the window is open.
void RefreshHistoryWindow();
