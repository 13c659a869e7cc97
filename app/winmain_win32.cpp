// Process entry: the start-up checks, the hand-over to a running instance,
// uninstall, and the one message loop.
#include <winsock2.h>
#include <commctrl.h>

#include "app/app.h"
#include "app/launch.h"
#include "app/shutdown.h"
#include "core/correction.h"
#include "core/server_table.h"
#include "core/time_base.h"
#include "resources/resource.h"
#include "store/fatal_exit.h"
#include "store/machine_key_win32.h"
#include "store/settings_store.h"
#include "ui/command_requests.h"
#include "ui/history_window.h"
#include "ui/main_window.h"
#include "ui/server_list.h"
#include "ui/timers.h"

namespace {

const char kSettingsKey[] = ORVALEN_SETTINGS_KEY;
constexpr WORD kSocketsVersion = 0x0202;
constexpr char kNotUninstalled[] =
    "Orvalen was not uninstalled: its settings could not be removed.\n\nLog on as an Administrator instead.";

// The optional skinning library; the program looks the same without it.
class Skin {
 public:
  void SetUp(HINSTANCE instance) {
    char path[MAX_PATH];
    if (!FileBesideProgram("SkinMagic.dll", path)) return;
    library_ = LoadLibraryA(path);
    if (library_ == nullptr) return;
    using Init = int(WINAPI*)(HINSTANCE, const char*, void*, void*);
    using LoadFile = int(WINAPI*)(const char*);
    using SetApp = int(WINAPI*)(HWND, const char*);
    using SetDialog = int(WINAPI*)(const char*);
    if (auto init = Ordinal<Init>(1)) init(instance, "Orvalen", nullptr, nullptr);
    // By its full name: a log-on start runs in another folder.
    char skinFile[MAX_PATH];
    if (!FileBesideProgram("skin.smf", skinFile)) lstrcpyA(skinFile, "skin.smf");
    if (auto load = Ordinal<LoadFile>(3)) load(skinFile);
    if (auto app = Ordinal<SetApp>(5)) app(nullptr, "Orvalen");
    if (auto dialog = Ordinal<SetDialog>(8)) dialog("Dialog");
  }
  void Close() {
    using Exit = int(WINAPI*)();
    if (auto exit = Ordinal<Exit>(2)) exit();
  }

 private:
  template <typename Function>
  Function Ordinal(int n) {
    if (library_ == nullptr) return nullptr;
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(library_, MAKEINTRESOURCEA(n))));
  }
  HMODULE library_ = nullptr;
};

// Held by a start until its window is set up; see WinMain.
HANDLE gStartTurn;
constexpr DWORD kStartTurnMs = 20000;

// Taken once: the mutex counts each wait of its owner, and one release would
// leave it held.
void TakeStartTurn() {
  if (gStartTurn != nullptr) return;
  gStartTurn = CreateMutexA(nullptr, FALSE, "Local\\OrvalenStart");
  if (gStartTurn != nullptr) WaitForSingleObject(gStartTurn, kStartTurnMs);
}

void CleanUpBeforeFatalBox() {
  // Untitled, the window is no longer found: the next start, or a script's
  // command, runs on its own instead of being handed to this ending one.
  if (gMainWindow != nullptr) SetWindowTextA(gMainWindow, "");
  if (gStartTurn != nullptr) ReleaseMutex(gStartTurn);  // the next start need not wait for the box
  EndClockTurn();  // nor another Orvalen's step, when the box came during this one's
  if (gMainWindow != nullptr) ShutdownCleanup();
}

void CloseSockets() {
  if (gSocketsStarted) WSACleanup();
}

// Returns false when this start must end quietly here (the user kept the
// settings of another version). A command from a script never asks: it ends.
bool CheckStoredVersion(bool command) {
  // A version that does not read as one (of another size or type) is
  // another version's too: only no version at all is a first start.
  DWORD version = 0;
  if (!ReadSetting("Version", &version, sizeof version) && !SettingExists("Version")) return true;
  if (version == StoreVersion) {
    gFirstRun = false;
    return true;
  }
  if (command) {
    PrintForCaller("Settings of another version of Orvalen are stored: start Orvalen once first.\r\n");
    return false;
  }
  if (MessageBoxA(nullptr,
                  "Registry settings of other versions of Orvalen will be erased if you run "
                  "this version.",
                  WindowTitle, MB_OKCANCEL | MB_ICONERROR) == IDCANCEL)
    return false;
  // Of two starts asked at once, the one answered first erases and sets this
  // version up in its turn; the other waits for it, and then finds this
  // version's settings, not another's, which it must not erase.
  TakeStartTurn();
  if (ReadSetting("Version", &version, sizeof version) && version == StoreVersion) {
    gFirstRun = false;
    return true;
  }
  const LONG erased = DeleteMachineKey(kSettingsKey);
  if (erased != ERROR_SUCCESS && erased != ERROR_FILE_NOT_FOUND) FatalExit("Cannot erase old Registry key");
  return true;
}

// How long an Orvalen asked to end may take: ending a pass it runs included.
constexpr DWORD kQuitWaitMs = 5000;

// The running instance's main window. Its boxes carry the same caption and,
// owned by it, come first: a command meant for the window would answer a
// question the user was asked, "Set the clock anyway?" among them. A
// resident one: not a process that runs a script's command and ends.
HWND FindRunningOrvalen(bool resident) {
  for (HWND w = nullptr; (w = FindWindowExA(nullptr, w, "#32770", WindowTitle)) != nullptr;)
    if (GetDlgItem(w, IDC_SERVER_LIST) != nullptr && !(resident && GetPropA(w, kCommandWindowProp))) return w;
  return nullptr;
}

}  // namespace

bool gSocketsStarted;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
  // The program draws for the screen's dots per inch itself: Windows need
  // not stretch it, blurred, on a screen set to a larger scale. Asked before
  // any window exists, and at run time: Windows XP has no such call, and
  // its manifest reader may refuse the setting.
  using AwareFunction = BOOL(WINAPI*)();
  if (auto aware = reinterpret_cast<AwareFunction>(reinterpret_cast<void (*)()>(
          GetProcAddress(GetModuleHandleA("user32.dll"), "SetProcessDPIAware"))))
    aware();
  SetFatalExitHooks(CleanUpBeforeFatalBox, CloseSockets, &gMainWindow);
  const CommandAction command = ParseCommand(commandLine);
  if (command == CommandUsage) {
    PrintForCaller(kCommandUsage);
    return kExitBadArguments;
  }
  // The log-on start runs for every user. One who may not keep the settings
  // (even one who may set the clock) ends quietly, before any question
  // about them.
  gLaunchMode = LaunchLetter(commandLine);
  if (gLaunchMode == 's' && command == CommandNone) {
    HKEY key;
    if (OpenMachineKey(kSettingsKey, KEY_SET_VALUE, true, &key) != ERROR_SUCCESS) return 0;
    RegCloseKey(key);
  }
  // Only an administrator may remove the settings. Anyone else is told so
  // before a running Orvalen is ended for an uninstall that cannot be made.
  if (gLaunchMode == 'u' && command == CommandNone) {
    HKEY key;
    const LONG opened = OpenMachineKey(kSettingsKey, DELETE, false, &key);
    if (opened == ERROR_SUCCESS) RegCloseKey(key);
    if (opened != ERROR_SUCCESS && opened != ERROR_FILE_NOT_FOUND) {
      FatalExit(kNotUninstalled);
      return 0;
    }
  }
  if (!CheckStoredVersion(command != CommandNone)) return command != CommandNone ? kExitCannotRun : 0;
  // Starts take turns until one has set up its window: of two at once (a
  // double-click made twice, two scripts' commands) the second finds the
  // first one's. A start that ended is a turn over too; one held up, by a
  // question for one, is waited for only so long.
  TakeStartTurn();
  if (command != CommandNone) {
    // The tray's Orvalen first: a correction never runs beside it. The turn
    // is not held while the answer, which may take a pass, is awaited.
    HWND running = FindRunningOrvalen(true);
    if (running == nullptr) running = FindRunningOrvalen(false);
    if (running != nullptr) {
      ReleaseMutex(gStartTurn);
      const int asked = AskRunningOrvalen(running, command);
      if (asked != kCommandNotTaken) return asked;
      WaitForSingleObject(gStartTurn, kStartTurnMs);
    }
    gOwnCommand = command;
    SetFatalExitForCaller(PrintForCaller, kExitCannotRun);
    if (command == CommandTest) KeepSettingsAsTheyAre();
  }
  // A flag is true when its first stored byte is, whatever the value's type
  // (text is read as the number it spells).
  DWORD flag = 0;
  ReadSetting("CorrectOnLaunch", &flag, sizeof flag);
  gCorrectOnLaunch = (flag & 0xFF) != 0 && command == CommandNone;

  // Uninstalling ends any; a start of the user's shows the resident one. A
  // command sent back to run here runs beside whichever is there.
  if (HWND running = command == CommandNone ? FindRunningOrvalen(gLaunchMode != 'u') : nullptr) {
    // A resident Orvalen that hangs does not hold this start up.
    DWORD_PTR ignored;
    if (gCorrectOnLaunch) {
      SendMessageTimeoutA(running, WM_COMMAND, CMD_CORRECT_NOW, 0, SMTO_ABORTIFHUNG, kStartTurnMs, &ignored);
      return 0;
    }
    if (gLaunchMode != 'u') {
      // Opened as from its icon: the window shows, and a failed correction's icon gives way.
      SendMessageTimeoutA(running, WM_COMMAND, CMD_OPEN, 0, SMTO_ABORTIFHUNG, kStartTurnMs, &ignored);
      SetForegroundWindow(running);
      return 0;
    }
    // Every one: a script's command may run beside the resident Orvalen.
    // One that does not answer in time is left: it may hang for good.
    for (int left = 3; running != nullptr && left > 0; --left, running = FindRunningOrvalen(false))
      if (!SendMessageTimeoutA(running, WM_COMMAND, CMD_QUIT, 0, SMTO_ABORTIFHUNG, kQuitWaitMs, &ignored)) break;
  }
  if (gLaunchMode == 'u') {
    // Settings that still cannot be removed (a key inside them) keep
    // everything else too.
    const LONG settings = DeleteMachineKey(kSettingsKey);
    if (settings != ERROR_SUCCESS && settings != ERROR_FILE_NOT_FOUND) {
      FatalExit(kNotUninstalled);
      return 0;
    }
    UpdateSystemEntries();
    DeleteMachineKey(kUninstallKey);
    FatalExit("Uninstall complete.  Now delete Orvalen files.");
    return 0;
  }

  // The probe really sets the clock, to its own reading: in turn with the
  // steps of other Orvalens, which it would otherwise undo. A test from a
  // script sets nothing and needs no right.
  bool mayStep = true;
  if (command != CommandTest) {
    TakeClockTurn();
    mayStep = StepSystemClock(0) != 0;
    EndClockTurn();
  }
  if (!mayStep) {
    if (command == CommandSync) {
      PrintForCaller("You do not have privileges to set the system time.\r\n");
      return kExitStepRefused;
    }
    if (gLaunchMode == 's') return 0;
    FatalExit(
        "You do not have privileges to set the system time.\n\nLog on as an Administrator "
        "instead.");
    return 0;
  }
  WSADATA sockets;
  if (WSAStartup(kSocketsVersion, &sockets) != 0) {
    FatalExit("Could not open windows sockets.");
    return 0;
  }
  gSocketsStarted = true;
  gAppInstance = instance;
  InitCommonControls();
  // A first start writes the version only once its window has seeded the
  // list: one that ends before (a log-off while the shell keeps it waiting)
  // leaves none behind, and the next start seeds the list again. Any other
  // start writes it now, and finds out before any pass whether it may.
  const bool firstStart = gFirstRun;
  if (!firstStart) WriteSetting("Version", &StoreVersion, sizeof StoreVersion);
  Skin skin;
  skin.SetUp(instance);

  if (CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainWindowProc, 0) ==
      nullptr) {
    // Without its window the program could never be reached or ended.
    FatalExit("Cannot open the main window.");
    return 0;
  }
  if (firstStart) WriteSetting("Version", &StoreVersion, sizeof StoreVersion);
  if (gStartTurn != nullptr) ReleaseMutex(gStartTurn);
  if (command == CommandNone) StartNetworkWatch(gMainWindow);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    if (TakeServerListEnter(message) || (IsWindow(gMainWindow) && IsDialogMessageA(gMainWindow, &message)) ||
        TakeHistoryKey(&message))
      continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  StopNetworkWatch();
  CloseSockets();
  skin.Close();
  return command != CommandNone ? gCommandExitCode : static_cast<int>(message.wParam);
}
