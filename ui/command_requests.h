// Commands from a script, the platform side: run by this process, or handed
// to the Orvalen that is running and answered when its pass has ended.
#pragma once
#include <windows.h>

#include "ui/commands.h"

// Platform side.
// The command this process runs by itself (no Orvalen was running): its pass
// starts when the window is set up, and its end prints and ends the program.
extern CommandAction gOwnCommand;
// Marks the window of such a process: it is no Orvalen for a user's start to show.
constexpr char kCommandWindowProp[] = "OrvalenCommand";
extern int gCommandExitCode;  // what the process returns
// Lets the message in from programs of a lower integrity level than this
// one's (Windows Vista and later; before, nothing keeps it out).
void LetInFromBelow(UINT message);
// Writes to the console or file the command's caller gave it.
void PrintForCaller(const char* text);
// Hands the command to the running Orvalen and prints its answer; the exit
// code, or kCommandNotTaken when that Orvalen runs no such command: this
// process runs it then.
constexpr int kCommandNotTaken = -1;
int AskRunningOrvalen(HWND running, CommandAction action);
// What another start sends the running Orvalen (WM_COPYDATA of this kind),
// and the class of its window that the answer goes to.
constexpr ULONG_PTR kCommandRequest = 0x4F525651;
struct CommandRequest {
  DWORD action;        // a CommandAction
  DWORD answerWindow;  // window handles are 32 bits wide, also in 64-bit programs
};
constexpr char kAnswerWindowClass[] = "OrvalenCommandAnswer";
// The running Orvalen: a request of another start, and its
// reply: taken (answered when the pass has ended), refused, or not for this
// process, whose caller then runs the command itself.
enum RequestReply : LRESULT { RequestRefused, RequestTaken, RequestNotHere };
RequestReply OnCommandRequest(HWND from, const void* copyData);
// A test asked for while a testing pass updates the screen waits for this
// message, posted to the main window: it then joins that pass or makes its own.
constexpr UINT kDeferredCommandMessage = WM_APP + 2;
void StartDeferredTests();
// Starts this process's own command pass; false when it has no server to ask.
bool StartOwnCommand();
// Answers the requests waiting for the pass that just ended.
void AnswerCommands(bool correcting);
