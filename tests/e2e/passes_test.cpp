// The real program against loopback time servers: passes as the user sees
// them in the list, the status line and the tray, the list edits, the
// schedule and the launch-time correction.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "core/server_table.h"
#include "resources/resource.h"
#include "tests/e2e/driver.h"
#include "tests/win/registry.h"
#include "tests/win/timeservers.h"

namespace {

using namespace e2e;

constexpr DWORD kStoreVersion = 17968;
constexpr DWORD kStartMs = 20000;
constexpr DWORD kPassMs = 30000;

struct Server {
  const char* name;
  const char* behaviour;  // for the loopback daemon; empty for none
  bool enabled = true;
};

std::string ValueName(int slot) {
  char name[16];
  std::snprintf(name, sizeof name, "Server%03d", slot);
  return name;
}

ServerRecord StoredRecord(int slot) {
  ServerRecord record = {};
  reg::Value value = reg::Read(ValueName(slot).c_str());
  if (value.bytes.size() == sizeof record) memcpy(&record, value.bytes.data(), sizeof record);
  return record;
}

// Wine shows the notification area as a window of its own with one child
// per icon; the tips live in a tooltip window of the same process.
HWND TrayIconWindow() {
  HWND tray = FindWindowA("__winex11_standalone_tray", nullptr);
  return tray ? FindWindowExA(tray, nullptr, "__winex11_tray_icon", nullptr) : nullptr;
}

// What the tray icon shows, pixel by pixel.
std::vector<RGBQUAD> TrayIconPicture() {
  HWND icon = TrayIconWindow();
  RECT r;
  if (!icon || !GetWindowRect(icon, &r)) return {};
  int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  SelectObject(memory, old);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = -h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  std::vector<RGBQUAD> pixels(static_cast<size_t>(w) * h);
  GetDIBits(memory, bitmap, 0, h, pixels.data(), &info, DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return pixels;
}

bool SamePicture(const std::vector<RGBQUAD>& a, const std::vector<RGBQUAD>& b) {
  return a.size() == b.size() && !a.empty() &&
         memcmp(a.data(), b.data(), a.size() * sizeof(RGBQUAD)) == 0;
}

struct TipSearch {
  DWORD processId;
  std::vector<std::string> tips;
};

BOOL CALLBACK CollectTips(HWND window, LPARAM param) {
  TipSearch& search = *reinterpret_cast<TipSearch*>(param);
  char name[64] = "";
  GetClassNameA(window, name, sizeof name);
  if (ProcessOf(window) != search.processId || strcmp(name, "tooltips_class32") != 0) return TRUE;
  LRESULT count = SendMessageA(window, TTM_GETTOOLCOUNT, 0, 0);
  constexpr size_t kTextAt = 512;
  RemoteBlock remote(window, kTextAt + 1024);
  for (LRESULT i = 0; i < count; ++i) {
    TTTOOLINFOA tool = {};
    tool.cbSize = TTTOOLINFOA_V1_SIZE;
    tool.lpszText = reinterpret_cast<char*>(remote.at(kTextAt));
    char empty = 0;
    remote.Write(kTextAt, &empty, 1);
    remote.Write(0, &tool, sizeof tool);
    if (!SendMessageA(window, TTM_ENUMTOOLSA, i, reinterpret_cast<LPARAM>(remote.at(0)))) continue;
    char text[1024] = "";
    remote.Read(kTextAt, text, sizeof text - 1);
    search.tips.push_back(text);
  }
  return TRUE;
}

std::vector<std::string> TrayTips() {
  TipSearch search = {ProcessOf(TrayIconWindow()), {}};
  if (search.processId) EnumWindows(CollectTips, reinterpret_cast<LPARAM>(&search));
  return search.tips;
}

bool TrayTipIs(const std::string& tip) {
  for (const std::string& t : TrayTips())
    if (t == tip) return true;
  return false;
}

class Passes : public ::testing::Test {
 protected:
  void SetUp() override {
    reg::DeleteKey();
    timeservers::Clear();
    DWORD version = kStoreVersion;
    reg::Write("Version", REG_DWORD, &version, 4);
    Schedule(0);  // no pass of its own unless a test asks for one
  }
  void TearDown() override {
    program_.reset();
    timeservers::Clear();
    reg::DeleteKey();
  }

  static void Schedule(DWORD index) { reg::Write("Schedule", REG_DWORD, &index, 4); }

  // Stores the list in slot order and configures the loopback servers.
  static void StoreServers(const std::vector<Server>& servers) {
    for (size_t slot = 0; slot < servers.size(); ++slot) {
      const Server& s = servers[slot];
      if (s.behaviour[0] != '\0') {
        EXPECT_TRUE(timeservers::Set(s.name, s.behaviour)) << s.name;
      }
      ServerRecord record = {};
      strcpy(record.name, s.name);
      record.enabled = s.enabled;
      reg::Write(ValueName(static_cast<int>(slot)).c_str(), REG_BINARY, &record, sizeof record);
    }
  }

  HWND Start(const std::string& args = "") {
    program_.reset(new Program(args));
    EXPECT_TRUE(program_->started());
    window_ = program_->WaitMainWindow(kStartMs);
    EXPECT_NE(window_, nullptr);
    list_ = window_ ? GetDlgItem(window_, IDC_SERVER_LIST) : nullptr;
    // A plain start shows the window as the last step of setting it up;
    // commands that arrive earlier find the list still empty.
    EXPECT_TRUE(WaitUntil([&] { return IsWindowVisible(window_) != FALSE; }, kStartMs));
    return window_;
  }

  void Restart() {
    SendCommand(window_, CMD_QUIT);
    EXPECT_EQ(program_->WaitExit(kStartMs), 0u);
    Start();
  }

  bool PassRunning() const { return ControlText(window_, IDC_SYNC) != "Synchronize Time"; }

  void WaitForPassEnd() {
    EXPECT_TRUE(WaitUntil([&] { return !PassRunning(); }, kPassMs)) << "the pass did not end";
  }

  // Row texts by server name.
  std::vector<ListRow> Rows() const { return ReadRows(list_); }
  ListRow Row(const std::string& name) const {
    for (const ListRow& row : Rows())
      if (row.text[0] == name) return row;
    return ListRow();
  }

  void Select(const std::set<std::string>& names) {
    std::vector<ListRow> rows = Rows();
    for (size_t i = 0; i < rows.size(); ++i) {
      bool chosen = names.count(rows[i].text[0]) != 0;
      SetRowState(list_, static_cast<int>(i), chosen ? LVIS_SELECTED : 0, LVIS_SELECTED);
      if (chosen) SetRowState(list_, static_cast<int>(i), LVIS_FOCUSED, LVIS_FOCUSED);
    }
  }

  // Answers the next message box of the program after checking its text.
  void Answer(const std::string& text, int answer) {
    HWND box = program_->WaitMessageBox(kStartMs);
    ASSERT_NE(box, nullptr) << "no box for: " << text;
    EXPECT_EQ(ControlText(box, kMessageText), text);
    AnswerMessageBox(box, answer);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(box); }, kStartMs));
  }

  std::unique_ptr<Program> program_;
  HWND window_ = nullptr;
  HWND list_ = nullptr;
};

TEST_F(Passes, ACorrectingPassAsTheUserSeesIt) {
  std::vector<Server> servers = {
      {"127.0.0.41", "now 500"},        {"127.0.0.42", "now 500"},
      {"127.0.0.43", "now 500"},        {"127.0.0.44", "now 500"},
      {"127.0.0.45", "delay 1500 500"}, {"127.0.0.46", "delay 1200 500"},
      {"127.0.0.47", "now 500"},        {"127.0.0.48", "now 500"},
      {"127.0.0.49", "now 500"},        {"127.0.0.50", "now 500"},
      {"127.0.0.51", "now 500"},        {"127.0.0.52", "now 500"},
      {"127.0.0.53", "now 9000"},     // the outlier
      {"127.0.0.54", "refuse"},       {"127.0.0.55", "silent"},
      {"127.0.0.56", "short"},        {"no-such-host.invalid", ""},
      {"127.0.0.58", "now 500", false},  // disabled
      {"127.0.0.59", "long"},         {"localhost", ""},
  };
  ASSERT_TRUE(timeservers::Set("127.0.0.1", "now 500"));
  StoreServers(servers);
  ASSERT_TRUE(Start());
  const char* headings[] = {"Time Server", "Latency (ms)", "Correction"};
  for (int column = 0; column < 3; ++column)
    EXPECT_EQ(ColumnHeading(list_, column), headings[column]);

  EXPECT_TRUE(SendCommand(window_, IDC_SYNC));
  EXPECT_EQ(ControlText(window_, IDC_SYNC), "Stop Correcting...");
  EXPECT_EQ(ControlText(window_, IDC_STATUS_LINE), "Checking time servers...");
  // Progress as the rows show it, sampled while the pass runs.
  std::set<std::string> progress;
  bool shot = false;
  WaitUntil([&] {
    for (const ListRow& row : Rows()) {
      const std::string& t = row.text[1];
      if (t.rfind("Connecting", 0) == 0 || t.rfind("Reading", 0) == 0 || t.rfind("DNS", 0) == 0)
        progress.insert(t);
    }
    if (!shot && progress.count("Reading 2...")) shot = SaveScreenshot(window_, "pass_running.bmp");
    return !PassRunning();
  }, kPassMs);
  EXPECT_FALSE(PassRunning());
  EXPECT_TRUE(progress.count("Reading 1...") || progress.count("Reading 2...") ||
              progress.count("Reading 3..."));
  for (const std::string& t : progress)
    EXPECT_TRUE(t == "DNS Lookup..." || t == "Connecting 1..." || t == "Connecting 2..." ||
                t == "Connecting 3..." || t == "Reading 1..." || t == "Reading 2..." ||
                t == "Reading 3...") << t;

  SaveScreenshot(window_, "pass_done.bmp");
  struct Expect {
    const char* name;
    uint32_t status;
    const char* latencyText;     // null: a number
    const char* correctionTail;  // what the correction ends with; null: nothing shown
  } expected[] = {
      {"127.0.0.41", StatusMeasured, nullptr, "s"},
      {"127.0.0.45", StatusMeasured, nullptr, "s"},
      {"127.0.0.53", StatusRejected, nullptr, "s (unused)"},
      {"127.0.0.54", StatusRefused, "Refused", nullptr},
      {"127.0.0.55", StatusSlowResponse, "Slow Response", nullptr},
      {"127.0.0.56", StatusNoResponse, "No Response", nullptr},
      {"no-such-host.invalid", StatusNoDnsEntry, "No DNS entry", nullptr},
      {"127.0.0.58", StatusDisabled, "Disabled", nullptr},
      {"127.0.0.59", StatusMeasured, nullptr, "s"},
      {"localhost", StatusMeasured, nullptr, "s"},
  };
  for (const Expect& e : expected) {
    ListRow row = Row(e.name);
    ASSERT_NE(row.param, -1) << e.name;
    EXPECT_EQ(StoredRecord(static_cast<int>(row.param)).status, e.status) << e.name;
    if (e.latencyText) {
      EXPECT_EQ(row.text[1], e.latencyText) << e.name;
    } else {
      const std::string& latency = row.text[1];
      EXPECT_TRUE(!latency.empty() && latency.find_first_not_of("0123456789") == std::string::npos)
          << e.name << ": " << latency;
    }
    if (e.correctionTail) {
      const std::string& c = row.text[2];
      ASSERT_GE(c.size(), strlen(e.correctionTail)) << e.name;
      EXPECT_EQ(c.substr(c.size() - strlen(e.correctionTail)), e.correctionTail) << e.name;
    } else {
      EXPECT_EQ(row.text[2], "") << e.name;
    }
  }
  // Measured servers come first, quickest first; failures after them.
  std::vector<ListRow> rows = Rows();
  ASSERT_EQ(rows.size(), servers.size());
  EXPECT_NE(rows.front().text[2], "");
  EXPECT_EQ(rows.back().text[0], "127.0.0.58");  // disabled rows sort last

  // The mean of the kept servers is under a second; Wine applies a step of
  // under half a second and refuses a larger one, which then records none.
  reg::Value value = reg::Read("LastCorrectionValue");
  ASSERT_TRUE(value.exists);
  int64_t mean = reg::As<int64_t>(value);
  std::string status = ControlText(window_, IDC_STATUS_LINE);
  if (mean > -500 && mean < 500) {
    EXPECT_EQ(status.rfind("Corrected ", 0), 0u) << status;
    EXPECT_NE(status.find(" at "), std::string::npos) << status;
    EXPECT_NE(reg::As<int64_t>(reg::Read("LastCorrectionTime")), 0);
  } else {
    EXPECT_EQ(status, "");
    EXPECT_EQ(reg::As<int64_t>(reg::Read("LastCorrectionTime")), 0);
  }
}

TEST_F(Passes, APassWithoutAnswersShowsTheFailureInTheTray) {
  StoreServers({{"127.0.0.66", "refuse"}, {"127.0.0.67", "close"}});
  ASSERT_TRUE(Start());
  std::string before = ControlText(window_, IDC_STATUS_LINE);
  std::vector<RGBQUAD> normal = TrayIconPicture();
  ASSERT_FALSE(normal.empty()) << "no tray icon";
  SendCommand(window_, IDC_SYNC);
  EXPECT_TRUE(TrayTipIs("Checking time servers..."));
  WaitForPassEnd();
  std::vector<RGBQUAD> failed;
  EXPECT_TRUE(WaitUntil([&] { return !SamePicture(failed = TrayIconPicture(), normal); }, 3000));
  EXPECT_TRUE(TrayTipIs("Unsuccessful correction!  Double-click for details..."));
  EXPECT_EQ(ControlText(window_, IDC_STATUS_LINE), before);
  // A double click on the icon opens the window and clears the failure.
  SendMessageA(window_, WM_USER, 0, WM_LBUTTONDBLCLK);
  EXPECT_TRUE(WaitUntil([&] { return SamePicture(TrayIconPicture(), normal); }, 3000));
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
  for (const char* name : {"127.0.0.63", "127.0.0.64"}) {
    const std::string& c = Row(name).text[2];
    EXPECT_NE(c.find(" (test)"), std::string::npos) << name << ": " << c;
  }
  EXPECT_EQ(Row("127.0.0.65").text[2], "");
  EXPECT_EQ(StoredRecord(0).status, static_cast<uint32_t>(StatusTested));
  EXPECT_EQ(reg::As<int64_t>(reg::Read("LastCorrectionTime")), earlier);
  EXPECT_FALSE(reg::Read("LastCorrectionValue").exists);
}

TEST_F(Passes, ListEditsSurviveARestart) {
  StoreServers({{"127.0.0.71", ""}, {"127.0.0.72", ""}, {"127.0.0.73", ""}, {"127.0.0.74", ""}});
  ASSERT_TRUE(Start());

  // Delete, with its question.
  Select({"127.0.0.72", "127.0.0.73"});
  PostCommand(window_, CMD_DELETE_SERVER);
  Answer("Are you sure you want to delete 2 server(s)?", IDOK);
  EXPECT_TRUE(WaitUntil([&] { return ListCount(list_) == 2; }, kStartMs));
  EXPECT_FALSE(reg::Read("Server001").exists);

  // Add: the lowest free slot, opened for editing; Enter keeps the name.
  SendCommand(window_, IDC_ADD_SERVER);
  HWND editor = LabelEditor(list_);
  ASSERT_NE(editor, nullptr);
  SetText(editor, "added.example");
  PostKey(editor, VK_RETURN);
  EXPECT_TRUE(WaitUntil([&] { return Row("added.example").param == 1; }, kStartMs));

  // Rename another; Escape keeps the old name.
  Select({"127.0.0.74"});
  SendCommand(window_, CMD_EDIT_SERVER);
  editor = LabelEditor(list_);
  ASSERT_NE(editor, nullptr);
  SetText(editor, "renamed.example");
  PostKey(editor, VK_ESCAPE);
  EXPECT_TRUE(WaitUntil([&] { return LabelEditor(list_) == nullptr; }, kStartMs));
  EXPECT_EQ(Row("127.0.0.74").param, 3);
  SendCommand(window_, CMD_EDIT_SERVER);
  editor = LabelEditor(list_);
  ASSERT_NE(editor, nullptr);
  SetText(editor, "renamed.example");
  PostKey(editor, VK_RETURN);
  EXPECT_TRUE(WaitUntil([&] { return Row("renamed.example").param == 3; }, kStartMs));
  EXPECT_STREQ(StoredRecord(3).name, "renamed.example");

  // Disable one.
  Select({"127.0.0.71"});
  SendCommand(window_, CMD_TOGGLE_SERVER);
  EXPECT_EQ(StoredRecord(0).enabled, 0u);

  Restart();
  std::vector<ListRow> rows = Rows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(Row("added.example").param, 1);
  EXPECT_EQ(Row("renamed.example").param, 3);
  EXPECT_EQ(Row("127.0.0.71").param, 0);
  EXPECT_EQ(StoredRecord(0).enabled, 0u);
  SendCommand(window_, IDC_SYNC);  // the disabled server is marked as such
  WaitForPassEnd();
  EXPECT_EQ(Row("127.0.0.71").text[1], "Disabled");

  // Enable again, then restore the defaults.
  Select({"127.0.0.71"});
  SendCommand(window_, CMD_TOGGLE_SERVER);
  EXPECT_EQ(StoredRecord(0).enabled, 1u);
  PostCommand(window_, IDC_RESTORE_LIST);
  Answer("Are you sure you want to reset the server list?", IDOK);
  EXPECT_TRUE(WaitUntil([&] { return ListCount(list_) == kDefaultServerCount; }, kStartMs));
  Restart();
  EXPECT_EQ(ListCount(list_), kDefaultServerCount);
  EXPECT_FALSE(reg::Read("Server015").exists);
}

TEST_F(Passes, TheClockTextChangesOnceASecond) {
  ASSERT_TRUE(Start());
  std::string last = ControlText(window_, IDC_CLOCK);
  int changes = 0;
  DWORD start = GetTickCount();
  while (GetTickCount() - start < 3000) {
    std::string now = ControlText(window_, IDC_CLOCK);
    changes += now != last;
    last = now;
    Sleep(20);
  }
  EXPECT_GE(changes, 2);
  EXPECT_LE(changes, 4);
  EXPECT_NE(last.find("m on "), std::string::npos) << last;
}

TEST_F(Passes, EveryThirtySecondsRunsPassesByItself) {
  StoreServers({{"127.0.0.81", "now 500"}});
  Schedule(2);
  ASSERT_TRUE(Start());
  SendCommand(window_, CMD_OPEN);  // visible: the clock timer ticks every 100 ms
  // Never corrected before: the first tick starts a pass.
  EXPECT_TRUE(WaitUntil([] { return timeservers::Count("127.0.0.81") >= 3; }, 5000));
  EXPECT_TRUE(WaitUntil([] { return timeservers::Count("127.0.0.81") >= 6; }, 40000));
}

TEST_F(Passes, OnStartupCorrectsOnceAndEnds) {
  StoreServers({{"127.0.0.82", "now 500"}});
  Schedule(1);
  Program program("s");
  DWORD start = GetTickCount();
  EXPECT_TRUE(WaitUntil([] { return reg::Read("LastCorrectionValue").exists; }, kPassMs));
  EXPECT_EQ(program.WaitExit(kPassMs), 0u);
  DWORD took = GetTickCount() - start;
  EXPECT_GE(took, 9000u);  // ten seconds after the correction
  HWND hidden = FindMainWindow(program.id());
  EXPECT_EQ(hidden, nullptr);
}

TEST_F(Passes, TheTrayMenuKeepsALaunchTimeCorrectionRunning) {
  StoreServers({{"127.0.0.83", "now 500"}});
  Schedule(1);
  program_.reset(new Program("s"));
  window_ = program_->WaitMainWindow(kStartMs);
  ASSERT_NE(window_, nullptr);
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
