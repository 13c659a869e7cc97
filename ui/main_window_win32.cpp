#include "ui/main_window.h"

#include <commctrl.h>

#include <cstring>

#include "ui/placement.h"
#include "core/correction.h"
#include "core/query_engine.h"
#include "core/query_transport_winsock.h"
#include "core/server_table.h"
#include "core/view_hooks.h"
#include "resources/resource.h"
#include "store/settings_store.h"
#include "ui/command_requests.h"
#include "ui/history_window.h"
#include "ui/schedule.h"
#include "ui/server_list.h"
#include "ui/server_rows.h"
#include "ui/texts.h"
#include "ui/timers.h"
#include "ui/tray.h"

HWND gMainWindow;
HWND gServerList;

namespace {
// Set once WM_INITDIALOG has done its work. A command sent by another
// process (a second launch) is handled while this thread waits on one of its
// own calls to another process during set-up, such as adding the tray icon.
bool gWindowReady;
// Set once the program has begun to end.
bool gQuitting;
// Set while a name still being edited is dropped as the window closes.
bool gDroppingEdit;
}  // namespace
HINSTANCE gAppInstance;
char gLaunchMode;
bool gCorrectOnLaunch;

namespace {

// The updater is told which product and version it looks after, and where
// its updates come from.
const char kUpdaterFile[] = "Nuvaload.exe";
const char kUpdaterArguments[] =
    "\"Orvalen\" \"1\" \"" ORVALEN_VERSION "\" \"update.orvalen.example\" \"false\" "
    "\"update.orvalen.example\" \"false\"";
constexpr int kListIconSize = 11;
constexpr int kOffsetTextMax = 99;

void StartUpdater() {
  char path[MAX_PATH];
  if (FileBesideProgram(kUpdaterFile, path))
    ShellExecuteA(nullptr, "open", path, kUpdaterArguments, nullptr, SW_SHOWNORMAL);
}

void AddColumn(int index, const char* title, int width) {
  LVCOLUMNA column = {};
  column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
  column.fmt = LVCFMT_LEFT;
  column.cx = width;
  column.pszText = const_cast<char*>(title);
  column.iSubItem = index;
  SendMessageA(gServerList, LVM_INSERTCOLUMNA, index, reinterpret_cast<LPARAM>(&column));
}

void ShowUserOffset() {
  char text[kTextBufferSize];
  FormatOffset(gUserOffset, text);
  SetDlgItemTextA(gMainWindow, IDC_OFFSET_EDIT, text);
}

void InitMainWindow() {
  // A command from a script runs one pass out of sight, and nothing else.
  const bool command = gOwnCommand != CommandNone;
  if (command) SetPropA(gMainWindow, kCommandWindowProp, gMainWindow);
  // A script's command comes as WM_COPYDATA, from a process that may not be
  // elevated, also to a command's Orvalen (an elevated scheduled one's, say).
  LetInFromBelow(WM_COPYDATA);
  if (!command) StartUpdater();
  HICON icon = LoadIconA(gAppInstance, MAKEINTRESOURCEA(IDI_MAIN));
  ReadSetting("LastCorrectionTime", &gLastCorrectionTime, sizeof gLastCorrectionTime);
  ReadSetting("LastCorrectionValue", &gLastCorrectionValue, sizeof gLastCorrectionValue);
  gScheduleBase = gLastCorrectionTime;
  if (!command) AddTrayIcon();
  UpdateStatusLine(LineIdle);
  SetClassLongPtrA(gMainWindow, GCLP_HICON, reinterpret_cast<LONG_PTR>(icon));
  HMENU system = GetSystemMenu(gMainWindow, FALSE);
  AppendMenuA(system, MF_SEPARATOR, 0, nullptr);
  AppendMenuA(system, MF_STRING, CMD_HISTORY, kHistoryMenuText);

  HDC screen = GetDC(nullptr);
  const int iconSize = MulDiv(kListIconSize, GetDeviceCaps(screen, LOGPIXELSY), 96);  // as the rows grow
  ReleaseDC(nullptr, screen);
  HIMAGELIST images = ImageList_Create(iconSize, iconSize, ILC_MASK, 1, 1);
  ImageList_ReplaceIcon(images, -1, icon);
  SendMessageA(gServerList, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(images));
  SendMessageA(gServerList, LVM_SETBKCOLOR, 0, GetSysColor(COLOR_WINDOW));
  RECT client;
  GetClientRect(gServerList, &client);
  int width = client.right;
  AddColumn(0, "Time Server", width * 50 / 100);
  AddColumn(1, "Latency (ms)", width * 25 / 100);
  AddColumn(2, "Correction", width * 25 / 100);

  ZeroMemory(gQuerySlots, sizeof gQuerySlots);
  LoadServerTable();
  SortRows();
  SetUpScheduleSlider();
  LoadUserOffset();
  ShowUserOffset();

  bool exitAfter;
  if (command) {
    if (!StartOwnCommand()) {
      PrintForCaller("There is no time server to ask.\r\n");
      gCommandExitCode = kExitNoAgreement;
      PostMessageA(gMainWindow, WM_COMMAND, CMD_QUIT, 0);
    }
  } else if (!PassBusy() && LaunchPassWanted(gCorrectOnLaunch, gLaunchMode, gScheduleIndex, &exitAfter)) {
    gExitAfterCorrection = exitAfter;
    StartCorrectingPass(TriggerLaunch);
  }
}

void RestorePlacement() {
  WINDOWPLACEMENT saved = {};
  bool read = ReadSetting("WindowPlacement", &saved, sizeof saved);
  int cx = GetSystemMetrics(SM_CXFULLSCREEN);
  int cy = GetSystemMetrics(SM_CYFULLSCREEN);
  const RECT& r = saved.rcNormalPosition;
  WINDOWPLACEMENT current = {};
  current.length = sizeof current;
  GetWindowPlacement(gMainWindow, &current);
  WINDOWPLACEMENT placement;
  if (read && PlacementAccepted(saved.length, {r.left, r.top, r.right, r.bottom}, cx, cy)) {
    placement = saved;
    // Keep the stored position but the window's own size.
    const RECT& now = current.rcNormalPosition;
    placement.rcNormalPosition.right = r.left + (now.right - now.left);
    placement.rcNormalPosition.bottom = r.top + (now.bottom - now.top);
  } else {
    placement = current;
    RECT& n = placement.rcNormalPosition;
    OffsetRect(&n, (cx - (n.right - n.left)) >> 1, (cy - (n.bottom - n.top)) >> 1);
  }
  // Started at log-on or to correct at once, the program stays in the tray;
  // started by the user, it shows itself.
  // A command's pass may have ended already: its mark says what it is.
  const bool command = GetPropA(gMainWindow, kCommandWindowProp) != nullptr;
  placement.showCmd = (gLaunchMode != 0 || gCorrectOnLaunch || command) ? SW_HIDE : SW_SHOW;
  StartClockTimer(kClockHiddenMs);
  SetWindowPlacement(gMainWindow, &placement);
}

void SavePlacement() {
  WINDOWPLACEMENT placement = {};
  placement.length = sizeof placement;
  GetWindowPlacement(gMainWindow, &placement);
  WriteSetting("WindowPlacement", &placement, sizeof placement);
}

void ResetServerList() {
  if (MessageBoxA(gMainWindow, "Are you sure you want to reset the server list?", "Warning!",
                  MB_OKCANCEL | MB_ICONWARNING) != IDOK)
    return;
  ResetSlots();
  SortRows();
}

void EditRow(int row) {
  if (row < 0) return;
  // The list only opens an editor while it has the focus.
  SetFocus(gServerList);
  SendMessageA(gServerList, LVM_EDITLABELA, row, 0);
}

void AddNewServer() {
  TakeInStoredServers();
  int slot = AddServer("New Server");
  if (slot < 0) {
    SortRows();  // the servers taken in, which filled the list
    return;
  }
  UpdateServer(slot);
  LVFINDINFOA find = {};
  find.flags = LVFI_PARAM;
  find.lParam = slot;
  EditRow(static_cast<int>(
      SendMessageA(gServerList, LVM_FINDITEMA, -1, reinterpret_cast<LPARAM>(&find))));
}

void OnOffsetEdited() {
  char text[kOffsetTextMax + 1] = "";
  GetDlgItemTextA(gMainWindow, IDC_OFFSET_EDIT, text, sizeof text);
  // Beyond a year either way is no clock's error: it counts as nothing typed.
  gUserOffset = UsableUserOffset(ParseOffset(text));
  WriteSetting("Offset", &gUserOffset, sizeof gUserOffset);
  ShowUserOffset();
}

// Ends the program. A name still being edited was never confirmed, but the
// list ends an open editor as its window goes away and reports the typed
// text as the new name: from here on nothing the list reports is acted on.
void Quit() {
  gQuitting = true;
  DestroyWindow(gMainWindow);
}

BOOL OnCommand(WORD id, WORD code, HWND control) {
  // An ending window takes no command: its clean-up calls other programs,
  // which lets messages in. An offset typed so far is kept as it loses the focus.
  if (gQuitting && id != IDC_OFFSET_EDIT) return TRUE;
  // The installer and the uninstaller end a running copy with this command
  // and wait for it to go, whatever the user is doing in the window.
  if (id == CMD_QUIT) {
    Quit();
    return TRUE;
  }
  // Enter and Escape typed into an open label editor come as the buttons'
  // commands: they must end the edit, not start a pass or hide the window.
  // Nor may the list change under the editor. The tray's "Fix Time" (a menu
  // command, with no control) and other starts' commands go on.
  const bool leavesList = id == IDC_SYNC || id == CMD_CORRECT_NOW || id == CMD_OPEN || id == CMD_HISTORY;
  if ((control != nullptr || !leavesList) && SendMessageA(gServerList, LVM_GETEDITCONTROL, 0, 0) != 0) return FALSE;
  switch (id) {
    case IDC_SYNC:
      if (gActiveQueries != 0)
        FinishAllQueries(StatusInterrupted);
      else
        StartCorrectingPass(TriggerUser);
      return TRUE;
    case IDC_MINIMIZE:
      HideOrQuit();
      return TRUE;
    case IDC_RESTORE_LIST:
    case CMD_RESTORE_LIST:
      ResetServerList();
      return TRUE;
    case IDC_ADD_SERVER:
    case CMD_ADD_SERVER:
      AddNewServer();
      return TRUE;
    case CMD_CORRECT_NOW:
      StartCorrectingPass(TriggerSecondLaunch);
      return TRUE;
    case CMD_DELETE_SERVER:
      DeleteSelectedServers();
      return TRUE;
    case CMD_TEST_SERVER:
      TestSelectedServers();
      return TRUE;
    case CMD_TOGGLE_SERVER:
      ToggleSelectedServers();
      return TRUE;
    case CMD_EDIT_SERVER:
      EditRow(static_cast<int>(SendMessageA(gServerList, LVM_GETNEXTITEM, -1, LVNI_FOCUSED)));
      return TRUE;
    case CMD_OPEN:
      OpenMainWindow();
      return TRUE;
    case CMD_HISTORY:
      OpenHistoryWindow();
      return TRUE;
    case IDC_OFFSET_EDIT:
      if (code == EN_KILLFOCUS) OnOffsetEdited();
      return TRUE;
  }
  return FALSE;
}

// Drops a name still being edited, as Exit does: the list would take the
// text typed so far, even none, for the new name as its editor loses the
// focus, and no name deletes the server unasked.
void DropNameEdit() {
  if (SendMessageA(gServerList, LVM_GETEDITCONTROL, 0, 0) != 0) {
    gDroppingEdit = true;
    SetFocus(gServerList);
    gDroppingEdit = false;
  }
}

}  // namespace

bool FileBesideProgram(const char* file, char (&path)[MAX_PATH]) {
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  char* slash = strrchr(path, '\\');
  if (slash == nullptr || (slash + 1 - path) + strlen(file) >= MAX_PATH) return false;
  lstrcpyA(slash + 1, file);
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

void ShutdownCleanup() {
  // Also before the box of an error: a wake or a new network under it must
  // not start a pass again, nor a restarted shell bring the icon back.
  gQuitting = true;
  RemoveTrayIcon();
  KillTimer(gMainWindow, kClockTimer);
  FinishAllQueries(StatusInterrupted);  // also a request held behind a pass ending now
  // After the pass has ended: its end may have armed the exit timer.
  KillTimer(gMainWindow, kExitTimer);
  KillTimer(gMainWindow, kPassTimer);
  KillTimer(gMainWindow, kCatchUpTimer);  // nor a pass after waking under the box of an error
}

// Hidden or closed, the window drops a name still being edited.
void HideOrQuit() {
  DropNameEdit();
  ShowWindow(gMainWindow, SW_HIDE);
  if (gScheduleInterval == 0) DestroyWindow(gMainWindow);
}

void SetPassButtonText(const char* text) { SetDlgItemTextA(gMainWindow, IDC_SYNC, text); }

void ArmExitTimer() { SetTimer(gMainWindow, kExitTimer, kExitDelayMs, nullptr); }

bool ConfirmLargeCorrection(OffsetMs correction) {
  // An ending program asks no one: a log-off or an upgrade would wait on the box.
  if (gQuitting) return false;
  // The box takes the focus: an edit it would end is not the user's choice.
  DropNameEdit();
  char question[2 * kTextBufferSize];
  DescribeCorrection(correction, question);
  lstrcatA(question, "\n\nSet the clock anyway?");
  return MessageBoxA(gMainWindow, question, WindowTitle,
                     MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      gMainWindow = window;
      gNetEventWindow = window;
      gServerList = GetDlgItem(window, IDC_SERVER_LIST);
      InitMainWindow();
      RestorePlacement();
      // Last: by its caption other starts find it, set up.
      SetWindowTextA(window, WindowTitle);
      gWindowReady = true;
      return TRUE;
    case WM_COMMAND:
      if (!gWindowReady) {
        // Not yet: the list is not loaded. Handle it once set-up is done.
        PostMessageA(window, WM_COMMAND, wParam, lParam);
        return TRUE;
      }
      return OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
    case WM_NOTIFY: {
      const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
      return header->idFrom == IDC_SERVER_LIST && !gQuitting && !gDroppingEdit ? OnServerListNotify(header) : FALSE;
    }
    case WM_TIMER:
      if (!gQuitting) OnTimer(wParam);
      return TRUE;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) != CMD_HISTORY) return FALSE;
      OpenHistoryWindow();
      return TRUE;
    case WM_HSCROLL:
      OnScheduleSlider();
      return TRUE;
    case WM_SHOWWINDOW:
      OnShowWindow(wParam != 0);
      return TRUE;
    case WM_MOVE:
      // A move before the window is set up would overwrite the stored
      // placement before it has been read; a command's window, never shown
      // (maybe on another screen), has no place of the user's to keep.
      if (gMainWindow != nullptr && !GetPropA(window, kCommandWindowProp)) SavePlacement();
      return TRUE;
    case WM_CLOSE:
      HideOrQuit();
      return TRUE;
    case WM_SYSCOLORCHANGE:
      // The common controls keep the colours they started with until told.
      SendMessageA(gServerList, WM_SYSCOLORCHANGE, 0, 0);
      SendDlgItemMessageA(window, IDC_SCHEDULE_SLIDER, WM_SYSCOLORCHANGE, 0, 0);
      SendMessageA(gServerList, LVM_SETBKCOLOR, 0, GetSysColor(COLOR_WINDOW));
      return FALSE;
    case WM_ENDSESSION:
      // FALSE: the log-off or shutdown was cancelled and the session goes on.
      if (wParam) Quit();
      return TRUE;
    case WM_NCDESTROY:  // after the clean-up, which may still let other starts in
      RemovePropA(window, kCommandWindowProp);
      return FALSE;
    case WM_DESTROY:
      gQuitting = true;  // also when closed, or ended after its correction
      ShutdownCleanup();
      gMainWindow = nullptr;
      PostQuitMessage(0);
      return TRUE;
    case kTrayMessage:
      TrayCallback(static_cast<UINT>(lParam));
      return FALSE;
    case WM_COPYDATA: {
      // A dialog hands its answer back through DWLP_MSGRESULT.
      // Quitting, it answers no one: the command runs where it was started.
      const LRESULT reply = gQuitting      ? RequestNotHere
                            : gWindowReady ? OnCommandRequest(reinterpret_cast<HWND>(wParam),
                                                              reinterpret_cast<const void*>(lParam))
                                           : RequestRefused;
      SetWindowLongPtrA(window, DWLP_MSGRESULT, reply);
      return TRUE;
    }
    case WM_POWERBROADCAST:
      if (wParam == PBT_APMSUSPEND) OnSuspend();
      if (wParam == PBT_APMRESUMEAUTOMATIC && !gQuitting) OnResume();
      return FALSE;
    case kNetworkChangedMessage:
      if (!gQuitting) OnNetworkChanged();
      return TRUE;
    case kDeferredCommandMessage:
      if (!gQuitting) StartDeferredTests();
      return TRUE;
    case WM_TIMECHANGE:
      if (!OwnTimeChange()) OnClockChangedElsewhere();
      return FALSE;
  }
  if (DispatchNetMessage(message, wParam, lParam)) return TRUE;
  if (IsTaskbarCreated(message) && gMainWindow != nullptr && !gQuitting) {
    RestoreTrayIcon();
    return TRUE;
  }
  return FALSE;
}
