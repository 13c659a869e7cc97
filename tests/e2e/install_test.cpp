// The installer, walked through one machine's whole life with Orvalen: an
// install through its pages, a silent upgrade over the running program, the
// log-on start on Windows XP as Windows runs it, and a silent uninstall.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/server_table.h"
#include "resources/resource.h"
#include "tests/e2e/driver.h"
#include "tests/win/registry.h"
#include "tests/win/timeservers.h"

namespace {

using namespace e2e;

const char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvalen";
const char kSetupFile[] = "Orvalen-5.5.0-setup.exe";
const char kServer[] = "127.0.0.91";  // the custom list's one loopback server

constexpr DWORD kRunMs = 60000;      // an install or uninstall under Wine
constexpr DWORD kPageMs = 20000;     // the installer reaching its next page
constexpr DWORD kLogonMs = 40000;    // a log-on start: pass, then ten seconds
constexpr int kNsisNext = 1;         // the installer's Next / Install / Finish button
constexpr int kNsisHeaderTitle = 1037;

std::string Folder(int csidl) {
  char path[MAX_PATH] = "";
  SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
  return path;
}
const std::string kInstallDir = Folder(CSIDL_PROGRAM_FILES) + "\\Orvalen";
const std::string kMenuDir = Folder(CSIDL_COMMON_PROGRAMS) + "\\Orvalen";
// Where the task service keeps a registered task.
const std::string kTaskFile = Folder(CSIDL_SYSTEM) + "\\Tasks\\Orvalen";

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string Text(const char* name, const char* key) {
  reg::Value v = reg::Read(name, key);
  return v.exists && v.type == REG_SZ ? std::string(reinterpret_cast<const char*>(v.bytes.data()))
                                      : std::string();
}
DWORD Number(const char* name, const char* key) { return reg::As<DWORD>(reg::Read(name, key)); }

std::string SetupCommand(const std::string& options) {
  return "\"" + ProgramPath().substr(0, ProgramPath().rfind('\\') + 1) + kSetupFile + "\" " + options;
}

DWORD RunToEnd(const std::string& commandLine) { return Program(CommandLine{commandLine}).WaitExit(kRunMs); }

// Wine reports the Windows version its registry names to every new process.
void ReportWindowsVersion(const char* version) {
  HKEY key;
  if (RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Wine", &key) != ERROR_SUCCESS) return;
  if (version)
    RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                   static_cast<DWORD>(strlen(version) + 1));
  else
    RegDeleteValueA(key, "Version");
  RegCloseKey(key);
}

void DeleteRunValue() {
  HKEY h;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_SET_VALUE, &h) != ERROR_SUCCESS) return;
  RegDeleteValueA(h, "Orvalen");
  RegCloseKey(h);
}

void StoreCustomList() {
  DWORD version = 17968, schedule = 0;
  reg::Write("Version", REG_DWORD, &version, 4);
  reg::Write("Schedule", REG_DWORD, &schedule, 4);
  const char* names[] = {kServer, "custom.example"};
  for (int slot = 0; slot < 2; ++slot) {
    ServerRecord record = {};
    strcpy(record.name, names[slot]);
    record.enabled = 1;
    reg::Write(("Server00" + std::to_string(slot)).c_str(), REG_BINARY, &record, sizeof record);
  }
}

std::string StoredName(const char* value) {
  ServerRecord r = reg::As<ServerRecord>(reg::Read(value));
  return std::string(r.name, strnlen(r.name, sizeof r.name));
}

// The installer's wizard: the visible dialog of its process.
HWND Wizard(const Program& setup) {
  for (HWND w : TopWindows()) {
    char name[16] = "";
    GetClassNameA(w, name, sizeof name);
    if (ProcessOf(w) == setup.id() && strcmp(name, "#32770") == 0 && IsWindowVisible(w)) return w;
  }
  return nullptr;
}

// Waits for the page, lets it paint, and keeps a picture of it.
bool ReachPage(const Program& setup, const std::function<bool(HWND)>& isPage, const char* shot) {
  HWND wizard = nullptr;
  bool reached = WaitUntil([&] { return (wizard = Wizard(setup)) && isPage(wizard); }, kPageMs);
  Sleep(500);
  if (reached) SaveScreenshot(wizard, shot);
  return reached;
}

class Installer : public ::testing::Test {
 protected:
  void SetUp() override { Clean(); }
  void TearDown() override {
    ReportWindowsVersion(nullptr);
    timeservers::Clear();
    Clean();
  }
  // Leaves nothing of an earlier run: keys, values and the program itself.
  static void Clean() {
    std::string uninstaller = kInstallDir + "\\uninstall.exe";
    if (Exists(uninstaller)) {
      RunToEnd("\"" + uninstaller + "\" /S");
      WaitUntil([] { return !reg::KeyExists(kUninstallKey); }, kRunMs);
    }
    reg::DeleteKey();
    reg::DeleteKey(kUninstallKey);
    DeleteRunValue();
  }
};

TEST_F(Installer, InstallUpgradeLogOnStartAndUninstall) {
  StoreCustomList();
  ASSERT_TRUE(timeservers::Set(kServer, "now 500"));

  {
    SCOPED_TRACE("install through the pages, on Windows 7 as Wine reports by default");
    Program setup(CommandLine{SetupCommand("")});
    auto header = [](const char* title) {
      return [title](HWND w) { return ControlText(w, kNsisHeaderTitle) == title; };
    };
    ASSERT_TRUE(ReachPage(setup, header("Choose Components"), "setup_components.bmp"));
    PostCommand(Wizard(setup), kNsisNext);
    ASSERT_TRUE(ReachPage(setup, header("Choose Install Location"), "setup_folder.bmp"));
    PostCommand(Wizard(setup), kNsisNext);
    ASSERT_TRUE(ReachPage(setup, [](HWND w) { return ControlText(w, kNsisNext) == "&Finish"; },
                          "setup_finish.bmp"));
    PostCommand(Wizard(setup), kNsisNext);  // "Open Orvalen now" is ticked
    EXPECT_EQ(setup.WaitExit(kRunMs), 0u);
  }
  HWND window = nullptr;
  EXPECT_TRUE(WaitUntil([&] { return (window = FindMainWindow()) != nullptr; }, kPageMs));
  EXPECT_TRUE(WaitUntil([&] { return ListCount(GetDlgItem(window, IDC_SERVER_LIST)) == 2; }, kPageMs));
  const std::string program = kInstallDir + "\\Orvalen.exe";
  EXPECT_TRUE(Exists(program));
  EXPECT_TRUE(Exists(kMenuDir + "\\Orvalen.lnk"));
  EXPECT_TRUE(Exists(kMenuDir + "\\Uninstall Orvalen.lnk"));
  EXPECT_EQ(Text("DisplayName", kUninstallKey), "Orvalen");
  EXPECT_EQ(Text("DisplayVersion", kUninstallKey), "5.5.0");
  EXPECT_EQ(Text("DisplayIcon", kUninstallKey), program);
  EXPECT_EQ(Text("InstallLocation", kUninstallKey), kInstallDir);
  const std::string uninstall = Text("UninstallString", kUninstallKey);
  EXPECT_EQ(uninstall, "\"" + kInstallDir + "\\uninstall.exe\"");
  EXPECT_EQ(Text("QuietUninstallString", kUninstallKey), uninstall + " /S");
  EXPECT_EQ(Number("NoModify", kUninstallKey), 1u);
  EXPECT_EQ(Number("NoRepair", kUninstallKey), 1u);
  EXPECT_GT(Number("EstimatedSize", kUninstallKey), 100u);  // KB: the program alone is larger
  EXPECT_TRUE(Exists(kTaskFile)) << "Windows 7 starts it from a log-on task";
  EXPECT_FALSE(reg::Read("Orvalen", kRunKey).exists) << "never both";

  {
    SCOPED_TRACE("silent upgrade over the running program, log-on start turned off");
    DWORD running = ProcessOf(window);
    EXPECT_EQ(RunToEnd(SetupCommand("/S /LOGON=0")), 0u);
    EXPECT_EQ(FindMainWindow(running), nullptr) << "the running instance was ended";
    EXPECT_TRUE(Exists(program));
    EXPECT_EQ(StoredName("Server000"), kServer);
    EXPECT_EQ(StoredName("Server001"), "custom.example");
    EXPECT_FALSE(reg::Read("Server002").exists);
    EXPECT_FALSE(Exists(kTaskFile));
    EXPECT_FALSE(reg::Read("Orvalen", kRunKey).exists);
  }

  {
    SCOPED_TRACE("Windows XP: the Run value, and an upgrade keeps the earlier choice");
    ReportWindowsVersion("winxp");
    EXPECT_EQ(RunToEnd(SetupCommand("/S")), 0u);
    EXPECT_FALSE(reg::Read("Orvalen", kRunKey).exists) << "still off, as chosen last time";
    EXPECT_EQ(RunToEnd(SetupCommand("/S /LOGON=1")), 0u);
    EXPECT_EQ(Text("Orvalen", kRunKey), "\"" + program + "\" s");
    EXPECT_FALSE(Exists(kTaskFile));
    EXPECT_NE(RunToEnd(SetupCommand("/S /LOGON=yes")), 0u) << "a bad option fails the run";
  }

  {
    SCOPED_TRACE("the log-on start, as Windows runs the Run value, with \"On Startup\"");
    DWORD onStartup = 1;
    reg::Write("Schedule", REG_DWORD, &onStartup, 4);
    Program logon(CommandLine{Text("Orvalen", kRunKey)});
    bool shown = false;
    EXPECT_TRUE(WaitUntil([&] {
      HWND w = FindMainWindow(logon.id());
      shown = shown || (w && IsWindowVisible(w));
      return reg::Read("LastCorrectionValue").exists;
    }, kLogonMs));
    EXPECT_GE(timeservers::Count(kServer), 3);
    EXPECT_EQ(logon.WaitExit(kLogonMs), 0u) << "it ends by itself after the correction";
    EXPECT_FALSE(shown);
  }

  {
    SCOPED_TRACE("silent uninstall with the program running");
    Program running(CommandLine{"\"" + program + "\""});
    ASSERT_NE(running.WaitMainWindow(), nullptr);
    EXPECT_EQ(RunToEnd(Text("QuietUninstallString", kUninstallKey)), 0u);
    // The uninstaller runs on from a copy of itself in the temporary folder;
    // the uninstall entry is the last thing it removes.
    EXPECT_TRUE(WaitUntil([] { return !reg::KeyExists(kUninstallKey); }, kRunMs));
    EXPECT_EQ(running.WaitExit(kRunMs), 0u);
    EXPECT_FALSE(Exists(kInstallDir));
    EXPECT_FALSE(Exists(kMenuDir));
    EXPECT_FALSE(reg::KeyExists());
    EXPECT_FALSE(reg::Read("Orvalen", kRunKey).exists);
    EXPECT_FALSE(Exists(kTaskFile));
    EXPECT_EQ(FindWindowA(nullptr, kWindowTitle), nullptr) << "no box was left open";
  }
}

}  // namespace
