// The real program against loopback time servers: passes as the user sees
// them in the list, the status line and the tray.
#include "tests/e2e/driver.h"

#include <regex>

namespace {

using namespace e2e;

constexpr char kFailedTip[] = "Unsuccessful correction!  Double-click for details...";

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
      if (AskRemote(w, TTM_ENUMTOOLSA, i, tool, &TTTOOLINFOA::lpszText) == tip) return true;
    }
  }
  return false;
}

class Passes : public ProgramTest {
 protected:
  // Per server: the stored status, and a pattern for its texts, "latency;correction".
  struct Expected { const char* name; uint32_t status; const char* texts; };
  void Check(const std::vector<Expected>& expected) {
    for (const Expected& e : expected) {
      ListRow row = Row(e.name);
      ASSERT_NE(row.param, -1) << e.name;
      EXPECT_EQ(StoredServer(static_cast<int>(row.param)).status, e.status) << e.name;
      std::string texts = row.text[1] + ";" + row.text[2];
      EXPECT_TRUE(std::regex_match(texts, std::regex(e.texts))) << e.name << ": " << texts;
    }
  }
};

TEST_F(Passes, TimeAndNtpServersAndTheTray) {
  const char kNtp[] = "ntp://127.0.0.121", kNtpSilent[] = "ntp://127.0.0.123";
  Serve({{"127.0.0.41", "now 500"}, {"127.0.0.45", "delay 1500 500"}, {"127.0.0.54", "refuse"},
         {"127.0.0.55", "silent"}, {"no-such-host.invalid", ""},
         {"127.0.0.58", "now 500"}, {"localhost", ""}, {"127.0.0.57", "close"},
         {kNtp, "ntp-exact 200"}, {"NTP://127.0.0.122", "ntp-exact 200"}, {kNtpSilent, "ntp-silent"},
         {"ntp://127.0.0.124", "ntp-rate"}, {"ntp://127.0.0.129", "now 500"} /* port 123 is closed */},
        {"127.0.0.58"});
  ASSERT_TRUE(timeservers::Set("127.0.0.1", "now 500"));
  ASSERT_TRUE(Start());
  ASSERT_NE(TrayIconWindow(), nullptr) << "no tray icon";

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
         // A close without data raises no read notice: the deadline ends it.
         {"127.0.0.57", StatusSlowResponse, "Slow Response;"},
         {kNtp, StatusMeasured, R"(\d+;.*s)"}, {"NTP://127.0.0.122", StatusMeasured, R"(\d+;.*s)"},
         {kNtpSilent, StatusSlowResponse, "Slow Response;"},
         {"ntp://127.0.0.124", StatusRefused, "Refused;"}, {"ntp://127.0.0.129", StatusRefused, "Refused;"}});
  EXPECT_EQ(timeservers::Count("127.0.0.41"), 3) << "one connection per sample";
  EXPECT_EQ(timeservers::Count("127.0.0.124"), 1) << "no request after a kiss-o'-death";
  // The daemon sleeps by its own clock: allow the two clocks a tick or so.
  EXPECT_GE(std::stoi(Row("127.0.0.45").text[1]), 1480) << "a server's delay is its latency";
  // Servers with a reading come first, disabled ones last.
  std::vector<ListRow> rows = ReadRows(list_);
  EXPECT_NE(rows.front().text[2], "");
  EXPECT_EQ(rows.back().text[0], "127.0.0.58");
  // Wine applies a step of under half a second.
  EXPECT_NEAR(reg::As<int64_t>(reg::Read("LastCorrectionValue")), 200, 5);
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
  // Wine refuses a step of half a second or more: that records no correction.
  ASSERT_TRUE(timeservers::Set("127.0.0.121", "ntp-exact 800"));
  ASSERT_TRUE(timeservers::Set("127.0.0.122", "ntp-exact 800"));
  RunPass(IDC_SYNC);
  EXPECT_NEAR(reg::As<int64_t>(reg::Read("LastCorrectionValue")), 800, 5);
  EXPECT_EQ(reg::Read("LastCorrectionTime").bytes, std::vector<BYTE>(8, 0)) << "kept, as no time";

  // A pass that measures nothing ends two seconds after its last connection
  // (checked every 200 ms), and the tray shows the failure.
  program_.reset();
  Clean();
  Serve({{"127.0.0.61", "silent"}, {"127.0.0.62", "refuse"}});
  ASSERT_TRUE(Start());
  DWORD start = GetTickCount();
  RunPass(IDC_SYNC);
  EXPECT_GE(GetTickCount() - start, 1900u);
  EXPECT_LT(GetTickCount() - start, 4000u);
  Check({{"127.0.0.61", StatusSlowResponse, "Slow Response;"}});
  EXPECT_TRUE(WaitUntil([] { return TrayTipIs(kFailedTip); }, 3000));
  EXPECT_EQ(ControlText(window_, IDC_STATUS_LINE), "");
  // A double click on the icon opens the hidden window and clears the failure.
  ShowWindow(window_, SW_HIDE);
  SendMessageA(window_, WM_USER, 0, WM_LBUTTONDBLCLK);
  EXPECT_TRUE(WaitUntil([] { return !TrayTipIs(kFailedTip); }, 3000));
  EXPECT_TRUE(IsWindowVisible(window_));
}

}  // namespace
