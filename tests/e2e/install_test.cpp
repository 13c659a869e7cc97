// The installer, walked through one machine's whole life with Orvalen: an
// install through its pages, silent upgrades over the running program, the
// log-on start, and a silent uninstall.
#include "tests/e2e/driver.h"

#include <shlobj.h>

#include <fstream>

namespace {

using namespace e2e;

const char kSetupFile[] = "Orvalen-" ORVALEN_VERSION "-setup.exe";
const char kServer[] = "127.0.0.91";  // the custom list's one loopback server

constexpr DWORD kRunMs = 60000;      // an install or uninstall under Wine
constexpr DWORD kLogonMs = 40000;    // a log-on start: pass, then ten seconds
constexpr int kNsisNext = 1;         // the installer's Next / Install / Finish button

std::string Folder(int csidl) {
  char path[MAX_PATH] = "";
  SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
  return path;
}
const std::string kInstallDir = Folder(CSIDL_PROGRAM_FILES) + "\\Orvalen";
const std::string kMenuDir = Folder(CSIDL_COMMON_PROGRAMS) + "\\Orvalen";
// Where the task service keeps a registered task.
const std::string kTaskFile = Folder(CSIDL_SYSTEM) + "\\Tasks\\Orvalen";
const std::string kSchtasks = Folder(CSIDL_SYSTEM) + "\\schtasks.exe", kSchtasksAside = kSchtasks + ".aside";

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string Text(const char* name, const char* key) {
  reg::Value v = reg::Read(name, key);
  return v.type == REG_SZ ? std::string(v.bytes.begin(), std::find(v.bytes.begin(), v.bytes.end(), 0)) : "";
}

std::string SetupCommand(const std::string& options) { return "\"" + Beside(kSetupFile) + "\" " + options; }

DWORD RunToEnd(const std::string& commandLine) { return Program(commandLine).WaitExit(kRunMs); }

// Waits for the wizard's page (the visible dialog of its process) whose Next
// button reads button, lets it settle, and moves on.
bool NextPage(const Program& setup, const std::string& button) {
  HWND wizard = nullptr;
  bool reached = WaitUntil([&] {
    for (wizard = nullptr; (wizard = FindWindowExA(nullptr, wizard, "#32770", nullptr)) != nullptr;)
      if (ProcessOf(wizard) == setup.id() && IsWindowVisible(wizard))
        return ControlText(wizard, kNsisNext) == button;
    return false;
  });
  Sleep(500);
  PostCommand(wizard, kNsisNext);
  return reached;
}

// Leaves nothing of an earlier run, the installed program included.
class Installer : public ProgramTest {
 protected:
  void TearDown() override {
    std::string uninstaller = kInstallDir + "\\uninstall.exe";
    if (Exists(uninstaller)) {
      RunToEnd("\"" + uninstaller + "\" /S");
      WaitUntil([] { return !reg::KeyExists(kUninstallKey); }, kRunMs);
    }
    ProgramTest::TearDown();
  }
};

TEST_F(Installer, InstallUpgradeLogOnStartAndUninstall) {
  Serve({{kServer, "now 500"}, {"custom.example", ""}});

  {
    SCOPED_TRACE("the install folder's rights, read from the script: Wine sets none on files");
    std::ifstream file(ORVALEN_INSTALL_SCRIPT);
    const std::string script{std::istreambuf_iterator<char>(file), {}};
    // Owned by Administrators; Administrators and SYSTEM full control, Users
    // read and execute; nothing inherited.
    EXPECT_NE(script.find("\"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)\""), std::string::npos);
    // Before a running copy is ended and its program file replaced.
    EXPECT_LT(script.find("Call TakeInstallFolder"), script.find("Call ReleaseProgram"));
  }

  {
    SCOPED_TRACE("a folder that holds other things is not taken: its rights would change all the way down");
    const std::string shared = Folder(CSIDL_PROGRAM_FILES);
    std::ofstream(shared + "\\Orvalen.exe") << "a copy of Orvalen among them";
    EXPECT_EQ(RunToEnd(SetupCommand("/S /D=" + shared)), 2u);
    EXPECT_FALSE(Exists(shared + "\\uninstall.exe"));
    DeleteFileA((shared + "\\Orvalen.exe").c_str());
    // Nor is a file there that the run must write anew but cannot remove, held open by its maker.
    const std::string chosen = shared + "\\Chosen", planted = chosen + "\\uninstall.exe";
    CreateDirectoryA(chosen.c_str(), nullptr);
    HANDLE held = CreateFileA(planted.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_EQ(RunToEnd(SetupCommand("/S /D=" + chosen)), 2u);
    EXPECT_FALSE(reg::KeyExists(kUninstallKey)) << "its uninstaller is the planted file";
    CloseHandle(held);
    for (const char* file : {"\\uninstall.exe", "\\Orvalen.exe", "\\OpenSSL-LICENSE.txt"})
      DeleteFileA((chosen + file).c_str());
    EXPECT_TRUE(RemoveDirectoryA(chosen.c_str()));
  }

  {
    SCOPED_TRACE("install through the pages, on Windows 7 as Wine reports by default");
    Program setup(SetupCommand(""));
    // Components, folder, and the last page, where "Open Orvalen now" is ticked.
    for (const char* button : {"&Next >", "&Install", "&Finish"})
      ASSERT_TRUE(NextPage(setup, button)) << button;
    EXPECT_EQ(setup.WaitExit(kRunMs), 0u);
  }
  HWND window = nullptr;
  EXPECT_TRUE(WaitUntil([&] { return (window = FindMainWindow()) != nullptr; }));
  EXPECT_TRUE(WaitUntil([&] { return ListCount(GetDlgItem(window, IDC_SERVER_LIST)) == 2; }));
  const std::string program = kInstallDir + "\\Orvalen.exe";
  for (const std::string& file : {program, kMenuDir + "\\Orvalen.lnk", kMenuDir + "\\Uninstall Orvalen.lnk"})
    EXPECT_TRUE(Exists(file)) << file;
  DWORD width = 0;  // these tests are built as wide as the Windows they run on
  EXPECT_TRUE(GetBinaryTypeA(program.c_str(), &width) && width == SCS_THIS_PLATFORM_BINARY) << width;
  // Programs and Features lists it, and can remove it.
  EXPECT_EQ(Text("DisplayName", kUninstallKey), "Orvalen");
  EXPECT_EQ(Text("UninstallString", kUninstallKey), "\"" + kInstallDir + "\\uninstall.exe\"");
  EXPECT_GT(reg::As<DWORD>(reg::Read("EstimatedSize", kUninstallKey)), 100u);  // KB: the program has more
  EXPECT_TRUE(Exists(kTaskFile)) << "Windows 7 starts it from a log-on task";
  EXPECT_FALSE(reg::Read("Orvalen", kRunKey).exists) << "never both";

  {
    SCOPED_TRACE("silent upgrade over the running program, log-on start turned off");
    DWORD running = ProcessOf(window);
    // The program asks before a large step: the question does not hide it from the installer.
    WriteNumber("MaxCorrection", 1);
    ASSERT_TRUE(timeservers::Set(kServer, "now -93810000"));
    PostCommand(window, IDC_SYNC);
    ASSERT_TRUE(WaitUntil([&] { return FindDialog(running, false) != nullptr; }, kPassMs));
    // As an earlier version, whose caption names its own version.
    ASSERT_TRUE(SetText(window, std::regex_replace(kWindowTitle, std::regex("v[0-9.]+"), "v5.4.0")));
    EXPECT_EQ(RunToEnd(SetupCommand("/S /LOGON=0")), 0u);
    EXPECT_FALSE(IsWindow(window)) << "the running instance was ended";
    ASSERT_TRUE(timeservers::Set(kServer, "now 500"));
    EXPECT_STREQ(StoredServer(0).name, kServer);
    EXPECT_STREQ(StoredServer(1).name, "custom.example");
    EXPECT_FALSE(reg::Read("Server002").exists);
    EXPECT_FALSE(Exists(kTaskFile));
    EXPECT_FALSE(reg::Read("Orvalen", kRunKey).exists);
  }

  {
    SCOPED_TRACE("an upgrade keeps the earlier choice unless told otherwise");
    EXPECT_EQ(RunToEnd(SetupCommand("/S")), 0u);
    EXPECT_FALSE(Exists(kTaskFile)) << "still off, as chosen last time";
    EXPECT_EQ(RunToEnd(SetupCommand("/S /LOGON=1")), 0u);
    EXPECT_TRUE(Exists(kTaskFile));
    // A task that cannot be made (no schtasks here) fails the run, and stays chosen for the next.
    ASSERT_TRUE(MoveFileA(kSchtasks.c_str(), kSchtasksAside.c_str()));
    EXPECT_EQ(RunToEnd(SetupCommand("/S")), 2u);
    EXPECT_EQ(reg::As<DWORD>(reg::Read("StartAtLogon", kUninstallKey)), 1u);
    ASSERT_TRUE(MoveFileA(kSchtasksAside.c_str(), kSchtasks.c_str()));
    EXPECT_NE(RunToEnd(SetupCommand("/S /LOGON=yes")), 0u) << "a bad option fails the run";
    ASSERT_TRUE(DeleteFileA(program.c_str()));  // as by a virus scanner: the folder is still Orvalen's
    EXPECT_EQ(RunToEnd(SetupCommand("/S")), 0u);
    EXPECT_TRUE(Exists(program));
    // An Orvalen the set-up cannot see (another user's, or any while a deployment runs it as
    // SYSTEM) does not fail the upgrade; its file goes at the next restart.
    Program unseen("\"" + program + "\"", nullptr, "Other");
    ASSERT_TRUE(unseen.Running());
    EXPECT_EQ(RunToEnd(SetupCommand("/S")), 0u);
    EXPECT_TRUE(Exists(program) && Exists(kInstallDir + "\\Orvalen.old"));
    // A hung one holds the set-up for a while, not for good: this thread does not answer it.
    HWND hung = CreateWindowA("#32770", kWindowTitle, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    CreateWindowA("Static", "", WS_CHILD, 0, 0, 0, 0, hung, reinterpret_cast<HMENU>(IDC_SERVER_LIST), nullptr, nullptr);
    const DWORD start = GetTickCount();
    EXPECT_EQ(RunToEnd(SetupCommand("/S")), 2u);
    EXPECT_LT(GetTickCount() - start, 50000u);
    DestroyWindow(hung);
  }

  {
    SCOPED_TRACE("the log-on start, as the task runs it, with \"On Startup\"");
    WriteNumber("Schedule", 1);  // "On Startup"
    Program logon("\"" + program + "\" s");
    DWORD start = GetTickCount();
    bool shown = false;
    EXPECT_TRUE(WaitUntil([&] {
      HWND w = FindMainWindow(logon.id());
      shown = shown || (w && IsWindowVisible(w));
      return reg::Read("LastCorrectionValue").exists;
    }, kLogonMs));
    EXPECT_GE(timeservers::Count(kServer), 3);
    EXPECT_EQ(logon.WaitExit(kLogonMs), 0u) << "it ends by itself after the correction";
    EXPECT_GE(GetTickCount() - start, 9000u) << "ten seconds after the correction";
    EXPECT_FALSE(shown);
  }

  {
    SCOPED_TRACE("an upgrade into another folder takes the copy there before, and back");
    const std::string moved = kInstallDir + " 2";
    {
      // Held by an Orvalen the set-up cannot see, its program goes at the next restart under
      // another name: one installed there again before then stays.
      Program unseen("\"" + program + "\"", nullptr, "Other");
      ASSERT_TRUE(unseen.Running());
      EXPECT_EQ(RunToEnd(SetupCommand("/S /D=" + moved)), 0u);
    }
    const reg::Value pending =
        reg::Read("PendingFileRenameOperations", "SYSTEM\\CurrentControlSet\\Control\\Session Manager");
    const std::string booked(pending.bytes.begin(), pending.bytes.end());
    EXPECT_TRUE(Exists(kInstallDir + "\\Orvalen.old") && !Exists(kInstallDir + "\\Orvalen.exe"));
    EXPECT_EQ(booked.find(kInstallDir + "\\Orvalen.exe"), std::string::npos);
    EXPECT_FALSE(Exists(kInstallDir + "\\uninstall.exe")) << "its uninstaller would take the new install's entry";
    EXPECT_EQ(RunToEnd(SetupCommand("/S /D=" + kInstallDir)), 0u);
    EXPECT_FALSE(Exists(moved));
    char shortName[MAX_PATH] = "";
    ASSERT_NE(GetShortPathNameA(kInstallDir.c_str(), shortName, MAX_PATH), 0u);
    ASSERT_NE(kInstallDir, shortName);
    for (const std::string& folder : {std::string(shortName), kInstallDir}) {
      EXPECT_EQ(RunToEnd(SetupCommand("/S /D=" + folder)), 0u) << folder;
      EXPECT_TRUE(Exists(kInstallDir + "\\Orvalen.exe")) << "the same folder by another name, " << folder;
    }
  }

  {
    SCOPED_TRACE("the program's own uninstall removes the log-on task too");
    ASSERT_TRUE(Exists(kTaskFile));
    Program uninstall("\"" + program + "\" u");
    Answer(uninstall, "Uninstall complete.  Now delete Orvalen files.");
    EXPECT_EQ(uninstall.WaitExit(), 0u);
    EXPECT_FALSE(Exists(kTaskFile));
    EXPECT_EQ(RunToEnd(SetupCommand("/S /LOGON=1")), 0u);
  }

  {
    SCOPED_TRACE("an uninstall that cannot remove the log-on task keeps the folder it starts from");
    ASSERT_TRUE(MoveFileA(kSchtasks.c_str(), kSchtasksAside.c_str()));
    EXPECT_EQ(RunToEnd("\"" + kInstallDir + "\\uninstall.exe\" /S _?=" + kInstallDir), 2u);
    ASSERT_TRUE(MoveFileA(kSchtasksAside.c_str(), kSchtasks.c_str()));
    EXPECT_TRUE(Exists(kTaskFile) && Exists(kInstallDir + "\\uninstall.exe"));
    EXPECT_EQ(RunToEnd(SetupCommand("/S")), 0u);
  }

  {
    SCOPED_TRACE("silent uninstall with the program running");
    Program running("\"" + program + "\"");
    ASSERT_NE(running.WaitWindow(), nullptr);
    EXPECT_EQ(RunToEnd(Text("QuietUninstallString", kUninstallKey)), 0u);
    // The uninstaller runs on from a copy of itself in the temporary folder;
    // the uninstall entry is the last thing it removes.
    EXPECT_TRUE(WaitUntil([] { return !reg::KeyExists(kUninstallKey); }, kRunMs));
    EXPECT_EQ(running.WaitExit(kRunMs), 0u);
    for (const std::string& path : {kInstallDir, kMenuDir, kTaskFile, HistoryFolder()})
      EXPECT_FALSE(Exists(path)) << path;
    EXPECT_FALSE(reg::KeyExists());
    EXPECT_FALSE(reg::Read("Orvalen", kRunKey).exists);
    EXPECT_EQ(FindWindowA(nullptr, kWindowTitle), nullptr) << "no box was left open";
  }
}

}  // namespace
