#include "core/correction.h"

#include "core/query_engine.h"
#include "core/server_table.h"
#include "core/view_hooks.h"
#include "store/settings_store.h"

Ms1900 LastCorrectionTime;
OffsetMs LastCorrectionValue;
bool CorrectionFailed;
bool ExitAfterCorrection;

namespace {

bool Counts(int slot) {
  return IsNamed(slot) && ServerTable[slot].status == StatusMeasured;
}

int64_t Distance(int64_t a, int64_t b) { return a > b ? a - b : b - a; }

}  // namespace

void CorrectClock() {
  // TIME replies are whole seconds: beside NTP results they would pull the
  // correction off by up to a second, so then only NTP results count.
  bool ntpMeasured = false;
  for (int slot = 0; slot < kMaxServers; ++slot)
    ntpMeasured = ntpMeasured || (Counts(slot) && QuerySlots[slot].ntp);
  for (int slot = 0; ntpMeasured && slot < kMaxServers; ++slot) {
    if (!Counts(slot) || QuerySlots[slot].ntp) continue;
    ServerTable[slot].status = StatusRejected;
    QuerySlots[slot].dirty = 1;
    SaveServer(slot);
  }
  OffsetMs mean;
  for (;;) {
    int n = 0;
    int64_t sum = 0;
    for (int slot = 0; slot < kMaxServers; ++slot) {
      if (!Counts(slot)) continue;
      ++n;
      sum += ServerTable[slot].offset;
    }
    if (n == 0) {
      CorrectionFailed = true;
      return;
    }
    mean = sum / n;
    int farthest = -1;
    int64_t largest = 0;
    for (int slot = 0; slot < kMaxServers; ++slot) {
      if (!Counts(slot)) continue;
      int64_t deviation = Distance(ServerTable[slot].offset, mean);
      if (deviation >= largest) {  // ties go to the highest slot
        largest = deviation;
        farthest = slot;
      }
    }
    if (largest < kRejectLimitMs) break;
    ServerTable[farthest].status = StatusRejected;
    QuerySlots[farthest].dirty = 1;
    SaveServer(farthest);
  }
  Ms1900 setTo = StepSystemClock(mean);
  LastCorrectionValue = mean;
  LastCorrectionTime = setTo;
  // A refused step keeps the pass's start as the base: counting from 0 would
  // start pass after pass, each refused like this one.
  if (setTo != 0) ScheduleBase = setTo;
  WriteSetting("LastCorrectionTime", &LastCorrectionTime, sizeof LastCorrectionTime);
  WriteSetting("LastCorrectionValue", &LastCorrectionValue, sizeof LastCorrectionValue);
  if (ExitAfterCorrection) ArmExitTimer();
  AnnounceTimeChange();
}
