// The one way out of an error the program cannot go on from: a message box
// with the error, then the end of the process with exit code 0; for a
// command from a script, a line to its caller and the command's exit code.
// The lowest layer owns it, since every layer may meet such an error.
#pragma once
#include <windows.h>

// Returns only when a fatal exit is already under way (the box keeps
// messages flowing); the caller then gives up what it was doing.
void FatalExit(const char* message);

// The application shell's part, set once the window exists: run before the
// box (the shutdown clean-up) and after it (closing Windows Sockets); the
// box is owned by *owner when that is a window.
void SetFatalExitHooks(void (*beforeBox)(), void (*afterBox)(), const HWND* owner);

// A command runs: no box, whose question no script can answer; the message
// goes to print and the process ends with exitCode.
void SetFatalExitForCaller(void (*print)(const char*), int exitCode);
