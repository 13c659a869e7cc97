// The real program through a user's sessions: passes against loopback time
// servers as the list, the status line, the tray and the history show them;
// the first start, the window, the list edits and closing; second starts,
// other versions and uninstall.
#include "tests/e2e/driver.h"

#include <sddl.h>
#include <shellapi.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "ui/command_requests.h"
#include "ui/history_view.h"
#include "ui/history_window.h"
#include "ui/schedule.h"
#include "ui/timers.h"

namespace {

using namespace e2e;

constexpr char kFailedTip[] = "Unsuccessful correction!  Double-click for details...";
constexpr char kAskDayAhead[] =
    "The time servers say this clock is 1 day 2 hours 3 minutes ahead.\n\nSet the clock anyway?";

// Wine shows the notification area as a window of its own with one child
// per icon; the tips live in a tooltip window of the same process.
HWND TrayIconWindow() {
  HWND tray = FindWindowA("__winex11_standalone_tray", nullptr);
  return tray ? FindWindowExA(tray, nullptr, "__winex11_tray_icon", nullptr) : nullptr;
}

bool TrayTipIs(const std::string& tip) {
  DWORD tray = ProcessOf(TrayIconWindow());
  for (HWND w = nullptr; tray && (w = FindWindowExA(nullptr, w, "tooltips_class32", nullptr));) {
    for (LRESULT i = 0, n = ProcessOf(w) == tray ? SendMessageA(w, TTM_GETTOOLCOUNT, 0, 0) : 0; i < n; ++i) {
      TTTOOLINFOA tool = {};
      tool.cbSize = TTTOOLINFOA_V1_SIZE;
      // Wine hands a tool's text out through the ANSI message cut to 80 characters.
      if (AskRemote(w, TTM_ENUMTOOLSA, i, tool, &TTTOOLINFOA::lpszText) == tip.substr(0, 80)) return true;
    }
  }
  return false;
}

std::string FileText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// A file's lines without their ends, the history file's unless named.
std::vector<std::string> Lines(const std::string& path = HistoryFolder() + "\\" + kHistoryFileName) {
  std::istringstream text(FileText(path));
  std::vector<std::string> lines;
  for (std::string line; std::getline(text, line);) lines.push_back(line.substr(0, line.find('\r')));
  return lines;
}
// The history's entries, "kind trigger result" each.
std::vector<std::string> PassResults() {
  std::vector<std::string> results;
  for (const std::string& line : Lines()) {
    std::smatch m;
    if (std::regex_search(line, m, std::regex("^[^\t]+\t([^\t]+)\t([^\t]+)\t([^\t]+)")))
      results.push_back(m.str(1) + " " + m.str(2) + " " + m.str(3));
  }
  return results;
}

HWND WindowOf(DWORD process, const char* className, const char* title = nullptr) {
  for (HWND w = nullptr; (w = FindWindowExA(nullptr, w, className, title)) != nullptr;)
    if (ProcessOf(w) == process && IsWindowVisible(w)) return w;
  return nullptr;
}

// The colours of the window's pixels on the screen below its top fifth, as 0x00BBGGRR.
std::set<uint32_t> ColorsShown(HWND window) {
  RECT r = {};
  GetWindowRect(window, &r);
  const LONG width = r.right - r.left, height = (r.bottom - r.top) * 4 / 5;
  BITMAPINFOHEADER header = {sizeof header, width, height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  std::vector<uint32_t> pixels(width * height);  // 0x00RRGGBB
  HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, r.left, r.bottom - height, SRCCOPY);
  SelectObject(memory, old);
  GetDIBits(memory, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS);
  DeleteObject(bitmap), DeleteDC(memory), ReleaseDC(nullptr, screen);
  std::set<uint32_t> colors;
  for (uint32_t p : pixels) colors.insert((p & 0xFF) << 16 | (p & 0xFF00) | (p >> 16 & 0xFF));
  return colors;
}

// The first shown edit field among the window's children and theirs.
HWND FindEdit(HWND parent) {
  for (HWND child = nullptr; (child = FindWindowExA(parent, child, nullptr, nullptr)) != nullptr;) {
    char kind[16] = "";
    GetClassNameA(child, kind, sizeof kind);
    if (lstrcmpiA(kind, "Edit") == 0 && IsWindowVisible(child)) return child;
    if (HWND inner = FindEdit(child)) return inner;
  }
  return nullptr;
}

// Fills in the file name of the program's save box and saves.
bool SaveAs(DWORD process, const char* title, const std::string& path) {
  HWND box = nullptr, name = nullptr;
  if (!WaitUntil([&] { return (box = WindowOf(process, "#32770", title)) != nullptr; }) ||
      (name = FindEdit(box)) == nullptr || !SetText(name, path))
    return false;
  PostCommand(box, IDOK);
  return WaitUntil([&] { return !IsWindow(box); });
}

// Chooses the History window's span over every pass, as the user would.
void ShowEverything(HWND history) {
  HWND span = FindWindowExA(history, nullptr, "ComboBox", nullptr);
  Ask(span, CB_SETCURSEL, SpanEverything, 0);
  Ask(history, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(span), CBN_SELCHANGE), reinterpret_cast<LPARAM>(span));
}

// A tray window of this process in the shell's place. A busy one takes no message while it
// lives: a start waits in the set-up of its window for the shell to take its icon. One that
// is not busy takes no icon, as a shell that is not ready yet.
class StandInShell {
 public:
  explicit StandInShell(bool busy) : answer_(CreateEventA(nullptr, TRUE, FALSE, nullptr)), thread_([this, busy] {
    WNDCLASSA tray = {};
    tray.lpfnWndProc = DefWindowProcA, tray.lpszClassName = "Shell_TrayWnd";
    RegisterClassA(&tray);
    HWND w = CreateWindowExA(0, tray.lpszClassName, nullptr, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    while (MsgWaitForMultipleObjects(1, &answer_, FALSE, INFINITE, busy ? 0 : QS_ALLINPUT) != WAIT_OBJECT_0)
      for (MSG m; PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);) DispatchMessageA(&m);
    DestroyWindow(w);
  }) {
    EXPECT_TRUE(WaitUntil([] { return ProcessOf(FindWindowA("Shell_TrayWnd", nullptr)) == GetCurrentProcessId(); }));
  }
  ~StandInShell() { SetEvent(answer_), thread_.join(), CloseHandle(answer_); }

 private:
  HANDLE answer_;
  std::thread thread_;
};

using Passes = ProgramTest;

TEST_F(Passes, TimeAndNtpServersAndTheTray) {
  const char kNtp[] = "ntp://127.0.0.121", kNtpSilent[] = "ntp://127.0.0.123";
  Serve({{"127.0.0.41", "now 500"}, {"127.0.0.45", "delay 1000 500"}, {"127.0.0.54", "refuse"},
         {"127.0.0.55", "silent"}, {"no-such-host.invalid", ""}, {"no-address.test", ""},
         {"127.0.0.58", "disabled"}, {"localhost", ""}, {"127.0.0.57", "close"},
         {kNtp, "ntp-exact 200"}, {"NTP://127.0.0.122", "ntp-exact 200"}, {kNtpSilent, "ntp-silent"},
         {"ntp://127.0.0.124", "ntp-rate"}, {"ntp://127.0.0.129", "now 500"} /* port 123 is closed */,
         // IPv6: a literal, and a name whose IPv6 address has no TIME server, then an IPv4 one.
         {"ntp://[::1]", ""}, {"dual.test", ""}, {"ntp://", ""}, {"nts://", ""}});
  for (const char* server : {"127.0.0.1", "127.0.0.126"}) ASSERT_TRUE(timeservers::Set(server, "now 500"));
  ASSERT_TRUE(timeservers::Set("::1", "ntp-exact 200"));
  ASSERT_TRUE(Start());

  EXPECT_TRUE(SendCommand(window_, IDC_SYNC));
  EXPECT_EQ(ControlText(window_, IDC_SYNC), "Stop Correcting...");
  EXPECT_EQ(ControlText(window_, IDC_STATUS_LINE), "Checking time servers...");
  EXPECT_TRUE(TrayTipIs("Checking time servers..."));
  // Progress as the rows show it ("...": a step), sampled while the pass
  // runs. An NTP row has no connection to wait for: request, then reply.
  std::set<std::string> progress, ntpProgress;
  EXPECT_TRUE(WaitUntil([&] {
    for (const ListRow& row : ReadRows(list_))
      if (row.text[1].find("...") != std::string::npos)
        (row.text[0].find("://") == std::string::npos ? progress : ntpProgress).insert(row.text[1]);
    return !PassRunning();
  }, kPassMs));
  EXPECT_TRUE(progress.count("Reading 1...") || progress.count("Reading 2..."));
  EXPECT_TRUE(ntpProgress.count("Reading 1...") && !ntpProgress.count("Connecting 1..."));
  // Whole-second TIME readings stay out of the mean beside NTP results.
  Check({{"127.0.0.41", StatusRejected, R"(\d+;.*s \(unused\))"},
         {"localhost", StatusRejected, R"(\d+;.*s \(unused\))"},
         {"127.0.0.54", StatusRefused, "Refused;"}, {"127.0.0.58", StatusDisabled, "Disabled;"},
         {"127.0.0.55", StatusSlowResponse, "Slow Response;"},
         {"no-such-host.invalid", StatusNoDnsEntry, "No DNS entry;"},
         // A name with no address fails the look-up as surely as no name.
         {"no-address.test", StatusNoDnsEntry, "No DNS entry;"},
         // Not this computer's own addresses.
         {"ntp://", StatusWinsockError, "Winsock Error;"}, {"nts://", StatusWinsockError, "Winsock Error;"},
         {"ntp://[::1]", StatusMeasured, R"(\d+;.*s)"}, {"dual.test", StatusRejected, R"(\d+;.*s \(unused\))"},
         // A close without data raises no read notice: the deadline ends it.
         {"127.0.0.57", StatusSlowResponse, "Slow Response;"},
         {kNtp, StatusMeasured, R"(\d+;.*s)"}, {"NTP://127.0.0.122", StatusMeasured, R"(\d+;.*s)"},
         {kNtpSilent, StatusSlowResponse, "Slow Response;"},
         {"ntp://127.0.0.124", StatusRefused, "Refused;"}, {"ntp://127.0.0.129", StatusRefused, "Refused;"}});
  EXPECT_EQ(timeservers::Count("127.0.0.41"), 3) << "one connection per sample";
  EXPECT_EQ(timeservers::Count("127.0.0.124"), 1) << "no request after a kiss-o'-death";
  // The daemon sleeps by its own clock: allow the two clocks a tick or so.
  EXPECT_GE(std::stoi(Row("127.0.0.45").text[1]), 980) << "a server's delay is its latency";
  // Wine applies a step of under half a second.
  // The NTP servers' 200 ms alone, not the TIME servers' 500: on a busy machine
  // a reply can wait a few tens of ms on either side, which NTP halves.
  EXPECT_NEAR(reg::As<int64_t>(reg::Read("LastCorrectionValue")), 200, 100);
  reg::Value corrected = reg::Read("LastCorrectionTime");
  EXPECT_NE(reg::As<int64_t>(corrected), 0);
  std::string status = ControlText(window_, IDC_STATUS_LINE);
  EXPECT_TRUE(std::regex_match(status, std::regex("Corrected .* at .*"))) << status;

  // A testing pass over chosen servers leaves the last correction alone.
  Select(list_, {kNtp, "127.0.0.41"});
  SendCommand(window_, CMD_TEST_SERVER);
  EXPECT_EQ(ControlText(window_, IDC_STATUS_LINE), "Testing time servers...");
  RunPass(0);
  Check({{kNtp, StatusTested, R"(\d+;.* \(test\))"}});
  EXPECT_EQ(reg::Read("LastCorrectionTime").bytes, corrected.bytes);
  // One NTP server five years off cannot outvote the TIME servers and the other NTP server.
  ASSERT_TRUE(timeservers::Set("127.0.0.121", "ntp-exact 157784630000"));
  RunPass(IDC_SYNC);
  Check({{kNtp, StatusRejected, R"(\d+;\+1826\.\d\dd \(unused\))"},
         {"127.0.0.41", StatusRejected, R"(\d+;.*s \(unused\))"},
         {"NTP://127.0.0.122", StatusMeasured, R"(\d+;\+0\.2s)"}});
  EXPECT_NE(reg::Read("LastCorrectionTime").bytes, corrected.bytes) << "corrected by 200 ms again";
  corrected = reg::Read("LastCorrectionTime");
  const std::vector<BYTE> value = reg::Read("LastCorrectionValue").bytes;

  // Wine refuses a step of half a second or more: the last real correction stays.
  for (const char* ntp : {"127.0.0.121", "127.0.0.122"}) ASSERT_TRUE(timeservers::Set(ntp, "ntp-exact 800"));
  RunPass(IDC_SYNC);
  EXPECT_TRUE(WaitUntil([] {
    return TrayTipIs("Not corrected: Windows refused to set the clock.  Double-click for details...");
  }, 3000));
  // Beyond "MaxCorrection" a pass the user started asks first; No keeps the clock as it is.
  WriteNumber("MaxCorrection", 1);
  for (const char* time : {"127.0.0.1", "127.0.0.41", "127.0.0.45"}) ASSERT_TRUE(timeservers::Set(time, "now -93810000"));
  for (const char* ntp : {"127.0.0.121", "127.0.0.122"}) ASSERT_TRUE(timeservers::Set(ntp, "ntp-exact -93810000"));
  SendCommand(window_, IDC_SYNC);
  // A second start meanwhile asks the window for a pass, not the box for an answer.
  ASSERT_NE(program_->WaitWindow(true), nullptr);
  WriteNumber("CorrectOnLaunch", 1);
  EXPECT_EQ(Program(Orvalen()).WaitExit(), 0u);
  WriteNumber("CorrectOnLaunch", 0);
  Answer(*program_, kAskDayAhead, IDNO);
  RunPass(0);
  EXPECT_TRUE(WaitUntil([] {
    return TrayTipIs("Not corrected: the clock is 1 day 2 hours 3 minutes ahead, more than allowed.  "
                     "Double-click for details...");
  }, 3000));
  EXPECT_EQ(reg::Read("LastCorrectionTime").bytes, corrected.bytes);
  EXPECT_EQ(reg::Read("LastCorrectionValue").bytes, value);
  EXPECT_TRUE(std::regex_match(ControlText(window_, IDC_STATUS_LINE), std::regex("Corrected \\+0\\.2s at .*")));

  // The history holds every pass in order, with each server asked.
  EXPECT_EQ(PassResults(), (std::vector<std::string>{"correcting user stepped", "testing user tested",
                                                     "correcting user stepped", "correcting user platform-refused",
                                                     "correcting user declined"}));
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], kHistoryHeader);
  for (const char* server : {R"(\tntp://127\.0\.0\.121\tntp\tused\t-?\d+\t\d+\t)", R"(\t127\.0\.0\.54\ttime\trefused\t\t\t)",
                             R"(\t127\.0\.0\.41\ttime\tunused\t-?\d+\t\d+\t)", R"(\tno-such-host\.invalid\ttime\tno-dns-entry\t\t\t)"})
    EXPECT_TRUE(std::regex_search(lines[1], std::regex(server))) << server;
  EXPECT_EQ(lines[1].find("127.0.0.58"), std::string::npos) << "a disabled server is not asked";
  EXPECT_EQ(std::count(lines[2].begin(), lines[2].end(), '\t'), 4 + 2 * 5) << "the test asked two servers";

  // Started at log-on the pass is unattended: the guard refuses without
  // asking and a balloon says so, which opens the history when clicked. The
  // shell may take no icon yet: the balloon waits for it, unless the user looks first.
  SendCommand(window_, CMD_QUIT);
  EXPECT_EQ(program_->WaitExit(), 0u);
  WriteNumber("Schedule", 1);  // "On Startup"
  auto guardBalloon = [] {
    return TrayTipIs("The time servers say this clock is 1 day 2 hours 3 minutes ahead. That is more than Orvalen "
                     "corrects without asking. Click here to see the history.");
  };
  for (bool looked : {true, false}) {
    const size_t before = PassResults().size();
    {
      StandInShell notReady(false);
      program_.reset(new Program(Orvalen("s")));
      ASSERT_NE(window_ = program_->WaitWindow(), nullptr);
      EXPECT_TRUE(WaitUntil([&] { return PassResults().size() > before; }, kPassMs));
      if (looked) {
        EXPECT_EQ(Program(Orvalen()).WaitExit(), 0u);
      }
    }
    EXPECT_EQ(PassResults().back(), "correcting launch guard-refused");
    if (!looked) break;
    EXPECT_TRUE(WaitUntil([] { return TrayIconWindow() != nullptr; }, kPassMs));
    EXPECT_FALSE(WaitUntil(guardBalloon, 5000)) << "a balloon after the user looked";
    SendCommand(window_, CMD_QUIT);
    EXPECT_EQ(program_->WaitExit(), 0u);
  }
  EXPECT_TRUE(WaitUntil(guardBalloon, kPassMs));
  const DWORD process = program_->id();
  HWND history = nullptr;
  SendMessageA(window_, WM_USER, 0, NIN_BALLOONUSERCLICK);  // Wine's balloons take no clicks
  ASSERT_TRUE(WaitUntil([&] { return (history = WindowOf(process, kHistoryWindowClass)) != nullptr; }));
  PostKey(history, VK_ESCAPE);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(history); }));
  // The tray menu opens it too: the plot marks the passes, the list shows them newest first.
  PostMessageA(window_, WM_USER, 0, WM_RBUTTONDOWN);
  HWND menu = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (menu = WindowOf(process, "#32768")) != nullptr; }));
  PostKey(menu, 'H');
  ASSERT_TRUE(WaitUntil([&] { return (history = WindowOf(process, kHistoryWindowClass)) != nullptr; }));
  HWND passes = FindWindowExA(history, nullptr, WC_LISTVIEWA, nullptr);
  EXPECT_EQ(ListCount(passes), 7);
  EXPECT_EQ(ReadRows(passes).front().text[2], "Start");
  // A letter typed in the list finds no pass there: the selection stays.
  LVITEMA third = {};
  third.state = third.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  AskRemote(passes, LVM_SETITEMSTATE, 2, third);
  Ask(passes, WM_CHAR, 'x', 1);  // a repeat count of one, as typed
  EXPECT_EQ(Ask(passes, LVM_GETNEXTITEM, -1, LVNI_SELECTED), 2);
  // Over everything the passes spread out; their markers show below the
  // key, which has the same colours.
  ShowEverything(history);
  std::set<uint32_t> colors;
  EXPECT_TRUE(WaitUntil([&] {
    colors = ColorsShown(history);
    return colors.count(kResultColors[OutcomeStepped]) && colors.count(kResultColors[OutcomeGuardRefused]) &&
           colors.count(kResultColors[OutcomePlatformRefused]) && colors.count(kResultColors[OutcomeDeclined]);
  }, 5000)) << "a marker for a step, each refusal and the No";
  // Export writes the shown passes as comma-separated values, oldest first.
  const std::string csv = Beside("history.csv");
  DeleteFileA(csv.c_str());
  PostMessageA(FindWindowExA(history, nullptr, "Button", "&Export..."), BM_CLICK, 0, 0);
  ASSERT_TRUE(SaveAs(process, "Export History", csv));
  // The program writes the file once its box has closed, holding it unshared until done.
  EXPECT_TRUE(WaitUntil([&] { return (lines = Lines(csv)).size() == 8; }));
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0].rfind("ended_utc,kind,trigger,result,correction_ms,server_1,protocol_1,", 0), 0u);
  EXPECT_TRUE(std::regex_search(lines[7], std::regex(",correcting,launch,guard-refused,-938\\d{5},"))) << lines[7];
  // A new pass comes in at the top; the selected pass stays selected.
  auto selectedEnded = [&] { return ReadRows(passes).at(Ask(passes, LVM_GETNEXTITEM, -1, LVNI_SELECTED)).text[0]; };
  const std::string selected = selectedEnded();
  SendCommand(window_, IDC_SYNC);
  Answer(*program_, kAskDayAhead, IDNO);
  EXPECT_TRUE(WaitUntil([&] { return ListCount(passes) == 8; }));
  EXPECT_EQ(selectedEnded(), selected);

  // A pass that measures nothing: the tray shows the failure. A file in
  // the history's place that is not a history is set aside first.
  program_.reset();
  Clean();
  std::ofstream(HistoryFolder() + "\\" + kHistoryFileName, std::ios::binary) << "not a history\n";
  // A link where the new history is made is removed, not written through.
  const std::string victim = HistoryFolder() + "\\victim";
  std::ofstream(victim) << "keep";
  ASSERT_TRUE(CreateHardLinkA((HistoryFolder() + "\\history.new").c_str(), victim.c_str(), nullptr));
  Serve({{"127.0.0.61", "silent"}, {"127.0.0.62", "refuse"}});
  ASSERT_TRUE(Start());
  RunPass(IDC_SYNC);
  EXPECT_TRUE(WaitUntil([] { return TrayTipIs(kFailedTip); }, 3000));
  EXPECT_EQ(ControlText(window_, IDC_STATUS_LINE), "");
  EXPECT_EQ(PassResults(), std::vector<std::string>{"correcting user no-answer"});
  const std::vector<std::string> files = HistoryFiles();
  const auto aside = std::find_if(files.begin(), files.end(), [](const std::string& name) {
    return std::regex_match(name, std::regex(R"(history-\d{8}-\d{6}\.bad)"));
  });
  ASSERT_NE(aside, files.end());
  EXPECT_EQ(FileText(HistoryFolder() + "\\" + *aside), "not a history\n");
  EXPECT_EQ(FileText(victim), "keep");
  // While another program holds the file, an entry is lost and the status line says so, once.
  HANDLE held = CreateFileA((HistoryFolder() + "\\" + kHistoryFileName).c_str(), GENERIC_READ, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  RunPass(IDC_SYNC);
  EXPECT_EQ(ControlText(window_, IDC_STATUS_LINE), "Pass not written to the history file");
  RunPass(IDC_SYNC);
  EXPECT_EQ(ControlText(window_, IDC_STATUS_LINE), "");
  CloseHandle(held);
  RunPass(IDC_SYNC);
  EXPECT_EQ(PassResults().size(), 2u);
  // A history file that has another name elsewhere is set aside, not written through.
  for (const std::string& name : HistoryFiles()) DeleteFileA((HistoryFolder() + "\\" + name).c_str());
  std::ofstream(victim, std::ios::trunc).close();
  ASSERT_TRUE(CreateHardLinkA((HistoryFolder() + "\\" + kHistoryFileName).c_str(), victim.c_str(), nullptr));
  RunPass(IDC_SYNC);
  EXPECT_EQ(FileText(victim), "");
  EXPECT_EQ(PassResults().size(), 1u);
  // A history folder removed meanwhile is made again.
  for (const std::string& name : HistoryFiles()) DeleteFileA((HistoryFolder() + "\\" + name).c_str());
  ASSERT_TRUE(RemoveDirectoryA(HistoryFolder().c_str()));
  RunPass(IDC_SYNC);
  EXPECT_EQ(PassResults().size(), 1u);
  // While another Orvalen changes the history, this one's entry waits for its turn.
  ASSERT_TRUE(timeservers::Set("127.0.0.61", "now 0"));  // a quick pass
  HANDLE turn = CreateMutexA(nullptr, FALSE, kHistoryTurnName);
  ASSERT_EQ(WaitForSingleObject(turn, 0), WAIT_OBJECT_0);
  PostCommand(window_, IDC_SYNC);
  Sleep(2000);
  EXPECT_EQ(PassResults().size(), 1u);
  ReleaseMutex(turn), CloseHandle(turn);
  EXPECT_TRUE(WaitUntil([] { return PassResults().size() == 2; }));
  ASSERT_TRUE(timeservers::Set("127.0.0.61", "silent"));
  // A full history that a program follows, letting others write it but not rename it, takes
  // the entry in place; once the program has let go, it is cut back.
  std::string full = std::string(kHistoryHeader) + "\r\n";
  for (int i = 0; i < kHistoryMost; ++i) full += "2026-01-15T12:00:00.000Z\ttesting\tuser\ttested\t\r\n";
  std::ofstream(HistoryFolder() + "\\" + kHistoryFileName, std::ios::binary) << full;
  auto follow = [] {
    return CreateFileA((HistoryFolder() + "\\" + kHistoryFileName).c_str(), GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  };
  HANDLE follower = follow();
  RunPass(IDC_SYNC);
  EXPECT_EQ(PassResults().size(), kHistoryMost + 1u);
  EXPECT_EQ(PassResults().back(), "correcting user no-answer");
  CloseHandle(follower);
  RunPass(IDC_SYNC);
  EXPECT_EQ(PassResults().size(), size_t{kHistoryKeep});
  // One that is never let go of is cut back in place once it holds twice as many.
  std::ofstream(HistoryFolder() + "\\" + kHistoryFileName, std::ios::binary)
      << full << full.substr(std::strlen(kHistoryHeader) + 2);
  follower = follow();
  RunPass(IDC_SYNC);
  EXPECT_EQ(PassResults().size(), size_t{kHistoryKeep});
  CloseHandle(follower);
  // A double click on the icon opens the hidden window and clears the failure.
  ShowWindow(window_, SW_HIDE);
  SendMessageA(window_, WM_USER, 0, WM_LBUTTONDBLCLK);
  EXPECT_TRUE(WaitUntil([] { return !TrayTipIs(kFailedTip); }, 3000));
  EXPECT_TRUE(IsWindowVisible(window_));
  // So does a second start.
  ShowWindow(window_, SW_HIDE);
  RunPass(IDC_SYNC);
  ASSERT_TRUE(WaitUntil([] { return TrayTipIs(kFailedTip); }, 3000));
  EXPECT_EQ(Program(Orvalen()).WaitExit(), 0u);
  EXPECT_TRUE(WaitUntil([] { return !TrayTipIs(kFailedTip); }, 3000));
  // An icon the shell lost without a word, or never took at log-on, is offered again.
  NOTIFYICONDATAA icon = {};
  icon.cbSize = NOTIFYICONDATAA_V1_SIZE, icon.hWnd = window_;
  ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, &icon));
  ASSERT_TRUE(WaitUntil([] { return TrayIconWindow() == nullptr; }, 3000));
  RunPass(IDC_SYNC);
  EXPECT_TRUE(WaitUntil([] { return TrayIconWindow() != nullptr; }, 5000)) << "the icon is gone";

  // A pass reads as the clock showed it then: the run's zone keeps summer time, which a
  // December day does not have.
  std::ofstream(HistoryFolder() + "\\" + kHistoryFileName, std::ios::binary)
      << kHistoryHeader << "\r\n2026-01-15T12:00:00.000Z\ttesting\tuser\ttested\t\r\n"
      << "2026-07-01T12:00:00.000Z\ttesting\tuser\ttested\t\r\n";
  SendMessageA(window_, WM_USER, 0, NIN_BALLOONUSERCLICK);
  ASSERT_TRUE(WaitUntil([&] { return (history = WindowOf(program_->id(), kHistoryWindowClass)) != nullptr; }));
  ShowEverything(history);
  const std::vector<ListRow> rows = ReadRows(FindWindowExA(history, nullptr, WC_LISTVIEWA, nullptr));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].text[0], "2:00:00pm on 7/1/26");
  EXPECT_EQ(rows[1].text[0], "1:00:00pm on 1/15/26");
  // A pass another Orvalen adds shows when the window is next activated.
  std::ofstream(HistoryFolder() + "\\" + kHistoryFileName, std::ios::binary | std::ios::app)
      << "2026-07-02T12:00:00.000Z\ttesting\tuser\ttested\t\r\n";
  SendMessageA(history, WM_ACTIVATE, WA_ACTIVE, 0);
  EXPECT_EQ(ListCount(FindWindowExA(history, nullptr, WC_LISTVIEWA, nullptr)), 3);

  // Any program may post a message of the look-up's number (a dialog's
  // DM_SETDEFID has it too) or the key exchange's: it ends no look-up or
  // exchange that is still running.
  program_.reset();
  Serve({{"slow.test", ""}, {"nts://127.0.0.136", "ke-drip"}});
  ASSERT_TRUE(Start());
  SendCommand(window_, IDC_SYNC);
  auto running = [&] {
    return Row("slow.test").text[1] == "DNS Lookup..." && Row("nts://127.0.0.136").text[1] == "Key Exchange...";
  };
  ASSERT_TRUE(WaitUntil(running, 5000));
  for (WPARAM handle = 1; handle <= 2 * kMaxServers; ++handle)
    PostMessageA(window_, WM_USER + 1, handle, 0), PostMessageA(window_, WM_APP + 22, handle, 0);
  EXPECT_FALSE(WaitUntil([&] { return !running(); }, 2000));
  // Stopped and started again and again while the name server keeps quiet,
  // a pass still looks the name up.
  Select(list_, {"slow.test"});
  for (int i = 0; i <= 2 * kMaxServers; ++i) SendCommand(window_, IDC_SYNC), SendCommand(window_, CMD_TEST_SERVER);
  EXPECT_TRUE(WaitUntil([&] { return Row("slow.test").text[1] == "DNS Lookup..."; }, 5000)) << Row("slow.test").text[1];
}

constexpr DWORD kQuietMs = 2000;  // how long to watch for something that must not happen

// The process has made its window and not yet shown it.
bool SettingUp(DWORD process) {
  HWND w = nullptr;
  while ((w = FindWindowExA(nullptr, w, "#32770", nullptr)) != nullptr && ProcessOf(w) != process) {}
  return w != nullptr;
}
// A loopback server whose passes last long enough to be seen running.
const char kServer[] = "127.0.0.71";
const char kSlowReply[] = "delay 1000 500";

using Session = ProgramTest;

TEST_F(Session, FirstStartTheWindowAndTheListEdits) {
  ASSERT_TRUE(timeservers::Set(kServer, kSlowReply));
  WriteNumber("Schedule", 0);  // the slider's first position, no pass of its own
  // A first start ended (a log-off) while a busy shell keeps it waiting for
  // its icon, before it has set up the list: the next start is a first one again.
  {
    StandInShell shell(true);
    Program ended(Orvalen("s"));
    EXPECT_TRUE(WaitUntil([&] { return SettingUp(ended.id()); }));
    EXPECT_FALSE(WaitUntil([&] { return FindMainWindow(ended.id()) != nullptr; }, kQuietMs)) << "not kept waiting";
  }
  ASSERT_TRUE(Start());
  ASSERT_EQ(ListCount(list_), kDefaultServerCount);
  EXPECT_EQ(reg::Read("Server000").type, static_cast<DWORD>(REG_BINARY));

  // Enter is button 1's command in a dialog: while a name is being edited it
  // may neither start a pass nor, ending the edit, do anything but rename.
  SendCommand(window_, IDC_ADD_SERVER);
  HWND editor = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (editor = LabelEditor(list_)) != nullptr; }, 5000));
  // A pass over the unresolvable names is quick: look for what it leaves.
  auto passSeen = [&] { return PassRunning() || StoredServer(0).status != StatusNone; };
  Ask(window_, WM_COMMAND, IDC_SYNC, reinterpret_cast<LPARAM>(GetDlgItem(window_, IDC_SYNC)));
  EXPECT_FALSE(WaitUntil(passSeen, kQuietMs));
  EXPECT_NE(LabelEditor(list_), nullptr) << "the editor stays open";
  SetText(editor, kServer);
  PostKey(editor, VK_RETURN);
  EXPECT_TRUE(WaitUntil([&] { return Row(kServer).param == kDefaultServerCount; }, 5000));
  EXPECT_FALSE(WaitUntil(passSeen, kQuietMs)) << "Enter started a pass";
  // In the list Enter opens the server menu, as the menu key does.
  Select(list_, {kServer});
  PostKey(list_, VK_RETURN);
  HWND menu = nullptr;
  EXPECT_TRUE(WaitUntil([&] { return (menu = WindowOf(program_->id(), "#32768")) != nullptr; }, 5000));
  PostKey(menu, VK_ESCAPE);
  EXPECT_FALSE(WaitUntil(passSeen, kQuietMs)) << "Enter in the list started a pass";
  // The tray's "Fix Time" runs while a name is edited, and the edit goes on. A question the
  // pass asks drops it, as closing does: the name typed so far is not taken.
  EditName(CMD_EDIT_SERVER, "typed.example", 0);
  RunPass(IDC_SYNC);
  EXPECT_EQ(timeservers::Count(kServer), 3) << "no pass";
  EXPECT_NE(LabelEditor(list_), nullptr);
  ASSERT_TRUE(timeservers::Set(kServer, "now -93810000"));
  WriteNumber("MaxCorrection", 1);
  SendCommand(window_, IDC_SYNC);
  Answer(*program_, kAskDayAhead, IDNO);
  RunPass(0);
  EXPECT_EQ(LabelEditor(list_), nullptr);
  EXPECT_EQ(Row(kServer).param, kDefaultServerCount) << "the edit ended by the box was taken";
  WriteNumber("MaxCorrection", kDefaultMaxCorrectionS);
  ASSERT_TRUE(timeservers::Set(kServer, kSlowReply));
  // The tray menu's pass item does what it showed: a pass that started while the menu
  // was open goes on when the start shown is chosen.
  PostMessageA(window_, WM_USER, 0, WM_RBUTTONDOWN);
  menu = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (menu = WindowOf(program_->id(), "#32768")) != nullptr; }));
  SendCommand(window_, CMD_CORRECT_NOW);
  PostKey(menu, 'S');
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(menu); }, 5000));
  RunPass(0);
  EXPECT_EQ(timeservers::Count(kServer), 3) << "the pass was stopped";
  ASSERT_TRUE(timeservers::Set(kServer, kSlowReply));

  // Delete two, add into the lowest free slot, rename (Escape keeps the
  // name), disable; all of it is kept over a restart.
  const std::string first = StoredServer(1).name, second = StoredServer(2).name;
  Select(list_, {first, second});
  PostCommand(window_, CMD_DELETE_SERVER);
  Answer(*program_, "Are you sure you want to delete 2 server(s)?");
  EXPECT_EQ(ListCount(list_), kDefaultServerCount - 1);
  EditName(IDC_ADD_SERVER, "added.example", VK_RETURN);
  Select(list_, {"added.example"});
  EditName(CMD_EDIT_SERVER, "renamed.example", VK_ESCAPE);
  EXPECT_EQ(Row("added.example").param, 1);
  EditName(CMD_EDIT_SERVER, " renamed.example ", VK_RETURN);  // kept without the blanks
  EXPECT_STREQ(StoredServer(1).name, "renamed.example");
  Select(list_, {kServer});
  SendCommand(window_, CMD_TOGGLE_SERVER);
  EXPECT_EQ(StoredServer(kDefaultServerCount).enabled, 0u);
  // The window's place is kept too.
  SetWindowPos(window_, nullptr, 100, 120, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  // "Exit", as the tray menu and the installer give it, ends the program
  // while a name is being edited, and drops the name typed so far.
  Select(list_, {"renamed.example"});
  EditName(CMD_EDIT_SERVER, "unsaved.example", 0);
  SendCommand(window_, CMD_QUIT);
  EXPECT_EQ(program_->WaitExit(), 0u);
  ASSERT_TRUE(Start());
  ASSERT_EQ(ListCount(list_), kDefaultServerCount);
  EXPECT_EQ(Row("renamed.example").param, 1) << "the unconfirmed name was saved";
  EXPECT_EQ(Row(kServer).param, kDefaultServerCount);
  RECT place = {};
  GetWindowRect(window_, &place);
  EXPECT_EQ(std::make_pair(place.left, place.top), std::make_pair(LONG{100}, LONG{120}));
  RunPass(IDC_SYNC);
  EXPECT_EQ(Row(kServer).text[1], "Disabled");
  EXPECT_EQ(timeservers::Count(kServer), 0);

  Select(list_, {kServer});
  SendCommand(window_, CMD_TOGGLE_SERVER);
  EXPECT_EQ(StoredServer(kDefaultServerCount).enabled, 1u);

  // Closing the window ends the program, unless a periodic schedule keeps
  // it in the tray, where it runs its passes: the first at once, as it has
  // never corrected.
  PostMessageA(window_, WM_CLOSE, 0, 0);
  EXPECT_EQ(program_->WaitExit(), 0u);
  WriteNumber("Schedule", 2);  // "Every 30 Seconds"
  ASSERT_TRUE(Start());
  PostMessageA(window_, WM_CLOSE, 0, 0);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(window_); }, 5000));
  EXPECT_TRUE(WaitUntil([] { return timeservers::Count(kServer) >= 3; }, kPassMs));
  // The next 30 s on, at the hidden clock's first tick from then: up to one tick later.
  EXPECT_TRUE(WaitUntil([] { return timeservers::Count(kServer) >= 6; }, 30000 + kClockHiddenMs + kPassMs));
  RunPass(0);

  PostCommand(window_, IDC_RESTORE_LIST);
  Answer(*program_, "Are you sure you want to reset the server list?");
  EXPECT_EQ(ListCount(list_), kDefaultServerCount);
  EXPECT_FALSE(reg::Read("Server015").exists);
  EXPECT_STREQ(StoredServer(1).name, first.c_str());

  // A log-off that was cancelled leaves it running in the tray; one that
  // goes ahead ends it.
  Ask(window_, WM_ENDSESSION, FALSE, 0);
  EXPECT_TRUE(program_->Running() && IsWindow(window_)) << "a cancelled log-off ended it";
  Ask(window_, WM_ENDSESSION, TRUE, 0);
  EXPECT_EQ(program_->WaitExit(), 0u);
  // Ending, it asks no one before a large step: the step is not made.
  reg::DeleteKey();
  Serve({{kServer, "now -93810000"}, {"slow.test", ""}});  // a look-up that holds the pass
  WriteNumber("MaxCorrection", 1);
  ASSERT_TRUE(Start());
  SendCommand(window_, IDC_SYNC);
  ASSERT_TRUE(WaitUntil([] { return StoredServer(0).status == StatusMeasured; }, kPassMs));
  Ask(window_, WM_ENDSESSION, TRUE, 0);
  EXPECT_EQ(program_->WaitExit(), 0u);
  EXPECT_EQ(PassResults().back(), "correcting user declined");
}

TEST_F(Session, SecondStartsUninstallAndOtherVersions) {
  Serve({{kServer, kSlowReply}});
  // A value longer than a server record is not one the program wrote: no server.
  const std::vector<BYTE> tooLong(sizeof(ServerRecord) + 1, 'x');
  reg::Write("Server001", REG_BINARY, tooLong.data(), static_cast<DWORD>(tooLong.size()));
  ASSERT_TRUE(Start());
  EXPECT_EQ(ListCount(list_), 1);
  // A second start brings the hidden window back and ends.
  ShowWindow(window_, SW_HIDE);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(window_); }, 5000));
  EXPECT_EQ(Program(Orvalen()).WaitExit(), 0u);
  EXPECT_TRUE(WaitUntil([&] { return IsWindowVisible(window_) != FALSE; }, 5000));

  // With "CorrectOnLaunch" set, a second start only asks the running
  // instance for a pass, also when it was asked to uninstall.
  WriteNumber("CorrectOnLaunch", 1);
  for (const char* args : {"", "u"}) {
    EXPECT_EQ(Program(Orvalen(args)).WaitExit(), 0u) << args;
    EXPECT_TRUE(WaitUntil([&] { return PassRunning(); }, 5000)) << "no pass for '" << args << "'";
    EXPECT_TRUE(WaitUntil([&] { return !PassRunning(); }, kPassMs));
  }
  EXPECT_TRUE(program_->Running());
  EXPECT_TRUE(reg::KeyExists()) << "nothing is uninstalled";

  // Otherwise "u" ends the running instance first, then removes every setting.
  reg::Write("CorrectOnLaunch", REG_SZ, "0", 2);  // as "reg add" writes it unless told the type
  reg::Write("DisplayName", REG_SZ, "Orvalen", 8, kUninstallKey);
  reg::Write("Orvalen", REG_SZ, "Orvalen.exe s", 14, kRunKey);
  Program uninstall(Orvalen("u"));
  EXPECT_EQ(program_->WaitExit(), 0u) << "the running instance did not quit";
  Answer(uninstall, "Uninstall complete.  Now delete Orvalen files.");
  EXPECT_EQ(uninstall.WaitExit(), 0u);
  for (const char* key : {reg::kSettingsKey, kUninstallKey}) EXPECT_FALSE(reg::KeyExists(key)) << key;
  EXPECT_FALSE(reg::Read("Orvalen", kRunKey).exists);
  // A running instance that hangs does not hang the uninstall with it.
  ASSERT_TRUE(Start());
  HANDLE hung = OpenThread(THREAD_SUSPEND_RESUME, FALSE, GetWindowThreadProcessId(window_, nullptr));
  ASSERT_NE(SuspendThread(hung), static_cast<DWORD>(-1));
  Program beside(Orvalen("u"));
  Answer(beside, "Uninstall complete.  Now delete Orvalen files.");
  EXPECT_FALSE(reg::KeyExists());
  ResumeThread(hung), CloseHandle(hung);
  // Where the settings cannot be removed, as by a standard user (here a key
  // inside them stops it), nothing is uninstalled, and the box says so.
  const std::string inside = std::string(reg::kSettingsKey) + "\\Kept";
  reg::Write("Marker", REG_SZ, "", 1, inside.c_str());
  reg::Write("DisplayName", REG_SZ, "Orvalen", 8, kUninstallKey);
  Program refused(Orvalen("u"));
  Answer(refused, "Orvalen was not uninstalled: its settings could not be removed.\n\nLog on as an "
                  "Administrator instead.");
  for (const char* key : {reg::kSettingsKey, kUninstallKey}) EXPECT_TRUE(reg::KeyExists(key)) << key;
  reg::DeleteKey(inside.c_str());

  // Another version's settings are erased only when the user agrees, also
  // when its version does not read as one.
  const char kOtherVersion[] = "Registry settings of other versions of Orvalen will be erased if you run this version.";
  const uint64_t wide = kStoreVersion;
  reg::Write("Version", REG_QWORD, &wide, sizeof wide);
  reg::Write("Marker", REG_SZ, "old", 4);
  Program unreadable(Orvalen());
  Answer(unreadable, kOtherVersion, IDCANCEL);
  EXPECT_EQ(unreadable.WaitExit(), 0u);
  WriteNumber("Version", 1);
  for (int answer : {IDCANCEL, IDOK}) {
    Program program(Orvalen()), atOnce(Orvalen());
    {
      StandInShell shell(true);  // holds the start answered first in its set-up
      Answer(program, kOtherVersion, answer);
      EXPECT_TRUE(answer == IDOK ? WaitUntil([&] { return SettingUp(program.id()); }) : program.WaitExit() == 0)
          << "OK goes on with the start, Cancel ends it";
      // A start asked at the same time and answered meanwhile waits for this
      // version to be set up: it erases nothing.
      Answer(atOnce, kOtherVersion, answer);
    }
    EXPECT_EQ(atOnce.WaitExit(), 0u);
    EXPECT_EQ(reg::Read("Marker").exists, answer == IDCANCEL);
    EXPECT_EQ(reg::As<DWORD>(reg::Read("Version")), answer == IDCANCEL ? 1u : kStoreVersion);
    EXPECT_EQ(reg::Read("Server014").exists, answer == IDOK) << "the list set up";
  }

  // Two starts at once leave one Orvalen.
  {
    Program first(Orvalen()), second(Orvalen());
    EXPECT_TRUE(WaitUntil([&] { return first.Running() != second.Running(); }));
    EXPECT_NE(FindMainWindow(first.Running() ? first.id() : second.id()), nullptr);
  }
  // Started at log-on it ends after its correction, but not under a pass asked for meanwhile.
  Serve({{kServer, "exact 0"}});  // each reply waits for the next second
  WriteNumber("Schedule", 1);  // "On Startup"
  {
    Program logon(Orvalen("s"));
    const HWND hidden = logon.WaitWindow();
    ASSERT_TRUE(WaitUntil([] { return PassResults().back() == "correcting launch stepped"; }, kPassMs));
    ASSERT_TRUE(timeservers::Set(kServer, "now -93810000"));
    WriteNumber("MaxCorrection", 1);
    SendCommand(hidden, CMD_CORRECT_NOW);  // as a second start with "CorrectOnLaunch" asks
    Sleep(kExitDelayMs + 2000);
    Answer(logon, kAskDayAhead, IDNO);
    EXPECT_EQ(logon.WaitExit(2 * kExitDelayMs), 0u);
    EXPECT_EQ(PassResults().back(), "correcting second-start declined");
  }
  // Nor when the user opens its window meanwhile.
  ASSERT_TRUE(timeservers::Set(kServer, "exact 0"));
  Program logon(Orvalen("s"));
  HWND shown = logon.WaitWindow();
  EXPECT_EQ(Program(Orvalen()).WaitExit(), 0u);
  EXPECT_TRUE(IsWindowVisible(shown));
  EXPECT_TRUE(WaitUntil([] { return PassResults().back() == "correcting launch stepped"; }, kPassMs));
  EXPECT_FALSE(WaitUntil([&] { return !IsWindow(shown); }, 2 * kExitDelayMs)) << "the shown window went";
}

// Runs Orvalen.exe with its output in a pipe, and meanwhile while it runs;
// the exit code and what it printed.
std::pair<DWORD, std::string> RunCaptured(const std::string& args,
                                          const std::function<void()>& meanwhile = [] {}) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  CreatePipe(&read, &write, &inherit, 1 << 16);
  SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  DWORD code;
  {
    Program program(Orvalen(args), write);
    meanwhile();
    code = program.WaitExit(60000);
  }  // ended by now: the pipe holds all it wrote
  CloseHandle(write);
  std::string out;
  char buffer[4096];
  for (DWORD n; ReadFile(read, buffer, sizeof buffer, &n, nullptr) && n > 0;) out.append(buffer, n);
  CloseHandle(read);
  return {code, out};
}

// The window of a start that waits for the running Orvalen's answer, once its request is
// on the way: its thread takes messages only from then on.
HWND WaitingStart() {
  HWND window = nullptr;
  WaitUntil([&] {
    window = FindWindowExA(HWND_MESSAGE, nullptr, kAnswerWindowClass, nullptr);
    return window != nullptr && Ask(window, WM_NULL, 0, 0, -1) == 0;
  });
  return window;
}

// From now on the settings may be read but not written, as by a standard user.
bool DenyWrites() {
  PSECURITY_DESCRIPTOR readOnly = nullptr;
  HKEY key = reg::Open(reg::kSettingsKey, WRITE_DAC);
  const bool denied = ConvertStringSecurityDescriptorToSecurityDescriptorA(
                          "D:P(D;;0x6;;;WD)(A;;KA;;;WD)", SDDL_REVISION_1, &readOnly, nullptr) &&
                      RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, readOnly) == ERROR_SUCCESS;
  LocalFree(readOnly);
  RegCloseKey(key);
  return denied;
}

TEST_F(Session, AfterSleepOnANewNetworkAndFromAScript) {
  const char kWoke[] = "127.0.0.72";
  Serve({{kWoke, "silent"}});
  WriteNumber("Schedule", 9);  // "Every 3 Days": it corrects at once, as it never has
  ASSERT_TRUE(Start());
  auto connections = [&](int n) { return WaitUntil([&] { return timeservers::Count(kWoke) >= n; }, 60000); };
  EXPECT_TRUE(connections(1));
  RunPass(0);
  // A script's test leaves the failure in the tray, for the user to see.
  ASSERT_TRUE(TrayTipIs(kFailedTip));
  EXPECT_EQ(RunCaptured("/test").first, 1u);
  EXPECT_TRUE(TrayTipIs(kFailedTip));
  // A new network address after a pass that reached no server: a pass at once.
  ASSERT_TRUE(timeservers::Set(kWoke, "exact 0"));
  PostMessageA(window_, WM_APP + 1, 0, 0);
  EXPECT_TRUE(connections(3));
  RunPass(0);
  EXPECT_EQ(ControlText(window_, IDC_SYNC), "Synchronize Time");
  // Waking, the schedule is due: 10 s later, then after 30 s while no server
  // answers; a new address during that retry brings the next pass at once.
  for (const char* first : {"exact 0", "silent"}) {
    ASSERT_TRUE(timeservers::Set(kWoke, first));
    SendMessageA(window_, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
    SendMessageA(window_, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);  // a burst is one pass
    EXPECT_FALSE(WaitUntil([&] { return timeservers::Count(kWoke) > 0; }, 8000)) << first;
    EXPECT_TRUE(connections(1)) << first;
    RunPass(0);
    if (std::string(first) == "silent") {
      EXPECT_TRUE(connections(2));
      ASSERT_TRUE(timeservers::Set(kWoke, "exact 0"));  // the retry's connection stays silent
      PostMessageA(window_, WM_APP + 1, 0, 0);
      EXPECT_TRUE(WaitUntil([&] { return timeservers::Count(kWoke) >= 3; })) << "not at once";
      RunPass(0);
    }
    EXPECT_EQ(StoredServer(0).status, StatusMeasured) << first;
  }
  // Another program setting the clock is noted; a notice within 3 s of the
  // program's own step is taken for the system's echo of it.
  Sleep(3000);
  SendMessageA(window_, WM_TIMECHANGE, 0, 0);
  SendCommand(window_, CMD_OPEN);  // opened again, as from its icon: the note stays
  EXPECT_EQ(ControlText(window_, IDC_STATUS_LINE).rfind("Clock set elsewhere at ", 0), 0u);
  // Set elsewhere, or by a sleep (heard of as it begins or as it ends), while a pass
  // measures: nothing is stepped; the pass is made once more, or the catch-up after
  // waking stays due.
  // Read exactly, its step stays under the half second Wine makes; its
  // samples wait for whole seconds, so a pass lasts two seconds or more.
  ASSERT_TRUE(timeservers::Set(kWoke, "exact 0"));
  for (WPARAM power : {0, PBT_APMSUSPEND, PBT_APMRESUMEAUTOMATIC}) {
    SendCommand(window_, IDC_SYNC);
    SendMessageA(window_, power ? WM_POWERBROADCAST : WM_TIMECHANGE, power, 0);
    RunPass(0);
    EXPECT_EQ(PassResults().back(), "correcting user clock-changed") << power;
    if (power == PBT_APMSUSPEND) {  // the pass made once more waits for the wake, and gives way to its pass
      const int asked = timeservers::Count(kWoke);
      Sleep(kResumeWaitMs + 2000);
      EXPECT_EQ(timeservers::Count(kWoke), asked) << "a pass going to sleep";
      SendMessageA(window_, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
    }
    const std::string again = power ? "correcting resume stepped" : "correcting user stepped";
    EXPECT_TRUE(WaitUntil([&] { return PassResults().back() == again; }, kPassMs)) << power;
  }

  // From a script, handed to the running Orvalen, then run by the command itself.
  const std::regex kUsed("127\\.0\\.0\\.72\tused\t\\d+\t.*s\r\nCorrected .*s\\.\r\n");
  const std::regex kTested("127\\.0\\.0\\.72\ttested\t.*\r\n1 server\\(s\\) answered\\.\r\n");
  auto [code, out] = RunCaptured("/sync");
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(std::regex_match(out, kUsed)) << out;
  std::tie(code, out) = RunCaptured("/TEST");
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(std::regex_match(out, kTested)) << out;
  SendCommand(window_, CMD_QUIT);
  EXPECT_EQ(program_->WaitExit(), 0u);
  // Its window never shows: it keeps the user's place, even one off this screen.
  WINDOWPLACEMENT away = {sizeof away, 0, SW_SHOWNORMAL, {}, {}, {30000, 30000, 30400, 30300}};
  reg::Write("WindowPlacement", REG_BINARY, &away, sizeof away);
  std::tie(code, out) = RunCaptured("/sync");
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(std::regex_match(out, kUsed)) << out;
  EXPECT_EQ(reg::As<WINDOWPLACEMENT>(reg::Read("WindowPlacement")).rcNormalPosition.left, 30000);
  // Two started together, before either has a window: the second's correction is the first's.
  std::pair<DWORD, std::string> second;
  std::tie(code, out) = RunCaptured("/sync", [&] { second = RunCaptured("/sync"); });
  for (const auto& [exit, printed] : {std::make_pair(code, out), second}) {
    EXPECT_EQ(exit, 0u);
    EXPECT_TRUE(std::regex_match(printed, kUsed)) << printed;
  }
  // Two scripts at once: the first one's Orvalen runs the second one's test before it ends; a
  // correction, which a test's Orvalen does not make, runs in the second one's own.
  for (const bool syncFirst : {true, false}) {
    std::tie(code, out) = RunCaptured(syncFirst ? "/sync" : "/test", [&] {
      EXPECT_TRUE(WaitUntil([] { return FindMainWindow() != nullptr; }));
      second = RunCaptured(syncFirst ? "/test" : "/sync");
    });
    EXPECT_TRUE(std::regex_match(out, syncFirst ? kUsed : kTested)) << out;
    EXPECT_EQ(second.first, 0u) << second.second;
    EXPECT_TRUE(std::regex_match(second.second, syncFirst ? kTested : kUsed)) << second.second;
  }
  // A script takes no answer but its own: a test that another program asks for
  // in its name, and that ends first, does not answer its correction.
  const char kDrip[] = "nts://127.0.0.136";  // a key exchange that lasts until its time is up
  Serve({{kWoke, "exact 0"}, {kDrip, "ke-drip"}});
  ASSERT_TRUE(Start());
  Select(list_, {kDrip});
  SendCommand(window_, CMD_TEST_SERVER);  // the correction waits behind this test
  std::tie(code, out) = RunCaptured("/sync", [&] {
    const HWND script = WaitingStart();
    CommandRequest forged = {CommandTest, HandleToULong(script)};
    COPYDATASTRUCT data = {kCommandRequest, sizeof forged, &forged};
    EXPECT_EQ(Ask(window_, WM_COPYDATA, reinterpret_cast<WPARAM>(script), reinterpret_cast<LPARAM>(&data)),
              RequestTaken);
  });
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(std::regex_search(out, std::regex("\r\nCorrected .*s\\.\r\n$"))) << out;
  // A script's test that comes while the user's test tells the tray it has begun joins it.
  auto shell = std::make_unique<StandInShell>(true);  // the icon's update waits for it
  PostCommand(window_, CMD_TEST_SERVER);
  ASSERT_TRUE(WaitUntil([&] { return ControlText(window_, IDC_STATUS_LINE) == "Testing time servers..."; }));
  std::tie(code, out) = RunCaptured("/test", [&] {
    WaitingStart();
    Sleep(kQuietMs);
    shell.reset();
  });
  EXPECT_EQ(code, 0u);
  EXPECT_NE(out.find("127.0.0.72\ttested\t"), std::string::npos) << out;
  // Ended under the question of a large step, it starts no test held behind it: the script
  // is told the pass was stopped, after the window has gone, once another Orvalen has let
  // the history go.
  Select(list_, {kDrip});
  SendCommand(window_, CMD_TOGGLE_SERVER);
  ASSERT_TRUE(timeservers::Set(kWoke, "now -93810000"));
  WriteNumber("MaxCorrection", 1);
  SendCommand(window_, IDC_SYNC);
  ASSERT_NE(program_->WaitWindow(true), nullptr);
  HANDLE turn = CreateMutexA(nullptr, FALSE, kHistoryTurnName);
  ASSERT_EQ(WaitForSingleObject(turn, 0), WAIT_OBJECT_0);
  EXPECT_EQ(RunCaptured("/test", [&] {
    WaitingStart();
    Sleep(kQuietMs);
    PostCommand(window_, CMD_QUIT);
  }), std::make_pair(DWORD{kExitNoAgreement}, std::string("The pass was stopped before it began.\r\n")));
  ReleaseMutex(turn), CloseHandle(turn);
  EXPECT_EQ(program_->WaitExit(), 0u);
  reg::DeleteKey();  // the list of one server below
  // A pass whose every query fails at once answers once, handed over or its own.
  Serve({{"192.0.2.1", ""}});  // no route leaves the test's network
  ASSERT_TRUE(Start());
  const std::pair<DWORD, std::string> failed = {
      1, "192.0.2.1\tWinsock Error\t-\t-\r\nNot corrected: no time server answered.\r\n"};
  for (int handedOver = 0; handedOver < 2; ++handedOver) EXPECT_EQ(RunCaptured("/sync"), failed);
  SendCommand(window_, CMD_QUIT);
  EXPECT_EQ(program_->WaitExit(), 0u);
  EXPECT_EQ(RunCaptured("/sync"), failed);
  std::tie(code, out) = RunCaptured("/now");
  EXPECT_EQ(code, 3u);
  EXPECT_EQ(out.rfind("Usage: Orvalen.exe [/sync | /test]", 0), 0u) << out;
  WriteNumber("Version", 1);  // an error, not a pass that found no server
  EXPECT_EQ(RunCaptured("/sync").first, 4u);
  EXPECT_EQ(FindMainWindow(), nullptr) << "a command leaves nothing running";
  // Where settings may only be read, a test still runs; a command that must
  // write them says why it cannot.
  Serve({{kWoke, "exact 0"}});
  ASSERT_TRUE(DenyWrites());
  std::tie(code, out) = RunCaptured("/test");
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(std::regex_match(out, kTested)) << out;
  EXPECT_EQ(RunCaptured("/sync"), std::make_pair(DWORD{4}, std::string("Registry Problem\r\n")));
  reg::DeleteKey();
  // A log-on start there ends quietly, before it would ask to erase another version's settings.
  WriteNumber("Version", 1);
  ASSERT_TRUE(DenyWrites());
  EXPECT_EQ(Program(Orvalen("s")).WaitExit(), 0u) << "a box at log-on";
  reg::DeleteKey();
  // An Orvalen that met such a failure takes on no command behind its box,
  // and starts no pass on a wake or a new network.
  Serve({{kWoke, "exact 0"}});
  WriteNumber("Schedule", 2);  // "Every 30 Seconds", due at once
  ASSERT_TRUE(Start());
  ASSERT_TRUE(WaitUntil([&] { return timeservers::Count(kWoke) == 3; }, kPassMs));
  RunPass(0);
  ASSERT_TRUE(DenyWrites());
  const HWND slider = GetDlgItem(window_, IDC_SCHEDULE_SLIDER);
  Ask(slider, TBM_SETPOS, TRUE, 3);
  PostMessageA(window_, WM_HSCROLL, 0, reinterpret_cast<LPARAM>(slider));
  ASSERT_NE(program_->WaitWindow(true), nullptr);
  const int asked = timeservers::Count(kWoke);
  PostMessageA(window_, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
  PostMessageA(window_, WM_APP + 1, 0, 0);
  Sleep(kResumeWaitMs + 2000);
  EXPECT_EQ(timeservers::Count(kWoke), asked) << "a pass behind the box";
  EXPECT_EQ(RunCaptured("/sync"), std::make_pair(DWORD{4}, std::string("Registry Problem\r\n")));
  Answer(*program_, "Registry Problem");
  EXPECT_EQ(program_->WaitExit(), 0u);
  reg::DeleteKey();
  // A schedule due on waking waits for the pass after the wake, also when the window is
  // opened and its timer fires before the system tells of the wake (here: a sleep that gave
  // no notice).
  Serve({{kWoke, "exact 0"}});
  ASSERT_TRUE(Start());
  const HWND schedule = GetDlgItem(window_, IDC_SCHEDULE_SLIDER);
  Ask(schedule, TBM_SETPOS, TRUE, 2);  // "Every 30 Seconds", due at once
  ShowWindow(window_, SW_HIDE);
  HANDLE asleep = OpenThread(THREAD_SUSPEND_RESUME, FALSE, GetWindowThreadProcessId(window_, nullptr));
  ASSERT_NE(SuspendThread(asleep), static_cast<DWORD>(-1));
  // Taken before the timer, in this order.
  PostMessageA(window_, WM_HSCROLL, 0, reinterpret_cast<LPARAM>(schedule));
  PostCommand(window_, CMD_OPEN);
  Sleep(kTickGapMs + 1000);
  ResumeThread(asleep), CloseHandle(asleep);
  EXPECT_FALSE(WaitUntil([&] { return timeservers::Count(kWoke) > 0; }, 3000)) << "a pass before the wake";
  SendMessageA(window_, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
  EXPECT_TRUE(WaitUntil([&] { return timeservers::Count(kWoke) > 0; }, kPassMs));
  RunPass(0);
  SendCommand(window_, CMD_QUIT);
  EXPECT_EQ(program_->WaitExit(), 0u);
  reg::DeleteKey();

  // A start while a command runs opens an Orvalen of its own, which stays.
  Serve({{"slow.test", ""}});  // its look-up is never answered
  RunCaptured("/test", [&] {
    HWND command = nullptr;
    WaitUntil([&] { return (command = FindMainWindow()) != nullptr; });
    Start();
    SendCommand(command, IDC_SYNC);
  });
  ASSERT_TRUE(program_->Running());
  // A test held behind a pass that the user stops is answered at once.
  SendCommand(window_, IDC_SYNC);
  std::tie(code, out) = RunCaptured("/test", [&] {
    WaitingStart();
    SendCommand(window_, IDC_SYNC);
  });
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(out, "The pass was stopped before it began.\r\n");
}

}  // namespace
