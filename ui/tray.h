// The notification-area icon and the status line.
#pragma once
#include <windows.h>

constexpr UINT kTrayMessage = WM_USER;

void AddTrayIcon();
void RemoveTrayIcon();
// A restarted shell has lost every icon: add ours again with the picture and
// tip it showed.
bool IsTaskbarCreated(UINT message);
void RestoreTrayIcon();
// On the clock's tick: offers an icon the shell did not take once more.
void KeepTrayIcon();
// Changes only the icon, for the blinking during a pass.
void SetTrayIcon(int iconId);
void TrayCallback(UINT mouseMessage);
// Another program set the clock: the status line says when.
void NoteClockChangedElsewhere();
// A balloon from the icon (shell 5.0 and later); a click on it opens the history.
void ShowTrayNotice(const char* title, const char* text);
// Command 114: show the window and clear a failure shown in the tray.
void OpenMainWindow();

extern bool gTrayMenuOpen;
