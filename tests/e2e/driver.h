// Drives the real Orvalen.exe from outside: starts it, finds its windows,
// reads and sends what a user would see and do, and ends it again.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace e2e {

constexpr char kWindowTitle[] = "Orvalen - Dadeza Zuzed Edavedadovar - v5.5.0 FREE";
constexpr int kMessageText = 0xFFFF;          // the static text of a message box
constexpr DWORD kStillRunning = 0xFFFFFFFFu;  // WaitExit: the process has not ended in time

std::string ProgramPath();  // Orvalen.exe beside the test program
// Where screenshots go: ORVALEN_ARTIFACTS when set, else beside the test program.
std::string ArtifactPath(const std::string& fileName);
// Polls predicate every 50 ms until it holds or timeoutMs has passed.
bool WaitUntil(const std::function<bool()>& predicate, DWORD timeoutMs);

// A whole command line, program path included.
struct CommandLine {
  std::string text;
};

// One started "Orvalen.exe <args>", or any command line. The destructor ends
// a process that is still running, so a failed test never leaves one behind.
class Program {
 public:
  explicit Program(const std::string& args = "");
  explicit Program(const CommandLine& command);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  bool started() const { return process_ != nullptr; }
  DWORD id() const { return id_; }
  bool Running() const { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
  DWORD WaitExit(DWORD timeoutMs);
  // The main window or a message box of this process; null when none has appeared in time.
  HWND WaitMainWindow(DWORD timeoutMs = 20000) const;
  HWND WaitMessageBox(DWORD timeoutMs = 20000) const;

 private:
  HANDLE process_ = nullptr;
  DWORD id_ = 0;
};

// The main window: the dialog with the program's title that holds the server
// list (message boxes carry the same caption but no list). 0 accepts any process.
HWND FindMainWindow(DWORD processId = 0);
std::vector<HWND> TopWindows();  // topmost first
inline DWORD ProcessOf(HWND window) {
  DWORD id = 0;
  GetWindowThreadProcessId(window, &id);
  return id;
}
std::string WindowText(HWND window);
inline std::string ControlText(HWND dialog, int id) { return WindowText(GetDlgItem(dialog, id)); }

// WM_COMMAND with the id in the low word. SendCommand waits for the window
// procedure's result (false also when the window did not answer).
bool SendCommand(HWND window, int id, LRESULT* result = nullptr);
inline void PostCommand(HWND window, int id) { PostMessageA(window, WM_COMMAND, id, 0); }
inline void AnswerMessageBox(HWND box, int answer) { PostCommand(box, answer); }  // IDOK, IDCANCEL
// Posts a key press into the program's queue, so that it passes through the
// program's own message loop as the keyboard's would.
void PostKey(HWND window, WORD virtualKey);
bool SetText(HWND window, const std::string& text);

// A block of memory inside the process that owns a window: messages such as
// the list view's carry pointers that the receiver follows in its own process.
class RemoteBlock {
 public:
  RemoteBlock(HWND window, size_t size)
      : process_(OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE,
                             ProcessOf(window))),
        base_(static_cast<BYTE*>(VirtualAllocEx(process_, nullptr, size, MEM_COMMIT | MEM_RESERVE,
                                                PAGE_READWRITE))) {}
  ~RemoteBlock() {
    if (base_) VirtualFreeEx(process_, base_, 0, MEM_RELEASE);
    CloseHandle(process_);
  }
  RemoteBlock(const RemoteBlock&) = delete;
  RemoteBlock& operator=(const RemoteBlock&) = delete;
  BYTE* at(size_t offset) const { return base_ + offset; }
  LPARAM param() const { return reinterpret_cast<LPARAM>(base_); }
  bool Write(size_t offset, const void* data, size_t size) {
    return base_ && WriteProcessMemory(process_, at(offset), data, size, nullptr);
  }
  bool Read(size_t offset, void* data, size_t size) const {
    return base_ && ReadProcessMemory(process_, at(offset), data, size, nullptr);
  }

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
// Sets the state bits under mask of one row (LVIS_FOCUSED, LVIS_SELECTED).
bool SetRowState(HWND list, int row, UINT state, UINT mask);
// The list's in-place label editor, or null when no label is being edited.
HWND LabelEditor(HWND list);

// The window's screen area as 24-bit bottom-up rows, as a .bmp file stores
// them, and their header; empty when it could not be copied.
std::vector<BYTE> ScreenPixels(HWND window, BITMAPINFOHEADER* header = nullptr);
// Saves the window's screen area as a .bmp file under ArtifactPath.
bool SaveScreenshot(HWND window, const std::string& fileName);

}  // namespace e2e
