#include "ui/schedule.h"

#include <cstdint>

int gScheduleIndex = kDefaultScheduleIndex;
OffsetMs gScheduleInterval;

namespace {

constexpr OffsetMs kSecond = 1000;
constexpr OffsetMs kMinute = 60 * kSecond;
constexpr OffsetMs kHour = 60 * kMinute;
constexpr OffsetMs kDay = 24 * kHour;

struct ScheduleRow {
  const char* label;
  OffsetMs interval;
};

// "On Startup" has no interval: it only asks for the pass at log-on.
constexpr ScheduleRow kSchedule[kScheduleSteps] = {
    {"No Scheduled Interval", 0},
    {"On Startup", 0},
    {"Every 30 Seconds", 30 * kSecond},
    {"Every 1 Minute", kMinute},
    {"Every 5 Minutes", 5 * kMinute},
    {"Every 15 Minutes", 15 * kMinute},
    {"Hourly", kHour},
    {"Every Six Hours", 6 * kHour},
    {"Daily", kDay},
    {"Every 3 Days", 3 * kDay},
};

const ScheduleRow& RowFor(int index) {
  return index >= 1 && index < kScheduleSteps ? kSchedule[index] : kSchedule[0];
}

}  // namespace

const char* ScheduleLabel(int index) { return RowFor(index).label; }

OffsetMs ScheduleIntervalFor(int index) { return RowFor(index).interval; }

bool ScheduleDue(Ms1900 now, Ms1900* base, OffsetMs interval) {
  if (interval <= 0) return false;
  // The base comes from the store and may be any number, so each sum is
  // formed only where it cannot overflow; where it would, the test is false.
  const bool reached = now >= INT64_MIN + interval && *base <= now - interval;
  const bool setBack = now <= INT64_MAX - interval && *base > now + interval;
  if (!setBack && *base > now) *base = now;
  return reached || setBack;
}

bool LaunchPassWanted(bool correctOnLaunch, char launchMode, int scheduleIndex, bool* exitAfter) {
  if (correctOnLaunch) {
    // Signed on purpose: a stored -1 means no schedule, so the program ends too.
    *exitAfter = scheduleIndex <= kOnStartupIndex;
    return true;
  }
  if (launchMode == 's' && scheduleIndex == kOnStartupIndex) {
    *exitAfter = true;
    return true;
  }
  *exitAfter = false;
  return false;
}

void CatchUpOnResume(CatchUp& c, Ms1900 now) {
  // A burst: this wake's pass still waits. Any other pass due, a retry
  // among them, was due before the sleep and gives way to this wake's.
  if (c.pending && c.trigger == TriggerResume && c.retries == 0 && c.due > now) return;
  CatchUpAfterWait(c, now, TriggerResume);
}

void CatchUpAfterWait(CatchUp& c, Ms1900 now, PassTrigger trigger) {
  c.pending = true, c.due = now + kResumeWaitMs, c.retries = 0, c.trigger = trigger;
}

void CatchUpOnNetwork(CatchUp& c, Ms1900 now) {
  if (c.lastFound) return;
  // An address that comes and goes while no server can be reached (a link
  // or a tunnel that keeps reconnecting) must not bring a pass each time.
  const Ms1900 ended = c.networkPassEnded;
  const Ms1900 due = now >= ended && now - ended < kCatchUpRetryMs[0] ? ended + kCatchUpRetryMs[0] : now;
  if (!c.pending || due < c.due) c.due = due;
  if (!c.pending) c.trigger = TriggerNetwork;
  c.pending = true;
}

OffsetMs CatchUpWait(const CatchUp& c, Ms1900 now) {
  // No wait is set longer than the last retry's: one that seems longer
  // began before the clock was set back, and is over.
  const OffsetMs ahead = c.due - now;
  return ahead > 0 && ahead <= kCatchUpRetryMs[kCatchUpRetries - 1] ? ahead : 0;
}

bool ScheduledPassNow(const CatchUp& c, Ms1900 now, Ms1900* base, OffsetMs interval) {
  const bool due = ScheduleDue(now, base, interval);
  return due && !(c.pending && CatchUpWait(c, now) > 0);
}

void CatchUpPassEnded(CatchUp& c, Ms1900 now, PassTrigger startedBy, bool foundNone) {
  const bool catchingUp = startedBy == TriggerResume || startedBy == TriggerNetwork;
  c.lastFound = !foundNone;
  if (startedBy == TriggerNetwork) c.networkPassEnded = now;
  // Another pass that reached no server (the schedule's, due while the
  // computer slept, runs before the network is back) keeps the one to come.
  if (!catchingUp && foundNone && c.pending) return;
  c.pending = false;
  if (!catchingUp || !foundNone || c.retries == kCatchUpRetries) {
    c.retries = 0;
    return;
  }
  c.pending = true;
  c.due = now + kCatchUpRetryMs[c.retries++];
}

void NoteClockTick(SleepHold& h, TickMs now) {
  if (now - h.lastTick > kTickGapMs)
    h.held = true, h.since = now;
  else if (now - h.since >= kSleepHoldMs)
    h.held = false;  // over: the tick coming round to `since` again holds nothing
  h.lastTick = now;
}

bool SleepHolds(const SleepHold& h, TickMs now) {
  // A tick overdue holds already: another timer may fire first on waking.
  return (h.held && now - h.since < kSleepHoldMs) || now - h.lastTick > kTickGapMs;
}
