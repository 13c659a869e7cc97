// What the screen does when a pass has ended: the pass goes into the
// history file and the History window, and a pass that went wrong while
// nobody watched may raise a balloon.
#include <windows.h>

#include "core/pass_history.h"
#include "core/view_hooks.h"
#include "resources/resource.h"
#include "ui/command_requests.h"
#include "ui/history_window.h"
#include "ui/main_window.h"
#include "ui/notices.h"
#include "ui/timers.h"
#include "ui/tray.h"

namespace {

// Set when the status line has told of an entry that could not be written;
// the next failures say nothing until an entry is written again.
bool gRecordFailureShown;
NoticeState gNotices;
PassEntry gLastPass;

}  // namespace

void PassEnded() {
  const Ms1900 now = CurrentMs1900();
  CapturePass(now, &gLastPass);
  if (RecordPass(gLastPass)) {
    gRecordFailureShown = false;
  } else if (!gRecordFailureShown) {
    gRecordFailureShown = true;
    SetDlgItemTextA(gMainWindow, IDC_STATUS_LINE, "Pass not written to the history file");
  }
  RefreshHistoryWindow();
  CatchUpAfterPass();
  const NoticeKind notice = NoticeAfterPass(&gNotices, gLastPass.kind, gLastPass.trigger, gLastPass.outcome, now);
  if (notice != NoNotice && NoticesWanted()) {
    char title[kNoticeTitleSize], text[kNoticeTextSize];
    NoticeTexts(notice, gLastPass.correction, title, text);
    ShowTrayNotice(title, text);
  }
  // Last: the balloon lets other starts' requests in, and one that asks for
  // this kind of pass after the answers went would wait for the next such pass.
  AnswerCommands(gLastPass.kind == Correcting);
}
