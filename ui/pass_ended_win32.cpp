// What the screen does when a pass has ended: the pass goes into the
// history file.
#include <windows.h>

#include "core/pass_history.h"
#include "core/view_hooks.h"
#include "resources/resource.h"
#include "ui/main_window.h"

namespace {

// Set when the status line has told of an entry that could not be written;
// the next failures say nothing until an entry is written again.
bool RecordFailureShown;
PassEntry LastPass;

}  // namespace

void PassEnded() {
  CapturePass(CurrentMs1900(), &LastPass);
  if (RecordPass(LastPass)) {
    RecordFailureShown = false;
  } else if (!RecordFailureShown) {
    RecordFailureShown = true;
    SetDlgItemTextA(MainWindow, IDC_STATUS_LINE, "Pass not written to the history file");
  }
}
