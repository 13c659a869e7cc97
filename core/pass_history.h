// The record of every pass: one line per pass in a text file that
// administrators and tools may read, kept to the newest passes.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/correction.h"
#include "core/query_engine.h"
#include "core/server_table.h"
#include "core/time_base.h"

constexpr int kHistoryKeep = 2000;  // passes the file keeps
// Passes beyond kHistoryKeep before the file is rewritten: rewriting it
// after every pass would write the whole file each time.
constexpr int kHistorySlack = 100;
constexpr int kHistoryMost = kHistoryKeep + kHistorySlack;
// No file this program writes grows this large: a larger one is set aside unread.
constexpr size_t kMaxHistoryBytes = size_t{64} << 20;
// The longest line an entry makes (50 servers, each name all escapes), its
// line end and a NUL; a comma-separated row fits too.
constexpr size_t kMaxEntryText = 20000;
// Every entry's time lies in these years, which keeps its text one width.
constexpr int kFirstHistoryYear = 1900;
constexpr int kLastHistoryYear = 9999;

// Where the file lives, under the common application data folder.
constexpr char kHistoryFolderName[] = "Orvalen";
constexpr char kHistoryFileName[] = "history.txt";
// Orvalens of every user take turns at the file under this name.
constexpr char kHistoryTurnName[] = "Global\\OrvalenHistory";
// The file's first line; a file that starts otherwise is not ours.
constexpr char kHistoryHeader[] = "# Orvalen pass history, format 1";

struct ServerResult {
  char name[kServerNameSize];
  bool ntp;
  ServerStatus status;
  OffsetMs offset;  // these two only when Measured(status)
  uint32_t delayMs;
};

struct PassEntry {
  Ms1900 ended;  // UTC
  PassKind kind;
  PassTrigger trigger;        // a testing pass is always the user's
  CorrectionOutcome outcome;  // OutcomeNone for a testing pass
  OffsetMs correction;        // the agreed mean, when HasCorrection(outcome)
  int serverCount;            // those asked, in slot order
  ServerResult servers[kMaxServers];
};

// A server's status as the file writes it: "used", "no-response"...
const char* StatusName(ServerStatus status);
// Whether the pass agreed on a correction, made or not.
bool HasCorrection(CorrectionOutcome outcome);
// Whether the server's offset and delay were measured in the pass.
bool Measured(ServerStatus status);

// A server's name as a line of the file writes it: a backslash, tab or line
// end in it escaped, so that it reads as one field.
constexpr int kEscapedNameSize = 2 * kServerNameSize;
void EscapeName(const char* name, char* out);

// The pass that has just ended, from the engine's state.
void CapturePass(Ms1900 ended, PassEntry* entry);

// "2026-01-31T12:34:56.789Z"; false for a time outside the history's years.
bool FormatUtc(Ms1900 time, char (&out)[25]);
bool ParseUtc(const char* text, size_t length, Ms1900* time);
// Calendar fields of a time (UTC, or local when given a local time).
struct CivilTime {
  int64_t year;
  int month, day, hour, minute, second, ms;
};
CivilTime CivilFromMs(Ms1900 time);

// One line of the file with its line end, NUL-terminated in out
// (kMaxEntryText bytes); returns its length.
size_t FormatEntry(const PassEntry& entry, char* out);
// A line without its line end (a "\r" left at its end is allowed). A line
// that does not parse in full is rejected whole.
bool ParseEntry(const char* line, size_t length, PassEntry* entry);

// The starts of the file's lines that hold an entry, oldest first: at most
// capacity of them, the newest. Returns how many entries the file holds in
// all; none when the file is not ours.
int FindEntries(const char* file, size_t size, size_t* starts, int capacity);
// The length of the line at start, without its line end.
size_t LineLength(const char* file, size_t size, size_t start);

// What to do with the file to add an entry, given its whole content.
struct HistoryUpdate {
  // The file is not ours, or damaged beyond reading: move it to another
  // name before anything is written.
  bool setAside;
  // Write the text as a new file and put it in place of the old one, so
  // that a failure halfway leaves the old file whole. Otherwise append it.
  bool replace;
  size_t length;
  // Where the text from out[from] on goes over the old file, which ends
  // after it: the append, or the entry alone when a new file cannot be put
  // in place (a reader shares the old one for writing, not for renaming).
  // Once the old file holds twice what it may, the whole text from its
  // start: a reader that never lets go must not make it grow for ever.
  size_t at;
  size_t from;
};
// out receives the text and holds HistoryUpdateSize(size) bytes.
constexpr size_t HistoryUpdateSize(size_t fileSize) {
  return fileSize + sizeof kHistoryHeader + 2 * kMaxEntryText;
}
HistoryUpdate PlanHistoryUpdate(const char* file, size_t size, const PassEntry& entry, char* out);

// The export: a header row with the server columns repeated servers times,
// then one row per entry, padded to as many columns. Each writes at most
// kMaxEntryText bytes, NUL-terminated, and returns the length.
size_t CsvHeader(int servers, char* out);
size_t CsvRow(const PassEntry& entry, int servers, char* out);

// Platform side. Adds the entry to the file; false when it could not (a
// full disk, a file someone holds open), and the entry is then lost.
bool RecordPass(const PassEntry& entry);
// The file's whole text, or false when there is no readable file; the
// text is given back with FreeHistoryText.
bool ReadHistoryText(char** text, size_t* size);
void FreeHistoryText(char* text);
