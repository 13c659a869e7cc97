#include "core/server_table.h"

#include <cstdio>
#include <cstring>

#include "core/query_slot.h"
#include "core/view_hooks.h"
#include "store/settings_store.h"

ServerRecord gServerTable[kMaxServers];
bool gFirstRun = true;

// Public servers that answer the TIME protocol on TCP port 37, taken in turn
// from three sites so that the first few already spread the load.
const char* const kDefaultServers[kDefaultServerCount] = {
    "time-a-g.nist.gov",   "time-a-wwv.nist.gov", "time-a-b.nist.gov",
    "time-b-g.nist.gov",   "time-b-wwv.nist.gov", "time-b-b.nist.gov",
    "time-c-g.nist.gov",   "time-c-wwv.nist.gov", "time-c-b.nist.gov",
    "time-d-g.nist.gov",   "time-d-wwv.nist.gov", "time-d-b.nist.gov",
    "time-e-g.nist.gov",   "time-e-wwv.nist.gov", "time-e-b.nist.gov",
};

void ServerValueName(int slot, char* out) {
  std::snprintf(out, 10, "Server%03d", slot);
}

void SetServerName(int slot, const char* name) {
  std::strncpy(gServerTable[slot].name, name, kServerNameSize - 1);
  gServerTable[slot].name[kServerNameSize - 1] = '\0';
}

int AddServer(const char* name) {
  if (name == nullptr || name[0] == '\0') return -1;
  for (int slot = 0; slot < kMaxServers; ++slot) {
    if (IsNamed(slot)) continue;
    ServerRecord& record = gServerTable[slot];
    SetServerName(slot, name);
    gQuerySlots[slot].dirty = 1;
    gQuerySlots[slot].denied = gQuerySlots[slot].asked = 0;  // the marks of the server before
    record.status = StatusNone;
    record.enabled = 1;
    return slot;
  }
  return -1;
}

void SaveServer(int slot) {
  char valueName[10];
  ServerValueName(slot, valueName);
  if (IsNamed(slot))
    WriteSetting(valueName, &gServerTable[slot], sizeof(ServerRecord));
  else
    WriteSetting(valueName, nullptr, 0);
}

namespace {

// The slot's record as stored now; false when there is none of that size.
bool ReadStoredServer(int slot, ServerRecord* stored) {
  char valueName[10];
  ServerValueName(slot, valueName);
  uint32_t size = 0;
  return ReadSetting(valueName, stored, sizeof *stored, &size) && size == sizeof *stored;
}

// Another Orvalen (a script's, another user's) may have changed the list
// since this one read it: the stored entry, read as the list is loaded (none
// is a free slot), names the same server, enabled or not alike.
bool StoredAsHere(int slot, ServerRecord* stored) {
  char valueName[10];
  ServerValueName(slot, valueName);
  *stored = ServerRecord();
  ReadSetting(valueName, stored, sizeof *stored);
  return std::strncmp(stored->name, gServerTable[slot].name, kServerNameSize - 1) == 0 &&
         stored->enabled == gServerTable[slot].enabled;
}

void TakeIn(int slot, ServerRecord stored) {
  stored.name[kServerNameSize - 1] = '\0';
  stored.status = StatusNone;  // measured in another pass than this program's
  gServerTable[slot] = stored;
  gQuerySlots[slot].denied = gQuerySlots[slot].asked = 0;
}

}  // namespace

void SaveServerResult(int slot) {
  ServerRecord stored;
  if (IsNamed(slot) && StoredAsHere(slot, &stored)) SaveServer(slot);
}

void TakeInStoredServers() {
  for (int slot = 0; slot < kMaxServers; ++slot) {
    ServerRecord stored;
    if (!IsNamed(slot) && ReadStoredServer(slot, &stored)) TakeIn(slot, stored);
  }
  // Shown at once: they may have filled the list, so that no add follows.
  SyncRows(false);
}

bool TakeInChangedServer(int slot) {
  ServerRecord stored;
  if (StoredAsHere(slot, &stored)) return false;
  TakeIn(slot, stored);
  return true;
}

void UpdateServer(int slot) {
  SyncRows(false);
  SaveServer(slot);
}

void ResetServerTable() {
  std::memset(gServerTable, 0, sizeof gServerTable);
  for (const char* name : kDefaultServers) AddServer(name);
  for (int slot = 0; slot < kMaxServers; ++slot) UpdateServer(slot);
}

void LoadServerTable() {
  if (gFirstRun) {
    ResetServerTable();
    gFirstRun = false;
    return;
  }
  for (int slot = 0; slot < kMaxServers; ++slot) {
    char valueName[10];
    ServerValueName(slot, valueName);
    ServerRecord& record = gServerTable[slot];
    if (!ReadSetting(valueName, &record, sizeof record)) {
      record.name[0] = '\0';
      record.status = StatusNone;
      gQuerySlots[slot].dirty = 1;
    }
    // A record written by anything but this program may lack its terminator.
    record.name[kServerNameSize - 1] = '\0';
    SyncRows(false);
  }
}
