// The schedule of automatic correcting passes and the launch-time pass.
#pragma once
#include "core/query_engine.h"
#include "core/time_base.h"

constexpr int kScheduleSteps = 10;        // slider positions 0..9
constexpr int kDefaultScheduleIndex = 4;  // "Every 5 Minutes"
constexpr int kOnStartupIndex = 1;

extern int gScheduleIndex;          // as stored; outside 1..9 means no schedule
extern OffsetMs gScheduleInterval;  // 0: no periodic pass

// The label and interval of a slider position; any number outside 1..9 reads
// as "No Scheduled Interval" with no interval.
const char* ScheduleLabel(int index);
OffsetMs ScheduleIntervalFor(int index);

// Whether a periodic pass is due at now. A due time reached exactly counts.
// A base more than one interval ahead of now (the clock was set back) is due
// too, so that the schedule is not held back for as long as the clock moved;
// a base ahead by less is moved to now, so the next pass is one interval away.
bool ScheduleDue(Ms1900 now, Ms1900* base, OffsetMs interval);

// The pass at launch: wanted when gCorrectOnLaunch is set, or when started at
// log-on ('s') with "On Startup". exitAfter tells whether the program then
// ends by itself after the correction.
bool LaunchPassWanted(bool correctOnLaunch, char launchMode, int scheduleIndex, bool* exitAfter);

// Catching up after the machine woke, or gained a network address, while the
// network may not answer yet: a pass once the wait is over, then retries
// while passes reach no server, then the schedule again.
constexpr OffsetMs kResumeWaitMs = 10000;
constexpr int kCatchUpRetries = 2;
constexpr OffsetMs kCatchUpRetryMs[kCatchUpRetries] = {30000, 120000};

struct CatchUp {
  bool pending;         // a pass is due at `due`
  Ms1900 due;
  int retries;          // retries made
  bool lastFound;       // the last pass reached a server
  PassTrigger trigger;  // what the pass is started by: a resume or a new network
  Ms1900 networkPassEnded = 0;  // when the last pass a new network brought ended
};

// A resume, with a periodic schedule chosen. Events in a burst give one pass.
void CatchUpOnResume(CatchUp& c, Ms1900 now);
// A pass started by trigger once the clock and the network have had the
// resume wait to settle, with no retry made yet.
void CatchUpAfterWait(CatchUp& c, Ms1900 now, PassTrigger trigger);
// A new network address: a pass at once when the last one reached no server,
// but not within the first retry's wait of the last pass a new address brought.
void CatchUpOnNetwork(CatchUp& c, Ms1900 now);
// Any correcting pass has ended; foundNone: it reached no server at all.
void CatchUpPassEnded(CatchUp& c, Ms1900 now, PassTrigger startedBy, bool foundNone);
// The wait left until the pending pass is due; 0 once it is.
OffsetMs CatchUpWait(const CatchUp& c, Ms1900 now);
// Whether the schedule starts its pass at now (ScheduleDue): not while a
// catch-up's pass is still to come, which counts as the schedule's. Woken
// after more than an interval, it would run before the network is back.
bool ScheduledPassNow(const CatchUp& c, Ms1900 now, Ms1900* base, OffsetMs interval);

// From the notice of a sleep until the wake neither the schedule nor a
// catch-up starts a pass: it would measure across the sleep, or before the
// network is back. The tick runs on through a sleep, so the hold lasts a
// minute of it at most, should no wake be heard of. A clock tick that comes
// long after the last one is a wake not heard of yet (the timer can fire
// before the system tells of the wake), or a sleep that gave no notice: the
// hold begins there, and holds already for a timer that finds it overdue.
constexpr TickMs kSleepHoldMs = 60000;
constexpr TickMs kTickGapMs = 30000;
struct SleepHold {
  bool held;
  TickMs since;     // when the hold began
  TickMs lastTick;  // the clock timer's last tick, or when it was set
};
void NoteClockTick(SleepHold& h, TickMs now);
bool SleepHolds(const SleepHold& h, TickMs now);
