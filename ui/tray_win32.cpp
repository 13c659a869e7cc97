#include "ui/tray.h"

#include <shellapi.h>

#include "core/correction.h"
#include "core/query_engine.h"
#include "core/view_hooks.h"
#include "resources/resource.h"
#include "ui/command_requests.h"
#include "ui/history_window.h"
#include "ui/main_window.h"
#include "ui/texts.h"
#include "ui/timers.h"

bool gTrayMenuOpen;

namespace {

// The record in the size of its newest layout; older fields come first.
// The 64-bit test build has pointer-sized fields and its own size.
#ifdef _WIN64
constexpr DWORD kNotifyIconSize = sizeof(NOTIFYICONDATAA);
#else
constexpr DWORD kNotifyIconSize = 508;
#endif
constexpr int kTipSize = 128;
constexpr int kMenuTextMax = 98;
constexpr UINT kNoticeShownMs = 20000;  // the shell keeps it between 10 and 30 seconds

union TrayRecord {
  NOTIFYICONDATAA data;
  char bytes[kNotifyIconSize];
};
static_assert(sizeof(NOTIFYICONDATAA) <= kNotifyIconSize, "tray record size");

// Windows XP takes a record of a size it does not know for the oldest
// layout: a 64-character tip and no balloons. It knows its own, the size
// these headers give the record, built for it.
// Asked each time: a static set at run time brings in the threads library's
// guard, which needs Windows Vista.
DWORD RecordSize() { return LOBYTE(LOWORD(GetVersion())) < 6 ? sizeof(NOTIFYICONDATAA) : kNotifyIconSize; }

// At the size the notification area shows, which grows with the screen's dots per inch.
HICON Icon(int id) {
  return static_cast<HICON>(LoadImageA(gAppInstance, MAKEINTRESOURCEA(id), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                       GetSystemMetrics(SM_CYSMICON), LR_SHARED));
}

// What the icon shows now, so that it can be added again as it was.
int gShownIcon = IDI_TRAY;
char gShownTip[kTipSize];
UINT gTaskbarCreatedMessage;
// The shell may not take the icon: at log-on it is often not ready yet, and
// it may have lost the icon without a word. Until it takes it again, changes
// are only noted, and the icon is offered again now and then.
constexpr DWORD kIconRetryMs = 9000;  // the hidden window's clock ticks every 10 s
bool gIconWanted;
bool gIconMissing;
DWORD gIconOfferedAt;
// A balloon the shell could not take for want of the icon waits for it, and
// comes with it while the failure it tells of is still the news: until the
// window is opened or a correcting pass ends otherwise.
TrayRecord gWaitingNotice;
bool gNoticeWaiting;
CorrectionOutcome gWaitingOutcome;

void Notify(DWORD action, UINT flags, int iconId = 0, const char* tip = nullptr) {
  TrayRecord record = {};
  record.data.cbSize = RecordSize();
  record.data.hWnd = gMainWindow;
  record.data.uID = 0;
  record.data.uFlags = flags;
  record.data.uCallbackMessage = kTrayMessage;
  if (flags & NIF_ICON) {
    gShownIcon = iconId;
    record.data.hIcon = Icon(iconId);
  }
  if (flags & NIF_TIP) {
    if (tip != gShownTip) lstrcpynA(gShownTip, tip, kTipSize);
    lstrcpynA(record.data.szTip, tip, kTipSize);
  }
  if (action == NIM_MODIFY && gIconMissing) return;
  // An icon offered again that the shell still has is brought up to date instead.
  const bool taken = Shell_NotifyIconA(action, &record.data) != FALSE ||
                     (action == NIM_ADD && Shell_NotifyIconA(NIM_MODIFY, &record.data) != FALSE);
  if (action == NIM_ADD) gIconOfferedAt = GetTickCount();
  if (action != NIM_DELETE) gIconMissing = gIconWanted && !taken;
  if (action == NIM_ADD && taken && gNoticeWaiting) {
    gNoticeWaiting = false;
    Shell_NotifyIconA(NIM_MODIFY, &gWaitingNotice.data);
  }
}

}  // namespace

void AddTrayIcon() {
  // A restarted shell announces itself with this message and has lost every
  // icon. It comes from the shell's integrity level, which is lower than an
  // elevated program's: let it through (Windows Vista and later only).
  gTaskbarCreatedMessage = RegisterWindowMessageA("TaskbarCreated");
  if (gTaskbarCreatedMessage != 0) LetInFromBelow(gTaskbarCreatedMessage);
  gIconWanted = true;
  Notify(NIM_ADD, NIF_MESSAGE);
}

bool IsTaskbarCreated(UINT message) {
  return message != 0 && message == gTaskbarCreatedMessage;
}

void RestoreTrayIcon() { Notify(NIM_ADD, NIF_MESSAGE | NIF_ICON | NIF_TIP, gShownIcon, gShownTip); }

void KeepTrayIcon() {
  if (gIconMissing && GetTickCount() - gIconOfferedAt >= kIconRetryMs) RestoreTrayIcon();
}

void RemoveTrayIcon() {
  gIconWanted = gIconMissing = false;
  Notify(NIM_DELETE, 0);
}

void ShowTrayNotice(const char* title, const char* text) {
  TrayRecord& record = gWaitingNotice;
  record = {};
  record.data.cbSize = RecordSize();
  record.data.hWnd = gMainWindow;
  record.data.uFlags = NIF_INFO;
  record.data.dwInfoFlags = NIIF_WARNING;
  record.data.uTimeout = kNoticeShownMs;
  lstrcpynA(record.data.szInfoTitle, title, sizeof record.data.szInfoTitle);
  lstrcpynA(record.data.szInfo, text, sizeof record.data.szInfo);
  gNoticeWaiting = gIconMissing || !Shell_NotifyIconA(NIM_MODIFY, &record.data);
  gWaitingOutcome = gLastOutcome;
}

void SetTrayIcon(int iconId) { Notify(NIM_MODIFY, NIF_ICON, iconId); }

void UpdateStatusLine(StatusLineState state) {
  KillTimer(gMainWindow, kPassTimer);
  char text[2 * kTextBufferSize] = "";
  // A pass opens and ends here, its correction made before it ends.
  KeepClockFine(state == LineChecking || state == LineTesting);
  if (state == LineIdle && gLastOutcome != gWaitingOutcome) gNoticeWaiting = false;
  if (state == LineChecking || state == LineTesting) {
    SetTimer(gMainWindow, kPassTimer, kPassTickMs, nullptr);
    // A test (a script's, unseen) leaves the last correction's failure shown.
    if (state == LineChecking) gCorrectionFailed = false;
    lstrcpyA(text, state == LineChecking ? "Checking time servers..." : "Testing time servers...");
  } else if (gLastCorrectionTime != 0) {
    char offset[kTextBufferSize];
    char when[kTextBufferSize];
    FormatOffset(gLastCorrectionValue, offset);
    FormatLocalTimestamp(gLastCorrectionTime, when);
    wsprintfA(text, "Corrected %s at %s", offset, when);
  }
  SetDlgItemTextA(gMainWindow, IDC_STATUS_LINE, text);
  // The status line keeps the last good correction; only the tray tells of
  // a failed one, until the user looks.
  char failure[2 * kTextBufferSize];
  if (gCorrectionFailed) FailureTip(gLastOutcome, gPassCorrection, failure);
  Notify(NIM_MODIFY, NIF_ICON | NIF_TIP, gCorrectionFailed ? IDI_FAILED : IDI_TRAY,
         gCorrectionFailed ? failure : text);
}

void NoteClockChangedElsewhere() {
  char when[kTextBufferSize];
  char text[2 * kTextBufferSize];
  FormatLocalTimestamp(CurrentMs1900(), when);
  // As short as "Corrected %s at %s": the status line shows one line of it.
  wsprintfA(text, "Clock set elsewhere at %s", when);
  SetDlgItemTextA(gMainWindow, IDC_STATUS_LINE, text);
}

void TrayCallback(UINT mouseMessage) {
  switch (mouseMessage) {
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN: {
      if (gTrayMenuOpen) return;
      HMENU resource = LoadMenuA(gAppInstance, MAKEINTRESOURCEA(IDR_TRAY_MENU));
      HMENU menu = GetSubMenu(resource, 0);
      // Touching the tray keeps the program running after a launch-time pass.
      gExitAfterCorrection = false;
      POINT at;
      GetCursorPos(&at);
      // The menu closes on a click elsewhere only when its owner is in front.
      SetForegroundWindow(gMainWindow);
      gTrayMenuOpen = true;
      SetMenuDefaultItem(menu, 0, TRUE);
      char text[kMenuTextMax + 2] = "&";
      GetDlgItemTextA(gMainWindow, IDC_SYNC, text + 1, kMenuTextMax + 1);
      MENUITEMINFOA item = {};
      item.cbSize = sizeof item;
      item.fMask = MIIM_TYPE;
      item.fType = MFT_STRING;
      item.dwTypeData = text;
      SetMenuItemInfoA(menu, IDC_SYNC, FALSE, &item);
      // Not in the menu resource, which stays as it is.
      InsertMenuA(menu, CMD_QUIT, MF_BYCOMMAND | MF_STRING, CMD_HISTORY, kHistoryMenuText);
      const bool stopShown = gActiveQueries != 0;
      UINT chosen = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY, at.x, at.y, 0, gMainWindow, nullptr);
      PostMessageA(gMainWindow, WM_NULL, 0, 0);
      DestroyMenu(resource);
      gTrayMenuOpen = false;
      // The pass item does what it showed. A pass that started while the
      // menu was open (a wake's, the schedule's) is not stopped by a click on
      // the start it replaced, nor a new one started by a stop it outlived.
      if (chosen == IDC_SYNC && stopShown != (gActiveQueries != 0)) chosen = 0;
      if (chosen != 0) PostMessageA(gMainWindow, WM_COMMAND, chosen, 0);
      return;
    }
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDBLCLK:
      SendMessageA(gMainWindow, WM_COMMAND, CMD_OPEN, 0);
      return;
    case NIN_BALLOONUSERCLICK:
      gExitAfterCorrection = false;
      OpenHistoryWindow();
      return;
  }
}

void OpenMainWindow() {
  // The user looks: a failure shown in the tray gives way to what the status
  // line says, which stays as it is, a note on it included.
  if (gCorrectionFailed && gActiveQueries == 0) {
    char text[2 * kTextBufferSize] = "";
    GetDlgItemTextA(gMainWindow, IDC_STATUS_LINE, text, sizeof text);
    Notify(NIM_MODIFY, NIF_ICON | NIF_TIP, IDI_TRAY, text);
  }
  gCorrectionFailed = gNoticeWaiting = false;
  ShowWindow(gMainWindow, SW_SHOWNORMAL);
}
