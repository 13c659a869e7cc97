#include <windows.h>

#include <cstddef>

#include "core/query_engine.h"
#include "core/server_table.h"
#include "core/view_hooks.h"
#include "ui/command_requests.h"
#include "resources/resource.h"
#include "ui/main_window.h"

CommandAction gOwnCommand = CommandNone;
int gCommandExitCode;

namespace {

constexpr ULONG_PTR kCommandAnswer = 0x4F525641;  // WM_COPYDATA kind: the pass asked for has ended
// How long a start waits for the running Orvalen's pass: fifty servers with
// slow look-ups and every address tried stay well within it.
constexpr DWORD kAnswerWaitMs = 600000;
constexpr DWORD kRequestWaitMs = 10000;
constexpr int kAnswerSize = 32768;  // fifty lines and a summary
constexpr int kMaxWaiting = 8;

struct Answer {
  DWORD action;  // the command answered
  int exitCode;
  char text[kAnswerSize];
};

struct Waiting {
  HWND window;
  bool correcting;
  bool deferred;  // its pass not asked for yet: no pass that ends now answers it
};
Waiting gWaiters[kMaxWaiting];
int gWaiterCount;

// What this process was started to run, kept once it has answered; and
// whether it is ending, its answers all given.
CommandAction gStartedFor = CommandNone;
bool gEnding;

const char kNoServer[] = "There is no time server to ask.\r\n";

// The command a waiting start asked for, and the answer it has received.
CommandAction gAskedFor = CommandNone;
Answer gReceived;
bool gAnswered;

HANDLE gOutput = INVALID_HANDLE_VALUE;
bool gOutputOpened;

void SendAnswer(HWND window, bool correcting, Answer& answer) {
  answer.action = correcting ? CommandSync : CommandTest;
  COPYDATASTRUCT data = {kCommandAnswer, static_cast<DWORD>(offsetof(Answer, text) + lstrlenA(answer.text) + 1),
                         &answer};
  // Blocked: a request let in meanwhile would join, or leave, the list of
  // starts being answered.
  DWORD_PTR result;
  SendMessageTimeoutA(window, WM_COPYDATA, reinterpret_cast<WPARAM>(gMainWindow),
                      reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG | SMTO_BLOCK, kRequestWaitMs, &result);
}

// The answer to a start whose pass will not run.
Answer& NoPass(const char* why) {
  static Answer none;
  none.exitCode = kExitNoAgreement;
  lstrcpyA(none.text, why);
  return none;
}

// Sends the answer to every start waiting for a pass of that kind.
void AnswerWaiters(bool correcting, Answer& answer) {
  int kept = 0;
  for (int i = 0; i < gWaiterCount; ++i) {
    if (gWaiters[i].correcting == correcting && !gWaiters[i].deferred)
      SendAnswer(gWaiters[i].window, correcting, answer);
    else
      gWaiters[kept++] = gWaiters[i];
  }
  gWaiterCount = kept;
}

LRESULT CALLBACK AnswerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
  if (message != WM_COPYDATA || data->dwData != kCommandAnswer || data->cbData <= offsetof(Answer, text) ||
      data->cbData > sizeof(Answer))
    return DefWindowProcA(window, message, wParam, lParam);
  // Anyone may ask the running Orvalen for a pass in this window's name: an
  // answer to another command, or a second one, is not this start's.
  DWORD action;
  CopyMemory(&action, data->lpData, sizeof action);
  if (gAnswered || action != static_cast<DWORD>(gAskedFor)) return FALSE;
  ZeroMemory(&gReceived, sizeof gReceived);
  CopyMemory(&gReceived, data->lpData, data->cbData);
  gReceived.text[kAnswerSize - 1] = '\0';
  gAnswered = true;
  return TRUE;
}

// Every named server: what a script asks for when it tests "the list".
int NamedSlots(int* slots) {
  int count = 0;
  for (int slot = 0; slot < kMaxServers; ++slot)
    if (IsNamed(slot)) slots[count++] = slot;
  return count;
}

void StartCommandPass(bool correcting) {
  if (correcting) {
    StartCorrectingPass(TriggerCommandLine);
    return;
  }
  int slots[kMaxServers];
  StartTestingPass(slots, NamedSlots(slots));
}

// A command's process ends once it has answered its own command and owes no
// other start an answer: another script's command handed to it meanwhile
// is run first.
void EndWhenOwingNothing() {
  if (gStartedFor == CommandNone || gOwnCommand != CommandNone || gWaiterCount != 0 || gEnding) return;
  gEnding = true;
  PostMessageA(gMainWindow, WM_COMMAND, CMD_QUIT, 0);
}

}  // namespace

void LetInFromBelow(UINT message) {
  using FilterFunction = BOOL(WINAPI*)(UINT, DWORD);
  constexpr DWORD kFilterAdd = 1;  // MSGFLT_ADD
  if (auto filter = reinterpret_cast<FilterFunction>(reinterpret_cast<void (*)()>(
          GetProcAddress(GetModuleHandleA("user32.dll"), "ChangeWindowMessageFilter"))))
    filter(message, kFilterAdd);
}

void PrintForCaller(const char* text) {
  if (!gOutputOpened) {
    gOutputOpened = true;
    gOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    // A window program started from a console has no output of its own
    // unless its caller redirected it: it borrows the caller's console.
    if (gOutput == nullptr || gOutput == INVALID_HANDLE_VALUE || GetFileType(gOutput) == FILE_TYPE_UNKNOWN) {
      using AttachFunction = BOOL(WINAPI*)(DWORD);
      auto attach = reinterpret_cast<AttachFunction>(reinterpret_cast<void (*)()>(
          GetProcAddress(GetModuleHandleA("kernel32.dll"), "AttachConsole")));
      constexpr DWORD kParentProcess = static_cast<DWORD>(-1);  // ATTACH_PARENT_PROCESS
      gOutput = attach != nullptr && attach(kParentProcess)
                   ? CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr)
                   : INVALID_HANDLE_VALUE;
    }
  }
  DWORD written;
  if (gOutput != INVALID_HANDLE_VALUE && gOutput != nullptr)
    WriteFile(gOutput, text, static_cast<DWORD>(lstrlenA(text)), &written, nullptr);
}

int AskRunningOrvalen(HWND running, CommandAction action) {
  WNDCLASSA type = {};
  type.lpfnWndProc = AnswerWindowProc;
  type.hInstance = GetModuleHandleA(nullptr);
  type.lpszClassName = kAnswerWindowClass;
  RegisterClassA(&type);
  HWND window = CreateWindowA(type.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              type.hInstance, nullptr);
  // The answer may come from an Orvalen of a lower level than this start's
  // (an elevated script's, say).
  LetInFromBelow(WM_COPYDATA);
  CommandRequest request = {static_cast<DWORD>(action), static_cast<DWORD>(reinterpret_cast<uintptr_t>(window))};
  COPYDATASTRUCT data = {kCommandRequest, sizeof request, &request};
  gAskedFor = action;
  DWORD_PTR reply = RequestRefused;
  if (window == nullptr ||
      !SendMessageTimeoutA(running, WM_COPYDATA, reinterpret_cast<WPARAM>(window),
                           reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG, kRequestWaitMs, &reply))
    reply = IsWindow(running) ? RequestRefused : RequestNotHere;  // gone meanwhile: it ended
  if (reply != RequestTaken) {
    if (window != nullptr) DestroyWindow(window);
    if (reply == RequestNotHere) return kCommandNotTaken;
    PrintForCaller("The running Orvalen did not take the command.\r\n");
    return kExitCannotRun;
  }
  // An Orvalen that is quitting answers as its pass ends, after its window
  // has gone: its process says when it has ended (its window, where the
  // process cannot be watched).
  DWORD id = 0;
  GetWindowThreadProcessId(running, &id);
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
  auto ended = [&] { return process ? WaitForSingleObject(process, 0) == WAIT_OBJECT_0 : !IsWindow(running); };
  const DWORD start = GetTickCount();
  while (!gAnswered && !ended() && GetTickCount() - start < kAnswerWaitMs) {
    MsgWaitForMultipleObjects(process ? 1 : 0, &process, FALSE, 500, QS_ALLINPUT);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  }
  DestroyWindow(window);
  const bool gone = ended();
  if (process) CloseHandle(process);
  if (!gAnswered) {
    PrintForCaller(gone ? "The running Orvalen ended before it answered.\r\n"
                        : "The running Orvalen did not answer in time.\r\n");
    return kExitCannotRun;
  }
  PrintForCaller(gReceived.text);
  return gReceived.exitCode;
}

RequestReply OnCommandRequest(HWND from, const void* copyData) {
  const COPYDATASTRUCT* data = static_cast<const COPYDATASTRUCT*>(copyData);
  if (data->dwData != kCommandRequest || data->cbData != sizeof(CommandRequest)) return RequestRefused;
  CommandRequest request;
  CopyMemory(&request, data->lpData, sizeof request);
  // A 64-bit program's handles are sign-extended: their low 32 bits name the window.
  if (static_cast<DWORD>(reinterpret_cast<uintptr_t>(from)) != request.answerWindow ||
      (request.action != CommandSync && request.action != CommandTest))
    return RequestRefused;
  const bool correcting = request.action == CommandSync;
  // An ending command's process has answered all; a test's keeps the settings
  // as they are and never asked for the right to set the clock.
  if (gEnding || (correcting && gStartedFor == CommandTest)) return RequestNotHere;
  if (gWaiterCount == kMaxWaiting) return RequestRefused;
  const bool defer = !correcting && TestSettling();
  gWaiters[gWaiterCount++] = {from, correcting, defer};
  if (defer) {
    PostMessageA(gMainWindow, kDeferredCommandMessage, 0, 0);
    return RequestTaken;
  }
  StartCommandPass(correcting);
  // A pass whose every query failed at once has ended, and answered, by now;
  // else nothing was to be asked: no pass started, none will end.
  if (!PassBusy()) HeldPassAskedNoOne(correcting);
  return RequestTaken;
}

void StartDeferredTests() {
  bool deferred = false;
  for (int i = 0; i < gWaiterCount; ++i) deferred = deferred || gWaiters[i].deferred;
  if (!deferred) return;
  if (TestSettling()) {  // let in by a loop inside the update: after it, then
    PostMessageA(gMainWindow, kDeferredCommandMessage, 0, 0);
    return;
  }
  for (int i = 0; i < gWaiterCount; ++i) gWaiters[i].deferred = false;
  StartCommandPass(false);
  if (!PassBusy()) HeldPassAskedNoOne(false);  // as for a request taken at once
}

void HeldPassAskedNoOne(bool correcting) {
  AnswerWaiters(correcting, NoPass(kNoServer));
  EndWhenOwingNothing();
}

bool StartOwnCommand() {
  gStartedFor = gOwnCommand;
  StartCommandPass(gOwnCommand == CommandSync);
  const bool started = PassBusy() || gOwnCommand == CommandNone;  // or it has ended and answered already
  gEnding = gEnding || !started;
  return started;
}

void AnswerCommands(bool correcting) {
  static Answer answer;
  answer.exitCode = DescribePass(correcting, answer.text, kAnswerSize);
  AnswerWaiters(correcting, answer);
  // A stop drops the pass held for the other kind.
  if (!PassHeld(!correcting)) AnswerWaiters(!correcting, NoPass("The pass was stopped before it began.\r\n"));
  if (gOwnCommand != CommandNone && (gOwnCommand == CommandSync) == correcting) {
    PrintForCaller(answer.text);
    gCommandExitCode = answer.exitCode;
    gOwnCommand = CommandNone;
  }
  EndWhenOwingNothing();
}
