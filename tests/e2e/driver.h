// Drives the real Orvalen.exe from outside: starts it, finds its windows,
// reads and sends what a user would see and do, and ends it again.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace e2e {

constexpr char kWindowTitle[] = "Orvalen - Dadeza Zuzed Edavedadovar - v5.5.0 FREE";
constexpr int kServerList = 1005;
constexpr int kMessageText = 0xFFFF;  // the static text of a message box

// WaitExit's answer when the process is still running.
constexpr DWORD kStillRunning = 0xFFFFFFFFu;

// Orvalen.exe in the directory of the running test program.
std::string ProgramPath();
// Where screenshots go: ORVALEN_ARTIFACTS when set, else beside the test program.
std::string ArtifactPath(const std::string& fileName);

// Polls predicate every 50 ms until it holds or timeoutMs has passed.
bool WaitUntil(const std::function<bool()>& predicate, DWORD timeoutMs);

// One started Orvalen.exe. The destructor ends a process that is still
// running, so a failed test never leaves one behind.
class Program {
 public:
  // Starts "Orvalen.exe <args>"; started() tells whether it worked.
  explicit Program(const std::string& args = "");
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  bool started() const { return process_ != nullptr; }
  DWORD id() const { return id_; }
  bool Running() const;
  // The exit code, or kStillRunning when the process has not ended in time.
  DWORD WaitExit(DWORD timeoutMs);
  // The main window, or null when it has not appeared in time.
  HWND WaitMainWindow(DWORD timeoutMs = 20000) const;
  // A message box of this process, or null when none has appeared in time.
  HWND WaitMessageBox(DWORD timeoutMs = 20000) const;

 private:
  HANDLE process_ = nullptr;
  DWORD id_ = 0;
};

// The main window: the dialog with the program's title that holds the
// server list. Message boxes carry the same caption but no list. A process
// id of 0 accepts any process.
HWND FindMainWindow(DWORD processId = 0);
// A message box (a dialog with a static text 0xFFFF and no server list)
// belonging to the process.
HWND FindMessageBox(DWORD processId);

DWORD ProcessOf(HWND window);
std::string WindowText(HWND window);
std::string ControlText(HWND dialog, int id);
std::string ClassName(HWND window);

// Answers a message box with IDOK or IDCANCEL.
void AnswerMessageBox(HWND box, int answer);
// WM_COMMAND with the id in the low word and lParam 0. SendCommand waits for
// the window procedure's result (false also when the window did not answer).
bool SendCommand(HWND window, int id, LRESULT* result = nullptr);
void PostCommand(HWND window, int id);
// Posts a key press into the program's queue, as the keyboard would, so that
// it passes through the program's own message loop.
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

  bool ok() const { return base_ != nullptr; }
  BYTE* at(size_t offset) const { return base_ + offset; }
  LPARAM param() const { return reinterpret_cast<LPARAM>(base_); }
  bool Write(size_t offset, const void* data, size_t size);
  bool Read(size_t offset, void* data, size_t size) const;

 private:
  HANDLE process_ = nullptr;
  BYTE* base_ = nullptr;
};

// The list view rows of another process, read through memory of that process.
struct ListRow {
  std::string text[3];  // "Time Server", "Latency (ms)", "Correction"
  LPARAM param = -1;    // the server's slot number
};
int ListCount(HWND list);
std::vector<ListRow> ReadRows(HWND list);
std::string ColumnHeading(HWND list, int column);
// Sets the state bits under mask of one row (LVIS_FOCUSED, LVIS_SELECTED).
bool SetRowState(HWND list, int row, UINT state, UINT mask);
// The list's in-place label editor, or null when no label is being edited.
HWND LabelEditor(HWND list);

// Saves the window's screen area as a 24-bit .bmp file under ArtifactPath.
bool SaveScreenshot(HWND window, const std::string& fileName);

}  // namespace e2e
