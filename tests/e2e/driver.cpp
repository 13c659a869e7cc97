#include "tests/e2e/driver.h"

#include <commctrl.h>

#include <cstdio>
#include <cstring>

namespace e2e {
namespace {

constexpr DWORD kAnswerTimeoutMs = 5000;  // a window that takes longer is hung
constexpr DWORD kPollMs = 50;
constexpr DWORD kTerminateWaitMs = 5000;
constexpr int kTextCapacity = 260;

std::string OwnDirectory() {
  char path[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir(path);
  return dir.substr(0, dir.find_last_of("\\/") + 1);
}

bool UnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

bool Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  DWORD_PTR answer = 0;
  if (!SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kAnswerTimeoutMs,
                           &answer)) {
    return false;
  }
  if (result) *result = static_cast<LRESULT>(answer);
  return true;
}


// The item or column record lies at the start of the block, its text buffer after it.
constexpr size_t kRemoteTextOffset = 256;
constexpr size_t kRemoteSize = kRemoteTextOffset + kTextCapacity;

std::string ReadRemoteText(const RemoteBlock& block) {
  char text[kTextCapacity] = "";
  if (!block.Read(kRemoteTextOffset, text, sizeof text)) return "";
  text[kTextCapacity - 1] = '\0';
  return text;
}

struct Search {
  DWORD processId;
  bool wantMainWindow;
  HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
  Search& search = *reinterpret_cast<Search*>(param);
  if (search.processId != 0 && ProcessOf(window) != search.processId) return TRUE;
  if (ClassName(window) != "#32770") return TRUE;
  bool hasList = GetDlgItem(window, kServerList) != nullptr;
  if (search.wantMainWindow) {
    // GetWindowTextA reads a top-level caption without asking the window,
    // so a hung window of another program cannot stall the search.
    char caption[sizeof kWindowTitle + 1] = "";
    GetWindowTextA(window, caption, sizeof caption);
    if (!hasList || std::strcmp(caption, kWindowTitle) != 0) return TRUE;
  } else {
    // A box is complete once it shows: its text is set before that.
    if (hasList || !GetDlgItem(window, kMessageText) || !IsWindowVisible(window)) return TRUE;
  }
  search.found = window;
  return FALSE;
}

HWND FindDialog(DWORD processId, bool wantMainWindow) {
  Search search = {processId, wantMainWindow, nullptr};
  EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace

std::string ProgramPath() { return OwnDirectory() + "Orvalen.exe"; }

std::string ArtifactPath(const std::string& fileName) {
  char dir[MAX_PATH] = "";
  DWORD length = GetEnvironmentVariableA("ORVALEN_ARTIFACTS", dir, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return OwnDirectory() + fileName;
  std::string path(dir);
  // The test run names the directory as the host sees it; under Wine the
  // host's file system is drive Z:.
  if (UnderWine() && !path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  CreateDirectoryA(path.c_str(), nullptr);
  if (path.back() != '\\') path += '\\';
  return path + fileName;
}

bool WaitUntil(const std::function<bool()>& predicate, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    if (predicate()) return true;
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(kPollMs);
  }
}

Program::Program(const std::string& args) {
  std::string command = "\"" + ProgramPath() + "\"";
  if (!args.empty()) command += " " + args;
  std::string dir = OwnDirectory();
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(),
                      &si, &pi)) {
    return;
  }
  CloseHandle(pi.hThread);
  process_ = pi.hProcess;
  id_ = pi.dwProcessId;
}

Program::~Program() {
  if (!process_) return;
  if (Running()) {
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, kTerminateWaitMs);
  }
  CloseHandle(process_);
}

bool Program::Running() const {
  return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

DWORD Program::WaitExit(DWORD timeoutMs) {
  if (!process_ || WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) return kStillRunning;
  DWORD code = kStillRunning;
  GetExitCodeProcess(process_, &code);
  return code;
}

HWND Program::WaitMainWindow(DWORD timeoutMs) const {
  HWND window = nullptr;
  WaitUntil([&] { return (window = FindMainWindow(id_)) != nullptr || !Running(); }, timeoutMs);
  // The caption is set early in the window's initialisation: let the
  // program reach its message loop before anyone talks to the window.
  if (window) WaitForInputIdle(process_, kAnswerTimeoutMs);
  return window;
}

HWND Program::WaitMessageBox(DWORD timeoutMs) const {
  HWND box = nullptr;
  WaitUntil([&] { return (box = FindMessageBox(id_)) != nullptr || !Running(); }, timeoutMs);
  return box;
}

HWND FindMainWindow(DWORD processId) { return FindDialog(processId, true); }

HWND FindMessageBox(DWORD processId) { return FindDialog(processId, false); }

std::string WindowText(HWND window) {
  char text[kTextCapacity] = "";
  LRESULT length = 0;
  if (!Send(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), &length)) return "";
  text[kTextCapacity - 1] = '\0';
  return text;
}

std::string ControlText(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  return control ? WindowText(control) : "";
}

std::string ClassName(HWND window) {
  char name[64] = "";
  GetClassNameA(window, name, sizeof name);
  return name;
}

void AnswerMessageBox(HWND box, int answer) { PostMessageA(box, WM_COMMAND, answer, 0); }

bool SendCommand(HWND window, int id, LRESULT* result) {
  return Send(window, WM_COMMAND, MAKEWPARAM(id, 0), 0, result);
}

void PostCommand(HWND window, int id) { PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, 0), 0); }

void PostKey(HWND window, WORD virtualKey) {
  LPARAM scan = static_cast<LPARAM>(MapVirtualKeyA(virtualKey, MAPVK_VK_TO_VSC)) << 16;
  PostMessageA(window, WM_KEYDOWN, virtualKey, scan | 1);
  PostMessageA(window, WM_KEYUP, virtualKey, scan | 1 | 0xC0000000);
}

bool SetText(HWND window, const std::string& text) {
  return Send(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), nullptr);
}

int ListCount(HWND list) {
  LRESULT count = -1;
  if (!Send(list, LVM_GETITEMCOUNT, 0, 0, &count)) return -1;
  return static_cast<int>(count);
}

std::vector<ListRow> ReadRows(HWND list) {
  std::vector<ListRow> rows;
  RemoteBlock block(list, kRemoteSize);
  if (!block.ok()) return rows;
  int count = ListCount(list);
  for (int i = 0; i < count; ++i) {
    ListRow row;
    for (int column = 0; column < 3; ++column) {
      LVITEMA item = {};
      item.iSubItem = column;
      item.pszText = reinterpret_cast<LPSTR>(block.at(kRemoteTextOffset));
      item.cchTextMax = kTextCapacity;
      char empty = '\0';
      block.Write(kRemoteTextOffset, &empty, 1);
      if (block.Write(0, &item, sizeof item) &&
          Send(list, LVM_GETITEMTEXTA, i, block.param(), nullptr)) {
        row.text[column] = ReadRemoteText(block);
      }
    }
    LVITEMA item = {};
    item.mask = LVIF_PARAM;
    item.iItem = i;
    LRESULT ok = FALSE;
    if (block.Write(0, &item, sizeof item) && Send(list, LVM_GETITEMA, 0, block.param(), &ok) &&
        ok && block.Read(0, &item, sizeof item)) {
      row.param = item.lParam;
    }
    rows.push_back(row);
  }
  return rows;
}

std::string ColumnHeading(HWND list, int column) {
  RemoteBlock block(list, kRemoteSize);
  LVCOLUMNA record = {};
  record.mask = LVCF_TEXT;
  record.pszText = reinterpret_cast<LPSTR>(block.at(kRemoteTextOffset));
  record.cchTextMax = kTextCapacity;
  LRESULT ok = FALSE;
  if (!block.ok() || !block.Write(0, &record, sizeof record) ||
      !Send(list, LVM_GETCOLUMNA, column, block.param(), &ok) || !ok) {
    return "";
  }
  return ReadRemoteText(block);
}

bool SetRowState(HWND list, int row, UINT state, UINT mask) {
  RemoteBlock block(list, kRemoteSize);
  LVITEMA item = {};
  item.state = state;
  item.stateMask = mask;
  LRESULT ok = FALSE;
  return block.ok() && block.Write(0, &item, sizeof item) &&
         Send(list, LVM_SETITEMSTATE, row, block.param(), &ok) && ok;
}

HWND LabelEditor(HWND list) {
  LRESULT editor = 0;
  if (!Send(list, LVM_GETEDITCONTROL, 0, 0, &editor)) return nullptr;
  return reinterpret_cast<HWND>(editor);
}

bool SaveScreenshot(HWND window, const std::string& fileName) {
  RECT rect;
  if (!GetWindowRect(window, &rect)) return false;
  int width = rect.right - rect.left;
  int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return false;

  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;  // positive: bottom-up rows, as a .bmp file stores them
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
  DWORD imageSize = stride * static_cast<DWORD>(height);

  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool copied = false;
  if (memory && bitmap) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    copied = BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY) != FALSE;
    GdiFlush();
    SelectObject(memory, old);
  }

  bool saved = false;
  if (copied) {
    BITMAPFILEHEADER header = {};
    header.bfType = 0x4D42;  // "BM"
    header.bfOffBits = sizeof header + sizeof info.bmiHeader;
    header.bfSize = header.bfOffBits + imageSize;
    info.bmiHeader.biSizeImage = imageSize;
    std::string path = ArtifactPath(fileName);
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
      saved = std::fwrite(&header, sizeof header, 1, file) == 1 &&
              std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, file) == 1 &&
              std::fwrite(bits, imageSize, 1, file) == 1;
      saved = std::fclose(file) == 0 && saved;
    }
  }
  if (bitmap) DeleteObject(bitmap);
  if (memory) DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return saved;
}


RemoteBlock::RemoteBlock(HWND window, size_t size) {
  process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE,
                         ProcessOf(window));
  if (process_) {
    base_ = static_cast<BYTE*>(
        VirtualAllocEx(process_, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  }
}

RemoteBlock::~RemoteBlock() {
  if (base_) VirtualFreeEx(process_, base_, 0, MEM_RELEASE);
  if (process_) CloseHandle(process_);
}

bool RemoteBlock::Write(size_t offset, const void* data, size_t size) {
  SIZE_T done = 0;
  return base_ && WriteProcessMemory(process_, at(offset), data, size, &done) && done == size;
}

bool RemoteBlock::Read(size_t offset, void* data, size_t size) const {
  SIZE_T done = 0;
  return base_ && ReadProcessMemory(process_, at(offset), data, size, &done) && done == size;
}

DWORD ProcessOf(HWND window) {
  DWORD id = 0;
  GetWindowThreadProcessId(window, &id);
  return id;
}

}  // namespace e2e
