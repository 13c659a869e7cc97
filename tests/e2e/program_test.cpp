// The real program, started and driven from outside: start-up, the single
// instance, uninstall and the main window. Every test starts from an empty
// registry and ends every Orvalen.exe it started.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
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
const char kShortcutCommand[] =
    "C:\\Documents and Settings\\All Users\\Start Menu\\Programs\\Orvalen\\Orvalen.lnk s";
const char kVersionBoxText[] =
    "Registry settings of other versions of Orvalen will be erased if you run this version.";
const char kUninstalledText[] = "Uninstall complete.  Now delete Orvalen files.";

constexpr DWORD kStoreVersion = 17968;
// Schedule slider positions, as stored in "Schedule".
constexpr DWORD kNoSchedule = 0;
constexpr DWORD kOnStartup = 1;
constexpr DWORD kHourly = 6;

// A program start under Wine takes a second or two; a pass against host
// names that cannot be resolved ends within a few more.
constexpr DWORD kExitMs = 20000;
constexpr DWORD kPassMs = 30000;
// How long a test watches for something that must not happen.
constexpr DWORD kQuietMs = 2000;

void DeleteValue(const char* key, const char* name) {
  HKEY h;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_SET_VALUE, &h) != ERROR_SUCCESS) return;
  RegDeleteValueA(h, name);
  RegCloseKey(h);
}

void WriteNumber(const char* name, DWORD value) { reg::Write(name, REG_DWORD, &value, 4); }

void WriteText(const char* name, const char* text, const char* key = reg::kSettingsKey) {
  reg::Write(name, REG_SZ, text, static_cast<DWORD>(strlen(text) + 1), key);
}

std::string ServerValueName(int slot) {
  char name[16];
  std::snprintf(name, sizeof name, "Server%03d", slot);
  return name;
}

// The stored record of a slot; exists is false when the slot is empty.
struct Stored {
  bool exists = false;
  DWORD type = 0;
  size_t size = 0;
  ServerRecord record = {};
};

Stored ReadServer(int slot) {
  reg::Value value = reg::Read(ServerValueName(slot).c_str());
  Stored stored;
  stored.exists = value.exists;
  stored.type = value.type;
  stored.size = value.bytes.size();
  if (!value.bytes.empty()) {
    memcpy(&stored.record, value.bytes.data(), std::min(value.bytes.size(), sizeof(ServerRecord)));
  }
  stored.record.name[kServerNameSize - 1] = '\0';
  return stored;
}

void WriteServer(int slot, const ServerRecord& record) {
  reg::Write(ServerValueName(slot).c_str(), REG_BINARY, &record, sizeof record);
}

// Every slot is stored with status 0 until a query of it finishes.
bool AnyServerQueried() {
  for (int slot = 0; slot < kMaxServers; ++slot) {
    Stored stored = ReadServer(slot);
    if (stored.exists && stored.record.status != StatusNone) return true;
  }
  return false;
}

// A correcting pass shows on button 1 while it runs and leaves a status on
// every server it asked when it ends; either may be all a test gets to see.
bool PassSeen(HWND window) {
  return ControlText(window, IDC_SYNC) == "Stop Correcting..." || AnyServerQueried();
}

bool RunValueExists() { return reg::Read(kAutostartValue, kRunKey).exists; }

const ListRow* RowOfSlot(const std::vector<ListRow>& rows, int slot) {
  for (const ListRow& row : rows) {
    if (row.param == slot) return &row;
  }
  return nullptr;
}

void ClearRegistry() {
  reg::DeleteKey();
  reg::DeleteKey(kUninstallKey);
  DeleteValue(kRunKey, kAutostartValue);
}

// The test name of a case in a table.
template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& c) {
  return c.param.name;
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearRegistry();
    // A running instance would take over every start of the tests.
    ASSERT_TRUE(WaitUntil([] { return FindMainWindow() == nullptr; }, 5000))
        << "an Orvalen window is already open";
  }
  void TearDown() override { ClearRegistry(); }

  // Starts the program and waits until its window has its rows.
  static HWND StartReady(Program& program, int rows = kDefaultServerCount) {
    EXPECT_TRUE(program.started()) << ProgramPath();
    HWND window = program.WaitMainWindow();
    if (window == nullptr) return nullptr;
    HWND list = GetDlgItem(window, IDC_SERVER_LIST);
    EXPECT_TRUE(WaitUntil([&] { return ListCount(list) == rows; }, 5000))
        << "rows: " << ListCount(list);
    return window;
  }

  static bool Show(HWND window) {
    SendCommand(window, CMD_OPEN);
    return WaitUntil([&] { return IsWindowVisible(window) != FALSE; }, 5000);
  }
};

// ---- Start-up and the settings it leaves ------------------------------------

TEST_F(ProgramTest, FirstStartSeedsTheDefaultServersAndOpensTheWindow) {
  Program program;
  HWND window = StartReady(program);
  ASSERT_NE(window, nullptr) << "no main window";
  EXPECT_EQ(WindowText(window), kWindowTitle);

  reg::Value version = reg::Read("Version");
  EXPECT_EQ(version.type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(reg::As<DWORD>(version), kStoreVersion);

  std::set<std::string> names;
  for (int slot = 0; slot < kMaxServers; ++slot) {
    SCOPED_TRACE(ServerValueName(slot));
    Stored stored = ReadServer(slot);
    if (slot >= kDefaultServerCount) {
      EXPECT_FALSE(stored.exists) << "only the default servers are seeded";
      continue;
    }
    ASSERT_TRUE(stored.exists);
    EXPECT_EQ(stored.type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(stored.size, sizeof(ServerRecord));
    EXPECT_NE(stored.record.name[0], '\0');
    EXPECT_EQ(stored.record.enabled, 1u);
    EXPECT_EQ(stored.record.status, static_cast<uint32_t>(StatusNone));
    names.insert(stored.record.name);
  }
  EXPECT_EQ(names.size(), static_cast<size_t>(kDefaultServerCount)) << "names repeat";

  // One row per server, keyed by its slot, with nothing measured yet.
  HWND list = GetDlgItem(window, IDC_SERVER_LIST);
  std::vector<ListRow> rows = ReadRows(list);
  ASSERT_EQ(rows.size(), static_cast<size_t>(kDefaultServerCount));
  std::set<LPARAM> slots;
  for (const ListRow& row : rows) {
    ASSERT_GE(row.param, 0);
    ASSERT_LT(row.param, kDefaultServerCount);
    slots.insert(row.param);
    EXPECT_EQ(row.text[0], ReadServer(static_cast<int>(row.param)).record.name);
    EXPECT_EQ(row.text[1], "");
    EXPECT_EQ(row.text[2], "");
  }
  EXPECT_EQ(slots.size(), rows.size()) << "a slot shows twice";
  EXPECT_EQ(ColumnHeading(list, 0), "Time Server");
  EXPECT_EQ(ColumnHeading(list, 1), "Latency (ms)");
  EXPECT_EQ(ColumnHeading(list, 2), "Correction");

  EXPECT_EQ(ControlText(window, IDC_SYNC), "Synchronize Time");
  EXPECT_EQ(ControlText(window, IDC_SCHEDULE_LABEL), "Every 5 Minutes");
  EXPECT_EQ(ControlText(window, IDC_STATUS_LINE), "") << "no correction has been made yet";
}

TEST_F(ProgramTest, ALaterStartShowsTheStoredServersAndAsksNothing) {
  {
    Program first;
    HWND window = StartReady(first);
    ASSERT_NE(window, nullptr);
    SendCommand(window, CMD_QUIT);
    ASSERT_EQ(first.WaitExit(kExitMs), 0u) << "Quit ends the program with 0";
  }
  // Leave the list as an earlier run could have: one server renamed and
  // last seen without a DNS entry, another deleted.
  Stored renamed = ReadServer(3);
  ASSERT_TRUE(renamed.exists);
  strcpy(renamed.record.name, "time.example.org");
  renamed.record.status = StatusNoDnsEntry;
  WriteServer(3, renamed.record);
  DeleteValue(reg::kSettingsKey, ServerValueName(4).c_str());
  WriteNumber("Schedule", kNoSchedule);

  Program second;
  HWND window = StartReady(second, kDefaultServerCount - 1);
  ASSERT_NE(window, nullptr) << "the stored version is this program's: no question";
  EXPECT_EQ(FindMessageBox(second.id()), nullptr);
  std::vector<ListRow> rows = ReadRows(GetDlgItem(window, IDC_SERVER_LIST));
  EXPECT_EQ(RowOfSlot(rows, 4), nullptr);
  const ListRow* row = RowOfSlot(rows, 3);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->text[0], "time.example.org");
  EXPECT_EQ(row->text[1], "No DNS entry");
  EXPECT_EQ(ControlText(window, IDC_SCHEDULE_LABEL), "No Scheduled Interval");
}

TEST_F(ProgramTest, SettingsOfAnotherVersionAreErasedOnlyWhenTheUserAgrees) {
  WriteNumber("Version", 1);
  WriteNumber("Schedule", kHourly);
  WriteText("Marker", "left by an older version");

  {
    Program program;
    ASSERT_TRUE(program.started());
    HWND box = program.WaitMessageBox();
    ASSERT_NE(box, nullptr) << "no question about the old settings";
    EXPECT_EQ(ControlText(box, kMessageText), kVersionBoxText);
    EXPECT_EQ(WindowText(box), kWindowTitle);
    EXPECT_NE(GetDlgItem(box, IDOK), nullptr);
    EXPECT_NE(GetDlgItem(box, IDCANCEL), nullptr);
    EXPECT_EQ(FindMainWindow(program.id()), nullptr) << "nothing runs before the answer";
    AnswerMessageBox(box, IDCANCEL);
    EXPECT_EQ(program.WaitExit(kExitMs), 0u);
  }
  EXPECT_EQ(reg::As<DWORD>(reg::Read("Version")), 1u) << "Cancel changes nothing";
  EXPECT_EQ(reg::As<DWORD>(reg::Read("Schedule")), kHourly);
  EXPECT_TRUE(reg::Read("Marker").exists);
  EXPECT_FALSE(ReadServer(0).exists);

  Program program;
  HWND box = program.WaitMessageBox();
  ASSERT_NE(box, nullptr);
  AnswerMessageBox(box, IDOK);
  HWND window = StartReady(program);
  ASSERT_NE(window, nullptr) << "OK goes on with the start";
  EXPECT_FALSE(reg::Read("Marker").exists) << "the old key is erased";
  EXPECT_EQ(reg::As<DWORD>(reg::Read("Version")), kStoreVersion);
  EXPECT_EQ(ControlText(window, IDC_SCHEDULE_LABEL), "Every 5 Minutes")
      << "settings start from their defaults";
  EXPECT_TRUE(ReadServer(kDefaultServerCount - 1).exists);
}

// ---- Launch-time passes -------------------------------------------------------

struct LaunchCase {
  const char* name;
  const char* args;
  bool correctOnLaunch;
  DWORD schedule;
  bool passAtOnce;
};

class LaunchPassTest : public ProgramTest, public ::testing::WithParamInterface<LaunchCase> {};

TEST_P(LaunchPassTest, StartsAPassOnlyWhenAsked) {
  const LaunchCase& c = GetParam();
  WriteNumber("Schedule", c.schedule);
  if (c.correctOnLaunch) WriteNumber("CorrectOnLaunch", 1);

  Program program(c.args);
  HWND window = StartReady(program);
  ASSERT_NE(window, nullptr);
  if (c.passAtOnce) {
    EXPECT_TRUE(WaitUntil([&] { return PassSeen(window); }, kPassMs));
  } else {
    EXPECT_FALSE(WaitUntil([&] { return PassSeen(window); }, kQuietMs));
  }
  if (c.correctOnLaunch || c.args[0] != '\0') {
    EXPECT_FALSE(IsWindowVisible(window)) << "a launch to correct stays in the tray";
  }
  // No server could be reached, so there was no correction to end the program after.
  EXPECT_TRUE(program.Running());
}

INSTANTIATE_TEST_SUITE_P(
    Launches, LaunchPassTest,
    ::testing::Values(LaunchCase{"LogOnWithOnStartup", "s", false, kOnStartup, true},
                      LaunchCase{"LogOnWithoutSchedule", "s", false, kNoSchedule, false},
                      LaunchCase{"CorrectOnLaunch", "", true, kNoSchedule, true},
                      LaunchCase{"UserWithOnStartup", "", false, kOnStartup, false}),
    CaseName<LaunchCase>);

// ---- A second start while one runs -------------------------------------------

TEST_F(ProgramTest, ASecondStartShowsTheRunningWindowAndEnds) {
  WriteNumber("Schedule", kHourly);  // so that hiding keeps the program
  Program first;
  HWND window = StartReady(first);
  ASSERT_NE(window, nullptr);
  SendCommand(window, IDC_MINIMIZE);
  ASSERT_TRUE(WaitUntil([&] { return !IsWindowVisible(window); }, 5000));

  Program second;
  ASSERT_TRUE(second.started());
  EXPECT_EQ(second.WaitExit(kExitMs), 0u);
  EXPECT_TRUE(WaitUntil([&] { return IsWindowVisible(window) != FALSE; }, 5000));
  EXPECT_TRUE(first.Running());
}

// With "CorrectOnLaunch" set, a second start only asks the running instance
// for a correcting pass, also when it was asked to uninstall.
class HandOverTest : public ProgramTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(HandOverTest, CorrectOnLaunchHandsAPassToTheRunningInstance) {
  WriteNumber("Schedule", kNoSchedule);  // no pass may start on its own
  Program first;
  HWND window = StartReady(first);
  ASSERT_NE(window, nullptr);
  ASSERT_FALSE(PassSeen(window));

  WriteNumber("CorrectOnLaunch", 1);
  Program second(GetParam());
  ASSERT_TRUE(second.started());
  EXPECT_EQ(second.WaitExit(kExitMs), 0u);
  EXPECT_TRUE(WaitUntil([&] { return PassSeen(window); }, kPassMs)) << "command 6 did not arrive";
  EXPECT_TRUE(first.Running());
  EXPECT_TRUE(reg::KeyExists()) << "nothing is uninstalled";
}

INSTANTIATE_TEST_SUITE_P(Starts, HandOverTest, ::testing::Values("", "u"),
                         [](const ::testing::TestParamInfo<const char*>& start) {
                           return std::string(start.param[0] ? "Uninstall" : "Plain");
                         });

// ---- Uninstall ------------------------------------------------------------------

class UninstallTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    WriteText("DisplayName", "Orvalen", kUninstallKey);
    WriteText(kAutostartValue, kShortcutCommand, kRunKey);
  }

  // Waits for the closing notice, checks that everything is gone by then,
  // and answers it.
  static void ExpectUninstalled(Program& program) {
    HWND box = program.WaitMessageBox();
    ASSERT_NE(box, nullptr) << "no notice";
    EXPECT_EQ(ControlText(box, kMessageText), kUninstalledText);
    EXPECT_EQ(WindowText(box), kWindowTitle);
    EXPECT_FALSE(reg::KeyExists());
    EXPECT_FALSE(reg::KeyExists(kUninstallKey));
    EXPECT_FALSE(RunValueExists());
    EXPECT_EQ(FindMainWindow(program.id()), nullptr);
    AnswerMessageBox(box, IDOK);
    EXPECT_EQ(program.WaitExit(kExitMs), 0u);
    EXPECT_FALSE(reg::KeyExists()) << "written again after the uninstall";
  }
};

TEST_F(UninstallTest, RemovesTheSettingsTheUninstallEntryAndTheAutostart) {
  WriteNumber("Version", kStoreVersion);
  WriteText("Marker", "any value");
  Program program("u");
  ASSERT_TRUE(program.started());
  ExpectUninstalled(program);
}

TEST_F(UninstallTest, EndsTheRunningInstanceFirst) {
  Program first;
  ASSERT_NE(StartReady(first), nullptr);

  Program second("u");
  ASSERT_TRUE(second.started());
  EXPECT_EQ(first.WaitExit(kExitMs), 0u) << "the running instance did not quit";
  ExpectUninstalled(second);
}

// ---- Closing the window --------------------------------------------------------

struct CloseCase {
  const char* name;
  DWORD schedule;
  bool byButton;  // "Minimize" (command 2) instead of WM_CLOSE
  bool quits;
};

class CloseTest : public ProgramTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseTest, QuitsWithoutAPeriodicScheduleAndHidesWithOne) {
  const CloseCase& c = GetParam();
  WriteNumber("Schedule", c.schedule);
  Program program;
  HWND window = StartReady(program);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(Show(window));

  if (c.byButton) {
    PostCommand(window, IDC_MINIMIZE);
  } else {
    PostMessageA(window, WM_CLOSE, 0, 0);
  }
  if (c.quits) {
    EXPECT_EQ(program.WaitExit(kExitMs), 0u);
    return;
  }
  EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(window); }, 5000));
  EXPECT_EQ(program.WaitExit(kQuietMs), kStillRunning) << "a periodic schedule keeps it in the tray";
  SendCommand(window, CMD_QUIT);
  EXPECT_EQ(program.WaitExit(kExitMs), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Schedules, CloseTest,
    ::testing::Values(CloseCase{"NoScheduleClose", kNoSchedule, false, true},
                      CloseCase{"OnStartupMinimize", kOnStartup, true, true},
                      CloseCase{"HourlyClose", kHourly, false, false},
                      CloseCase{"HourlyMinimize", kHourly, true, false}),
    CaseName<CloseCase>);

// ---- Editing a server name in place ---------------------------------------------

TEST_F(ProgramTest, AnOpenNameEditorSwallowsCommandsAndEnterOnlyRenames) {
  WriteNumber("Schedule", kNoSchedule);  // "Minimize" would quit, and no pass runs by itself
  Program program;
  HWND window = StartReady(program);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(Show(window));
  HWND list = GetDlgItem(window, IDC_SERVER_LIST);

  SendCommand(window, IDC_ADD_SERVER);
  HWND editor = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (editor = LabelEditor(list)) != nullptr; }, 5000))
      << "Add Server opened no editor";
  EXPECT_EQ(WindowText(editor), "New Server");
  const int slot = kDefaultServerCount;  // the lowest free slot
  EXPECT_STREQ(ReadServer(slot).record.name, "New Server");

  // Enter and Escape become commands 1 and 2 in a dialog; while the editor
  // is open no command may act, not even Quit.
  SendCommand(window, IDC_SYNC);
  SendCommand(window, IDC_MINIMIZE);
  SendCommand(window, CMD_QUIT);
  EXPECT_FALSE(WaitUntil([&] { return PassSeen(window) || !program.Running(); }, kQuietMs));
  EXPECT_TRUE(IsWindowVisible(window));
  EXPECT_NE(LabelEditor(list), nullptr) << "the editor stays open";

  // Enter typed into the editor ends the edit with the new name and starts nothing.
  ASSERT_TRUE(SetText(editor, "time.example.net"));
  PostKey(editor, VK_RETURN);
  EXPECT_TRUE(WaitUntil([&] { return LabelEditor(list) == nullptr; }, 5000));
  EXPECT_TRUE(WaitUntil(
      [&] { return std::string(ReadServer(slot).record.name) == "time.example.net"; }, 5000));
  std::vector<ListRow> rows = ReadRows(list);
  const ListRow* row = RowOfSlot(rows, slot);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->text[0], "time.example.net");
  EXPECT_FALSE(WaitUntil([&] { return PassSeen(window); }, kQuietMs)) << "Enter started a pass";

  // With the editor closed the same command starts a pass.
  SendCommand(window, IDC_SYNC);
  EXPECT_TRUE(WaitUntil([&] { return PassSeen(window); }, kPassMs));
}

TEST_F(ProgramTest, EditServerOpensTheFocusedRowAndEscapeKeepsItsName) {
  WriteNumber("Schedule", kNoSchedule);
  Program program;
  HWND window = StartReady(program);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(Show(window));
  HWND list = GetDlgItem(window, IDC_SERVER_LIST);

  std::vector<ListRow> rows = ReadRows(list);
  ASSERT_GT(rows.size(), 2u);
  const ListRow chosen = rows[2];
  UINT focus = LVIS_FOCUSED | LVIS_SELECTED;
  ASSERT_TRUE(SetRowState(list, 2, focus, focus));

  SendCommand(window, CMD_EDIT_SERVER);
  HWND editor = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (editor = LabelEditor(list)) != nullptr; }, 5000))
      << "Edit Server opened no editor";
  EXPECT_EQ(WindowText(editor), chosen.text[0]);

  ASSERT_TRUE(SetText(editor, "discarded.example.net"));
  PostKey(editor, VK_ESCAPE);
  EXPECT_TRUE(WaitUntil([&] { return LabelEditor(list) == nullptr; }, 5000));
  EXPECT_TRUE(IsWindowVisible(window)) << "Escape in the editor does not hide the window";
  rows = ReadRows(list);
  const ListRow* row = RowOfSlot(rows, static_cast<int>(chosen.param));
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->text[0], chosen.text[0]);
  EXPECT_EQ(ReadServer(static_cast<int>(chosen.param)).record.name, chosen.text[0]);
}

// ---- Window placement -----------------------------------------------------------

struct PlacementCase {
  const char* name;
  UINT length;
  RECT normal;
  bool restored;  // false: the window is centred instead
};

class PlacementTest : public ProgramTest, public ::testing::WithParamInterface<PlacementCase> {};

TEST_P(PlacementTest, RestoresAPlacementOnScreenAndCentresOtherwise) {
  const PlacementCase& c = GetParam();
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
    int cx = GetSystemMetrics(SM_CXFULLSCREEN);
    int cy = GetSystemMetrics(SM_CYFULLSCREEN);
    EXPECT_NEAR(r.left, (cx - width) / 2, 2);
    EXPECT_NEAR(r.top, (cy - height) / 2, 2);
  }

  // Every move is stored: the next start finds the window where it is now.
  reg::Value saved = reg::Read("WindowPlacement");
  ASSERT_EQ(saved.bytes.size(), sizeof(WINDOWPLACEMENT));
  WINDOWPLACEMENT written = reg::As<WINDOWPLACEMENT>(saved);
  EXPECT_EQ(written.length, sizeof(WINDOWPLACEMENT));
  EXPECT_TRUE(EqualRect(&written.rcNormalPosition, &r));
}

INSTANTIATE_TEST_SUITE_P(
    Stored, PlacementTest,
    ::testing::Values(PlacementCase{"OnScreen", sizeof(WINDOWPLACEMENT), {100, 120, 110, 130}, true},
                      PlacementCase{"FarOffScreen", sizeof(WINDOWPLACEMENT),
                                    {5000, 5000, 5400, 5400}, false},
                      PlacementCase{"WrongLength", sizeof(WINDOWPLACEMENT) - 4,
                                    {100, 120, 500, 520}, false}),
    CaseName<PlacementCase>);

// ---- A picture of the window ----------------------------------------------------

TEST_F(ProgramTest, MainWindowScreenshot) {
  WriteNumber("Schedule", kNoSchedule);
  Program program;
  HWND window = StartReady(program);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(Show(window));
  EXPECT_TRUE(GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOPMOST) << "it stays above other windows";
  // Give the program a moment to paint what it has just shown.
  Sleep(1000);
  EXPECT_TRUE(SaveScreenshot(window, "main_window.bmp")) << ArtifactPath("main_window.bmp");
}

}  // namespace
