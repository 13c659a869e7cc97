// Direct registry access for checking what the program stored.
#pragma once
#include <windows.h>

#include <cstring>
#include <vector>

namespace reg {

constexpr char kSettingsKey[] = "SOFTWARE\\Orvalen";

struct Value {
  bool exists = false;
  DWORD type = 0;
  std::vector<BYTE> bytes;
};

inline Value Read(const char* name, const char* key = kSettingsKey) {
  Value v;
  HKEY h;
  DWORD size = 0;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return v;
  if (RegQueryValueExA(h, name, nullptr, &v.type, nullptr, &size) == ERROR_SUCCESS) {
    v.bytes.resize(size);
    v.exists = RegQueryValueExA(h, name, nullptr, &v.type, v.bytes.data(), &size) == ERROR_SUCCESS;
  }
  RegCloseKey(h);
  return v;
}

inline void Write(const char* name, DWORD type, const void* data, DWORD size,
                  const char* key = kSettingsKey) {
  HKEY h;
  RegCreateKeyA(HKEY_LOCAL_MACHINE, key, &h);
  RegSetValueExA(h, name, 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(h);
}

inline bool KeyExists(const char* key = kSettingsKey) {
  HKEY h;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

inline void DeleteKey(const char* key = kSettingsKey) { RegDeleteKeyA(HKEY_LOCAL_MACHINE, key); }

template <typename T>
T As(const Value& v) {
  T t{};
  if (v.bytes.size() == sizeof t) std::memcpy(&t, v.bytes.data(), sizeof t);
  return t;
}

}  // namespace reg
