// The real program, started and driven from outside: start-up, the single
// instance, uninstall and the main window. Every test starts from an empty
// registry and ends every Orvalen.exe it started.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "core/server_table.h"
#include "resources/resource.h"
#include "tests/e2e/driver.h"
#include "tests/win/registry.h"

namespace {

using namespace e2e;

const char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvalen";
const char kAutostartValue[] = "Orvalen";

constexpr DWORD kStoreVersion = 17968;
// Schedule slider positions, as stored in "Schedule".
constexpr DWORD kNoSchedule = 0;
constexpr DWORD kOnStartup = 1;
constexpr DWORD kHourly = 6;

constexpr DWORD kExitMs = 20000;  // a start under Wine takes a second or two
constexpr DWORD kPassMs = 30000;  // a pass against unresolvable names ends within a few more
constexpr DWORD kQuietMs = 2000;  // how long to watch for something that must not happen

void WriteNumber(const char* name, DWORD value) { reg::Write(name, REG_DWORD, &value, 4); }

void WriteText(const char* name, const char* text, const char* key = reg::kSettingsKey) {
  reg::Write(name, REG_SZ, text, static_cast<DWORD>(strlen(text) + 1), key);
}

reg::Value ReadServer(int slot) {
  char name[16];
  std::snprintf(name, sizeof name, "Server%03d", slot);
  return reg::Read(name);
}

std::string ServerName(int slot) {
  ServerRecord r = reg::As<ServerRecord>(ReadServer(slot));
  return std::string(r.name, strnlen(r.name, sizeof r.name));
}

// A pass shows on button 1 while it runs and leaves a status on every server
// it asked when it ends; either may be all a test gets to see.
bool PassSeen(HWND window) {
  if (ControlText(window, IDC_SYNC) == "Stop Correcting...") return true;
  for (int slot = 0; slot < kMaxServers; ++slot) {
    if (reg::As<ServerRecord>(ReadServer(slot)).status != StatusNone) return true;
  }
  return false;
}

void ClearRegistry() {
  reg::DeleteKey();
  reg::DeleteKey(kUninstallKey);
  HKEY h;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_SET_VALUE, &h) != ERROR_SUCCESS) return;
  RegDeleteValueA(h, kAutostartValue);
  RegCloseKey(h);
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearRegistry();
    ASSERT_TRUE(NoWindowLeft()) << "an Orvalen window is already open";
  }
  void TearDown() override { ClearRegistry(); }

  // A running instance would take over every start of the tests.
  static bool NoWindowLeft() {
    return WaitUntil([] { return FindMainWindow() == nullptr; }, 5000);
  }

  // Starts the program and waits until its window has its rows.
  static HWND StartReady(Program& program) {
    EXPECT_TRUE(program.started()) << ProgramPath();
    HWND window = program.WaitMainWindow();
    if (window == nullptr) return nullptr;
    HWND list = GetDlgItem(window, IDC_SERVER_LIST);
    EXPECT_TRUE(WaitUntil([&] { return ListCount(list) == kDefaultServerCount; }, 5000))
        << "rows: " << ListCount(list);
    return window;
  }

  static bool Show(HWND window) {
    SendCommand(window, CMD_OPEN);
    return WaitUntil([&] { return IsWindowVisible(window) != FALSE; }, 5000);
  }
};

// ---- Start-up and the single instance ------------------------------------------

TEST_F(ProgramTest, FirstStartSeedsTheStoreAndASecondStartShowsTheWindow) {
  Program first;
  HWND window = StartReady(first);
  ASSERT_NE(window, nullptr) << "no main window";
  EXPECT_EQ(WindowText(window), kWindowTitle);

  reg::Value version = reg::Read("Version");
  EXPECT_EQ(version.type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(reg::As<DWORD>(version), kStoreVersion);
  for (int slot = 0; slot < kMaxServers; ++slot) {
    SCOPED_TRACE(slot);
    reg::Value server = ReadServer(slot);
    EXPECT_EQ(server.exists, slot < kDefaultServerCount);
    if (!server.exists) continue;
    EXPECT_EQ(server.type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(server.bytes.size(), 152u);
    EXPECT_NE(ServerName(slot), "");
  }

  // A second start brings the hidden window of the first back and ends.
  SendCommand(window, IDC_MINIMIZE);
  ASSERT_TRUE(WaitUntil([&] { return !IsWindowVisible(window); }, 5000));
  Program second;
  EXPECT_EQ(second.WaitExit(kExitMs), 0u);
  EXPECT_TRUE(WaitUntil([&] { return IsWindowVisible(window) != FALSE; }, 5000));
  EXPECT_TRUE(first.Running());

  Sleep(1000);  // let the program paint what it has just shown
  EXPECT_TRUE(SaveScreenshot(window, "main_window.bmp")) << ArtifactPath("main_window.bmp");
}

// With "CorrectOnLaunch" set, a second start only asks the running instance
// for a pass (command 6), also when it was asked to uninstall.
TEST_F(ProgramTest, CorrectOnLaunchHandsAPassToTheRunningInstance) {
  for (const char* args : {"", "u"}) {
    SCOPED_TRACE(args);
    ASSERT_TRUE(NoWindowLeft());
    ClearRegistry();
    WriteNumber("Schedule", kNoSchedule);  // no pass may start on its own
    Program first;
    HWND window = StartReady(first);
    ASSERT_NE(window, nullptr);
    ASSERT_FALSE(PassSeen(window));

    WriteNumber("CorrectOnLaunch", 1);
    Program second(args);
    EXPECT_EQ(second.WaitExit(kExitMs), 0u);
    EXPECT_TRUE(WaitUntil([&] { return PassSeen(window); }, kPassMs)) << "command 6 did not arrive";
    EXPECT_TRUE(first.Running());
    EXPECT_TRUE(reg::KeyExists()) << "nothing is uninstalled";
  }
}

TEST_F(ProgramTest, SettingsOfAnotherVersionAreErasedOnlyWhenTheUserAgrees) {
  WriteNumber("Version", 1);
  WriteText("Marker", "left by an older version");
  for (int answer : {IDCANCEL, IDOK}) {
    SCOPED_TRACE(answer == IDOK ? "OK" : "Cancel");
    Program program;
    HWND box = program.WaitMessageBox();
    ASSERT_NE(box, nullptr) << "no question about the old settings";
    EXPECT_EQ(ControlText(box, kMessageText),
              "Registry settings of other versions of Orvalen will be erased if you run this "
              "version.");
    AnswerMessageBox(box, answer);
    if (answer == IDCANCEL) {
      EXPECT_EQ(program.WaitExit(kExitMs), 0u);
      EXPECT_EQ(reg::As<DWORD>(reg::Read("Version")), 1u) << "Cancel changes nothing";
      EXPECT_TRUE(reg::Read("Marker").exists);
      EXPECT_FALSE(ReadServer(0).exists);
    } else {
      ASSERT_NE(StartReady(program), nullptr) << "OK goes on with the start";
      EXPECT_FALSE(reg::Read("Marker").exists) << "the old key is erased";
      EXPECT_EQ(reg::As<DWORD>(reg::Read("Version")), kStoreVersion);
    }
  }
}

// ---- Uninstall ------------------------------------------------------------------

TEST_F(ProgramTest, UninstallRemovesEverythingAndEndsTheRunningInstanceFirst) {
  for (bool running : {false, true}) {
    SCOPED_TRACE(running ? "with a running instance" : "alone");
    ASSERT_TRUE(NoWindowLeft());
    WriteText("DisplayName", "Orvalen", kUninstallKey);
    WriteText(kAutostartValue, "Orvalen.lnk s", kRunKey);
    std::optional<Program> first;
    if (running) {
      ASSERT_NE(StartReady(first.emplace()), nullptr);  // it stores the settings
    } else {
      WriteNumber("Version", kStoreVersion);
    }

    Program second("u");
    if (running) {
      EXPECT_EQ(first->WaitExit(kExitMs), 0u) << "the running instance did not quit";
    }
    HWND box = second.WaitMessageBox();
    ASSERT_NE(box, nullptr) << "no notice";
    EXPECT_EQ(ControlText(box, kMessageText), "Uninstall complete.  Now delete Orvalen files.");
    EXPECT_FALSE(reg::KeyExists());
    EXPECT_FALSE(reg::KeyExists(kUninstallKey));
    EXPECT_FALSE(reg::Read(kAutostartValue, kRunKey).exists);
    AnswerMessageBox(box, IDOK);
    EXPECT_EQ(second.WaitExit(kExitMs), 0u);
  }
}

// ---- Launch-time passes and closing the window ----------------------------------

TEST_F(ProgramTest, ALaunchStartsAPassOnlyWhenAsked) {
  const struct {
    const char* args;
    bool correctOnLaunch;
    DWORD schedule;
    bool pass;
  } cases[] = {{"s", false, kOnStartup, true},
               {"s", false, kNoSchedule, false},
               {"", true, kNoSchedule, true},
               {"", false, kOnStartup, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "'" << c.args << "' schedule " << c.schedule
                                    << (c.correctOnLaunch ? " CorrectOnLaunch" : ""));
    ASSERT_TRUE(NoWindowLeft());
    ClearRegistry();
    WriteNumber("Schedule", c.schedule);
    if (c.correctOnLaunch) WriteNumber("CorrectOnLaunch", 1);
    Program program(c.args);
    HWND window = StartReady(program);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(WaitUntil([&] { return PassSeen(window); }, c.pass ? kPassMs : kQuietMs), c.pass);
  }
}

TEST_F(ProgramTest, CloseQuitsWithoutAPeriodicScheduleAndHidesWithOne) {
  for (DWORD schedule : {kNoSchedule, kOnStartup, kHourly}) {
    SCOPED_TRACE(testing::Message() << "schedule " << schedule);
    ASSERT_TRUE(NoWindowLeft());
    WriteNumber("Schedule", schedule);
    Program program;
    HWND window = StartReady(program);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(Show(window));
    PostMessageA(window, WM_CLOSE, 0, 0);
    if (schedule != kHourly) {
      EXPECT_EQ(program.WaitExit(kExitMs), 0u);
      continue;
    }
    EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(window); }, 5000));
    EXPECT_EQ(program.WaitExit(kQuietMs), kStillRunning) << "a periodic schedule keeps it in the tray";
  }
}

// ---- Editing a server name in place ---------------------------------------------

TEST_F(ProgramTest, AnOpenNameEditorSwallowsCommandsAndEnterOnlyRenames) {
  WriteNumber("Schedule", kNoSchedule);  // no pass runs by itself
  Program program;
  HWND window = StartReady(program);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(Show(window));
  HWND list = GetDlgItem(window, IDC_SERVER_LIST);

  SendCommand(window, IDC_ADD_SERVER);
  HWND editor = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (editor = LabelEditor(list)) != nullptr; }, 5000))
      << "Add Server opened no editor";

  // Enter is command 1 in a dialog; while the editor is open it may not act.
  SendCommand(window, IDC_SYNC);
  EXPECT_FALSE(WaitUntil([&] { return PassSeen(window); }, kQuietMs));
  EXPECT_NE(LabelEditor(list), nullptr) << "the editor stays open";

  ASSERT_TRUE(SetText(editor, "time.example.net"));
  PostKey(editor, VK_RETURN);
  EXPECT_TRUE(WaitUntil([&] { return LabelEditor(list) == nullptr; }, 5000));
  EXPECT_TRUE(WaitUntil([&] { return ServerName(kDefaultServerCount) == "time.example.net"; }, 5000));
  EXPECT_FALSE(WaitUntil([&] { return PassSeen(window); }, kQuietMs)) << "Enter started a pass";

  SendCommand(window, IDC_SYNC);  // with the editor closed the same command acts
  EXPECT_TRUE(WaitUntil([&] { return PassSeen(window); }, kPassMs));
}

// ---- Window placement -----------------------------------------------------------

TEST_F(ProgramTest, RestoresAPlacementOnScreenAndCentresOtherwise) {
  const struct {
    UINT length;
    RECT normal;
    bool restored;  // false: the window is centred instead
  } cases[] = {{sizeof(WINDOWPLACEMENT), {100, 120, 110, 130}, true},
               {sizeof(WINDOWPLACEMENT), {5000, 5000, 5400, 5400}, false},
               {sizeof(WINDOWPLACEMENT) - 4, {100, 120, 500, 520}, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "stored at " << c.normal.left << " length " << c.length);
    ASSERT_TRUE(NoWindowLeft());
    WINDOWPLACEMENT stored = {};
    stored.length = c.length;
    stored.showCmd = SW_SHOWNORMAL;
    stored.rcNormalPosition = c.normal;
    reg::Write("WindowPlacement", REG_BINARY, &stored, sizeof stored);

    Program program;
    HWND window = StartReady(program);
    ASSERT_NE(window, nullptr);
    WINDOWPLACEMENT now = {};
    now.length = sizeof now;
    ASSERT_TRUE(GetWindowPlacement(window, &now));
    const RECT& r = now.rcNormalPosition;
    int width = r.right - r.left;
    int height = r.bottom - r.top;
    EXPECT_GT(width, 100) << "the window keeps its own size, never the stored one";
    EXPECT_GT(height, 100);
    if (c.restored) {
      EXPECT_EQ(r.left, c.normal.left);
      EXPECT_EQ(r.top, c.normal.top);
    } else {
      EXPECT_NEAR(r.left, (GetSystemMetrics(SM_CXFULLSCREEN) - width) / 2, 2);
      EXPECT_NEAR(r.top, (GetSystemMetrics(SM_CYFULLSCREEN) - height) / 2, 2);
    }
  }
}

}  // namespace
