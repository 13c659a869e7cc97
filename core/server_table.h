// The fixed table of 50 time servers and its persistence as "Server%03d".
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int kMaxServers = 50;
constexpr int kServerNameSize = 128;  // 127 characters and the NUL
constexpr int kDefaultServerCount = 15;

enum ServerStatus : uint32_t {
  StatusNone = 0,
  StatusWinsockError = 1,
  StatusNoResponse = 2,
  StatusSlowResponse = 3,
  StatusRefused = 4,
  StatusNetDown = 5,
  StatusNoDnsEntry = 6,
  StatusDisabled = 7,
  StatusInterrupted = 8,
  StatusRejected = 100,
  StatusTested = 101,
  StatusMeasured = 102,
};

// Persisted byte for byte; the layout must not change.
struct ServerRecord {
  char name[kServerNameSize];  // first byte 0 marks a free slot
  uint32_t enabled;
  uint32_t status;
  uint32_t latencyMs;
  uint32_t reserved;
  int64_t offset;
};
static_assert(sizeof(ServerRecord) == 152, "ServerRecord is a stored format");
static_assert(offsetof(ServerRecord, enabled) == 128, "ServerRecord layout");
static_assert(offsetof(ServerRecord, status) == 132, "ServerRecord layout");
static_assert(offsetof(ServerRecord, latencyMs) == 136, "ServerRecord layout");
static_assert(offsetof(ServerRecord, reserved) == 140, "ServerRecord layout");
static_assert(offsetof(ServerRecord, offset) == 144, "ServerRecord layout");

extern ServerRecord gServerTable[kMaxServers];
extern const char* const kDefaultServers[kDefaultServerCount];
// Set at start; cleared by start-up when the stored version matches. While it
// is set, LoadServerTable seeds the defaults instead of reading the store.
extern bool gFirstRun;

inline bool IsNamed(int slot) { return gServerTable[slot].name[0] != '\0'; }

// Copies at most 127 characters of name into the slot, always terminated.
void SetServerName(int slot, const char* name);

// "Server%03d"; out must hold 10 characters.
void ServerValueName(int slot, char* out);

// Puts name (at most 127 characters) into the lowest free slot; -1 when the
// name is empty or the table is full. Does not persist.
int AddServer(const char* name);
// Takes into the slots free here the servers stored there since the list was
// read, as by another user's Orvalen, so that a server added next does not
// go over one of them. Shows them.
void TakeInStoredServers();
// True when another Orvalen has renamed, enabled, disabled or deleted the
// slot's entry since this one read it: the entry as stored (or a free slot)
// is taken in, with no result. Neither shows nor persists.
bool TakeInChangedServer(int slot);
// Writes the slot's record, or deletes its value when the slot is free.
void SaveServer(int slot);
// Writes a pass's result: only while the stored entry still names the same
// server, enabled or not alike.
void SaveServerResult(int slot);
// Brings the whole list view in line with the table, then saves the slot.
void UpdateServer(int slot);
void ResetServerTable();
void LoadServerTable();
