#include "ui/commands.h"

#include <cstdio>
#include <cstring>

#include "core/correction.h"
#include "core/pass_history.h"
#include "core/query_engine.h"
#include "core/server_table.h"
#include "ui/server_rows.h"
#include "ui/texts.h"

const char kCommandUsage[] =
    "Usage: Orvalen.exe [/sync | /test]\r\n"
    "  /sync  corrects the clock once from the stored server list\r\n"
    "  /test  asks the stored servers without touching the clock\r\n"
    "Exit code: 0 done, 1 no server answered or they disagreed,\r\n"
    "2 the correction was refused, 3 bad arguments,\r\n"
    "4 an error stopped Orvalen.\r\n";

namespace {

// The switch's word after its '/' or '-', in any case, then nothing but blanks.
bool Is(const char* text, const char* word, bool quoted) {
  for (++text; *word != '\0'; ++text, ++word) {
    char c = *text;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != *word) return false;
  }
  if (quoted && *text++ != '"') return false;
  while (*text == ' ' || *text == '\t') ++text;
  return *text == '\0';
}

}  // namespace

CommandAction ParseCommand(const char* commandLine) {
  if (commandLine == nullptr) return CommandNone;
  // Quoted, as some scripts and tools write every argument: the same command.
  const bool quoted = commandLine[0] == '"';
  const char* text = commandLine + quoted;
  if (text[0] != '/' && text[0] != '-') return CommandNone;
  if (Is(text, "sync", quoted)) return CommandSync;
  if (Is(text, "test", quoted)) return CommandTest;
  return CommandUsage;
}

int DescribePass(bool correcting, char* out, int size) {
  int used = 0;
  auto append = [&](const char* text) {
    int n = std::snprintf(out + used, static_cast<size_t>(size - used), "%s", text);
    if (n > 0) used = used + n < size ? used + n : size - 1;
  };
  out[0] = '\0';
  int answered = 0;
  for (int slot = 0; slot < kMaxServers; ++slot) {
    // A test answers for the servers it asked: one of the user's chosen few, joined by a script;
    // a correction for those it asked or found disabled, not one added or renamed meanwhile.
    const ServerRecord& record = gServerTable[slot];
    if (!IsNamed(slot) || (!gQuerySlots[slot].asked && !(correcting && record.status == StatusDisabled))) continue;
    char latency[kTextBufferSize], offset[kTextBufferSize], name[kEscapedNameSize], line[4 * kTextBufferSize];
    RowTexts(slot, latency, offset);
    const bool measured = record.status >= StatusRejected;
    answered += measured;
    const char* status = record.status == StatusRejected ? "unused"
                         : record.status == StatusTested ? "tested"
                         : record.status == StatusMeasured ? "used" : latency;
    // The row's correction text carries " (unused)" or " (test)": the
    // status column says that already.
    if (char* note = std::strstr(offset, " (")) *note = '\0';
    EscapeName(record.name, name);
    append(name);
    std::snprintf(line, sizeof line, "\t%.99s\t%.99s\t%.99s\r\n", status, measured ? latency : "-",
                  measured ? offset : "-");
    append(line);
  }
  char summary[3 * kTextBufferSize];
  int code = kExitDone;
  if (!correcting) {
    std::snprintf(summary, sizeof summary, "%d server(s) answered.\r\n", answered);
    code = answered > 0 ? kExitDone : kExitNoAgreement;
  } else if (gLastOutcome == OutcomeStepped) {
    char offset[kTextBufferSize];
    FormatOffset(gLastCorrectionValue, offset);
    std::snprintf(summary, sizeof summary, "Corrected %s.\r\n", offset);
  } else if (gLastOutcome == OutcomeNoAnswer || gLastOutcome == OutcomeDisagreed) {
    // Stopped (by the user, or by the Orvalen that ran it quitting) before any server answered.
    std::snprintf(summary, sizeof summary, "Not corrected: %s.\r\n",
                  gLastOutcome == OutcomeDisagreed ? "the time servers disagree"
                  : gPassStopped                   ? "the pass was stopped"
                                                   : "no time server answered");
    code = kExitNoAgreement;
  } else {
    FailureTip(gLastOutcome, gPassCorrection, summary);
    char* details = std::strstr(summary, "  Double-click");
    if (details != nullptr) std::strcpy(details, "\r\n");
    code = kExitStepRefused;
  }
  append(summary);
  return code;
}
