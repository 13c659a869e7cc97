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
bool gTrayIconPhase;

CatchUp gPassCatchUp = {false, 0, 0, true, TriggerResume};
// When the pass made once more after the clock outran one is due (0: none
// armed), and whether the pass now running is that one: it is not made again.
Ms1900 gRetryDue;
bool gRetryRunning;
HANDLE gNetworkWatchStop;
// A new address came while a pass ran: that pass's outcome decides on it.
bool gNetworkChangedInPass;
SleepHold gSleepHold;

bool GoingToSleep() { return SleepHolds(gSleepHold, GetTickCount()); }

// A correcting pass under way measured against the clock as it was.
void ClockChangedInPass() {
  if (PassBusy() && gPassMode == Correcting) gClockChangedInPass = true;
}

void ArmCatchUp() {
  if (!gPassCatchUp.pending) return;
  SetTimer(gMainWindow, kCatchUpTimer, static_cast<UINT>(CatchUpWait(gPassCatchUp, CurrentMs1900())) + 1, nullptr);
}

void OnCatchUpTimer() {
  KillTimer(gMainWindow, kCatchUpTimer);
  if (!gPassCatchUp.pending) return;
  if (PassBusy() || GoingToSleep() || CatchUpWait(gPassCatchUp, CurrentMs1900()) > 0) {
    SetTimer(gMainWindow, kCatchUpTimer, 1000, nullptr);
    return;
  }
  gPassCatchUp.pending = false;
  gRetryRunning = gPassCatchUp.due == gRetryDue;
  gRetryDue = 0;
  StartCorrectingPass(gPassCatchUp.trigger);
}

// A worker waits for the system to report a new address and tells the
// window. Its request stays with the system until the process ends, so its
// record must outlive the thread.
OVERLAPPED gAddressChange;

DWORD WINAPI WatchAddresses(void* window) {
  HANDLE events[2] = {gAddressChange.hEvent, gNetworkWatchStop};
  for (;;) {
    HANDLE handle = nullptr;
    if (NotifyAddrChange(&handle, &gAddressChange) != ERROR_IO_PENDING) return 0;
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) return 0;
    PostMessageA(static_cast<HWND>(window), kNetworkChangedMessage, 0, 0);
  }
}

// That watch sees IPv4 addresses only. Vista and later report IPv6 ones as
// well, calling back on a thread of the system's.
using AddressCallback = void(WINAPI*)(void* context, void* row, int change);
using NotifyFunction = DWORD(WINAPI*)(USHORT family, AddressCallback callback, void* context,
                                      BOOLEAN initial, HANDLE* watch);
using CancelFunction = DWORD(WINAPI*)(HANDLE watch);
constexpr USHORT kFamilyIpv6 = 23;  // AF_INET6
HANDLE gIpv6Watch;

void WINAPI OnIpv6AddressChange(void* window, void*, int) {
  PostMessageA(static_cast<HWND>(window), kNetworkChangedMessage, 0, 0);
}

template <typename Function>
Function IpHelper(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("iphlpapi.dll"), name)));
}

void ApplySchedule() {
  gScheduleInterval = ScheduleIntervalFor(gScheduleIndex);
  SetDlgItemTextA(gMainWindow, IDC_SCHEDULE_LABEL, ScheduleLabel(gScheduleIndex));
}

void OnClockTick() {
  Ms1900 now = CurrentMs1900();
  char text[kTextBufferSize];
  FormatLocalTimestamp(now, text);
  char shown[kTextBufferSize] = "";
  GetDlgItemTextA(gMainWindow, IDC_CLOCK, shown, sizeof shown);
  if (lstrcmpA(shown, text) != 0) SetDlgItemTextA(gMainWindow, IDC_CLOCK, text);
  KeepTrayIcon();
  NoteClockTick(gSleepHold, GetTickCount());
  if (!PassBusy() && !GoingToSleep() && ScheduledPassNow(gPassCatchUp, now, &gScheduleBase, gScheduleInterval))
    StartCorrectingPass(TriggerSchedule);
}

void OnPassTick() {
  SetTrayIcon(gTrayIconPhase ? IDI_MAIN : IDI_TRAY);
  gTrayIconPhase = !gTrayIconPhase;
  CheckDeadlines();
  RefreshDirtyRows();
}

}  // namespace

void SetUpScheduleSlider() {
  SendDlgItemMessageA(gMainWindow, IDC_SCHEDULE_SLIDER, TBM_SETRANGE, TRUE,
                      MAKELPARAM(0, kScheduleSteps - 1));
  if (!ReadSetting("Schedule", &gScheduleIndex, sizeof gScheduleIndex))
    gScheduleIndex = kDefaultScheduleIndex;
  SendDlgItemMessageA(gMainWindow, IDC_SCHEDULE_SLIDER, TBM_SETPOS, TRUE, gScheduleIndex);
  ApplySchedule();
}

void OnScheduleSlider() {
  gScheduleIndex =
      static_cast<int>(SendDlgItemMessageA(gMainWindow, IDC_SCHEDULE_SLIDER, TBM_GETPOS, 0, 0));
  WriteSetting("Schedule", &gScheduleIndex, sizeof gScheduleIndex);
  ApplySchedule();
}

void StartClockTimer(UINT periodMs) {
  KillTimer(gMainWindow, kClockTimer);
  SetTimer(gMainWindow, kClockTimer, periodMs, nullptr);
  // The tick just dropped may have been a wake's, not yet heard of (the window opened
  // before the system told of it): the gap counts as at a tick. The first start has no gap.
  if (gSleepHold.lastTick != 0)
    NoteClockTick(gSleepHold, GetTickCount());
  else
    gSleepHold.lastTick = GetTickCount();
}

void OnShowWindow(bool shown) {
  if (shown) gExitAfterCorrection = false;  // the user opened it: it stays
  StartClockTimer(shown ? kClockVisibleMs : kClockHiddenMs);
}

void OnTimer(UINT_PTR id) {
  switch (id) {
    case kClockTimer:
      OnClockTick();
      break;
    case kExitTimer:
      KillTimer(gMainWindow, kExitTimer);
      if (!gExitAfterCorrection) break;
      // A pass asked for meanwhile (a second start, a script) runs to its end first.
      if (PassBusy())
        ArmExitTimer();
      else
        DestroyWindow(gMainWindow);
      break;
    case kPassTimer:
      OnPassTick();
      break;
    case kCatchUpTimer:
      OnCatchUpTimer();
      break;
  }
}

// The clock is set anew on waking, and the program may run before it hears
// of the wake: a pass measuring now measures across the sleep.
void OnSuspend() {
  ClockChangedInPass();
  gSleepHold.held = true;
  gSleepHold.since = GetTickCount();
}

void OnResume() {
  // The time asleep is accounted for: the timer's late tick is no new wake.
  gSleepHold.held = false;
  gSleepHold.lastTick = GetTickCount();
  ClockChangedInPass();
  // Only a periodic schedule keeps the clock right on its own; it is due.
  if (gScheduleInterval == 0) return;
  CatchUpOnResume(gPassCatchUp, CurrentMs1900());
  ArmCatchUp();
}

void OnNetworkChanged() {
  if (PassBusy()) {
    gNetworkChangedInPass = true;
    return;
  }
  CatchUpOnNetwork(gPassCatchUp, CurrentMs1900());
  ArmCatchUp();
}

void OnClockChangedElsewhere() {
  ClockChangedInPass();
  if (!PassBusy() && gScheduleInterval != 0) NoteClockChangedElsewhere();
}

void CatchUpAfterPass() {
  const Ms1900 now = CurrentMs1900();
  if (gPassMode == Correcting) {
    const bool retry = gRetryRunning;
    gRetryRunning = false;
    if (gLastOutcome != OutcomeClockChanged) {
      CatchUpPassEnded(gPassCatchUp, now, gPassStartedBy, PassFoundNoServer());
    } else if (!gPassCatchUp.pending && !retry && gPassStartedBy != TriggerCommandLine) {
      // A pass that the clock outran keeps a catch-up due as it was, or is
      // made once more when the clock has had time to settle; not one whose
      // script has been answered already.
      CatchUpAfterWait(gPassCatchUp, now, gPassStartedBy);
      gRetryDue = gPassCatchUp.due;
    }
  }
  if (gNetworkChangedInPass) {
    gNetworkChangedInPass = false;
    CatchUpOnNetwork(gPassCatchUp, now);
  }
  ArmCatchUp();
}

void StartNetworkWatch(HWND window) {
  gAddressChange.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  gNetworkWatchStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (gAddressChange.hEvent == nullptr || gNetworkWatchStop == nullptr) return;
  HANDLE thread = CreateThread(nullptr, 0, WatchAddresses, window, 0, nullptr);
  if (thread != nullptr) CloseHandle(thread);
  if (auto notify = IpHelper<NotifyFunction>("NotifyUnicastIpAddressChange"))
    if (notify(kFamilyIpv6, OnIpv6AddressChange, window, FALSE, &gIpv6Watch) != NO_ERROR) gIpv6Watch = nullptr;
}

void StopNetworkWatch() {
  if (gNetworkWatchStop != nullptr) SetEvent(gNetworkWatchStop);
  // Once this returns no call back is under way or to come.
  if (auto cancel = IpHelper<CancelFunction>("CancelMibChangeNotify2"); cancel && gIpv6Watch) cancel(gIpv6Watch);
  gIpv6Watch = nullptr;
}
