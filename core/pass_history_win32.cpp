// The pass history file in the common application data folder.
#include <windows.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>

#include "core/machine_turn_win32.h"
#include "core/pass_history.h"

namespace {

// Administrators and the system write the folder and its files, users read
// them. Protected: nothing is inherited from the data folder above, where
// any user may create files.
const char kFolderRights[] = "O:BAD:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GRGX;;;BU)";
const char kNewFileName[] = "history.new";

constexpr size_t kLongestFileName = 32;  // "history-20260131-123456.bad"
// Another Orvalen's entry written between this one's read and its rewrite
// would be lost, and a rewrite fails while the file is being read: they
// take turns.
MachineTurn gHistoryTurn = {kHistoryTurnName, nullptr};

bool FolderPath(char (&path)[MAX_PATH]) {
  if (SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK ||
      lstrlenA(path) + sizeof kHistoryFolderName + kLongestFileName + 2 > MAX_PATH)
    return false;
  lstrcatA(path, "\\");
  lstrcatA(path, kHistoryFolderName);
  return true;
}

// folder\file into path; false when it does not fit.
bool PathOf(const char* folder, const char* file, char (&path)[MAX_PATH]) {
  const int length = std::snprintf(path, MAX_PATH, "%s\\%s", folder, file);
  return length > 0 && length < MAX_PATH;
}

// The program runs elevated and writes here: a folder that someone else
// made is first given to the administrators, and a link to elsewhere is
// not followed.
bool PrepareFolder(const char* folder) {
  PSECURITY_DESCRIPTOR rights = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kFolderRights, SDDL_REVISION_1, &rights,
                                                            nullptr))
    return false;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, rights, FALSE};
  bool ready = CreateDirectoryA(folder, &attributes) != FALSE;
  if (!ready && GetLastError() == ERROR_ALREADY_EXISTS) {
    const DWORD kind = GetFileAttributesA(folder);
    ready = kind != INVALID_FILE_ATTRIBUTES && (kind & FILE_ATTRIBUTE_DIRECTORY) &&
            !(kind & FILE_ATTRIBUTE_REPARSE_POINT) &&
            SetFileSecurityA(folder, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, rights);
  }
  LocalFree(rights);
  return ready;
}

// The whole file from its start into a new buffer; a file longer than any
// the program writes is read only so far that it shows as too long.
bool ReadAll(HANDLE file, char** text, size_t* size) {
  DWORD high = 0;
  const DWORD low = GetFileSize(file, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
  *size = high != 0 || low > kMaxHistoryBytes ? kMaxHistoryBytes + 1 : low;
  *text = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, *size + 1));
  DWORD read = 0;
  if (*text != nullptr &&
      (*size == 0 || (ReadFile(file, *text, static_cast<DWORD>(*size), &read, nullptr) && read == *size)))
    return true;
  FreeHistoryText(*text);
  *text = nullptr;
  return false;
}

bool WriteAll(HANDLE file, const char* text, size_t length) {
  DWORD written = 0;
  return WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr) && written == length;
}

// Writes text at end and cuts the file after it. On a failure the file is cut
// at end again, unless rewritten from its start: that would empty it.
bool Append(HANDLE file, size_t end, const char* text, size_t length, bool cutBack) {
  if (SetFilePointer(file, static_cast<LONG>(end), nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
    return false;
  if (WriteAll(file, text, length) && SetEndOfFile(file)) return true;
  // A full disk may have taken part of the line: cut it off, so that the
  // next entry starts on a line of its own.
  if (!cutBack) return false;
  SetFilePointer(file, static_cast<LONG>(end), nullptr, FILE_BEGIN);
  SetEndOfFile(file);
  return false;
}

// The old file stays whole until the new one is complete on the disk.
bool Replace(const char* folder, const char* text, size_t length) {
  char fresh[MAX_PATH], path[MAX_PATH];
  if (!PathOf(folder, kNewFileName, fresh) || !PathOf(folder, kHistoryFileName, path)) return false;
  // Made anew: a link left under its name by whoever owned the folder
  // before is removed, not written through.
  DeleteFileA(fresh);
  HANDLE file = CreateFileA(fresh, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool written = WriteAll(file, text, length) && FlushFileBuffers(file);
  CloseHandle(file);
  if (written && MoveFileExA(fresh, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  DeleteFileA(fresh);
  return false;
}

// "history-20260131-123456.bad": the time it was set aside, in UTC.
bool SetAside(const char* folder, Ms1900 now) {
  const CivilTime t = CivilFromMs(now);
  char name[kLongestFileName], path[MAX_PATH], aside[MAX_PATH];
  std::snprintf(name, sizeof name, "history-%04d%02d%02d-%02d%02d%02d.bad",
                static_cast<int>(t.year % 10000), t.month, t.day, t.hour, t.minute, t.second);
  return PathOf(folder, kHistoryFileName, path) && PathOf(folder, name, aside) &&
         MoveFileExA(path, aside, 0);
}

// The history file, opened to read it whole and then change it. A link is
// opened as itself, not followed.
HANDLE OpenHistoryFile(const char* folder, DWORD access, DWORD sharing, DWORD disposition) {
  char path[MAX_PATH];
  if (!PathOf(folder, kHistoryFileName, path)) return INVALID_HANDLE_VALUE;
  return CreateFileA(path, access, sharing, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// A file with another name elsewhere, or a link, was left by whoever owned
// the folder before: written to, it would change a file the program must not.
bool SoleName(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(file, &info) && info.nNumberOfLinks == 1 &&
         !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool RecordPassInTurn(const PassEntry& entry) {
  char folder[MAX_PATH];
  if (!FolderPath(folder)) return false;
  // Before every entry: the folder may have been removed, or replaced by a
  // link, since the last one.
  if (!PrepareFolder(folder)) return false;
  // Others may read the file meanwhile, but not write it.
  HANDLE file = OpenHistoryFile(folder, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS);
  // One that is a link, or has a second name, is set aside and a new one made in its place.
  if (file != INVALID_HANDLE_VALUE && !SoleName(file)) {
    CloseHandle(file);
    file = SetAside(folder, entry.ended)
               ? OpenHistoryFile(folder, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW)
               : INVALID_HANDLE_VALUE;
  }
  if (file == INVALID_HANDLE_VALUE) return false;
  char* text = nullptr;
  size_t size = 0;
  char* update = nullptr;
  HistoryUpdate plan = {};
  if (ReadAll(file, &text, &size)) {
    update = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, HistoryUpdateSize(size)));
    if (update != nullptr) plan = PlanHistoryUpdate(text, size, entry, update);
  }
  bool done = false;
  if (update != nullptr && plan.replace) {
    CloseHandle(file);
    done = (!plan.setAside || SetAside(folder, entry.ended)) && Replace(folder, update, plan.length);
    // A reader that shares the file for writing but not for renaming (one
    // that follows it as it grows) keeps it in place: the entry goes into
    // it there, and the next pass tries the rewrite again.
    file = done || plan.setAside
               ? INVALID_HANDLE_VALUE
               : OpenHistoryFile(folder, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    if (file != INVALID_HANDLE_VALUE && !SoleName(file)) CloseHandle(file), file = INVALID_HANDLE_VALUE;
  }
  if (file != INVALID_HANDLE_VALUE) {
    done = update != nullptr &&
           Append(file, plan.at, update + plan.from, plan.length - plan.from, plan.at > 0 || size == 0);
    CloseHandle(file);
  }
  FreeHistoryText(update);
  FreeHistoryText(text);
  return done;
}

}  // namespace

bool RecordPass(const PassEntry& entry) {
  TakeTurn(&gHistoryTurn);
  const bool done = RecordPassInTurn(entry);
  EndTurn(&gHistoryTurn);
  return done;
}

bool ReadHistoryText(char** text, size_t* size) {
  char folder[MAX_PATH];
  if (!FolderPath(folder)) return false;
  TakeTurn(&gHistoryTurn);
  HANDLE file = OpenHistoryFile(folder, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  const bool read = file != INVALID_HANDLE_VALUE && ReadAll(file, text, size);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  EndTurn(&gHistoryTurn);
  return read;
}

void FreeHistoryText(char* text) {
  if (text != nullptr) HeapFree(GetProcessHeap(), 0, text);
}
