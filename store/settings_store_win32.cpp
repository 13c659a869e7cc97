#include <windows.h>

#include "resources/product.h"
#include "store/fatal_exit.h"
#include "store/machine_key_win32.h"
#include "store/settings_store.h"

namespace {

const char kSettingsKey[] = ORVALEN_SETTINGS_KEY;
const char kRegistryProblem[] = "Registry Problem";
bool gSettingsKept;

// A number stored as text, as "reg add" stores one unless given a type, is
// read as that number: its bytes would read "0" as true, or "600" as about
// three million. Text that is not a number reads as missing.
bool ReadNumberText(HKEY key, const char* name, void* destination) {
  char text[32] = "";  // room for the number as Windows stores it, in UTF-16
  DWORD size = sizeof text - 1;
  if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS)
    return false;
  uint64_t number = 0;
  const char* digit = text;
  for (; *digit >= '0' && *digit <= '9' && number <= 0xFFFFFFFFu; ++digit) number = number * 10 + (*digit - '0');
  if (digit == text || *digit != '\0' || number > 0xFFFFFFFFu) return false;
  const DWORD value = static_cast<DWORD>(number);
  CopyMemory(destination, &value, sizeof value);
  return true;
}

}  // namespace

LONG OpenMachineKey(const char* path, REGSAM access, bool create, HKEY* key) {
  access |= KEY_WOW64_32KEY;
  if (!create) return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, key);
  return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, access, nullptr, key, nullptr);
}

LONG DeleteMachineKey(const char* path) {
#ifdef _WIN64
  return RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path, KEY_WOW64_32KEY, 0);
#else
  // Windows XP has no RegDeleteKeyExA, and a 32-bit program is in that view already.
  return RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
#endif
}

bool ReadSetting(const char* name, void* destination, uint32_t capacity, uint32_t* stored) {
  HKEY key;
  if (OpenMachineKey(kSettingsKey, KEY_QUERY_VALUE, false, &key) != ERROR_SUCCESS)
    return false;
  DWORD type = REG_NONE, size = 0;
  bool read = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
  if (read && capacity == sizeof(DWORD) && (type == REG_SZ || type == REG_EXPAND_SZ)) {
    read = ReadNumberText(key, name, destination);
    size = sizeof(DWORD);
  } else {
    // A value longer than its destination is not one this program wrote; it
    // reads as missing so that the caller keeps its default.
    read = read && size <= capacity &&
           RegQueryValueExA(key, name, nullptr, nullptr, static_cast<BYTE*>(destination), &size) ==
               ERROR_SUCCESS;
  }
  if (read && stored != nullptr) *stored = size;
  RegCloseKey(key);
  return read;
}

bool SettingExists(const char* name) {
  HKEY key;
  if (OpenMachineKey(kSettingsKey, KEY_QUERY_VALUE, false, &key) != ERROR_SUCCESS) return false;
  const bool exists = RegQueryValueExA(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(key);
  return exists;
}

void KeepSettingsAsTheyAre() { gSettingsKept = true; }

void WriteSetting(const char* name, const void* data, uint32_t size) {
  if (gSettingsKept) return;
  HKEY key;
  if (OpenMachineKey(kSettingsKey, KEY_SET_VALUE, true, &key) != ERROR_SUCCESS) {
    FatalExit(kRegistryProblem);
    return;
  }
  LONG result;
  if (data != nullptr && size != 0) {
    result = RegSetValueExA(key, name, 0, size == 4 ? REG_DWORD : REG_BINARY,
                            static_cast<const BYTE*>(data), size);
  } else {
    result = RegDeleteValueA(key, name);
    if (result == ERROR_FILE_NOT_FOUND) result = ERROR_SUCCESS;
  }
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) FatalExit(kRegistryProblem);
}
