#include "tests/e2e/driver.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "resources/resource.h"

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

// Sends a list view message with record (an LVITEMA or LVCOLUMNA) in block,
// reads the record back and returns the text the list wrote for it.
template <typename Record>
std::string Query(HWND list, RemoteBlock& block, UINT message, WPARAM wParam, Record& record) {
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

HWND WaitDialog(const Program& program, bool wantMainWindow, DWORD timeoutMs) {
  HWND found = nullptr;
  WaitUntil([&] {
    return (found = FindDialog(program.id(), wantMainWindow)) != nullptr || !program.Running();
  }, timeoutMs);
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
  return path + (path.back() == '\\' ? "" : "\\") + fileName;
}

bool WaitUntil(const std::function<bool()>& predicate, DWORD timeoutMs) {
  for (DWORD start = GetTickCount(); !predicate(); Sleep(50))
    if (GetTickCount() - start >= timeoutMs) return false;
  return true;
}

Program::Program(const std::string& args) : Program(CommandLine{"\"" + ProgramPath() + "\" " + args}) {}

Program::Program(const CommandLine& commandLine) {
  std::string command = commandLine.text;
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, OwnDirectory().c_str(),
                 &si, &pi);  // on failure pi stays empty
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

HWND Program::WaitMainWindow(DWORD timeoutMs) const {
  HWND window = WaitDialog(*this, true, timeoutMs);
  // The caption is set early in the window's initialisation: let the
  // program reach its message loop before anyone talks to the window.
  if (window) WaitForInputIdle(process_, kAnswerTimeoutMs);
  return window;
}

HWND Program::WaitMessageBox(DWORD timeoutMs) const { return WaitDialog(*this, false, timeoutMs); }

HWND FindMainWindow(DWORD processId) { return FindDialog(processId, true); }

std::vector<HWND> TopWindows() {
  std::vector<HWND> windows;
  EnumWindows(Collect, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

std::string WindowText(HWND window) {
  char text[kTextCapacity] = "";
  Ask(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  return text;
}

bool SendCommand(HWND window, int id, LRESULT* result) {
  DWORD_PTR answer = 0;
  bool answered = SendMessageTimeoutA(window, WM_COMMAND, id, 0, SMTO_ABORTIFHUNG,
                                      kAnswerTimeoutMs, &answer) != 0;
  if (result) *result = static_cast<LRESULT>(answer);
  return answered;
}

void PostKey(HWND window, WORD virtualKey) {
  LPARAM scan = static_cast<LPARAM>(MapVirtualKeyA(virtualKey, MAPVK_VK_TO_VSC)) << 16 | 1;
  PostMessageA(window, WM_KEYDOWN, virtualKey, scan);
  PostMessageA(window, WM_KEYUP, virtualKey, scan | 0xC0000000);
}

bool SetText(HWND window, const std::string& text) {
  return Ask(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str())) != FALSE;
}

int ListCount(HWND list) { return static_cast<int>(Ask(list, LVM_GETITEMCOUNT, 0, 0, -1)); }

std::vector<ListRow> ReadRows(HWND list) {
  std::vector<ListRow> rows(std::max(ListCount(list), 0));
  RemoteBlock block(list, kTextAt + kTextCapacity);
  for (size_t i = 0; i < rows.size(); ++i) {
    for (int column = 0; column < 3; ++column) {
      LVITEMA item = {};
      item.mask = LVIF_TEXT | (column == 0 ? LVIF_PARAM : 0);
      item.iItem = static_cast<int>(i);
      item.iSubItem = column;
      item.lParam = -1;
      rows[i].text[column] = Query(list, block, LVM_GETITEMA, 0, item);
      if (column == 0) rows[i].param = item.lParam;
    }
  }
  return rows;
}

std::string ColumnHeading(HWND list, int column) {
  RemoteBlock block(list, kTextAt + kTextCapacity);
  LVCOLUMNA record = {};
  record.mask = LVCF_TEXT;
  return Query(list, block, LVM_GETCOLUMNA, column, record);
}

bool SetRowState(HWND list, int row, UINT state, UINT mask) {
  RemoteBlock block(list, sizeof(LVITEMA));
  LVITEMA item = {};
  item.state = state;
  item.stateMask = mask;
  return block.Write(0, &item, sizeof item) && Ask(list, LVM_SETITEMSTATE, row, block.param());
}

HWND LabelEditor(HWND list) { return reinterpret_cast<HWND>(Ask(list, LVM_GETEDITCONTROL, 0, 0)); }

std::vector<BYTE> ScreenPixels(HWND window, BITMAPINFOHEADER* header) {
  RECT r = {};
  GetWindowRect(window, &r);
  BITMAPINFO info = {};
  BITMAPINFOHEADER& h = info.bmiHeader;
  h.biSize = sizeof h;
  h.biWidth = r.right - r.left;
  h.biHeight = r.bottom - r.top;  // positive: bottom-up rows
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

}  // namespace e2e
