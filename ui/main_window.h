// The main window: a modeless dialog that receives every event of the program.
#pragma once
#include <windows.h>

#include "resources/product.h"

// Its caption, by which a second launch finds the running instance.
constexpr char WindowTitle[] = ORVALEN_WINDOW_TITLE;

extern HWND gMainWindow;  // null before WM_INITDIALOG and after WM_DESTROY
extern HWND gServerList;

// Set by start-up before the window is created.
extern HINSTANCE gAppInstance;
extern char gLaunchMode;  // 's' at log-on, 'u' uninstall, 0 otherwise
extern bool gCorrectOnLaunch;

INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The full path of a file in the program's own folder, when the file is
// there. The program runs elevated: a bare file name would let the platform
// look in the current folder and on the PATH, so anyone able to drop a file
// of that name there would have it run with administrator rights.
bool FileBesideProgram(const char* file, char (&path)[MAX_PATH]);

// Hides the window; without a periodic schedule the program then ends.
void HideOrQuit();

// Removes the tray icon, stops the timers and interrupts a running pass (a
// correcting pass still corrects from the servers already measured).
void ShutdownCleanup();
