// Decisions at start-up and on the clock: the launch letter, a stored window
// placement, the launch-time pass and the schedule of periodic passes.
#include <gtest/gtest.h>

#include "ui/commands.h"
#include "app/launch.h"
#include "core/correction.h"
#include "core/query_engine.h"
#include "core/server_table.h"
#include "tests/unit/fakes.h"
#include "ui/placement.h"
#include "ui/schedule.h"

TEST(Startup, OnlyALowerCaseFirstLetterCounts) {
  const struct { const char* commandLine; char letter; } cases[] = {
      {"s", 's'}, {"uninstall", 'u'}, {"S", 0}, {"U", 0}, {" s", 0}, {"x", 0}, {"", 0}, {nullptr, 0}};
  for (const auto& c : cases) EXPECT_EQ(LaunchLetter(c.commandLine), c.letter) << (c.commandLine != nullptr);
}

TEST(Startup, TwentyPixelsOfAStoredWindowMustStayOnScreen) {
  const int cx = 1024, cy = 738;  // 1024 x 768 with a 30-pixel task bar
  const struct { uint32_t length; SavedRect rect; bool accepted; } cases[] = {
      {44, {cx - 20, 100, cx + 280, 300}, true}, {44, {cx - 19, 100, cx + 281, 300}, false},  // right
      {44, {-280, 100, 20, 300}, true}, {44, {-281, 100, 19, 300}, false},                    // left
      {44, {100, cy - 20, 400, cy + 180}, true}, {44, {100, cy - 19, 400, cy + 181}, false},  // bottom
      {44, {100, -180, 400, 20}, true}, {44, {100, -181, 400, 19}, false},                    // top
      {40, {100, 100, 400, 300}, false}, {48, {100, 100, 400, 300}, false}};  // not that record
  for (const auto& c : cases) EXPECT_EQ(PlacementAccepted(c.length, c.rect, cx, cy), c.accepted);
}

TEST(Startup, LaunchPassAndWhetherTheProgramThenEnds) {
  const struct { bool correctOnLaunch; char mode; int index; bool wanted, exitAfter; } cases[] = {
      {true, 0, 5, true, false}, {true, 's', 9, true, false},  // a periodic schedule keeps it running
      {true, 0, 1, true, true}, {true, 0, -1, true, true},     // a stray -1 is no schedule...
      {true, 0, 12, true, false},                              // ...a stray 12 is not
      {false, 's', 1, true, true}, {false, 's', 4, false, false}, {false, 'u', 1, false, false}};
  for (const auto& c : cases) {
    bool exitAfter = !c.exitAfter;
    EXPECT_EQ(LaunchPassWanted(c.correctOnLaunch, c.mode, c.index, &exitAfter), c.wanted) << c.index;
    EXPECT_EQ(exitAfter, c.exitAfter) << c.correctOnLaunch << c.mode << c.index;
  }
}

TEST(Startup, APassIsDueAtTheIntervalOrWhenTheClockWentBack) {
  const Ms1900 now = 4'000'000'000'000;
  const OffsetMs five = 300000;
  const struct { Ms1900 base; OffsetMs interval; bool due; bool fromNow = false; } cases[] = {
      {now - five, five, true}, {now - five + 1, five, false},   // due exactly at the interval
      {now + five + 1, five, true},                              // the base more than one ahead
      {now + five, five, false, true}, {now + 1, five, false, true},  // less: one interval from now
      {0, 259200000, true}, {now - 86400000, 0, false}, {now + 86400000, 0, false},  // no interval
      {INT64_MAX, five, true}, {INT64_MIN, five, true},          // stored bases that must not overflow
  };
  for (const auto& c : cases) {
    Ms1900 base = c.base;
    EXPECT_EQ(ScheduleDue(now, &base, c.interval), c.due) << c.base;
    EXPECT_EQ(base, c.fromNow ? now : c.base) << c.base;
  }
}

TEST(Startup, CommandsFromAScript) {
  const struct { const char* line; CommandAction action; } cases[] = {
      {"/sync", CommandSync}, {"/SYNC  ", CommandSync}, {"/Test", CommandTest}, {"/sync now", CommandUsage},
      {"/synchronize", CommandUsage}, {"/", CommandUsage}, {"s", CommandNone}, {" /sync", CommandNone},
      {"", CommandNone}, {nullptr, CommandNone}, {"\"/sync\" ", CommandSync}, {"\"/sync", CommandUsage},
      {"\"/now\"", CommandUsage}, {"-sync", CommandSync}, {"\"-TEST\"", CommandTest}, {"--sync", CommandUsage},
      {"-", CommandUsage}, {"\"sync\"", CommandNone}};
  for (const auto& c : cases) EXPECT_EQ(ParseCommand(c.line), c.action) << (c.line ? c.line : "null");
}

TEST(Startup, ACommandPrintsEachServerAndWhatBecameOfThePass) {
  fake::Reset();
  const int used = AddServer("ntp://a.example"), unused = AddServer("b.example"), silent = AddServer("c\t.example");
  gServerTable[used].status = StatusMeasured, gServerTable[used].latencyMs = 12, gServerTable[used].offset = 250;
  gServerTable[unused].status = StatusRejected, gServerTable[unused].latencyMs = 40, gServerTable[unused].offset = 0;
  gServerTable[silent].status = StatusSlowResponse;
  for (int slot : {used, unused, silent}) gQuerySlots[slot].asked = 1;
  const char kRows[] = "ntp://a.example\tused\t12\t+0.3s\r\nb.example\tunused\t40\t 0.0s\r\n"
                       "c\\t.example\tSlow Response\t-\t-\r\n";
  const struct { CorrectionOutcome outcome; bool correcting; const char* summary; int code; } cases[] = {
      {OutcomeStepped, true, "Corrected +0.3s.", kExitDone},
      {OutcomeDisagreed, true, "Not corrected: the time servers disagree.", kExitNoAgreement},
      {OutcomeNoAnswer, true, "Not corrected: no time server answered.", kExitNoAgreement},
      {OutcomeGuardRefused, true, "Not corrected: the clock is 0 minutes 0 seconds behind, more than allowed.",
       kExitStepRefused},
      {OutcomePlatformRefused, true, "Not corrected: Windows refused to set the clock.", kExitStepRefused},
      {OutcomeClockChanged, true, "Not corrected: the clock was changed during the pass.", kExitStepRefused},
      {OutcomeNone, false, "2 server(s) answered.", kExitDone},
  };
  for (const auto& c : cases) {
    gLastOutcome = c.outcome, gLastCorrectionValue = 250, gPassCorrection = 250;
    char out[2048];
    EXPECT_EQ(DescribePass(c.correcting, out, sizeof out), c.code) << c.summary;
    EXPECT_EQ(std::string(out), std::string(kRows) + c.summary + "\r\n");
  }
  // A server renamed meanwhile in the tray's Orvalen did not stop the pass; a stop before
  // anyone answered did, by the user or by that Orvalen quitting.
  gServerTable[silent].status = StatusInterrupted, gLastOutcome = OutcomeNoAnswer;
  char out[2048];
  for (const bool stopped : {false, true}) {
    gPassStopped = stopped;
    EXPECT_EQ(DescribePass(true, out, sizeof out), kExitNoAgreement);
    const std::string summary = stopped ? "the pass was stopped" : "no time server answered";
    EXPECT_NE(std::string(out).find("\tInterrupted\t-\t-\r\nNot corrected: " + summary + ".\r\n"), std::string::npos)
        << out;
  }
  char tiny[20];
  DescribePass(true, tiny, sizeof tiny);
  EXPECT_STREQ(tiny, "ntp://a.example\tuse");  // cut, never overrun
  // A test that reached no one answers 1: a server it did not ask is no answer of its. A
  // correction lists the servers it found disabled too, but not one added meanwhile.
  gServerTable[used].status = gServerTable[unused].status = StatusNoResponse;
  gServerTable[AddServer("d.example")].status = StatusMeasured;
  gServerTable[AddServer("e.example")].status = StatusDisabled;
  for (const bool correcting : {true, false}) {
    EXPECT_EQ(DescribePass(correcting, out, sizeof out), kExitNoAgreement);
    EXPECT_EQ(std::string(out).find("d.example"), std::string::npos);
    EXPECT_EQ(std::string(out).find("\ne.example\tDisabled\t-\t-\r\n") != std::string::npos, correcting) << out;
  }
  EXPECT_NE(std::string(out).find("\r\n0 server(s) answered.\r\n"), std::string::npos);
}

TEST(Startup, CatchingUpAfterSleepOrANewNetwork) {
  // Each step: an event at a time, then whether a pass is due and when. A
  // pass that found or found none is the catch-up's, by its trigger.
  enum Event { Resume, Network, Found, NoneFound, ScheduledNoneFound };
  const struct { Event event; Ms1900 at; bool pending; Ms1900 due; } steps[] = {
      {Network, 0, false, 0},  // nothing failed yet
      {Resume, 1000, true, 11000}, {Resume, 3000, true, 11000},  // a burst gives one pass
      {NoneFound, 12000, true, 42000}, {NoneFound, 43000, true, 163000},
      {NoneFound, 164000, false, 163000},                        // then the schedule again
      {Network, 200000, true, 200000}, {Found, 201000, false, 200000},
      {Network, 300000, false, 200000},                          // the last pass reached a server
      {ScheduledNoneFound, 400000, false, 200000}, {Network, 500000, true, 500000},
      {Found, 501000, false, 500000}, {Resume, 600000, true, 610000},
      {ScheduledNoneFound, 603000, true, 610000},  // woken before the network: the catch-up stays
      {NoneFound, 611000, true, 641000},           // as it was, retries included
      {Resume, 3600000, true, 3610000},            // a retry the sleep outran: the new wake's wait,
      {Resume, 3610000, true, 3620000},            // anew for a wake as it is due,
      {NoneFound, 3621000, true, 3651000},         // and its retries from the first
      {Found, 3700000, false, 3651000}, {ScheduledNoneFound, 3800000, false, 3651000},
      // An address that comes and goes while no server answers: a pass at most every 30 s.
      {Network, 4000000, true, 4000000}, {NoneFound, 4001000, true, 4031000},
      {Network, 4001000, true, 4031000}, {NoneFound, 4031000, true, 4151000},
      {Network, 4040000, true, 4061000}, {NoneFound, 4061000, false, 4061000},
      {Network, 4101000, true, 4101000},
  };
  CatchUp c = {false, 0, 0, true, TriggerUser};
  for (const auto& s : steps) {
    if (s.event == Resume) CatchUpOnResume(c, s.at);
    if (s.event == Network) CatchUpOnNetwork(c, s.at);
    const PassTrigger startedBy = s.event == ScheduledNoneFound ? TriggerSchedule : c.trigger;
    if (s.event >= Found) CatchUpPassEnded(c, s.at, startedBy, s.event != Found);
    EXPECT_EQ(c.pending, s.pending) << s.at;
    EXPECT_EQ(c.due, s.due) << s.at;
  }
  // The wait left: none once due, nor after the clock was set back past the longest wait.
  c = {true, 200000, 0, false, TriggerResume};
  EXPECT_EQ(CatchUpWait(c, 80000), 120000);
  EXPECT_EQ(CatchUpWait(c, 199999), 1);
  EXPECT_EQ(CatchUpWait(c, 200000), 0);
  EXPECT_EQ(CatchUpWait(c, 79999), 0) << "set back";
  // The schedule, due, waits for a catch-up's pass still to come.
  Ms1900 base = 0;
  EXPECT_FALSE(ScheduledPassNow(c, 199999, &base, 30000));
  EXPECT_TRUE(ScheduledPassNow(c, 200000, &base, 30000));
  c = {false, 0, 0, false, TriggerResume};
  EXPECT_TRUE(ScheduledPassNow(c, 199999, &base, 30000));
  CatchUpOnNetwork(c, 0);
  EXPECT_EQ(c.trigger, TriggerNetwork) << "the pass a new network asks for is the network's";
}

TEST(Startup, AClockTickLongAfterTheLastHoldsTheScheduleAsASleepDoes) {
  const TickMs last = 0u - 15000;  // the tick wraps on the way
  SleepHold h = {false, 0, last};
  // Ticks by their time after `last`, and whether the schedule is held at each.
  const struct { TickMs after; bool held; } ticks[] = {
      {10000, false}, {20000, false}, {30000, false}, {40000, false},
      {70000, false},  // exactly the gap late is on time
      {100001, true}, {130000, true}, {150000, true},  // later: a wake not heard of yet; ticks keep the hold
  };
  for (const auto& t : ticks) {
    EXPECT_EQ(SleepHolds(h, last + t.after), t.held) << t.after;  // overdue, for any other timer
    NoteClockTick(h, last + t.after);
    EXPECT_EQ(SleepHolds(h, last + t.after), t.held) << t.after;
  }
  EXPECT_TRUE(SleepHolds(h, last + 160000));
  EXPECT_FALSE(SleepHolds(h, last + 160001)) << "a minute at most from the late tick";
  NoteClockTick(h, last + 160001);  // a minute from the late tick: over
  h.lastTick = last + 90001;  // 49.7 days on, the tick comes round to the hold's start
  EXPECT_FALSE(SleepHolds(h, last + 100001)) << "an ended hold begins again";
}
