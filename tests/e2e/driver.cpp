#include "tests/e2e/driver.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "resources/resource.h"
#include "tests/win/timeservers.h"

namespace e2e {
namespace {

constexpr DWORD kAnswerTimeoutMs = 5000;  // a window that takes longer is hung
constexpr int kTextCapacity = 260;
// A list view record lies at the start of its block, its text buffer after it.
constexpr size_t kTextAt = 256;

std::string OwnDirectory() {
  char path[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::strrchr(path, '\\')[1] = '\0';
  return path;
}

// The window procedure's answer, or fail when the window did not answer in time.
LRESULT Ask(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT fail = 0) {
  DWORD_PTR answer = 0;
  return SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kAnswerTimeoutMs,
                             &answer) ? static_cast<LRESULT>(answer) : fail;
}

// Sends a list view message with record (an LVITEMA or LVCOLUMNA) in a
// block of the list's process, reads the record back and returns its text.
template <typename Record>
std::string Query(HWND list, UINT message, WPARAM wParam, Record& record) {
  RemoteBlock block(list, kTextAt + kTextCapacity);
  char text[kTextCapacity] = "";
  record.pszText = reinterpret_cast<LPSTR>(block.at(kTextAt));
  record.cchTextMax = kTextCapacity;
  if (block.Write(0, &record, sizeof record) && Ask(list, message, wParam, block.param()) &&
      block.Read(0, &record, sizeof record)) {
    block.Read(kTextAt, text, sizeof text - 1);
  }
  return text;
}

BOOL CALLBACK Collect(HWND window, LPARAM windows) {
  reinterpret_cast<std::vector<HWND>*>(windows)->push_back(window);
  return TRUE;
}

// The main window, or with wantMainWindow false a message box (a dialog with
// a static text 0xFFFF and no server list), of the process.
HWND FindDialog(DWORD processId, bool wantMainWindow) {
  for (HWND w : TopWindows()) {
    // GetWindowTextA reads a top-level caption without asking the window,
    // so a hung window of another program cannot stall the search.
    char name[16] = "", caption[sizeof kWindowTitle + 1] = "";
    GetClassNameA(w, name, sizeof name);
    GetWindowTextA(w, caption, sizeof caption);
    bool hasList = GetDlgItem(w, IDC_SERVER_LIST) != nullptr;
    if (std::strcmp(name, "#32770") != 0 || (processId && ProcessOf(w) != processId)) continue;
    // A box is complete once it shows: its text is set before that.
    if (wantMainWindow ? hasList && std::strcmp(caption, kWindowTitle) == 0
                       : !hasList && GetDlgItem(w, kMessageText) && IsWindowVisible(w)) {
      return w;
    }
  }
  return nullptr;
}

HWND WaitDialog(const Program& program, bool wantMainWindow) {
  HWND found = nullptr;
  WaitUntil([&] {
    return (found = FindDialog(program.id(), wantMainWindow)) != nullptr || !program.Running();
  });
  return found;
}

}  // namespace

std::string ProgramPath() { return OwnDirectory() + "Orvalen.exe"; }

std::string ArtifactPath(const std::string& fileName) {
  char dir[MAX_PATH] = "";
  if (!GetEnvironmentVariableA("ORVALEN_ARTIFACTS", dir, MAX_PATH))
    return OwnDirectory() + fileName;
  // The test run names the directory as the host sees it: under Wine, on drive Z:.
  std::string path = dir[0] == '/' ? std::string("Z:") + dir : dir;
  std::replace(path.begin(), path.end(), '/', '\\');
  CreateDirectoryA(path.c_str(), nullptr);
  return path + "\\" + fileName;
}

bool WaitUntil(const std::function<bool()>& predicate, DWORD timeoutMs) {
  for (DWORD start = GetTickCount(); !predicate(); Sleep(50))
    if (GetTickCount() - start >= timeoutMs) return false;
  return true;
}

Program::Program(std::string commandLine) {
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                 OwnDirectory().c_str(), &si, &pi);  // on failure pi stays empty
  CloseHandle(pi.hThread);
  process_ = pi.hProcess;
  id_ = pi.dwProcessId;
}

Program::~Program() {
  if (Running()) TerminateProcess(process_, 1);
  WaitForSingleObject(process_, 5000);
  CloseHandle(process_);
}

DWORD Program::WaitExit(DWORD timeoutMs) {
  DWORD code = kStillRunning;
  if (WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0)
    GetExitCodeProcess(process_, &code);
  return code;
}

HWND Program::WaitMainWindow() const {
  HWND window = WaitDialog(*this, true);
  // The caption is set early in the window's initialisation: let the
  // program reach its message loop before anyone talks to the window.
  if (window) WaitForInputIdle(process_, kAnswerTimeoutMs);
  return window;
}

HWND Program::WaitMessageBox() const { return WaitDialog(*this, false); }

HWND FindMainWindow(DWORD processId) { return FindDialog(processId, true); }

std::vector<HWND> TopWindows() {
  std::vector<HWND> windows;
  EnumWindows(Collect, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

DWORD ProcessOf(HWND window) {
  DWORD id = 0;
  GetWindowThreadProcessId(window, &id);
  return id;
}

std::string WindowText(HWND window) {
  char text[kTextCapacity] = "";
  Ask(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  return text;
}

bool SendCommand(HWND window, int id) { return Ask(window, WM_COMMAND, id, 0, -1) != -1; }

void PostKey(HWND window, WORD virtualKey) {
  LPARAM scan = static_cast<LPARAM>(MapVirtualKeyA(virtualKey, MAPVK_VK_TO_VSC)) << 16 | 1;
  PostMessageA(window, WM_KEYDOWN, virtualKey, scan);
  PostMessageA(window, WM_KEYUP, virtualKey, scan | 0xC0000000);
}

bool SetText(HWND window, const std::string& text) {
  return Ask(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str())) != FALSE;
}

RemoteBlock::RemoteBlock(HWND window, size_t size)
    : process_(OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE,
                           ProcessOf(window))),
      base_(static_cast<BYTE*>(
          VirtualAllocEx(process_, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))) {}

RemoteBlock::~RemoteBlock() {
  if (base_) VirtualFreeEx(process_, base_, 0, MEM_RELEASE);
  CloseHandle(process_);
}

bool RemoteBlock::Write(size_t offset, const void* data, size_t size) {
  return base_ && WriteProcessMemory(process_, at(offset), data, size, nullptr);
}

bool RemoteBlock::Read(size_t offset, void* data, size_t size) const {
  return base_ && ReadProcessMemory(process_, at(offset), data, size, nullptr);
}

int ListCount(HWND list) { return static_cast<int>(Ask(list, LVM_GETITEMCOUNT, 0, 0, -1)); }

std::vector<ListRow> ReadRows(HWND list) {
  std::vector<ListRow> rows(std::max(ListCount(list), 0));
  for (size_t i = 0; i < rows.size(); ++i) {
    for (int column = 0; column < 3; ++column) {
      LVITEMA item = {};
      item.mask = LVIF_TEXT | (column == 0 ? LVIF_PARAM : 0);
      item.iItem = static_cast<int>(i);
      item.iSubItem = column;
      item.lParam = -1;
      rows[i].text[column] = Query(list, LVM_GETITEMA, 0, item);
      if (column == 0) rows[i].param = item.lParam;
    }
  }
  return rows;
}

std::string ColumnHeading(HWND list, int column) {
  LVCOLUMNA record = {};
  record.mask = LVCF_TEXT;
  return Query(list, LVM_GETCOLUMNA, column, record);
}

void Select(HWND list, const std::set<std::string>& names) {
  std::vector<ListRow> rows = ReadRows(list);
  RemoteBlock block(list, sizeof(LVITEMA));
  for (size_t i = 0; i < rows.size(); ++i) {
    LVITEMA item = {};
    item.state = names.count(rows[i].text[0]) ? LVIS_SELECTED | LVIS_FOCUSED : 0;
    item.stateMask = item.state | LVIS_SELECTED;
    if (block.Write(0, &item, sizeof item)) Ask(list, LVM_SETITEMSTATE, i, block.param());
  }
}

HWND LabelEditor(HWND list) { return reinterpret_cast<HWND>(Ask(list, LVM_GETEDITCONTROL, 0, 0)); }

std::vector<BYTE> ScreenPixels(HWND window, BITMAPINFOHEADER* header) {
  RECT r = {};
  GetWindowRect(window, &r);
  BITMAPINFO info = {};
  BITMAPINFOHEADER& h = info.bmiHeader;
  h.biSize = sizeof h;
  h.biWidth = r.right - r.left;
  h.biHeight = r.bottom - r.top;  // positive: bottom-up rows, as a .bmp file stores them
  h.biPlanes = 1;
  h.biBitCount = 24;
  h.biSizeImage = ((h.biWidth * 3 + 3) & ~3) * h.biHeight;
  std::vector<BYTE> pixels(h.biSizeImage);
  HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, h.biWidth, h.biHeight);
  HGDIOBJ old = SelectObject(memory, bitmap);
  bool copied = BitBlt(memory, 0, 0, h.biWidth, h.biHeight, screen, r.left, r.top, SRCCOPY);
  SelectObject(memory, old);
  copied = copied && GetDIBits(memory, bitmap, 0, h.biHeight, pixels.data(), &info,
                               DIB_RGB_COLORS) == h.biHeight;
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (header) *header = h;
  return copied ? pixels : std::vector<BYTE>();
}

bool SaveScreenshot(HWND window, const std::string& fileName) {
  BITMAPINFOHEADER info;
  std::vector<BYTE> pixels = ScreenPixels(window, &info);
  BITMAPFILEHEADER header = {};
  header.bfType = 0x4D42;  // "BM"
  header.bfOffBits = sizeof header + sizeof info;
  header.bfSize = header.bfOffBits + pixels.size();
  FILE* file = pixels.empty() ? nullptr : std::fopen(ArtifactPath(fileName).c_str(), "wb");
  if (!file) return false;
  bool saved = std::fwrite(&header, sizeof header, 1, file) == 1 &&
               std::fwrite(&info, sizeof info, 1, file) == 1 &&
               std::fwrite(pixels.data(), pixels.size(), 1, file) == 1;
  return std::fclose(file) == 0 && saved;
}

void StoreServers(const std::vector<std::string>& names, const std::set<std::string>& disabled) {
  for (size_t slot = 0; slot < names.size(); ++slot) {
    ServerRecord record = {};
    names[slot].copy(record.name, sizeof record.name - 1);
    record.enabled = !disabled.count(names[slot]);
    char value[16];
    std::snprintf(value, sizeof value, "Server%03d", static_cast<int>(slot));
    reg::Write(value, REG_BINARY, &record, sizeof record);
  }
}

ServerRecord StoredServer(int slot) {
  char value[16];
  std::snprintf(value, sizeof value, "Server%03d", slot);
  return reg::As<ServerRecord>(reg::Read(value));
}

void ProgramTest::SetUp() {
  Clean();
  // A running instance would take over every start of the test.
  ASSERT_TRUE(WaitUntil([] { return FindMainWindow() == nullptr; }, 5000)) << "an Orvalen is open";
}

void ProgramTest::TearDown() {
  program_.reset();
  Clean();
}

void ProgramTest::Clean() {
  timeservers::Clear();
  reg::DeleteKey();
  reg::DeleteKey(kUninstallKey);
  HKEY run;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_SET_VALUE, &run) != ERROR_SUCCESS) return;
  RegDeleteValueA(run, "Orvalen");
  RegCloseKey(run);
}

HWND ProgramTest::Start(const std::string& args) {
  program_.reset(new Program(Orvalen(args)));
  window_ = program_->WaitMainWindow();
  EXPECT_NE(window_, nullptr) << "no main window of " << ProgramPath();
  list_ = window_ ? GetDlgItem(window_, IDC_SERVER_LIST) : nullptr;
  EXPECT_TRUE(!args.empty() || WaitUntil([&] { return IsWindowVisible(window_); }));
  return window_;
}

void ProgramTest::Restart() {
  SendCommand(window_, CMD_QUIT);
  EXPECT_EQ(program_->WaitExit(), 0u);
  Start();
}

bool ProgramTest::PassRunning() const { return ControlText(window_, IDC_SYNC) != "Synchronize Time"; }

void ProgramTest::RunPass(int command) {
  if (command) SendCommand(window_, command);
  EXPECT_TRUE(WaitUntil([&] { return !PassRunning(); }, kPassMs)) << "the pass did not end";
}

ListRow ProgramTest::Row(const std::string& name) const {
  for (const ListRow& row : ReadRows(list_))
    if (row.text[0] == name) return row;
  return ListRow();
}

void ProgramTest::Confirm(int command, const std::string& question) {
  PostCommand(window_, command);
  HWND box = program_->WaitMessageBox();
  ASSERT_NE(box, nullptr) << "no box for: " << question;
  EXPECT_EQ(ControlText(box, kMessageText), question);
  PostCommand(box, IDOK);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(box); }));
}

void ProgramTest::EditName(int command, const std::string& name, WORD key) {
  SendCommand(window_, command);
  HWND editor = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (editor = LabelEditor(list_)) != nullptr; }, 5000));
  SetText(editor, name);
  PostKey(editor, key);
  EXPECT_TRUE(WaitUntil([&] { return LabelEditor(list_) == nullptr; }, 5000));
}

}  // namespace e2e
