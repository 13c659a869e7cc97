// The real program through a user's sessions: the first start, the window,
// the list edits and closing; second starts, other versions and uninstall.
#include "tests/e2e/driver.h"

namespace {

using namespace e2e;

// "Schedule": the slider's position.
constexpr DWORD kNoSchedule = 0;
constexpr DWORD kEvery30Seconds = 2;
constexpr DWORD kQuietMs = 2000;  // how long to watch for something that must not happen
// A loopback server whose passes last long enough to be seen running.
const char kServer[] = "127.0.0.71";
const char kSlowReply[] = "delay 1000 500";

using Session = ProgramTest;

TEST_F(Session, FirstStartTheWindowAndTheListEdits) {
  ASSERT_TRUE(timeservers::Set(kServer, kSlowReply));
  WriteNumber("Schedule", kNoSchedule);  // no pass of its own
  ASSERT_TRUE(Start());
  ASSERT_EQ(ListCount(list_), kDefaultServerCount);
  EXPECT_EQ(reg::Read("Server000").type, static_cast<DWORD>(REG_BINARY));
  // The clock's text follows the seconds.
  std::string clock;
  auto clockShown = [&] { return (clock = ControlText(window_, IDC_CLOCK)).find("m on ") != std::string::npos; };
  EXPECT_TRUE(WaitUntil(clockShown, 1000)) << clock;
  EXPECT_TRUE(WaitUntil([&] { return ControlText(window_, IDC_CLOCK) != clock; }, 1500));

  // Enter is command 1 in a dialog: while a name is being edited it may
  // neither start a pass nor, ending the edit, do anything but rename.
  SendCommand(window_, IDC_ADD_SERVER);
  HWND editor = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (editor = LabelEditor(list_)) != nullptr; }, 5000));
  // A pass over the unresolvable names is quick: look for what it leaves.
  auto passSeen = [&] { return PassRunning() || StoredServer(0).status != StatusNone; };
  SendCommand(window_, IDC_SYNC);
  EXPECT_FALSE(WaitUntil(passSeen, kQuietMs));
  EXPECT_NE(LabelEditor(list_), nullptr) << "the editor stays open";
  SetText(editor, kServer);
  PostKey(editor, VK_RETURN);
  EXPECT_TRUE(WaitUntil([&] { return Row(kServer).param == kDefaultServerCount; }, 5000));
  EXPECT_FALSE(WaitUntil(passSeen, kQuietMs)) << "Enter started a pass";
  EXPECT_STREQ(StoredServer(kDefaultServerCount).name, kServer);

  // Delete two, add into the lowest free slot, rename (Escape keeps the
  // name), disable; all of it is kept over a restart.
  const std::string first = StoredServer(1).name, second = StoredServer(2).name;
  Select(list_, {first, second});
  PostCommand(window_, CMD_DELETE_SERVER);
  Answer(*program_, "Are you sure you want to delete 2 server(s)?");
  EXPECT_EQ(ListCount(list_), kDefaultServerCount - 1);
  EXPECT_FALSE(reg::Read("Server001").exists);
  EditName(IDC_ADD_SERVER, "added.example", VK_RETURN);
  EXPECT_EQ(Row("added.example").param, 1);
  Select(list_, {"added.example"});
  EditName(CMD_EDIT_SERVER, "renamed.example", VK_ESCAPE);
  EXPECT_EQ(Row("added.example").param, 1);
  EditName(CMD_EDIT_SERVER, "renamed.example", VK_RETURN);
  EXPECT_STREQ(StoredServer(1).name, "renamed.example");
  Select(list_, {kServer});
  SendCommand(window_, CMD_TOGGLE_SERVER);
  EXPECT_EQ(StoredServer(kDefaultServerCount).enabled, 0u);
  // The window's place is kept too.
  SetWindowPos(window_, nullptr, 100, 120, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  SendCommand(window_, CMD_QUIT);  // the tray menu's "Exit"
  EXPECT_EQ(program_->WaitExit(), 0u);
  ASSERT_TRUE(Start());
  ASSERT_EQ(ListCount(list_), kDefaultServerCount);
  EXPECT_EQ(Row("renamed.example").param, 1);
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
  WriteNumber("Schedule", kEvery30Seconds);
  ASSERT_TRUE(Start());
  PostMessageA(window_, WM_CLOSE, 0, 0);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(window_); }, 5000));
  EXPECT_TRUE(WaitUntil([] { return timeservers::Count(kServer) >= 3; }, kPassMs));
  EXPECT_TRUE(WaitUntil([] { return timeservers::Count(kServer) >= 6; }, 40000));
  RunPass(0);

  PostCommand(window_, IDC_RESTORE_LIST);
  Answer(*program_, "Are you sure you want to reset the server list?");
  EXPECT_EQ(ListCount(list_), kDefaultServerCount);
  EXPECT_FALSE(reg::Read("Server015").exists);
  EXPECT_STREQ(StoredServer(1).name, first.c_str());
}

TEST_F(Session, SecondStartsAndUninstall) {
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
  reg::DeleteKey();
  WriteNumber("Version", kStoreVersion);
  reg::Write("DisplayName", REG_SZ, "Orvalen", 8, kUninstallKey);
  reg::Write("Orvalen", REG_SZ, "Orvalen.exe s", 14, kRunKey);
  Program uninstall(Orvalen("u"));
  EXPECT_EQ(program_->WaitExit(), 0u) << "the running instance did not quit";
  Answer(uninstall, "Uninstall complete.  Now delete Orvalen files.");
  EXPECT_EQ(uninstall.WaitExit(), 0u);
  EXPECT_FALSE(reg::KeyExists());
  EXPECT_FALSE(reg::KeyExists(kUninstallKey));
  EXPECT_FALSE(reg::Read("Orvalen", kRunKey).exists);
}

TEST_F(Session, OtherVersionsSettingsAreErasedOnlyWhenTheUserAgrees) {
  WriteNumber("Version", 1);
  reg::Write("Marker", REG_SZ, "old", 4);
  for (int answer : {IDCANCEL, IDOK}) {
    Program program(Orvalen());
    Answer(program, "Registry settings of other versions of Orvalen will be erased if you run this "
                    "version.", answer);
    EXPECT_TRUE(answer == IDOK ? program.WaitWindow() != nullptr : program.WaitExit() == 0)
        << "OK goes on with the start, Cancel ends it";
    EXPECT_EQ(reg::Read("Marker").exists, answer == IDCANCEL);
    EXPECT_EQ(reg::As<DWORD>(reg::Read("Version")), answer == IDCANCEL ? 1u : kStoreVersion);
  }
}

}  // namespace
