#include "core/pass_history.h"

#include <algorithm>
#include <cstring>

#include "core/query_slot.h"

namespace {

constexpr char kLineEnd[] = "\r\n";  // as Notepad of every version reads it
constexpr int kPassFields = 5;       // ended, kind, trigger, result, correction
constexpr int kServerFields = 5;     // name, protocol, status, offset, delay
constexpr int kMaxFields = kPassFields + kMaxServers * kServerFields;
constexpr int64_t kMsPerDay = 86400000;
constexpr int64_t kDays1900To1970 = 25567;
// Days from 0000-03-01 to 1970-01-01 in the proleptic Gregorian calendar,
// whose 400-year eras of 146,097 days start on a 1 March.
constexpr int64_t kDays0000To1970 = 719468;
constexpr int64_t kDaysPerEra = 146097;
constexpr char kUtcForm[] = "0000-00-00T00:00:00.000Z";  // 0: any digit

struct Token {
  uint32_t value;
  const char* text;
};
constexpr Token kKinds[] = {{Correcting, "correcting"}, {Testing, "testing"}};
constexpr Token kTriggers[] = {
    {TriggerUser, "user"},         {TriggerSecondLaunch, "second-start"},
    {TriggerSchedule, "schedule"}, {TriggerLaunch, "launch"},
    {TriggerResume, "resume"},     {TriggerNetwork, "network"},
    {TriggerCommandLine, "command-line"},
};
constexpr Token kResults[] = {
    {OutcomeNone, "tested"},
    {OutcomeStepped, "stepped"},
    {OutcomeNoAnswer, "no-answer"},
    {OutcomeDisagreed, "disagreed"},
    {OutcomeGuardRefused, "guard-refused"},
    {OutcomeDeclined, "declined"},
    {OutcomePlatformRefused, "platform-refused"},
    {OutcomeClockChanged, "clock-changed"},
};
constexpr Token kStatuses[] = {
    {StatusNone, "none"},           {StatusWinsockError, "winsock-error"},
    {StatusNoResponse, "no-response"}, {StatusSlowResponse, "slow-response"},
    {StatusRefused, "refused"},     {StatusNetDown, "net-down"},
    {StatusNoDnsEntry, "no-dns-entry"}, {StatusDisabled, "disabled"},
    {StatusInterrupted, "interrupted"}, {StatusRejected, "unused"},
    {StatusTested, "tested"},       {StatusMeasured, "used"},
};

// A field of a line: not NUL-terminated.
struct Field {
  const char* text;
  size_t length;
  bool Is(const char* word) const {
    return length == std::strlen(word) && std::memcmp(text, word, length) == 0;
  }
};

template <size_t N>
const char* TextOf(const Token (&table)[N], uint32_t value) {
  for (const Token& t : table)
    if (t.value == value) return t.text;
  return "?";  // reads back as no value: the line is skipped
}

template <size_t N>
bool ValueOf(const Token (&table)[N], const Field& field, uint32_t* value) {
  for (const Token& t : table) {
    if (field.Is(t.text)) {
      *value = t.value;
      return true;
    }
  }
  return false;
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - (a % b < 0 ? 1 : 0); }

// Days since 1900-01-01 of a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2;
  const int64_t era = FloorDiv(year, 400);
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * kDaysPerEra + dayOfEra - kDays0000To1970 + kDays1900To1970;
}

bool LeapYear(int64_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int64_t year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && LeapYear(year) ? 29 : kDays[month - 1];
}

// Digits only, at most what fits; false for anything else.
bool ParseNumber(const Field& field, int64_t* value) {
  const bool negative = field.length > 0 && field.text[0] == '-';
  size_t i = negative ? 1 : 0;
  if (i == field.length || field.length - i > 19) return false;
  uint64_t magnitude = 0;
  for (; i < field.length; ++i) {
    if (field.text[i] < '0' || field.text[i] > '9') return false;
    magnitude = magnitude * 10 + static_cast<uint64_t>(field.text[i] - '0');
  }
  if (magnitude > (negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1)) return false;
  *value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

// Without the platform's printf, which differs between versions of Windows.
void NumberText(int64_t value, char (&out)[24]) {
  uint64_t magnitude = static_cast<uint64_t>(value);
  if (value < 0) magnitude = 0 - magnitude;
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  char* p = out;
  if (value < 0) *p++ = '-';
  while (n > 0) *p++ = digits[--n];
  *p = '\0';
}

// Writes into a buffer that the caller has made large enough.
class Writer {
 public:
  explicit Writer(char* out) : out_(out) {}
  void Put(char c) { out_[length_++] = c; }
  void Put(const char* text) {
    while (*text != '\0') Put(*text++);
  }
  void Put(const char* text, size_t length) {
    std::memcpy(out_ + length_, text, length);
    length_ += length;
  }
  size_t End() {
    out_[length_] = '\0';
    return length_;
  }

 private:
  char* out_;
  size_t length_ = 0;
};

using FieldWriter = void (*)(Writer& out, const char* text);

// A name may hold any character but these, which end a field or a line.
void EscapedField(Writer& out, const char* text) {
  for (; *text != '\0'; ++text) {
    switch (*text) {
      case '\\': out.Put("\\\\"); break;
      case '\t': out.Put("\\t"); break;
      case '\n': out.Put("\\n"); break;
      case '\r': out.Put("\\r"); break;
      default: out.Put(*text); break;
    }
  }
}

// A spreadsheet takes a cell that starts so for a formula, unless it is a
// number; a name from a list someone shared could run one.
bool LooksLikeFormula(const char* text) {
  const size_t digits = std::strspn(text + (text[0] == '-'), "0123456789");
  if (text[0] == '-' && digits > 0 && text[1 + digits] == '\0') return false;
  return text[0] != '\0' && std::strchr("=+-@\t\r", text[0]) != nullptr;
}

// Quoted whole where it holds a separator, ';' and tab included: a
// spreadsheet set to split there would start a cell, perhaps a formula,
// after it.
void CsvField(Writer& out, const char* text) {
  const bool formula = LooksLikeFormula(text);
  if (!formula && std::strpbrk(text, ",;\t\"\r\n") == nullptr) {
    out.Put(text);
    return;
  }
  out.Put('"');
  if (formula) out.Put('\'');  // kept as text
  for (; *text != '\0'; ++text) {
    if (*text == '"') out.Put('"');
    out.Put(*text);
  }
  out.Put('"');
}

// The entry's fields, each written by field and separated; the server
// fields repeated for servers servers, those the entry lacks left empty.
void WriteEntry(const PassEntry& e, int servers, char separator, FieldWriter field, Writer& out) {
  char ended[25] = "";
  FormatUtc(e.ended, ended);
  char number[24];
  NumberText(e.correction, number);
  const char* pass[] = {ended, TextOf(kKinds, e.kind), TextOf(kTriggers, e.trigger),
                        TextOf(kResults, e.outcome), HasCorrection(e.outcome) ? number : ""};
  for (int i = 0; i < kPassFields; ++i) {
    if (i != 0) out.Put(separator);
    field(out, pass[i]);
  }
  for (int k = 0; k < servers; ++k) {
    char offset[24] = "", delay[24] = "";
    const char* server[kServerFields] = {"", "", "", offset, delay};
    if (k < e.serverCount) {
      const ServerResult& s = e.servers[k];
      server[0] = s.name;
      server[1] = s.ntp ? "ntp" : "time";
      server[2] = TextOf(kStatuses, s.status);
      if (Measured(s.status)) NumberText(s.offset, offset), NumberText(s.delayMs, delay);
    }
    for (const char* text : server) {
      out.Put(separator);
      field(out, text);
    }
  }
  out.Put(kLineEnd);
}

bool Unescape(const Field& field, char (&name)[kServerNameSize]) {
  size_t n = 0;
  for (size_t i = 0; i < field.length; ++i) {
    char c = field.text[i];
    if (c == '\\') {
      if (++i == field.length) return false;
      switch (field.text[i]) {
        case '\\': c = '\\'; break;
        case 't': c = '\t'; break;
        case 'n': c = '\n'; break;
        case 'r': c = '\r'; break;
        default: return false;
      }
    }
    if (n + 1 == kServerNameSize) return false;
    name[n++] = c;
  }
  name[n] = '\0';
  return n != 0;
}

// The end of the line at start: its line end, or size for a last line without one.
size_t LineEnd(const char* file, size_t size, size_t start) {
  const void* end = std::memchr(file + start, '\n', size - start);
  return end == nullptr ? size : static_cast<size_t>(static_cast<const char*>(end) - file);
}

bool IsOurs(const char* file, size_t size) {
  return size <= kMaxHistoryBytes && LineLength(file, size, 0) == sizeof kHistoryHeader - 1 &&
         std::memcmp(file, kHistoryHeader, sizeof kHistoryHeader - 1) == 0;
}

size_t PutHeader(char* out) {
  Writer w(out);
  w.Put(kHistoryHeader);
  w.Put(kLineEnd);
  return w.End();
}

}  // namespace

const char* StatusName(ServerStatus status) { return TextOf(kStatuses, status); }

bool HasCorrection(CorrectionOutcome outcome) {
  return outcome == OutcomeStepped || outcome == OutcomeGuardRefused ||
         outcome == OutcomeDeclined || outcome == OutcomePlatformRefused;
}

bool Measured(ServerStatus status) {
  return status == StatusMeasured || status == StatusRejected || status == StatusTested;
}

void CapturePass(Ms1900 ended, PassEntry* entry) {
  entry->ended = ended;
  entry->kind = gPassMode;
  entry->trigger = gPassMode == Testing ? TriggerUser : gPassStartedBy;
  entry->outcome = gPassMode == Testing ? OutcomeNone : gLastOutcome;
  entry->correction = HasCorrection(entry->outcome) ? gPassCorrection : 0;
  entry->serverCount = 0;
  for (int slot = 0; slot < kMaxServers; ++slot) {
    if (!IsNamed(slot) || !gQuerySlots[slot].asked) continue;
    const ServerRecord& record = gServerTable[slot];
    ServerResult& s = entry->servers[entry->serverCount++];
    std::memcpy(s.name, record.name, kServerNameSize - 1);
    s.name[kServerNameSize - 1] = '\0';
    s.ntp = gQuerySlots[slot].ntp != 0;
    s.status = static_cast<ServerStatus>(record.status);
    s.offset = Measured(s.status) ? record.offset : 0;
    s.delayMs = Measured(s.status) ? record.latencyMs : 0;
  }
}

CivilTime CivilFromMs(Ms1900 time) {
  const int64_t days = FloorDiv(time, kMsPerDay);
  int64_t msOfDay = time % kMsPerDay;
  if (msOfDay < 0) msOfDay += kMsPerDay;
  const int64_t shifted = days - kDays1900To1970 + kDays0000To1970;
  const int64_t era = FloorDiv(shifted, kDaysPerEra);
  const int64_t dayOfEra = shifted - era * kDaysPerEra;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / (kDaysPerEra - 1)) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
  CivilTime civil;
  civil.day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
  civil.month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
  civil.year = yearOfEra + era * 400 + (civil.month <= 2 ? 1 : 0);
  civil.ms = static_cast<int>(msOfDay % 1000);
  msOfDay /= 1000;
  civil.second = static_cast<int>(msOfDay % 60);
  civil.minute = static_cast<int>(msOfDay / 60 % 60);
  civil.hour = static_cast<int>(msOfDay / 3600);
  return civil;
}

bool FormatUtc(Ms1900 time, char (&out)[25]) {
  const CivilTime c = CivilFromMs(time);
  if (c.year < kFirstHistoryYear || c.year > kLastHistoryYear) return false;
  char* p = out;
  auto put = [&p](int value, int digits, char after) {
    for (int i = digits - 1; i >= 0; --i, value /= 10) p[i] = static_cast<char>('0' + value % 10);
    p += digits;
    *p++ = after;
  };
  put(static_cast<int>(c.year), 4, '-');
  put(c.month, 2, '-');
  put(c.day, 2, 'T');
  put(c.hour, 2, ':');
  put(c.minute, 2, ':');
  put(c.second, 2, '.');
  put(c.ms, 3, 'Z');
  *p = '\0';
  return true;
}

bool ParseUtc(const char* text, size_t length, Ms1900* time) {
  if (length != sizeof kUtcForm - 1) return false;
  for (size_t i = 0; i < length; ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kUtcForm[i] == '0' ? !digit : text[i] != kUtcForm[i]) return false;
  }
  auto number = [&](size_t at, size_t digits) {
    int value = 0;
    for (size_t i = at; i < at + digits; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
  const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  if (year < kFirstHistoryYear || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month) || hour > 23 || minute > 59 || second > 59)
    return false;
  *time = DaysFromCivil(year, month, day) * kMsPerDay +
          ((hour * 60 + minute) * 60 + second) * int64_t{1000} + number(20, 3);
  return true;
}

void EscapeName(const char* name, char* out) {
  Writer w(out);
  EscapedField(w, name);
  w.End();
}

size_t FormatEntry(const PassEntry& entry, char* out) {
  Writer w(out);
  WriteEntry(entry, entry.serverCount, '\t', EscapedField, w);
  return w.End();
}

bool ParseEntry(const char* line, size_t length, PassEntry* entry) {
  if (length > 0 && line[length - 1] == '\r') --length;
  if (std::memchr(line, '\0', length) != nullptr) return false;
  Field f[kMaxFields];
  int n = 0;
  for (size_t start = 0, i = 0; i <= length; ++i) {
    if (i < length && line[i] != '\t') continue;
    if (n == kMaxFields) return false;
    f[n++] = {line + start, i - start};
    start = i + 1;
  }
  if (n < kPassFields || (n - kPassFields) % kServerFields != 0) return false;
  PassEntry& e = *entry;
  uint32_t kind, trigger, outcome;
  if (!ParseUtc(f[0].text, f[0].length, &e.ended) || !ValueOf(kKinds, f[1], &kind) ||
      !ValueOf(kTriggers, f[2], &trigger) || !ValueOf(kResults, f[3], &outcome))
    return false;
  e.kind = static_cast<PassKind>(kind);
  e.trigger = static_cast<PassTrigger>(trigger);
  e.outcome = static_cast<CorrectionOutcome>(outcome);
  // Only a correcting pass has an outcome, and a testing pass is the user's.
  if ((e.kind == Testing) != (e.outcome == OutcomeNone)) return false;
  if (e.kind == Testing && e.trigger != TriggerUser) return false;
  e.correction = 0;
  if (HasCorrection(e.outcome) ? !ParseNumber(f[4], &e.correction) : f[4].length != 0) return false;
  e.serverCount = 0;
  for (int i = kPassFields; i < n; i += kServerFields) {
    ServerResult& s = e.servers[e.serverCount++];
    uint32_t status;
    if (!Unescape(f[i], s.name) || !(f[i + 1].Is("ntp") || f[i + 1].Is("time")) ||
        !ValueOf(kStatuses, f[i + 2], &status))
      return false;
    s.ntp = f[i + 1].Is("ntp");
    s.status = static_cast<ServerStatus>(status);
    int64_t delay = 0;
    s.offset = 0;
    if (Measured(s.status)) {
      if (!ParseNumber(f[i + 3], &s.offset) || !ParseNumber(f[i + 4], &delay) || delay < 0 ||
          delay > UINT32_MAX)
        return false;
    } else if (f[i + 3].length != 0 || f[i + 4].length != 0) {
      return false;
    }
    s.delayMs = static_cast<uint32_t>(delay);
  }
  return true;
}

size_t LineLength(const char* file, size_t size, size_t start) {
  size_t end = LineEnd(file, size, start);
  if (end > start && file[end - 1] == '\r') --end;
  return end - start;
}

int FindEntries(const char* file, size_t size, size_t* starts, int capacity) {
  if (!IsOurs(file, size)) return 0;
  PassEntry entry;
  int total = 0;
  for (size_t at = LineEnd(file, size, 0) + 1; at < size;) {
    const size_t end = LineEnd(file, size, at);
    // A last line without its line end was cut short while it was written.
    if (end == size) break;
    if (ParseEntry(file + at, end - at, &entry)) {
      if (capacity > 0) starts[total % capacity] = at;
      ++total;
    }
    at = end + 1;
  }
  // The newest capacity were kept in a ring: bring the oldest of them first.
  if (total > capacity && capacity > 0) std::rotate(starts, starts + total % capacity, starts + capacity);
  return total;
}

HistoryUpdate PlanHistoryUpdate(const char* file, size_t size, const PassEntry& entry, char* out) {
  if (size == 0) {
    const size_t header = PutHeader(out);
    return {false, false, header + FormatEntry(entry, out + header), 0, 0};
  }
  if (!IsOurs(file, size)) {
    const size_t header = PutHeader(out);
    return {true, true, header + FormatEntry(entry, out + header), 0, 0};
  }
  // The old file up to the end of its last whole line.
  size_t keep = size;
  while (keep > 0 && file[keep - 1] != '\n') --keep;
  size_t starts[kHistoryKeep - 1];
  const int total = FindEntries(file, size, starts, kHistoryKeep - 1);
  if (total + 1 > kHistoryMost) {
    Writer w(out);
    w.Put(kHistoryHeader);
    w.Put(kLineEnd);
    for (int i = 0; i < kHistoryKeep - 1; ++i) {
      w.Put(file + starts[i], LineLength(file, size, starts[i]));
      w.Put(kLineEnd);
    }
    const size_t length = w.End();
    const bool overdue = total + 1 > 2 * kHistoryMost;
    return {false, true, length + FormatEntry(entry, out + length), overdue ? 0 : keep, overdue ? 0 : length};
  }
  // A line cut between its two line-end characters gets the second. One
  // cut shorter by a crash (or a tail of zeros where the disk never got the
  // data) goes: completed, it could read as a pass that never was.
  const char last = file[size - 1];
  if (last == '\n' || last == '\r') {
    const size_t gap = last == '\r' ? 1 : 0;
    std::memcpy(out, "\n", gap);
    return {false, false, gap + FormatEntry(entry, out + gap), size, 0};
  }
  std::memcpy(out, file, keep);
  const size_t start = keep == 0 ? PutHeader(out) : keep;
  return {false, true, start + FormatEntry(entry, out + start), keep, keep};
}

size_t CsvHeader(int servers, char* out) {
  Writer w(out);
  w.Put("ended_utc,kind,trigger,result,correction_ms");
  static const char* const kServerColumns[] = {",server_", ",protocol_", ",status_", ",offset_ms_",
                                               ",delay_ms_"};
  for (int k = 1; k <= servers; ++k) {
    char number[24];
    NumberText(k, number);
    for (const char* column : kServerColumns) {
      w.Put(column);
      w.Put(number);
    }
  }
  w.Put(kLineEnd);
  return w.End();
}

size_t CsvRow(const PassEntry& entry, int servers, char* out) {
  Writer w(out);
  WriteEntry(entry, std::max(servers, entry.serverCount), ',', CsvField, w);
  return w.End();
}
