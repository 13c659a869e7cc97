// The real program against loopback time servers: passes as the user sees
// them in the list, the status line and the tray, the list edits, the
// schedule and the launch-time correction.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <set>

#include "core/server_table.h"
#include "resources/resource.h"
#include "tests/e2e/driver.h"
#include "tests/win/registry.h"
#include "tests/win/timeservers.h"

namespace {

using namespace e2e;

constexpr DWORD kStartMs = 20000;
constexpr DWORD kPassMs = 30000;

// A stored server and what the loopback daemon plays for it (empty: nothing).
struct Server { const char *name, *behaviour; bool enabled = true; };

std::string ValueName(int slot) { return "Server" + std::to_string(1000 + slot).substr(1); }

ServerRecord StoredRecord(int slot) {
  return reg::As<ServerRecord>(reg::Read(ValueName(slot).c_str()));
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// Wine shows the notification area as a window of its own with one child
// per icon; the tips live in a tooltip window of the same process.
HWND TrayIconWindow() {
  HWND tray = FindWindowA("__winex11_standalone_tray", nullptr);
  return tray ? FindWindowExA(tray, nullptr, "__winex11_tray_icon", nullptr) : nullptr;
}

bool TrayTipIs(const std::string& tip) {
  DWORD tray = ProcessOf(TrayIconWindow());
  constexpr size_t kTextAt = 512;
  for (HWND window : TopWindows()) {
    char name[32] = "";
    GetClassNameA(window, name, sizeof name);
    if (!tray || ProcessOf(window) != tray || strcmp(name, "tooltips_class32") != 0) continue;
    RemoteBlock remote(window, kTextAt + 1024);
    for (LRESULT i = 0, n = SendMessageA(window, TTM_GETTOOLCOUNT, 0, 0); i < n; ++i) {
      TTTOOLINFOA tool = {};
      tool.cbSize = TTTOOLINFOA_V1_SIZE;
      tool.lpszText = reinterpret_cast<char*>(remote.at(kTextAt));
      char text[1024] = "";
      remote.Write(kTextAt, text, 1);
      remote.Write(0, &tool, sizeof tool);
      if (!SendMessageA(window, TTM_ENUMTOOLSA, i, remote.param())) continue;
      remote.Read(kTextAt, text, sizeof text - 1);
      if (text == tip) return true;
    }
  }
  return false;
}

class Passes : public ::testing::Test {
 protected:
  void SetUp() override {
    reg::DeleteKey();
    timeservers::Clear();
    Write("Version", 17968);  // the store's own
    Write("Schedule", 0);     // no pass of its own unless a test asks for one
  }
  void TearDown() override {
    program_.reset();
    timeservers::Clear();
    reg::DeleteKey();
  }

  static void Write(const char* name, DWORD value) { reg::Write(name, REG_DWORD, &value, 4); }

  // Stores the list in slot order and configures the loopback servers.
  static void StoreServers(const std::vector<Server>& servers) {
    for (size_t slot = 0; slot < servers.size(); ++slot) {
      const Server& s = servers[slot];
      // "ntp://127.0.0.N" is played by the daemon's address 127.0.0.N.
      const char* address = _strnicmp(s.name, "ntp://", 6) == 0 ? s.name + 6 : s.name;
      EXPECT_TRUE(!s.behaviour[0] || timeservers::Set(address, s.behaviour)) << s.name;
      ServerRecord record = {};
      strcpy(record.name, s.name);
      record.enabled = s.enabled;
      reg::Write(ValueName(static_cast<int>(slot)).c_str(), REG_BINARY, &record, sizeof record);
    }
  }

  // A plain start shows the window as the last step of setting it up;
  // commands that arrive earlier find the list still empty. 's' may keep it hidden.
  HWND Start(const std::string& args = "") {
    program_.reset(new Program(args));
    window_ = program_->WaitMainWindow(kStartMs);
    EXPECT_NE(window_, nullptr) << "no main window of " << ProgramPath();
    list_ = window_ ? GetDlgItem(window_, IDC_SERVER_LIST) : nullptr;
    EXPECT_TRUE(!args.empty() || WaitUntil([&] { return IsWindowVisible(window_); }, kStartMs));
    return window_;
  }

  void Restart() {
    SendCommand(window_, CMD_QUIT);
    EXPECT_EQ(program_->WaitExit(kStartMs), 0u);
    Start();
  }

  bool PassRunning() const { return ControlText(window_, IDC_SYNC) != "Synchronize Time"; }
  void WaitForPassEnd() { EXPECT_TRUE(WaitUntil([&] { return !PassRunning(); }, kPassMs)); }

  ListRow Row(const std::string& name) const {
    for (const ListRow& row : ReadRows(list_))
      if (row.text[0] == name) return row;
    return ListRow();
  }

  void Select(const std::set<std::string>& names) {
    std::vector<ListRow> rows = ReadRows(list_);
    for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
      UINT chosen = names.count(rows[i].text[0]) ? LVIS_SELECTED | LVIS_FOCUSED : 0;
      SetRowState(list_, i, chosen, chosen | LVIS_SELECTED);
    }
  }

  // Gives the command, checks the question it asks and answers OK.
  void Confirm(int command, const std::string& question) {
    PostCommand(window_, command);
    HWND box = program_->WaitMessageBox(kStartMs);
    ASSERT_NE(box, nullptr) << "no box for: " << question;
    EXPECT_EQ(ControlText(box, kMessageText), question);
    AnswerMessageBox(box, IDOK);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(box); }, kStartMs));
  }

  // Opens the name editor with the command, types name and ends with key.
  void EditName(int command, const std::string& name, WORD key) {
    SendCommand(window_, command);
    HWND editor = LabelEditor(list_);
    ASSERT_NE(editor, nullptr);
    SetText(editor, name);
    PostKey(editor, key);
  }

  std::unique_ptr<Program> program_;
  HWND window_ = nullptr;
  HWND list_ = nullptr;
};

TEST_F(Passes, ACorrectingPassAsTheUserSeesIt) {
  std::vector<Server> servers = {
      {"127.0.0.41", "now 500"}, {"127.0.0.42", "now 500"}, {"127.0.0.43", "now 500"},
      {"127.0.0.44", "now 500"}, {"127.0.0.45", "delay 1500 500"}, {"127.0.0.46", "delay 1200 500"},
      {"127.0.0.47", "now 500"}, {"127.0.0.48", "now 500"}, {"127.0.0.49", "now 500"},
      {"127.0.0.50", "now 500"}, {"127.0.0.51", "now 500"}, {"127.0.0.52", "now 500"},
      {"127.0.0.53", "now 9000"} /* the outlier */, {"127.0.0.54", "refuse"},
      {"127.0.0.55", "silent"}, {"127.0.0.56", "short"}, {"no-such-host.invalid", ""},
      {"127.0.0.58", "now 500", false} /* disabled */, {"127.0.0.59", "long"}, {"localhost", ""},
      {"127.0.0.57", "close"}, {"127.0.0.60", "split 300"}};
  ASSERT_TRUE(timeservers::Set("127.0.0.1", "now 500"));
  StoreServers(servers);
  ASSERT_TRUE(Start());
  EXPECT_EQ(ColumnHeading(list_, 0) + ", " + ColumnHeading(list_, 1) + ", " +
                ColumnHeading(list_, 2), "Time Server, Latency (ms), Correction");

  EXPECT_TRUE(SendCommand(window_, IDC_SYNC));
  EXPECT_EQ(ControlText(window_, IDC_SYNC), "Stop Correcting...");
  EXPECT_EQ(ControlText(window_, IDC_STATUS_LINE), "Checking time servers...");
  // Progress as the rows show it ("...": a step), sampled while the pass runs.
  std::set<std::string> progress;
  bool shot = false;
  EXPECT_TRUE(WaitUntil([&] {
    for (const ListRow& row : ReadRows(list_))
      if (EndsWith(row.text[1], "...")) progress.insert(row.text[1]);
    if (!shot && progress.count("Reading 2...")) shot = SaveScreenshot(window_, "pass_running.bmp");
    return !PassRunning();
  }, kPassMs));
  const std::regex step("DNS Lookup\\.\\.\\.|(Connecting|Reading) [1-3]\\.\\.\\.");
  for (const std::string& t : progress) EXPECT_TRUE(std::regex_match(t, step)) << t;
  EXPECT_TRUE(progress.count("Reading 1...") || progress.count("Reading 2...") ||
              progress.count("Reading 3..."));

  SaveScreenshot(window_, "pass_done.bmp");
  // Per server: the stored status, the latency text (null: a number) and what
  // the correction ends with (null: nothing shown).
  const struct { const char *name; uint32_t status; const char *latency, *tail; } expected[] = {
      {"127.0.0.41", StatusMeasured, nullptr, "s"}, {"127.0.0.45", StatusMeasured, nullptr, "s"},
      {"127.0.0.53", StatusRejected, nullptr, "s (unused)"},
      {"127.0.0.54", StatusRefused, "Refused", nullptr},
      {"127.0.0.58", StatusDisabled, "Disabled", nullptr},
      {"127.0.0.55", StatusSlowResponse, "Slow Response", nullptr},
      {"127.0.0.56", StatusNoResponse, "No Response", nullptr},
      {"no-such-host.invalid", StatusNoDnsEntry, "No DNS entry", nullptr},
      {"127.0.0.59", StatusMeasured, nullptr, "s"} /* the surplus is ignored */,
      {"localhost", StatusMeasured, nullptr, "s"},
      // A close without data raises no read notice: the deadline ends it.
      {"127.0.0.57", StatusSlowResponse, "Slow Response", nullptr},
      {"127.0.0.60", StatusNoResponse, "No Response", nullptr}};  // 2 bytes, then 2 more
  for (const auto& e : expected) {
    ListRow row = Row(e.name);
    const std::string &latency = row.text[1], &correction = row.text[2];
    ASSERT_NE(row.param, -1) << e.name;
    EXPECT_EQ(StoredRecord(static_cast<int>(row.param)).status, e.status) << e.name;
    bool number = !latency.empty() && latency.find_first_not_of("0123456789") == std::string::npos;
    EXPECT_TRUE(e.latency ? latency == e.latency : number) << e.name << ": " << latency;
    EXPECT_TRUE(e.tail ? EndsWith(correction, e.tail) : correction.empty())
        << e.name << ": " << correction;
  }
  EXPECT_EQ(timeservers::Count("127.0.0.41"), 3) << "one connection per sample";
  EXPECT_GE(std::stoi(Row("127.0.0.45").text[1]), 1490) << "a server's delay is its latency";
  // Measured servers come first, quickest first; failures after them.
  std::vector<ListRow> rows = ReadRows(list_);
  ASSERT_EQ(rows.size(), servers.size());
  EXPECT_NE(rows.front().text[2], "");
  EXPECT_EQ(rows.back().text[0], "127.0.0.58");  // disabled rows sort last

  // The mean of the kept servers is under a second; Wine applies a step of
  // under half a second and refuses a larger one, which then records none.
  reg::Value value = reg::Read("LastCorrectionValue");
  ASSERT_TRUE(value.exists);
  bool applied = std::llabs(reg::As<int64_t>(value)) < 500;
  std::string status = ControlText(window_, IDC_STATUS_LINE);
  bool corrected = status.rfind("Corrected ", 0) == 0 && status.find(" at ") != std::string::npos;
  EXPECT_TRUE(applied ? corrected : status.empty()) << status;
  EXPECT_EQ(reg::As<int64_t>(reg::Read("LastCorrectionTime")) != 0, applied);
}

TEST_F(Passes, NtpAndTimeServersSideBySide) {
  const char kSilent[] = "ntp://127.0.0.123";
  StoreServers({{"ntp://127.0.0.121", "ntp-exact 200"}, {"NTP://127.0.0.122", "ntp-exact 200"},
                {kSilent, "ntp-silent"}, {"ntp://127.0.0.124", "ntp-rate"},
                {"ntp://127.0.0.125", "ntp-origin"}, {"ntp://127.0.0.126", "ntp-leap"},
                {"ntp://127.0.0.127", "ntp-stratum0"}, {"ntp://127.0.0.128", "ntp-short"},
                {"ntp://127.0.0.129", "now 500"} /* TIME only: port 123 is closed */,
                {"127.0.0.130", "now 500"}});
  ASSERT_TRUE(Start());
  SendCommand(window_, IDC_SYNC);
  // No connection to wait for: an NTP row goes from its request to the reply.
  std::set<std::string> silentProgress;
  EXPECT_TRUE(WaitUntil([&] {
    silentProgress.insert(Row(kSilent).text[1]);
    return !PassRunning();
  }, kPassMs));
  EXPECT_TRUE(silentProgress.count("Reading 1...")) << "no progress seen";
  EXPECT_FALSE(silentProgress.count("Connecting 1..."));

  const struct { const char* name; uint32_t status; const char* latency; } expected[] = {
      {"ntp://127.0.0.121", StatusMeasured, nullptr}, {"NTP://127.0.0.122", StatusMeasured, nullptr},
      {kSilent, StatusSlowResponse, "Slow Response"},
      {"ntp://127.0.0.124", StatusRefused, "Refused"},
      {"ntp://127.0.0.125", StatusSlowResponse, "Slow Response"},  // every reply ignored
      {"ntp://127.0.0.126", StatusNoResponse, "No Response"},
      {"ntp://127.0.0.127", StatusNoResponse, "No Response"},
      {"ntp://127.0.0.128", StatusNoResponse, "No Response"},
      {"ntp://127.0.0.129", StatusRefused, "Refused"},
      {"127.0.0.130", StatusRejected, nullptr}};
  for (const auto& e : expected) {
    ListRow row = Row(e.name);
    ASSERT_NE(row.param, -1) << e.name;
    EXPECT_EQ(StoredRecord(static_cast<int>(row.param)).status, e.status) << e.name;
    if (e.latency) {
      EXPECT_EQ(row.text[1], e.latency) << e.name;
    }
  }
  EXPECT_EQ(timeservers::Count("127.0.0.124"), 1) << "no request after a kiss-o'-death";
  // Whole-second TIME readings stay out of the mean beside NTP results.
  EXPECT_TRUE(EndsWith(Row("127.0.0.130").text[2], "s (unused)")) << Row("127.0.0.130").text[2];
  EXPECT_NEAR(reg::As<int64_t>(reg::Read("LastCorrectionValue")), 200, 10);

  // A testing pass over one NTP server leaves the last correction alone.
  reg::Value before = reg::Read("LastCorrectionTime");
  Select({"ntp://127.0.0.121"});
  SendCommand(window_, CMD_TEST_SERVER);
  WaitForPassEnd();
  EXPECT_TRUE(EndsWith(Row("ntp://127.0.0.121").text[2], " (test)")) << Row("ntp://127.0.0.121").text[2];
  EXPECT_EQ(reg::Read("LastCorrectionTime").bytes, before.bytes);
}

TEST_F(Passes, APassWithoutAnswersShowsTheFailureInTheTray) {
  StoreServers({{"127.0.0.66", "refuse"}, {"127.0.0.67", "close"}});
  ASSERT_TRUE(Start());
  std::string before = ControlText(window_, IDC_STATUS_LINE);
  std::vector<BYTE> normal = ScreenPixels(TrayIconWindow());
  ASSERT_FALSE(normal.empty()) << "no tray icon";
  SendCommand(window_, IDC_SYNC);
  EXPECT_TRUE(TrayTipIs("Checking time servers..."));
  WaitForPassEnd();
  EXPECT_TRUE(WaitUntil([&] { return ScreenPixels(TrayIconWindow()) != normal; }, 3000));
  EXPECT_TRUE(TrayTipIs("Unsuccessful correction!  Double-click for details..."));
  EXPECT_EQ(ControlText(window_, IDC_STATUS_LINE), before);
  // A restarted shell has lost every icon and says so with "TaskbarCreated";
  // the hidden program puts its icon back as it was.
  std::vector<BYTE> failed = ScreenPixels(TrayIconWindow());
  ShowWindow(window_, SW_HIDE);
  NOTIFYICONDATAA icon = {};
  icon.cbSize = NOTIFYICONDATAA_V1_SIZE;
  icon.hWnd = window_;
  ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, &icon));
  ASSERT_TRUE(WaitUntil([] { return TrayIconWindow() == nullptr; }, 3000));
  PostMessageA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
  EXPECT_TRUE(WaitUntil([&] { return ScreenPixels(TrayIconWindow()) == failed; }, 3000));
  EXPECT_TRUE(TrayTipIs("Unsuccessful correction!  Double-click for details..."));
  // A double click on the icon opens the window and clears the failure.
  SendMessageA(window_, WM_USER, 0, WM_LBUTTONDBLCLK);
  EXPECT_TRUE(WaitUntil([&] { return ScreenPixels(TrayIconWindow()) == normal; }, 3000));
  EXPECT_FALSE(TrayTipIs("Unsuccessful correction!  Double-click for details..."));
  EXPECT_TRUE(IsWindowVisible(window_));
}

TEST_F(Passes, AStalledPassEndsTwoSecondsAfterTheLastConnection) {
  StoreServers({{"127.0.0.61", "silent"}, {"127.0.0.62", "now 500"}});
  ASSERT_TRUE(Start());
  DWORD start = GetTickCount();
  SendCommand(window_, IDC_SYNC);
  WaitForPassEnd();
  DWORD took = GetTickCount() - start;
  // Two seconds after the last connection completed, checked every 200 ms.
  EXPECT_GE(took, 1900u);
  EXPECT_LT(took, 4000u);
  EXPECT_EQ(Row("127.0.0.61").text[1], "Slow Response");
  EXPECT_EQ(StoredRecord(0).status, static_cast<uint32_t>(StatusSlowResponse));
}

TEST_F(Passes, TestingChosenServersLeavesTheCorrectionAlone) {
  StoreServers({{"127.0.0.63", "now 3000"}, {"127.0.0.64", "now 500"}, {"127.0.0.65", "now 500"}});
  int64_t earlier = 123456789;
  reg::Write("LastCorrectionTime", REG_BINARY, &earlier, 8);
  ASSERT_TRUE(Start());
  Select({"127.0.0.63", "127.0.0.64"});
  SendCommand(window_, CMD_TEST_SERVER);
  EXPECT_EQ(ControlText(window_, IDC_STATUS_LINE), "Testing time servers...");
  WaitForPassEnd();
  for (const char* name : {"127.0.0.63", "127.0.0.64"})
    EXPECT_NE(Row(name).text[2].find(" (test)"), std::string::npos) << Row(name).text[2];
  EXPECT_EQ(Row("127.0.0.65").text[2], "");
  EXPECT_EQ(StoredRecord(0).status, static_cast<uint32_t>(StatusTested));
  EXPECT_EQ(reg::As<int64_t>(reg::Read("LastCorrectionTime")), earlier);
  EXPECT_FALSE(reg::Read("LastCorrectionValue").exists);
}

TEST_F(Passes, ListEditsSurviveARestart) {
  StoreServers({{"127.0.0.71", ""}, {"127.0.0.72", ""}, {"127.0.0.73", ""}, {"127.0.0.74", ""}});
  ASSERT_TRUE(Start());

  Select({"127.0.0.72", "127.0.0.73"});
  Confirm(CMD_DELETE_SERVER, "Are you sure you want to delete 2 server(s)?");
  EXPECT_TRUE(WaitUntil([&] { return ListCount(list_) == 2; }, kStartMs));
  EXPECT_FALSE(reg::Read("Server001").exists);

  // Add: the lowest free slot, opened for editing; Enter keeps the name.
  EditName(IDC_ADD_SERVER, "added.example", VK_RETURN);
  EXPECT_TRUE(WaitUntil([&] { return Row("added.example").param == 1; }, kStartMs));

  // Rename another; Escape keeps the old name.
  Select({"127.0.0.74"});
  EditName(CMD_EDIT_SERVER, "renamed.example", VK_ESCAPE);
  EXPECT_TRUE(WaitUntil([&] { return LabelEditor(list_) == nullptr; }, kStartMs));
  EXPECT_EQ(Row("127.0.0.74").param, 3);
  EditName(CMD_EDIT_SERVER, "renamed.example", VK_RETURN);
  EXPECT_TRUE(WaitUntil([&] { return Row("renamed.example").param == 3; }, kStartMs));
  EXPECT_STREQ(StoredRecord(3).name, "renamed.example");

  Select({"127.0.0.71"});
  SendCommand(window_, CMD_TOGGLE_SERVER);  // disabled
  EXPECT_EQ(StoredRecord(0).enabled, 0u);

  Restart();
  ASSERT_EQ(ListCount(list_), 3);
  EXPECT_EQ(Row("added.example").param, 1);
  EXPECT_EQ(Row("renamed.example").param, 3);
  EXPECT_EQ(Row("127.0.0.71").param, 0);
  EXPECT_EQ(StoredRecord(0).enabled, 0u);
  SendCommand(window_, IDC_SYNC);  // the disabled server is marked as such
  WaitForPassEnd();
  EXPECT_EQ(Row("127.0.0.71").text[1], "Disabled");

  Select({"127.0.0.71"});
  SendCommand(window_, CMD_TOGGLE_SERVER);  // enabled again
  EXPECT_EQ(StoredRecord(0).enabled, 1u);
  Confirm(IDC_RESTORE_LIST, "Are you sure you want to reset the server list?");
  EXPECT_TRUE(WaitUntil([&] { return ListCount(list_) == kDefaultServerCount; }, kStartMs));
  Restart();
  EXPECT_EQ(ListCount(list_), kDefaultServerCount);
  EXPECT_FALSE(reg::Read("Server015").exists);
}

TEST_F(Passes, TheClockTextChangesOnceASecond) {
  ASSERT_TRUE(Start());
  std::string last = ControlText(window_, IDC_CLOCK);
  int changes = 0;
  for (DWORD start = GetTickCount(); GetTickCount() - start < 3000; Sleep(20)) {
    std::string now = ControlText(window_, IDC_CLOCK);
    changes += now != std::exchange(last, now);
  }
  EXPECT_GE(changes, 2);
  EXPECT_LE(changes, 4);
  EXPECT_NE(last.find("m on "), std::string::npos) << last;
}

TEST_F(Passes, EveryThirtySecondsRunsPassesByItself) {
  StoreServers({{"127.0.0.81", "now 500"}});
  Write("Schedule", 2);  // "Every 30 Seconds"
  ASSERT_TRUE(Start());
  SendCommand(window_, CMD_OPEN);  // visible: the clock timer ticks every 100 ms
  // Never corrected before: the first tick starts a pass.
  EXPECT_TRUE(WaitUntil([] { return timeservers::Count("127.0.0.81") >= 3; }, 5000));
  EXPECT_TRUE(WaitUntil([] { return timeservers::Count("127.0.0.81") >= 6; }, 40000));
}

TEST_F(Passes, OnStartupCorrectsOnceAndEnds) {
  StoreServers({{"127.0.0.82", "now 500"}});
  Write("Schedule", 1);  // "On Startup"
  Program program("s");
  DWORD start = GetTickCount();
  EXPECT_TRUE(WaitUntil([] { return reg::Read("LastCorrectionValue").exists; }, kPassMs));
  EXPECT_EQ(program.WaitExit(kPassMs), 0u);
  EXPECT_GE(GetTickCount() - start, 9000u);  // ten seconds after the correction
  EXPECT_EQ(FindMainWindow(program.id()), nullptr);
}

TEST_F(Passes, TheTrayMenuKeepsALaunchTimeCorrectionRunning) {
  StoreServers({{"127.0.0.83", "now 500"}});
  Write("Schedule", 1);  // "On Startup"
  ASSERT_TRUE(Start("s"));
  EXPECT_FALSE(IsWindowVisible(window_));
  EXPECT_TRUE(WaitUntil([] { return reg::Read("LastCorrectionValue").exists; }, kPassMs));
  // A click on the tray icon opens its menu; Escape closes it again.
  PostMessageA(window_, WM_USER, 0, WM_RBUTTONDOWN);
  EXPECT_TRUE(WaitUntil([] { return FindWindowA("#32768", nullptr) != nullptr; }, 5000));
  PostMessageA(window_, WM_KEYDOWN, VK_ESCAPE, 0);
  Sleep(12000);
  EXPECT_TRUE(program_->Running());
}

}  // namespace
