// The core's Windows tests replace the screen with these recorders.
#include "tests/win/core_hooks.h"

#include "core/query_slot.h"
#include "core/view_hooks.h"

namespace hooks {
std::vector<StatusLineState> statusLines;
std::vector<std::string> buttonTexts;
std::vector<std::string> fatalMessages;
int exitTimersArmed;

void Reset() {
  statusLines.clear();
  buttonTexts.clear();
  fatalMessages.clear();
  exitTimersArmed = 0;
}
}  // namespace hooks

void SyncRows(bool) {
  for (auto& slot : QuerySlots) slot.dirty = 0;
}
void RefreshDirtyRows() { SyncRows(true); }
void UpdateStatusLine(StatusLineState state) { hooks::statusLines.push_back(state); }
void SetPassButtonText(const char* text) { hooks::buttonTexts.push_back(text); }
void ArmExitTimer() { ++hooks::exitTimersArmed; }
void FatalExit(const char* message) { hooks::fatalMessages.push_back(message); }
