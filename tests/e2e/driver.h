// Drives the real Orvalen.exe from outside: starts it, finds its windows,
// reads and sends what a user would see and do, and ends it again.
#pragma once
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "core/pass_history.h"
#include "core/server_table.h"
#include "resources/product.h"
#include "resources/resource.h"
#include "tests/e2e/timeservers.h"

// The program's settings and the system's keys, read and written directly in
// the 32-bit view, where either build of the program keeps them.
namespace reg {

constexpr char kSettingsKey[] = ORVALEN_SETTINGS_KEY;
struct Value {
  bool exists = false;
  DWORD type = 0;
  std::vector<BYTE> bytes;
};
// Null when the key is missing; calls on a null key fail.
inline HKEY Open(const char* key, REGSAM access) {
  HKEY h = nullptr;
  RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, access | KEY_WOW64_32KEY, &h);
  return h;
}
inline Value Read(const char* name, const char* key = kSettingsKey) {
  Value v;
  v.bytes.resize(1024);  // more than any value the tests read
  DWORD size = static_cast<DWORD>(v.bytes.size());
  HKEY h = Open(key, KEY_QUERY_VALUE);
  v.exists = RegQueryValueExA(h, name, nullptr, &v.type, v.bytes.data(), &size) == ERROR_SUCCESS;
  RegCloseKey(h);
  v.bytes.resize(v.exists ? size : 0);
  return v;
}
template <typename T>
T As(const Value& v) {
  T t{};
  if (v.bytes.size() == sizeof t) std::memcpy(&t, v.bytes.data(), sizeof t);
  return t;
}
inline void Write(const char* name, DWORD type, const void* data, DWORD size, const char* key = kSettingsKey) {
  HKEY h = nullptr;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &h, nullptr);
  RegSetValueExA(h, name, 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(h);
}
inline bool KeyExists(const char* key = kSettingsKey) { return !RegCloseKey(Open(key, KEY_READ)); }
inline void DeleteKey(const char* key = kSettingsKey) { RegDeleteKeyExA(HKEY_LOCAL_MACHINE, key, KEY_WOW64_32KEY, 0); }

}  // namespace reg

namespace e2e {

constexpr char kWindowTitle[] = ORVALEN_WINDOW_TITLE;
constexpr int kMessageText = 0xFFFF;          // the static text of a message box
constexpr DWORD kStillRunning = 0xFFFFFFFFu;  // WaitExit: the process has not ended in time
constexpr DWORD kWaitMs = 60000;              // a start, a box or a page under Wine, when busy
constexpr DWORD kPassMs = 30000;              // a pass, unresolvable names included
constexpr DWORD kAnswerMs = 5000;             // a window that takes longer to answer is hung
constexpr DWORD kStoreVersion = ORVALEN_STORE_VERSION;
constexpr char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvalen";

// A file beside the test program; Orvalen.exe is built there.
inline std::string Beside(const std::string& fileName) {
  char path[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::strrchr(path, '\\')[1] = '\0';
  return path + fileName;
}
inline std::string Orvalen(const std::string& args = "") { return "\"" + Beside("Orvalen.exe") + "\" " + args; }

// The pass history's folder, and the names of the files in it.
inline std::string HistoryFolder() {
  char path[MAX_PATH] = "";
  SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path);
  return std::string(path) + "\\" + kHistoryFolderName;
}
inline std::vector<std::string> HistoryFiles() {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((HistoryFolder() + "\\*").c_str(), &found);
  for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found))
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  return names;
}

// Polls predicate every 50 ms until it holds or timeoutMs has passed.
inline bool WaitUntil(const std::function<bool()>& predicate, DWORD timeoutMs = kWaitMs) {
  for (DWORD start = GetTickCount(); !predicate(); Sleep(50))
    if (GetTickCount() - start >= timeoutMs) return false;
  return true;
}

// The window procedure's answer, or fail when the window did not answer in time.
inline LRESULT Ask(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT fail = 0) {
  DWORD_PTR answer = 0;
  return SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kAnswerMs, &answer)
             ? static_cast<LRESULT>(answer) : fail;
}

inline DWORD ProcessOf(HWND window) {
  DWORD id = 0;
  GetWindowThreadProcessId(window, &id);
  return id;
}

inline std::string ControlText(HWND dialog, int id) {
  char text[260] = "";
  Ask(GetDlgItem(dialog, id), WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  return text;
}

// A dialog of the process (0: any): the main window, the dialog with the
// program's title that holds the server list, or else a shown message box.
inline HWND FindDialog(DWORD processId, bool mainWindow) {
  for (HWND w = nullptr; (w = FindWindowExA(nullptr, w, "#32770", nullptr)) != nullptr;) {
    // GetWindowTextA reads a top-level caption without asking the window,
    // so a hung window of another program cannot stall the search.
    char caption[sizeof kWindowTitle + 1] = "";
    GetWindowTextA(w, caption, sizeof caption);
    bool hasList = GetDlgItem(w, IDC_SERVER_LIST) != nullptr;
    if (processId && ProcessOf(w) != processId) continue;
    if (mainWindow ? hasList && std::strcmp(caption, kWindowTitle) == 0
                   : !hasList && GetDlgItem(w, kMessageText) && IsWindowVisible(w))
      return w;
  }
  return nullptr;
}
inline HWND FindMainWindow(DWORD processId = 0) { return FindDialog(processId, true); }

// One started command line, its output into the inheritable handle when one
// is given. The destructor ends a process that is still running, so a failed
// test never leaves one behind.
class Program {
 public:
  // On the desktop named, when one is: windows on another are not found from here.
  explicit Program(std::string commandLine, HANDLE output = nullptr, const char* desktop = nullptr) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.lpDesktop = const_cast<char*>(desktop);
    if (output) si.dwFlags = STARTF_USESTDHANDLES, si.hStdOutput = si.hStdError = output;
    PROCESS_INFORMATION pi = {};
    CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, output != nullptr, 0, nullptr,
                   Beside("").c_str(), &si, &pi);  // on failure pi stays empty
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    id_ = pi.dwProcessId;
  }
  ~Program() {
    if (Running()) TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 5000);
    CloseHandle(process_);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  DWORD id() const { return id_; }
  bool Running() const { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
  DWORD WaitExit(DWORD timeoutMs = kWaitMs) {
    DWORD code = kStillRunning;
    if (WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0) GetExitCodeProcess(process_, &code);
    return code;
  }
  // The main window, or a shown message box, of this process; null when none has appeared in time.
  HWND WaitWindow(bool messageBox = false) const {
    HWND found = nullptr;
    WaitUntil([&] { return (found = FindDialog(id_, !messageBox)) != nullptr || !Running(); });
    // The caption is the last thing set up: let the program reach its
    // message loop before anyone talks to the window.
    if (found && !messageBox) WaitForInputIdle(process_, kAnswerMs);
    return found;
  }

 private:
  HANDLE process_ = nullptr;
  DWORD id_ = 0;
};

// WM_COMMAND with the id in the low word; false when the window did not answer.
inline bool SendCommand(HWND window, int id) { return Ask(window, WM_COMMAND, id, 0, -1) != -1; }
inline void PostCommand(HWND window, int id) { PostMessageA(window, WM_COMMAND, id, 0); }
// Posts a key press into the program's queue, so that it passes through the
// program's own message loop as the keyboard's would.
inline void PostKey(HWND window, WORD virtualKey) {
  LPARAM scan = static_cast<LPARAM>(MapVirtualKeyA(virtualKey, MAPVK_VK_TO_VSC)) << 16 | 1;
  PostMessageA(window, WM_KEYDOWN, virtualKey, scan);
  PostMessageA(window, WM_KEYUP, virtualKey, scan | 0xC0000000);
}
inline bool SetText(HWND window, const std::string& text) {
  return Ask(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str())) != FALSE;
}
// Waits for the program's message box, checks its text, answers and waits
// for the box to go.
inline void Answer(const Program& program, const std::string& text, int answer = IDOK) {
  HWND box = program.WaitWindow(true);
  ASSERT_NE(box, nullptr) << "no box for: " << text;
  // A thread that waited on another program before showing its box counts
  // as hung, and answers nothing, until the box's own loop first runs.
  std::string shown;
  WaitUntil([&] { return !(shown = ControlText(box, kMessageText)).empty(); }, kAnswerMs);
  EXPECT_EQ(shown, text);
  PostCommand(box, answer);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(box); }));
}

// Sends message with lParam pointing at a copy of record made in the
// window's process: messages such as the list view's carry pointers that the
// receiver follows in its own process. The record is read back; the text
// field, when named, points at a buffer there whose text is returned.
template <typename Record>
std::string AskRemote(HWND window, UINT message, WPARAM wParam, Record& record,
                      LPSTR Record::*textField = nullptr) {
  constexpr size_t kTextAt = 512;
  char text[1024] = "";
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE,
                               ProcessOf(window));
  auto block = static_cast<char*>(VirtualAllocEx(process, nullptr, kTextAt + sizeof text,
                                                 MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (textField) record.*textField = block + kTextAt;
  if (block && WriteProcessMemory(process, block, &record, sizeof record, nullptr) &&
      Ask(window, message, wParam, reinterpret_cast<LPARAM>(block)) &&
      ReadProcessMemory(process, block, &record, sizeof record, nullptr) && textField)
    ReadProcessMemory(process, block + kTextAt, text, sizeof text - 1, nullptr);
  if (block) VirtualFreeEx(process, block, 0, MEM_RELEASE);
  CloseHandle(process);
  return text;
}

struct ListRow {
  std::string text[3];  // "Time Server", "Latency (ms)", "Correction"
  LPARAM param = -1;    // the server's slot number
};
inline int ListCount(HWND list) { return static_cast<int>(Ask(list, LVM_GETITEMCOUNT, 0, 0, -1)); }
inline std::vector<ListRow> ReadRows(HWND list) {
  std::vector<ListRow> rows(std::max(ListCount(list), 0));
  for (size_t i = 0; i < rows.size(); ++i) {
    for (int column = 0; column < 3; ++column) {
      LVITEMA item = {};
      item.mask = LVIF_TEXT | LVIF_PARAM, item.iItem = static_cast<int>(i), item.iSubItem = column;
      item.cchTextMax = 512, item.lParam = -1;
      rows[i].text[column] = AskRemote(list, LVM_GETITEMA, 0, item, &LVITEMA::pszText);
      if (column == 0) rows[i].param = item.lParam;
    }
  }
  return rows;
}
// Selects exactly the rows with these names, the first of them focused.
inline void Select(HWND list, const std::set<std::string>& names) {
  std::vector<ListRow> rows = ReadRows(list);
  for (size_t i = 0; i < rows.size(); ++i) {
    LVITEMA item = {};
    item.state = names.count(rows[i].text[0]) ? LVIS_SELECTED | LVIS_FOCUSED : 0;
    item.stateMask = item.state | LVIS_SELECTED;
    AskRemote(list, LVM_SETITEMSTATE, i, item);
  }
}
// The list's in-place label editor, or null when no label is being edited.
inline HWND LabelEditor(HWND list) { return reinterpret_cast<HWND>(Ask(list, LVM_GETEDITCONTROL, 0, 0)); }

// The program's settings, as the tests write and read them.
inline void WriteNumber(const char* name, DWORD value) { reg::Write(name, REG_DWORD, &value, 4); }
inline std::string ServerValue(int slot) { return "Server" + std::to_string(1000 + slot).substr(1); }
inline ServerRecord StoredServer(int slot) {
  return reg::As<ServerRecord>(reg::Read(ServerValue(slot).c_str()));
}

// Every test starts from an empty registry and idle loopback servers, and
// ends every Orvalen.exe it started.
class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Clean();
    // A running instance would take over every start of the test.
    ASSERT_TRUE(WaitUntil([] { return FindMainWindow() == nullptr; }, 5000)) << "an Orvalen is open";
  }
  void TearDown() override { program_.reset(); Clean(); }
  static void Clean() {
    timeservers::Clear();
    reg::DeleteKey();
    reg::DeleteKey(kUninstallKey);
    HKEY run = reg::Open(kRunKey, KEY_SET_VALUE);
    RegDeleteValueA(run, "Orvalen");
    RegCloseKey(run);
    for (const std::string& name : HistoryFiles()) DeleteFileA((HistoryFolder() + "\\" + name).c_str());
  }

  // Stores the list in slot order, each name with what the loopback daemon
  // plays for it (empty: nothing; "ntp://127.0.0.N" is played by 127.0.0.N;
  // "disabled": a disabled server), and a schedule that runs no pass of its own.
  static void Serve(const std::vector<std::pair<std::string, std::string>>& servers) {
    WriteNumber("Version", kStoreVersion);
    WriteNumber("Schedule", 0);
    for (size_t slot = 0; slot < servers.size(); ++slot) {
      const auto& [name, behaviour] = servers[slot];
      ServerRecord record = {};
      std::string address = name.substr(name.find("://") == std::string::npos ? 0 : 6);
      record.enabled = behaviour != "disabled";
      EXPECT_TRUE(behaviour.empty() || !record.enabled || timeservers::Set(address, behaviour)) << name;
      name.copy(record.name, sizeof record.name - 1);
      reg::Write(ServerValue(static_cast<int>(slot)).c_str(), REG_BINARY, &record, sizeof record);
    }
  }

  // Starts Orvalen.exe and waits for its window, which it shows as the last
  // step of setting it up: its rows are there by then.
  HWND Start() {
    program_.reset(new Program(Orvalen()));
    window_ = program_->WaitWindow();
    EXPECT_NE(window_, nullptr) << "no main window";
    list_ = window_ ? GetDlgItem(window_, IDC_SERVER_LIST) : nullptr;
    EXPECT_TRUE(WaitUntil([&] { return IsWindowVisible(window_); }));
    return window_;
  }
  bool PassRunning() const { return ControlText(window_, IDC_SYNC) != "Synchronize Time"; }
  // Gives the command (0: none, a pass runs) and waits for the pass to end.
  void RunPass(int command) {
    if (command) SendCommand(window_, command);
    EXPECT_TRUE(WaitUntil([&] { return !PassRunning(); }, kPassMs)) << "the pass did not end";
  }
  ListRow Row(const std::string& name) const {
    for (const ListRow& row : ReadRows(list_))
      if (row.text[0] == name) return row;
    return ListRow();
  }
  // Per server: the stored status, and a pattern for its texts, "latency;correction".
  struct Expected { const char* name; uint32_t status; const char* texts; };
  void Check(const std::vector<Expected>& expected) const {
    for (const Expected& e : expected) {
      ListRow row = Row(e.name);
      ASSERT_NE(row.param, -1) << e.name;
      EXPECT_EQ(StoredServer(static_cast<int>(row.param)).status, e.status) << e.name;
      std::string texts = row.text[1] + ";" + row.text[2];
      EXPECT_TRUE(std::regex_match(texts, std::regex(e.texts))) << e.name << ": " << texts;
    }
  }
  // Opens the name editor with the command, types name and ends with key
  // (0: leaves the editor open).
  void EditName(int command, const std::string& name, WORD key) {
    SendCommand(window_, command);
    HWND editor = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (editor = LabelEditor(list_)) != nullptr; }, 5000));
    EXPECT_EQ(Ask(editor, EM_GETLIMITTEXT, 0, 0), kServerNameSize - 1) << "more typed than a name keeps";
    SetText(editor, name);
    if (key == 0) return;
    PostKey(editor, key);
    EXPECT_TRUE(WaitUntil([&] { return LabelEditor(list_) == nullptr; }, 5000));
  }

  std::unique_ptr<Program> program_;
  HWND window_ = nullptr;
  HWND list_ = nullptr;
};

}  // namespace e2e
