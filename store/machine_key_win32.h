// HKEY_LOCAL_MACHINE as every build of the program sees it: the 32-bit view,
// where the 32-bit program lives on 64-bit Windows. The 64-bit program reads
// and writes there too, so that the settings, the server list and the
// system's entries for Orvalen survive a change of build, and a script's
// "reg add ... /reg:32" reaches either.
#pragma once
#include <windows.h>

// Opens HKLM\path in that view with access, creating it when create is set;
// returns what RegOpenKeyExA or RegCreateKeyExA returned.
LONG OpenMachineKey(const char* path, REGSAM access, bool create, HKEY* key);

// Deletes HKLM\path, which must have no subkeys, in that view.
LONG DeleteMachineKey(const char* path);
