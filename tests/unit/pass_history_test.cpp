// The pass history file: its lines both ways, what a damaged line or file
// does, and when the file is rewritten rather than appended to.
#include "core/pass_history.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Times as Python's datetime counts them from 1900-01-01 UTC.
TEST(PassHistory, TimesInUtcBothWays) {
  const struct { Ms1900 time; const char* text; } cases[] = {
      {0, "1900-01-01T00:00:00.000Z"}, {2208988800000, "1970-01-01T00:00:00.000Z"},
      {131328000000, "1904-03-01T00:00:00.000Z"}, {3160857599999, "2000-02-29T23:59:59.999Z"},
      {3978851696789, "2026-01-31T12:34:56.789Z"}, {255611289599999, "9999-12-31T23:59:59.999Z"},
      {-1, nullptr}, {255611289600000, nullptr}, {INT64_MIN, nullptr}, {INT64_MAX, nullptr},
  };
  for (const auto& c : cases) {
    char text[25] = "";
    EXPECT_EQ(FormatUtc(c.time, text), c.text != nullptr) << c.time;
    if (c.text == nullptr) continue;
    EXPECT_STREQ(text, c.text);
    Ms1900 back = 0;
    EXPECT_TRUE(ParseUtc(text, 24, &back) && back == c.time) << text;
  }
  for (const char* text : {"1900-02-29T00:00:00.000Z", "2023-02-29T00:00:00.000Z", "2024-13-01T00:00:00.000Z",
                           "2024-01-00T00:00:00.000Z", "2024-01-01T24:00:00.000Z", "2024-01-01T00:60:00.000Z",
                           "2024-01-01T00:00:60.000Z", "2024-01-01 00:00:00.000Z", "2024-01-01T00:00:00Z",
                           "1899-12-31T23:59:59.999Z", "+024-01-01T00:00:00.000Z"}) {
    Ms1900 back = 0;
    EXPECT_FALSE(ParseUtc(text, std::strlen(text), &back)) << text;
  }
}

PassEntry Entry(Ms1900 ended, PassKind kind, PassTrigger trigger, CorrectionOutcome outcome,
                OffsetMs correction, const std::vector<ServerResult>& servers = {}) {
  PassEntry e = {ended, kind, trigger, outcome, correction, static_cast<int>(servers.size()), {}};
  std::copy(servers.begin(), servers.end(), e.servers);
  return e;
}

PassEntry Stepped() {
  return Entry(3978851696789, Correcting, TriggerSchedule, OutcomeStepped, -1250,
               {{"ntp://a.example", true, StatusMeasured, -1203, 31},
                {"b\\c\td", false, StatusRejected, 4000, 1500},
                {"c.example", false, StatusSlowResponse, 0, 0}});
}

bool Same(const PassEntry& a, const PassEntry& b) {
  if (a.ended != b.ended || a.kind != b.kind || a.trigger != b.trigger || a.outcome != b.outcome ||
      a.correction != b.correction || a.serverCount != b.serverCount)
    return false;
  for (int i = 0; i < a.serverCount; ++i) {
    const ServerResult &x = a.servers[i], &y = b.servers[i];
    if (std::strcmp(x.name, y.name) != 0 || x.ntp != y.ntp || x.status != y.status ||
        x.offset != y.offset || x.delayMs != y.delayMs)
      return false;
  }
  return true;
}

std::string Format(const PassEntry& entry) {
  std::vector<char> out(kMaxEntryText);
  return std::string(out.data(), FormatEntry(entry, out.data()));
}

bool Parse(const std::string& line, PassEntry* entry) { return ParseEntry(line.data(), line.size(), entry); }

std::vector<PassEntry> Entries(const std::string& file) {
  std::vector<size_t> starts(kHistoryMost + 1);
  const int total = FindEntries(file.data(), file.size(), starts.data(), kHistoryMost + 1);
  std::vector<PassEntry> entries(std::min(total, kHistoryMost + 1));
  for (size_t i = 0; i < entries.size(); ++i)
    EXPECT_TRUE(ParseEntry(file.data() + starts[i], LineLength(file.data(), file.size(), starts[i]), &entries[i]));
  return entries;
}

TEST(PassHistory, EntriesAsTheReadmeDescribesThemAndBack) {
  const struct { PassEntry entry; const char* line; } cases[] = {
      {Stepped(),
       "2026-01-31T12:34:56.789Z\tcorrecting\tschedule\tstepped\t-1250\tntp://a.example\tntp\tused\t-1203\t31"
       "\tb\\\\c\\td\ttime\tunused\t4000\t1500\tc.example\ttime\tslow-response\t\t\r\n"},
      {Entry(0, Testing, TriggerUser, OutcomeNone, 0, {{"t", false, StatusTested, INT64_MIN, UINT32_MAX}}),
       "1900-01-01T00:00:00.000Z\ttesting\tuser\ttested\t\tt\ttime\ttested\t-9223372036854775808\t4294967295\r\n"},
      {Entry(1, Correcting, TriggerCommandLine, OutcomeNoAnswer, 0),
       "1900-01-01T00:00:00.001Z\tcorrecting\tcommand-line\tno-answer\t\r\n"},
      {Entry(2, Correcting, TriggerResume, OutcomeGuardRefused, INT64_MAX),
       "1900-01-01T00:00:00.002Z\tcorrecting\tresume\tguard-refused\t9223372036854775807\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Format(c.entry), c.line);
    PassEntry back;
    EXPECT_TRUE(Parse(std::string(c.line).substr(0, std::strlen(c.line) - 1), &back) && Same(back, c.entry))
        << c.line;
  }
}

TEST(PassHistory, ALineThatDoesNotParseWholeIsRejected) {
  const std::string pass = "2026-01-31T12:34:56.789Z\tcorrecting\tuser\t";
  const std::string server = "\ts\tntp\tused\t5\t7";
  std::string fifty, fiftyOne = server;
  for (int i = 0; i < 50; ++i) fifty += server;
  const struct { std::string line; bool valid; } cases[] = {
      {pass + "stepped\t5" + server, true}, {pass + "stepped\t5" + server + "\t", false},
      {pass + "stepped\t5\ts\tntp\tused\t5", false}, {pass + "stepped", false}, {"", false},
      {pass + "stepped\t", false}, {pass + "no-answer\t0", false}, {pass + "tested\t", false},
      {pass + "stepped\t5.0", false}, {pass + "stepped\t+5", false}, {pass + "stepped\t-", false},
      {pass + "stepped\t-9223372036854775808", true}, {pass + "stepped\t9223372036854775808", false},
      {"2026-01-31T12:34:56.789Z\ttesting\tuser\tstepped\t5", false},
      {"2026-01-31T12:34:56.789Z\ttesting\tschedule\ttested\t", false},
      {"2026-01-31T12:34:56.789Z\tchecking\tuser\tstepped\t5", false},
      {"2026-01-31T12:34:56.789Z\tcorrecting\tsomeone\tstepped\t5", false},
      {"2026-01-31\tcorrecting\tuser\tstepped\t5", false},
      {pass + "stepped\t5\ts\tudp\tused\t5\t7", false}, {pass + "stepped\t5\ts\tntp\tfine\t5\t7", false},
      {pass + "stepped\t5\ts\tntp\tused\t\t7", false}, {pass + "stepped\t5\ts\tntp\trefused\t5\t", false},
      {pass + "stepped\t5\ts\tntp\tused\t5\t-1", false}, {pass + "stepped\t5\ts\tntp\tused\t5\t4294967296", false},
      {pass + "stepped\t5\t\tntp\tused\t5\t7", false}, {pass + "stepped\t5\ta\\x\tntp\tused\t5\t7", false},
      {pass + "stepped\t5\ta\\\tntp\tused\t5\t7", false}, {pass + "stepped\t5\ta" + '\0' + "\tntp\tused\t5\t7", false},
      {pass + "stepped\t5\t" + std::string(127, 'n') + "\tntp\tused\t5\t7", true},
      {pass + "stepped\t5\t" + std::string(128, 'n') + "\tntp\tused\t5\t7", false},
      {pass + "stepped\t5" + fifty, true}, {pass + "stepped\t5" + fifty + server, false},
  };
  for (const auto& c : cases) {
    PassEntry entry;
    EXPECT_EQ(Parse(c.line, &entry), c.valid) << c.line.substr(0, 200);
  }
}

// A file of n entries, one a minute, under the header.
std::string FileOf(int n, const std::string& header = kHistoryHeader) {
  std::string file = header + "\r\n";
  for (int i = 0; i < n; ++i) {
    PassEntry entry = Stepped();
    entry.ended += 60000LL * i;
    file += Format(entry);
  }
  return file;
}

TEST(PassHistory, AFileIsAppendedToRewrittenPastTheCapOrSetAside) {
  PassEntry next = Stepped();
  next.ended = 4'000'000'000'000;
  const std::string header = std::string(kHistoryHeader) + "\r\n", line = Format(next);
  const std::string full = FileOf(kHistoryMost);
  // inPlace: the entries when the text goes into the old file instead, if not as many.
  const struct { std::string file; bool setAside, replace; size_t entries, inPlace = 0; } cases[] = {
      {"", false, false, 1}, {header, false, false, 1}, {FileOf(3), false, false, 4},
      // Lines that do not parse count for nothing; a line cut short by a
      // crash (here, within its correction) goes, as does a tail of zeros.
      {FileOf(2) + "garbage\r\n\r\n" + line.substr(0, line.find("\t-1250") + 4), false, true, 3},
      {FileOf(2) + std::string(512, '\0'), false, true, 3}, {FileOf(2) + "2", false, true, 3},
      {header.substr(0, header.size() - 1), false, false, 1}, {header.substr(0, header.size() - 2), false, true, 1},
      {FileOf(2).substr(0, FileOf(2).size() - 1), false, false, 3},
      {FileOf(kHistoryMost - 1) + "garbage\r\n", false, false, kHistoryMost},
      // Written into the old file, as when a reader keeps it in place, the entry is added to it
      // until the old file holds twice what it may: then it is cut back there too.
      {full, false, true, kHistoryKeep, kHistoryMost + 1},
      {FileOf(2 * kHistoryMost - 1), false, true, kHistoryKeep, kHistoryMost + 1},  // as many as Entries reads
      {FileOf(2 * kHistoryMost), false, true, kHistoryKeep},
      {"not ours\r\n" + full.substr(header.size()), true, true, 1},
      {FileOf(2, "# Orvalen pass history, format 2"), true, true, 1},
      {full + std::string(kMaxHistoryBytes - full.size() + 1, '\n'), true, true, 1},
  };
  for (const auto& c : cases) {
    std::vector<char> out(HistoryUpdateSize(c.file.size()));
    const HistoryUpdate update = PlanHistoryUpdate(c.file.data(), c.file.size(), next, out.data());
    EXPECT_EQ(update.setAside, c.setAside) << c.file.size();
    EXPECT_EQ(update.replace, c.replace) << c.file.size();
    const std::string text(out.data(), update.length);
    const std::string after = update.replace ? text : c.file + text;
    const std::vector<PassEntry> entries = Entries(after);
    ASSERT_EQ(entries.size(), c.entries) << c.file.size();
    EXPECT_TRUE(Same(entries.back(), next)) << "the new entry comes last";
    EXPECT_EQ(after.substr(after.size() - line.size()), line);
    EXPECT_EQ(after.find("\n\n"), std::string::npos) << "an empty line";
    // The rewrite keeps the newest: of 2,100 entries and the new one, the first 101 go.
    if (c.file == full) {
      EXPECT_EQ(entries.front().ended, Stepped().ended + 60000LL * (kHistorySlack + 1));
    }
    if (c.setAside) continue;
    // Written into the old file instead, as when a rewrite cannot be put in place.
    ASSERT_LE(update.at, c.file.size()) << "past the file's end";
    const std::string inPlace = c.file.substr(0, update.at) + text.substr(update.from);
    if (!update.replace) {
      EXPECT_EQ(inPlace, after);
    }
    EXPECT_EQ(Entries(inPlace).size(), c.inPlace ? c.inPlace : c.entries) << c.file.size();
    EXPECT_EQ(inPlace.substr(inPlace.size() - line.size()), line) << c.file.size();
    EXPECT_EQ(inPlace.find("\n\n"), std::string::npos) << c.file.size();
  }
}

TEST(PassHistory, TheExportHasAColumnForEveryServerAndQuotesWhatNeedsIt) {
  PassEntry first = Stepped();
  first.serverCount = 2;
  std::strcpy(first.servers[0].name, "-1+");  // to a spreadsheet a formula, unlike -1250 or -5
  first.servers[0].offset = -5;
  std::strcpy(first.servers[1].name, "b,\"c\"");
  PassEntry second = Entry(0, Correcting, TriggerUser, OutcomeDisagreed, 0,
                            {{"-", false, StatusNoResponse, 0, 0}, {"x;=y", false, StatusNoResponse, 0, 0}});
  std::vector<char> out(kMaxEntryText);
  std::string csv(out.data(), CsvHeader(2, out.data()));
  for (const PassEntry* e : {&first, &second}) csv += std::string(out.data(), CsvRow(*e, 2, out.data()));
  EXPECT_EQ(csv,
            "ended_utc,kind,trigger,result,correction_ms,"
            "server_1,protocol_1,status_1,offset_ms_1,delay_ms_1,server_2,protocol_2,status_2,offset_ms_2,delay_ms_2\r\n"
            "2026-01-31T12:34:56.789Z,correcting,schedule,stepped,-1250,"
            "\"'-1+\",ntp,used,-5,31,\"b,\"\"c\"\"\",time,unused,4000,1500\r\n"
            "1900-01-01T00:00:00.000Z,correcting,user,disagreed,,"
            "\"'-\",time,no-response,,,\"x;=y\",time,no-response,,\r\n");
  EXPECT_EQ(std::string(out.data(), CsvHeader(0, out.data())), "ended_utc,kind,trigger,result,correction_ms\r\n");
  std::strcpy(second.servers[1].name, "x\t=y");  // a tab splits cells for some spreadsheets too
  const std::string row(out.data(), CsvRow(second, 3, out.data()));  // and a server fewer than the columns
  EXPECT_EQ(row.substr(row.find(",\"x")), ",\"x\t=y\",time,no-response,,,,,,,\r\n");
}

}  // namespace
