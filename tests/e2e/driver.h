// Drives the real Orvalen.exe from outside: starts it, finds its windows,
// reads and sends what a user would see and do, and ends it again.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/server_table.h"
#include "tests/win/registry.h"

namespace e2e {

constexpr char kWindowTitle[] = "Orvalen - Dadeza Zuzed Edavedadovar - v5.5.0 FREE";
constexpr int kMessageText = 0xFFFF;          // the static text of a message box
constexpr DWORD kStillRunning = 0xFFFFFFFFu;  // WaitExit: the process has not ended in time
constexpr DWORD kWaitMs = 20000;              // a start, a box or a page under Wine
constexpr DWORD kPassMs = 30000;              // a pass, unresolvable names included
constexpr DWORD kStoreVersion = 17968;        // "Version" as this version stores it
constexpr char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvalen";

std::string ProgramPath();                    // Orvalen.exe beside the test program
inline std::string Orvalen(const std::string& args = "") { return "\"" + ProgramPath() + "\" " + args; }
// Where screenshots go: ORVALEN_ARTIFACTS when set, else beside the test program.
std::string ArtifactPath(const std::string& fileName);
// Polls predicate every 50 ms until it holds or timeoutMs has passed.
bool WaitUntil(const std::function<bool()>& predicate, DWORD timeoutMs = kWaitMs);

// One started command line. The destructor ends a process that is still
// running, so a failed test never leaves one behind.
class Program {
 public:
  explicit Program(std::string commandLine);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  DWORD id() const { return id_; }
  bool Running() const { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
  DWORD WaitExit(DWORD timeoutMs = kWaitMs);
  // The main window or a message box of this process; null when none has appeared in time.
  HWND WaitMainWindow() const;
  HWND WaitMessageBox() const;

 private:
  HANDLE process_ = nullptr;
  DWORD id_ = 0;
};

// The main window: the dialog with the program's title that holds the server
// list (message boxes carry the same caption but no list). 0 accepts any process.
HWND FindMainWindow(DWORD processId = 0);
std::vector<HWND> TopWindows();  // topmost first
DWORD ProcessOf(HWND window);
std::string WindowText(HWND window);
inline std::string ControlText(HWND dialog, int id) { return WindowText(GetDlgItem(dialog, id)); }

// WM_COMMAND with the id in the low word; false when the window did not answer.
bool SendCommand(HWND window, int id);
inline void PostCommand(HWND window, int id) { PostMessageA(window, WM_COMMAND, id, 0); }
// Posts a key press into the program's queue, so that it passes through the
// program's own message loop as the keyboard's would.
void PostKey(HWND window, WORD virtualKey);
bool SetText(HWND window, const std::string& text);

// A block of memory inside the process that owns a window: messages such as
// the list view's carry pointers that the receiver follows in its own process.
class RemoteBlock {
 public:
  RemoteBlock(HWND window, size_t size);
  ~RemoteBlock();
  RemoteBlock(const RemoteBlock&) = delete;
  RemoteBlock& operator=(const RemoteBlock&) = delete;
  BYTE* at(size_t offset) const { return base_ + offset; }
  LPARAM param() const { return reinterpret_cast<LPARAM>(base_); }
  bool Write(size_t offset, const void* data, size_t size);
  bool Read(size_t offset, void* data, size_t size) const;

 private:
  HANDLE process_;
  BYTE* base_;
};

struct ListRow {
  std::string text[3];  // "Time Server", "Latency (ms)", "Correction"
  LPARAM param = -1;    // the server's slot number
};
int ListCount(HWND list);
std::vector<ListRow> ReadRows(HWND list);
std::string ColumnHeading(HWND list, int column);
// Selects exactly the rows with these names, the first of them focused.
void Select(HWND list, const std::set<std::string>& names);
// The list's in-place label editor, or null when no label is being edited.
HWND LabelEditor(HWND list);

// The window's screen area as 24-bit rows; empty when it could not be copied.
std::vector<BYTE> ScreenPixels(HWND window, BITMAPINFOHEADER* header = nullptr);
// Saves the window's screen area as a .bmp file under ArtifactPath.
bool SaveScreenshot(HWND window, const std::string& fileName);

// The program's settings, as the tests write and read them.
inline void WriteNumber(const char* name, DWORD value) { reg::Write(name, REG_DWORD, &value, 4); }
// Stores the names as the list in slot order, all enabled unless listed in disabled.
void StoreServers(const std::vector<std::string>& names, const std::set<std::string>& disabled = {});
ServerRecord StoredServer(int slot);

// Every test starts from an empty registry and idle loopback servers, and
// ends every Orvalen.exe it started.
class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  static void Clean();

  // Starts "Orvalen.exe args" and waits for its window; a plain start shows
  // it as the last step of setting it up, so its rows are there by then.
  HWND Start(const std::string& args = "");
  void Restart();  // quits through the tray menu's command and starts again
  bool PassRunning() const;
  // Gives the command (0: none, a pass runs) and waits for the pass to end.
  void RunPass(int command);
  ListRow Row(const std::string& name) const;
  // Gives the command, checks the question it asks and answers OK.
  void Confirm(int command, const std::string& question);
  // Opens the name editor with the command, types name and ends with key.
  void EditName(int command, const std::string& name, WORD key);

  std::unique_ptr<Program> program_;
  HWND window_ = nullptr;
  HWND list_ = nullptr;
};

}  // namespace e2e
