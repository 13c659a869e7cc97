#include "core/correction.h"

#include <algorithm>

#include "core/query_engine.h"
#include "core/server_table.h"
#include "core/view_hooks.h"
#include "store/settings_store.h"

Ms1900 gLastCorrectionTime;
OffsetMs gLastCorrectionValue;
bool gCorrectionFailed;
CorrectionOutcome gLastOutcome;
OffsetMs gPassCorrection;
bool gExitAfterCorrection;
bool gClockChangedInPass;

namespace {

// How far a TIME reading may stray beyond its second: half a round trip
// of up to a second.
constexpr int64_t kTimeSlackMs = 500;
Ms1900 gStoredAtPassStart;

Ms1900 StoredCorrectionTime() {
  Ms1900 stored = 0;
  ReadSetting("LastCorrectionTime", &stored, sizeof stored);
  return stored;
}

bool Counts(int slot) { return IsNamed(slot) && gServerTable[slot].status == StatusMeasured; }

int64_t Distance(int64_t a, int64_t b) { return a > b ? a - b : b - a; }

// TIME replies are whole seconds, rounded down: a TIME server that is right
// reads up to a second below the true offset, give or take half its round
// trip. An NTP result within that range reads the same time more finely.
bool TimeBearsOut(OffsetMs ntp, OffsetMs time) {
  return ntp >= time - kTimeSlackMs && ntp < time + 1000 + kTimeSlackMs;
}

void SetAside(int slot) {
  gServerTable[slot].status = StatusRejected;
  gQuerySlots[slot].dirty = 1;
  SaveServerResult(slot);
}

using ServerSet = bool[kMaxServers];

// The step a correction may make unasked, in ms; 0: no limit.
int64_t GuardLimitMs() {
  uint32_t seconds = kDefaultMaxCorrectionS;
  uint32_t stored = 0, size = 0;
  if (ReadSetting("MaxCorrection", &stored, sizeof stored, &size) && size == sizeof stored)
    seconds = stored;
  return int64_t{seconds} * 1000;
}

// Takes out of the set, one at a time, the server farthest from the mean
// while it lies 2 s or more away; returns the mean of those left, their
// count in *left. Offsets lie within a few eras of the clock, so 50 of them
// cannot overflow the sum.
OffsetMs KeepNearOnes(ServerSet& in, int* left) {
  for (;;) {
    int64_t sum = 0;
    *left = 0;
    for (int slot = 0; slot < kMaxServers; ++slot)
      if (in[slot]) ++*left, sum += gServerTable[slot].offset;
    const OffsetMs mean = *left == 0 ? 0 : sum / *left;
    int farthest = -1;
    int64_t largest = 0;
    for (int slot = 0; slot < kMaxServers; ++slot) {
      if (!in[slot]) continue;
      int64_t deviation = Distance(gServerTable[slot].offset, mean);
      if (deviation >= largest) {
        largest = deviation;
        farthest = slot;
      }
    }
    if (largest < kRejectLimitMs) return mean;
    in[farthest] = false;
  }
}

// The servers of one kind among those kept, judged again on their own, go
// into kind; each of the other kind that bears their result out counts with
// them, unused. Returns the kind's mean, the count in *agreeing.
OffsetMs JudgeKind(bool ntp, const ServerSet& kept, ServerSet& kind, int* agreeing) {
  for (int slot = 0; slot < kMaxServers; ++slot) kind[slot] = kept[slot] && gQuerySlots[slot].ntp == ntp;
  const OffsetMs mean = KeepNearOnes(kind, agreeing);
  for (int slot = 0; slot < kMaxServers; ++slot) {
    if (!kept[slot] || gQuerySlots[slot].ntp == ntp) continue;
    const OffsetMs offset = gServerTable[slot].offset;
    if (ntp ? TimeBearsOut(mean, offset) : TimeBearsOut(offset, mean)) ++*agreeing;
  }
  return mean;
}

void Fail(CorrectionOutcome outcome) {
  gLastOutcome = outcome;
  gCorrectionFailed = true;
}

}  // namespace

void CorrectClock() {
  // A server disabled after it was measured in this pass does not count,
  // and is not reported as used.
  for (int slot = 0; slot < kMaxServers; ++slot)
    if (Counts(slot) && !gServerTable[slot].enabled) SetAside(slot);
  int measured = 0;
  ServerSet kept;
  for (int slot = 0; slot < kMaxServers; ++slot) {
    kept[slot] = Counts(slot);
    measured += kept[slot];
  }
  gPassCorrection = 0;
  if (measured == 0) {
    Fail(OutcomeNoAnswer);
    return;
  }
  // Samples from both sides of a clock change (a sleep, another program's
  // step) measure nothing: whatever they say, no one is asked about them.
  if (gClockChangedInPass) {
    Fail(OutcomeClockChanged);
    return;
  }
  // TIME and NTP servers are judged together first: one far-off server of
  // either kind cannot outvote the rest.
  int left = 0;
  OffsetMs mean = KeepNearOnes(kept, &left);
  bool ntp = false, time = false;
  for (int slot = 0; slot < kMaxServers; ++slot)
    if (kept[slot]) (gQuerySlots[slot].ntp ? ntp : time) = true;
  // Then the finer NTP result gives the correction when it and the TIME
  // servers that bear it out are a majority; failing that, the TIME result
  // with the NTP servers that bear it out.
  if (ntp && time) {
    ServerSet kind;
    mean = JudgeKind(true, kept, kind, &left);
    if (2 * left <= measured) mean = JudgeKind(false, kept, kind, &left);
    std::copy(kind, kind + kMaxServers, kept);
  }
  for (int slot = 0; slot < kMaxServers; ++slot)
    if (Counts(slot) && !kept[slot]) SetAside(slot);
  // A tie or a minority decides nothing: a lone answer is a majority of one,
  // two that disagree are not.
  if (2 * left <= measured) {
    for (int slot = 0; slot < kMaxServers; ++slot)
      if (Counts(slot)) SetAside(slot);
    Fail(OutcomeDisagreed);
    return;
  }
  gPassCorrection = mean;
  const int64_t limit = GuardLimitMs();
  if (limit != 0 && Distance(mean, 0) > limit) {
    if (IsUnattended(gPassStartedBy)) {
      Fail(OutcomeGuardRefused);
      return;
    }
    if (!ConfirmLargeCorrection(mean)) {
      Fail(OutcomeDeclined);
      return;
    }
  }
  // Another Orvalen (a script's, another user's) that stepped the clock
  // during this pass would be stepped over again by the same offsets.
  TakeClockTurn();
  if (gClockChangedInPass || StoredCorrectionTime() != gStoredAtPassStart) {
    EndClockTurn();
    Fail(OutcomeClockChanged);
    return;
  }
  Ms1900 setTo = StepSystemClock(mean);
  if (gExitAfterCorrection) ArmExitTimer();
  // A refused step keeps the last real correction, and the pass's start as
  // the schedule's base: counting from 0 would start pass after pass.
  if (setTo == 0) {
    EndClockTurn();
    Fail(OutcomePlatformRefused);
    return;
  }
  gLastOutcome = OutcomeStepped;
  gLastCorrectionValue = mean;
  gLastCorrectionTime = setTo;
  gScheduleBase = setTo;
  WriteSetting("LastCorrectionTime", &gLastCorrectionTime, sizeof gLastCorrectionTime);
  WriteSetting("LastCorrectionValue", &gLastCorrectionValue, sizeof gLastCorrectionValue);
  EndClockTurn();
  AnnounceTimeChange();
}

void NoteStoredCorrection() { gStoredAtPassStart = StoredCorrectionTime(); }
