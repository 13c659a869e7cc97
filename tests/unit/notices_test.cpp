// Which passes call for a balloon, and how often one of a kind may show.
#include "ui/notices.h"

#include <gtest/gtest.h>

#include "tests/unit/fakes.h"

namespace {

TEST(Notices, OneOfAKindADay) {
  constexpr int64_t kHour = 3600000;
  const struct { PassKind kind; PassTrigger trigger; CorrectionOutcome outcome; int hour; NoticeKind notice; } steps[] = {
      {Correcting, TriggerSchedule, OutcomeGuardRefused, 100, NoticeGuardRefused},
      {Correcting, TriggerLaunch, OutcomeGuardRefused, 123, NoNotice},  // within the day
      {Correcting, TriggerUser, OutcomePlatformRefused, 123, NoticePlatformRefused},  // another kind
      {Correcting, TriggerResume, OutcomeGuardRefused, 124, NoticeGuardRefused},      // a day later
      {Correcting, TriggerSchedule, OutcomeNoAnswer, 125, NoNotice},
      {Correcting, TriggerNetwork, OutcomeNoAnswer, 125, NoNotice},
      {Correcting, TriggerUser, OutcomeNoAnswer, 125, NoNotice},  // counts no more than a test
      {Testing, TriggerUser, OutcomeNone, 125, NoNotice},
      {Correcting, TriggerCommandLine, OutcomeNoAnswer, 126, NoticeNoServers},  // the third in a row
      {Correcting, TriggerSchedule, OutcomeNoAnswer, 127, NoNotice},
      {Correcting, TriggerUser, OutcomeDisagreed, 128, NoNotice},  // a server answered: the run ends
      {Correcting, TriggerSchedule, OutcomeNoAnswer, 160, NoNotice},
      {Correcting, TriggerSchedule, OutcomeNoAnswer, 160, NoNotice},
      {Correcting, TriggerSchedule, OutcomeNoAnswer, 160, NoticeNoServers},
      {Correcting, TriggerSchedule, OutcomeStepped, 161, NoNotice},
      {Correcting, TriggerSchedule, OutcomeGuardRefused, 150, NoticeGuardRefused},
      {Correcting, TriggerSchedule, OutcomeGuardRefused, 140, NoticeGuardRefused},  // the clock went back
  };
  NoticeState state = {};
  for (const auto& s : steps)
    EXPECT_EQ(NoticeAfterPass(&state, s.kind, s.trigger, s.outcome, s.hour * kHour), s.notice) << s.hour;
}

TEST(Notices, TheSettingSilencesThemOnlyWhenZero) {
  const struct { std::vector<uint8_t> stored; bool wanted; } cases[] = {
      {{}, true}, {{0, 0, 0, 0}, false}, {{1, 0, 0, 0}, true}, {{0, 1, 0, 0}, true},
      {{0, 0}, true}, {{0, 0, 0, 0, 0, 0, 0, 0}, true},  // not a DWORD: the default
  };
  for (const auto& c : cases) {
    fake::Reset();
    if (!c.stored.empty()) fake::store["Notices"] = c.stored;
    EXPECT_EQ(NoticesWanted(), c.wanted) << c.stored.size();
  }
}

}  // namespace
