// Named byte images under HKEY_LOCAL_MACHINE\SOFTWARE\Orvalen, in the 32-bit
// registry view (store/machine_key_win32.h). The store knows nothing of what
// the bytes mean; each caller keeps its own in-memory copy.
#pragma once
#include <cstdint>

// Copies the stored bytes to the start of destination and returns true, with
// their count in *size when size is given. Returns false, leaving destination
// untouched, when the key or the value is missing, the read fails, or the
// stored value is longer than capacity.
bool ReadSetting(const char* name, void* destination, uint32_t capacity,
                 uint32_t* size = nullptr);

// Whether the value is stored at all, readable or not.
bool SettingExists(const char* name);

// Sets the value to size bytes of data, stored as REG_DWORD when size is 4 and
// REG_BINARY otherwise; null data or size 0 deletes it (a missing value is no
// error). A failure ends the program with "Registry Problem".
void WriteSetting(const char* name, const void* data, uint32_t size);

// From now on WriteSetting changes nothing: a test from a script leaves the
// settings as they are, and so runs for a user who may only read them.
void KeepSettingsAsTheyAre();
