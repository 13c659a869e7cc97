// Balloons from the tray icon when passes that nobody watches go wrong, at
// most one of a kind a day.
#pragma once
#include <cstdint>

#include "core/correction.h"
#include "core/query_engine.h"

enum NoticeKind {
  NoticeGuardRefused,     // an unattended correction was larger than allowed
  NoticeNoServers,        // unattended passes in a row reached no server
  NoticePlatformRefused,  // the system did not take a step
  kNoticeKinds,
  NoNotice = kNoticeKinds,
};

constexpr int kNoAnswerRunForNotice = 3;
constexpr int64_t kNoticeQuietMs = 24LL * 3600 * 1000;  // between two notices of one kind
constexpr int kNoticeTitleSize = 64;                    // the tray record's fields
constexpr int kNoticeTextSize = 256;

struct NoticeState {
  int noAnswerRun;                // unattended passes since one found a server
  Ms1900 shown[kNoticeKinds];     // 0: never
};

// Counts a pass that has ended and returns the notice it calls for, unless
// one of that kind was shown in the last day. A pass that found a server
// ends a run of passes that found none.
NoticeKind NoticeAfterPass(NoticeState* state, PassKind kind, PassTrigger trigger,
                           CorrectionOutcome outcome, Ms1900 now);
// The balloon's title and text; correction is the pass's agreed mean.
void NoticeTexts(NoticeKind kind, OffsetMs correction, char (&title)[kNoticeTitleSize],
                 char (&text)[kNoticeTextSize]);
// "Notices" (DWORD): 0 silences the balloons; missing or any other value shows them.
bool NoticesWanted();
