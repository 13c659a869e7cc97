#include "app/shutdown.h"

#include <windows.h>

#include "resources/product.h"
#include "store/machine_key_win32.h"

namespace {

const char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kProductName[] = "Orvalen";
// The start-menu shortcut that the autostart entry runs with 's'; with 'u'
// it is the uninstall command.
const char kShortcutCommand[] =
    "C:\\Documents and Settings\\All Users\\Start Menu\\Programs\\Orvalen\\Orvalen.lnk s";
constexpr DWORD kTaskRemovalMs = 10000;

// The installer's log-on task runs the program as administrator: left behind,
// it would start whatever later stands where the program stood.
void DeleteLogonTask() {
  char command[MAX_PATH + 64];
  const UINT length = GetSystemDirectoryA(command, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  lstrcatA(command, "\\schtasks.exe /delete /tn \"" ORVALEN_LOGON_TASK "\" /f");
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &process))
    return;
  WaitForSingleObject(process.hProcess, kTaskRemovalMs);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

}  // namespace

const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvalen";

void UpdateSystemEntries() {
  DeleteLogonTask();
  char command[sizeof kShortcutCommand];
  lstrcpyA(command, kShortcutCommand);
  int length = lstrlenA(command);
  HKEY key;
  if (OpenMachineKey(kRunKey, KEY_SET_VALUE, false, &key) == ERROR_SUCCESS) {
    RegDeleteValueA(key, kProductName);
    RegCloseKey(key);
  }
  if (OpenMachineKey(kUninstallKey, KEY_SET_VALUE, true, &key) != ERROR_SUCCESS) return;
  command[length - 1] = 'u';
  RegSetValueExA(key, "DisplayName", 0, REG_SZ, reinterpret_cast<const BYTE*>(kProductName),
                 sizeof kProductName);
  RegSetValueExA(key, "UninstallString", 0, REG_SZ, reinterpret_cast<const BYTE*>(command),
                 length + 1);
  RegCloseKey(key);
}
