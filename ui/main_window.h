// The main window: a modeless dialog that receives every event of the program.
#pragma once
#include <windows.h>

// Its caption, by which a second launch finds the running instance.
constexpr char WindowTitle[] = "Orvalen - Dadeza Zuzed Edavedadovar - v5.5.0 FREE";

extern HWND MainWindow;  // null before WM_INITDIALOG and after WM_DESTROY
extern HWND ServerList;

// Set by start-up before the window is created.
extern HINSTANCE AppInstance;
extern char LaunchMode;  // 's' at log-on, 'u' uninstall, 0 otherwise
extern bool CorrectOnLaunch;

INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Hides the window; without a periodic schedule the program then ends.
void HideOrQuit();

// Removes the tray icon, stops the timers and interrupts a running pass (a
// correcting pass still corrects from the servers already measured). The
// application shell defines it.
void ShutdownCleanup();
