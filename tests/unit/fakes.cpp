#include "tests/unit/fakes.h"

#include <cstdio>
#include <cstring>

#include "core/correction.h"
#include "core/query_engine.h"
#include "core/query_transport.h"
#include "core/server_table.h"
#include "store/settings_store.h"

namespace fake {

std::map<std::string, std::vector<uint8_t>> store;
std::vector<std::string> storeWrites;
Ms1900 now;
TickMs tick;
bool refuseStep;
std::vector<OffsetMs> steps;
std::map<uintptr_t, Connection> sockets;
uintptr_t nextSocket;
bool failConnections;
bool refuseLookups;
std::map<uintptr_t, std::string> lookups;
std::vector<uintptr_t> cancelledLookups;
std::map<std::string, uint32_t> hosts;
std::vector<StatusLineState> statusLines;
std::vector<std::string> buttonTexts;
int fullSyncs;
int refreshes;
int exitTimersArmed;
int timeChangesAnnounced;
std::vector<std::string> fatalMessages;

void Reset() {
  store.clear();
  storeWrites.clear();
  now = 4'000'000'000'000;  // 2026
  tick = 1000;
  refuseStep = false;
  steps.clear();
  sockets.clear();
  nextSocket = 100;
  failConnections = false;
  refuseLookups = false;
  lookups.clear();
  cancelledLookups.clear();
  hosts.clear();
  statusLines.clear();
  buttonTexts.clear();
  fullSyncs = refreshes = exitTimersArmed = timeChangesAnnounced = 0;
  fatalMessages.clear();

  std::memset(ServerTable, 0, sizeof ServerTable);
  std::memset(QuerySlots, 0, sizeof QuerySlots);
  FirstRun = true;
  ActiveQueries = 0;
  PassMode = Correcting;
  PassDeadline = ScheduleBase = 0;
  UserOffset = 0;
  LastCorrectionTime = LastCorrectionValue = 0;
  CorrectionFailed = ExitAfterCorrection = false;
}

uintptr_t LastSocketTo(uint32_t address) {
  uintptr_t found = 0;
  for (const auto& [handle, connection] : sockets)
    if (connection.address == address && !connection.closed) found = handle;
  return found;
}

uint32_t Ip(int a, int b, int c, int d) {
  return uint32_t(a) | uint32_t(b) << 8 | uint32_t(c) << 16 | uint32_t(d) << 24;
}

}  // namespace fake

bool ReadSetting(const char* name, void* destination, uint32_t capacity) {
  auto it = fake::store.find(name);
  if (it == fake::store.end() || it->second.size() > capacity) return false;
  if (!it->second.empty()) std::memcpy(destination, it->second.data(), it->second.size());
  return true;
}

void WriteSetting(const char* name, const void* data, uint32_t size) {
  fake::storeWrites.push_back(name);
  if (data == nullptr || size == 0) {
    fake::store.erase(name);
    return;
  }
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  fake::store[name].assign(bytes, bytes + size);
}

void FatalExit(const char* message) { fake::fatalMessages.push_back(message); }

Ms1900 CurrentMs1900() { return fake::now; }
TickMs ReadTickMs() { return fake::tick; }

Ms1900 StepSystemClock(OffsetMs delta) {
  fake::steps.push_back(delta);
  return fake::refuseStep ? 0 : fake::now + delta;
}

// Dotted addresses of the form a.b.c.d only; enough for the tests.
uint32_t NetParseAddress(const char* text) {
  int a, b, c, d;
  char tail;
  if (std::sscanf(text, "%d.%d.%d.%d%c", &a, &b, &c, &d, &tail) != 4) return kNoAddress;
  if (a > 255 || b > 255 || c > 255 || d > 255) return kNoAddress;
  uint32_t address = fake::Ip(a, b, c, d);
  return address;
}

uintptr_t NetStartLookup(const char* name, char* buffer, int) {
  if (fake::refuseLookups) return 0;
  uintptr_t handle = fake::nextSocket++;
  fake::lookups[handle] = name;
  auto host = fake::hosts.find(name);
  uint32_t address = host == fake::hosts.end() ? 0 : host->second;
  std::memcpy(buffer, &address, sizeof address);
  return handle;
}

void NetCancelLookup(uintptr_t handle) {
  fake::cancelledLookups.push_back(handle);
  fake::lookups.erase(handle);
}

// The fake host entry is just the address; 0 stands for an empty list.
bool NetFirstHostAddress(const char* buffer, uint32_t* address) {
  std::memcpy(address, buffer, sizeof *address);
  return *address != 0;
}

uintptr_t NetOpenConnection(uint32_t address) {
  if (fake::failConnections) return 0;
  uintptr_t handle = fake::nextSocket++;
  fake::sockets[handle] = {address, false, {}, 0, {}};
  return handle;
}

uintptr_t NetOpenDatagram(uint32_t address, uint16_t port) {
  if (fake::failConnections) return 0;
  uintptr_t handle = fake::nextSocket++;
  fake::sockets[handle] = {address, false, {}, port, {}};
  return handle;
}

bool NetSend(uintptr_t socket, const uint8_t* data, int size) {
  fake::sockets.at(socket).sent.emplace_back(data, data + size);
  return true;
}

uint32_t NetRandomBits() { return 0x2A5A5Au; }

int NetReceive(uintptr_t socket, uint8_t* buffer, int size) {
  auto& reply = fake::sockets.at(socket).reply;
  int n = static_cast<int>(reply.size()) < size ? static_cast<int>(reply.size()) : size;
  if (n > 0) std::memcpy(buffer, reply.data(), n);
  reply.erase(reply.begin(), reply.begin() + n);
  return n;
}

void NetCloseSocket(uintptr_t socket) { fake::sockets.at(socket).closed = true; }

void SyncRows(bool textsOnly) {
  if (!textsOnly) ++fake::fullSyncs;
  for (auto& slot : QuerySlots) slot.dirty = 0;
}
void RefreshDirtyRows() { ++fake::refreshes; }
void UpdateStatusLine(StatusLineState state) { fake::statusLines.push_back(state); }
void SetPassButtonText(const char* text) { fake::buttonTexts.push_back(text); }
void ArmExitTimer() { ++fake::exitTimersArmed; }
void AnnounceTimeChange() { ++fake::timeChangesAnnounced; }
