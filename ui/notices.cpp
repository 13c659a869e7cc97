#include "ui/notices.h"

#include <cstdio>

#include "store/settings_store.h"
#include "ui/texts.h"

NoticeKind NoticeAfterPass(NoticeState* state, PassKind kind, PassTrigger trigger,
                           CorrectionOutcome outcome, Ms1900 now) {
  if (kind != Correcting) return NoNotice;
  if (outcome != OutcomeNoAnswer)
    state->noAnswerRun = 0;
  else if (IsUnattended(trigger))
    ++state->noAnswerRun;
  NoticeKind notice = NoNotice;
  if (outcome == OutcomeGuardRefused) notice = NoticeGuardRefused;
  if (outcome == OutcomePlatformRefused) notice = NoticePlatformRefused;
  if (state->noAnswerRun >= kNoAnswerRunForNotice) notice = NoticeNoServers;
  if (notice == NoNotice) return NoNotice;
  // A clock set back since the last one does not hold the next back for as long.
  Ms1900& shown = state->shown[notice];
  if (shown != 0 && now >= shown && now - shown < kNoticeQuietMs) return NoNotice;
  shown = now;
  return notice;
}

void NoticeTexts(NoticeKind kind, OffsetMs correction, char (&title)[kNoticeTitleSize],
                 char (&text)[kNoticeTextSize]) {
  static const char kMore[] = "Click here to see the history.";
  switch (kind) {
    case NoticeGuardRefused: {
      char lag[kTextBufferSize];
      DescribeCorrection(correction, lag);
      std::snprintf(title, sizeof title, "Clock not corrected");
      std::snprintf(text, sizeof text, "%s That is more than Orvalen corrects without asking. %s",
                    lag, kMore);
      return;
    }
    case NoticeNoServers:
      std::snprintf(title, sizeof title, "No time server answered");
      std::snprintf(text, sizeof text,
                    "The last %d automatic corrections reached no time server. Check the network "
                    "connection and the server list. %s",
                    kNoAnswerRunForNotice, kMore);
      return;
    case NoticePlatformRefused:
    case NoNotice:
      break;
  }
  std::snprintf(title, sizeof title, "Clock not corrected");
  std::snprintf(text, sizeof text, "Windows refused to set the clock. %s", kMore);
}

bool NoticesWanted() {
  uint32_t value = 1, size = 0;
  return !ReadSetting("Notices", &value, sizeof value, &size) || size != sizeof value || value != 0;
}
