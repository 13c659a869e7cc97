#include "app/shutdown.h"

#include <windows.h>

#include "store/machine_key_win32.h"

namespace {

const char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kProductName[] = "Orvalen";
// The start-menu shortcut that the autostart entry runs with 's'; with 'u'
// it is the uninstall command.
const char kShortcutCommand[] =
    "C:\\Documents and Settings\\All Users\\Start Menu\\Programs\\Orvalen\\Orvalen.lnk s";

}  // namespace

const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvalen";

void UpdateSystemEntries() {
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
