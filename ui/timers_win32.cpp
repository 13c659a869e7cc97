#include "ui/timers.h"

#include <iphlpapi.h>

#include <commctrl.h>

#include "core/correction.h"
#include "core/query_engine.h"
#include "core/view_hooks.h"
#include "resources/resource.h"
#include "store/settings_store.h"
#include "ui/main_window.h"
#include "ui/schedule.h"
#include "ui/texts.h"
#include "ui/tray.h"

namespace {

// Flipped by every blink and never reset, so a new pass carries on where the
// last one stopped.
bool TrayIconPhase;

CatchUp PassCatchUp = {false, 0, 0, true};
PassTrigger CatchUpTrigger = TriggerResume;
HANDLE NetworkWatchStop;

void ArmCatchUp() {
  if (!PassCatchUp.pending) return;
  int64_t wait = PassCatchUp.due - CurrentMs1900();
  if (wait < 0) wait = 0;
  SetTimer(MainWindow, kCatchUpTimer, static_cast<UINT>(wait < 0x7FFFFFFF ? wait : 0x7FFFFFFF) + 1, nullptr);
}

void OnCatchUpTimer() {
  KillTimer(MainWindow, kCatchUpTimer);
  if (!PassCatchUp.pending) return;
  if (PassBusy() || CurrentMs1900() < PassCatchUp.due) {
    SetTimer(MainWindow, kCatchUpTimer, 1000, nullptr);
    return;
  }
  PassCatchUp.pending = false;
  StartCorrectingPass(CatchUpTrigger);
}

// A worker waits for the system to report a new address and tells the
// window. Its request stays with the system until the process ends, so its
// record must outlive the thread.
OVERLAPPED AddressChange;

DWORD WINAPI WatchAddresses(void* window) {
  HANDLE events[2] = {AddressChange.hEvent, NetworkWatchStop};
  for (;;) {
    HANDLE handle = nullptr;
    if (NotifyAddrChange(&handle, &AddressChange) != ERROR_IO_PENDING) return 0;
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) return 0;
    PostMessageA(static_cast<HWND>(window), kNetworkChangedMessage, 0, 0);
  }
}

void ApplySchedule() {
  ScheduleInterval = ScheduleIntervalFor(ScheduleIndex);
  SetDlgItemTextA(MainWindow, IDC_SCHEDULE_LABEL, ScheduleLabel(ScheduleIndex));
}

void OnClockTick() {
  Ms1900 now = CurrentMs1900();
  char text[kTextBufferSize];
  FormatLocalTimestamp(now, text);
  char shown[kTextBufferSize] = "";
  GetDlgItemTextA(MainWindow, IDC_CLOCK, shown, sizeof shown);
  if (lstrcmpA(shown, text) != 0) SetDlgItemTextA(MainWindow, IDC_CLOCK, text);
  if (!PassBusy() && ScheduleDue(now, ScheduleBase, ScheduleInterval))
    StartCorrectingPass(TriggerSchedule);
}

void OnPassTick() {
  SetTrayIcon(TrayIconPhase ? IDI_MAIN : IDI_TRAY);
  TrayIconPhase = !TrayIconPhase;
  CheckDeadlines();
  RefreshDirtyRows();
}

}  // namespace

void SetUpScheduleSlider() {
  SendDlgItemMessageA(MainWindow, IDC_SCHEDULE_SLIDER, TBM_SETRANGE, TRUE,
                      MAKELPARAM(0, kScheduleSteps - 1));
  if (!ReadSetting("Schedule", &ScheduleIndex, sizeof ScheduleIndex))
    ScheduleIndex = kDefaultScheduleIndex;
  SendDlgItemMessageA(MainWindow, IDC_SCHEDULE_SLIDER, TBM_SETPOS, TRUE, ScheduleIndex);
  ApplySchedule();
}

void OnScheduleSlider() {
  ScheduleIndex =
      static_cast<int>(SendDlgItemMessageA(MainWindow, IDC_SCHEDULE_SLIDER, TBM_GETPOS, 0, 0));
  WriteSetting("Schedule", &ScheduleIndex, sizeof ScheduleIndex);
  ApplySchedule();
}

void OnShowWindow(bool shown) {
  KillTimer(MainWindow, kClockTimer);
  SetTimer(MainWindow, kClockTimer, shown ? kClockVisibleMs : kClockHiddenMs, nullptr);
}

void OnTimer(UINT_PTR id) {
  switch (id) {
    case kClockTimer:
      OnClockTick();
      break;
    case kExitTimer:
      KillTimer(MainWindow, kExitTimer);
      if (ExitAfterCorrection) DestroyWindow(MainWindow);
      break;
    case kPassTimer:
      OnPassTick();
      break;
    case kCatchUpTimer:
      OnCatchUpTimer();
      break;
  }
}

void OnResume() {
  // Only a periodic schedule keeps the clock right on its own; it is due.
  if (ScheduleInterval == 0) return;
  CatchUpOnResume(PassCatchUp, CurrentMs1900());
  CatchUpTrigger = TriggerResume;
  ArmCatchUp();
}

void OnNetworkChanged() {
  bool wasPending = PassCatchUp.pending;
  CatchUpOnNetwork(PassCatchUp, CurrentMs1900());
  if (!wasPending && PassCatchUp.pending) CatchUpTrigger = TriggerNetwork;
  ArmCatchUp();
}

void CatchUpAfterPass() {
  if (PassMode != Correcting) return;
  bool catchingUp = PassStartedBy == TriggerResume || PassStartedBy == TriggerNetwork;
  CatchUpPassEnded(PassCatchUp, CurrentMs1900(), catchingUp, PassFoundNoServer());
  if (PassCatchUp.pending) CatchUpTrigger = PassStartedBy;
  ArmCatchUp();
}

void StartNetworkWatch(HWND window) {
  AddressChange.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  NetworkWatchStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (AddressChange.hEvent == nullptr || NetworkWatchStop == nullptr) return;
  HANDLE thread = CreateThread(nullptr, 0, WatchAddresses, window, 0, nullptr);
  if (thread != nullptr) CloseHandle(thread);
}

void StopNetworkWatch() {
  if (NetworkWatchStop != nullptr) SetEvent(NetworkWatchStop);
}
