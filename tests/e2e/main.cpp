// The end-to-end tests' entry point.
#include <windows.h>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  // The test display runs no window manager, so nobody would draw the
  // programs' captions and frames: under Wine, have Wine draw them itself.
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (ntdll && GetProcAddress(ntdll, "wine_get_version")) {
    HKEY key;
    if (RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Wine\\X11 Driver", &key) == ERROR_SUCCESS) {
      RegSetValueExA(key, "Decorated", 0, REG_SZ, reinterpret_cast<const BYTE*>("N"), 2);
      RegCloseKey(key);
    }
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
