#include "ui/timers.h"

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
  }
}
