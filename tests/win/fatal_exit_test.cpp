// The fatal-error routine, run in a child process: it shows its box with the
// fixed caption and style, and ends the process with exit code 0.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

const char kCaption[] = "Orvalen - Dadeza Zuzed Edavedadovar - v5.5.0 FREE";

std::string Beside(const char* file) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir(path);
  return dir.substr(0, dir.find_last_of("\\/") + 1) + file;
}

HWND WaitForBox(DWORD limitMs) {
  for (DWORD waited = 0; waited < limitMs; waited += 50) {
    HWND box = FindWindowA("#32770", kCaption);
    if (box) return box;
    Sleep(50);
  }
  return nullptr;
}

TEST(FatalExit, ShowsTheMessageAndExitsWithZero) {
  std::string command = "\"" + Beside("fatal_exit_child.exe") + "\" \"Registry Problem\"";
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &si, &pi));
  HWND box = WaitForBox(10000);
  ASSERT_NE(box, nullptr) << "no message box";
  char text[256] = "";
  GetDlgItemTextA(box, 0xFFFF, text, sizeof text);  // the box's message text
  EXPECT_STREQ(text, "Registry Problem");
  LONG exStyle = GetWindowLongA(box, GWL_EXSTYLE);
  EXPECT_TRUE(exStyle & WS_EX_TOPMOST) << "system-modal boxes stay on top";
  PostMessageA(box, WM_COMMAND, IDOK, 0);
  ASSERT_EQ(WaitForSingleObject(pi.hProcess, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 99;
  GetExitCodeProcess(pi.hProcess, &code);
  EXPECT_EQ(code, 0u);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

}  // namespace
