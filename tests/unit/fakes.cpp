#include "tests/unit/fakes.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "core/correction.h"
#include "core/ntp_protocol.h"
#include "core/nts_key_exchange.h"
#include "core/query_engine.h"
#include "core/query_transport.h"
#include "core/view_hooks.h"
#include "store/settings_store.h"

namespace fake {

std::string log;
std::map<std::string, std::vector<uint8_t>> store;
Ms1900 now;
TickMs tick, buildMs;
uintptr_t keyExchanges;
bool refuseStep, failSetUp, confirm, turnHeld;
void (*onAnnounce)();
void (*onLine)();
std::map<uintptr_t, Socket> sockets;
std::map<std::string, std::vector<NetAddress>> hosts;
static uintptr_t nextHandle;

void Reset() {
  FinishAllQueries(StatusInterrupted);
  log.clear(), store.clear(), sockets.clear(), hosts.clear();
  std::memset(gServerTable, 0, sizeof gServerTable), std::memset(gQuerySlots, 0, sizeof gQuerySlots);
  now = 4'000'000'000'000, tick = 1000, buildMs = 0, nextHandle = 100;  // 2026
  refuseStep = failSetUp = confirm = turnHeld = gCorrectionFailed = gExitAfterCorrection = gClockChangedInPass = false;
  gPassStopped = false;
  gFirstRun = true, gPassMode = Correcting, gPassStartedBy = TriggerUser, gActiveQueries = 0;
  gScheduleBase = gUserOffset = gLastCorrectionTime = gLastCorrectionValue = gPassCorrection = 0;
  gLastOutcome = OutcomeNone, onAnnounce = onLine = nullptr;
  NoteStoredCorrection();  // none stored, as at the start of a pass now
}

std::vector<uint8_t> Reply(Ms1900 server, bool ntp, uint64_t originate, uint8_t stratum, const char* code) {
  uint64_t stamp = NtpStamp(server);
  std::vector<uint8_t> reply(ntp ? 48 : 4, 0);
  for (int i = 0; i < 4; ++i) reply[i] = uint8_t(stamp >> (56 - 8 * i));
  if (!ntp) return reply;
  reply[0] = 0x24, reply[1] = stratum, std::copy_n(code, 4, &reply[12]);
  for (int i = 0; i < 8; ++i) {
    reply[24 + i] = uint8_t(originate >> (56 - 8 * i));
    reply[32 + i] = reply[40 + i] = uint8_t(stamp >> (56 - 8 * i));  // received and sent at once
  }
  return reply;
}

// Nothing connects to an address of zeros. The lowest number no open socket holds.
static uintptr_t Open(const NetAddress& address, uint16_t port) {
  if (failSetUp || address == NetAddress{address.family, {}}) return 0;
  uintptr_t handle = 1000;
  while (sockets.count(handle) && !sockets[handle].closed) ++handle;
  sockets[handle] = {address, port, false, {}, 0};
  return handle;
}

}  // namespace fake

bool ReadSetting(const char* name, void* destination, uint32_t capacity, uint32_t* size) {
  auto it = fake::store.find(name);
  if (it == fake::store.end() || it->second.size() > capacity) return false;
  std::copy(it->second.begin(), it->second.end(), static_cast<uint8_t*>(destination));
  if (size) *size = static_cast<uint32_t>(it->second.size());
  return true;
}
// As the registry store: null data or size 0 deletes the value.
void WriteSetting(const char* name, const void* data, uint32_t size) {
  if (data == nullptr || size == 0) {
    fake::store.erase(name);
    return;
  }
  fake::store[name].assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
}

Ms1900 CurrentMs1900() { return fake::now; }
TickMs ReadTickMs() { return fake::tick; }
Ms1900 StepSystemClock(OffsetMs delta) {
  fake::log += (fake::turnHeld ? "step " : "unturned step ") + std::to_string(delta) + "; ";
  return fake::refuseStep ? 0 : fake::now + delta;
}

bool NetParseAddress(const char* text, NetAddress* address) {
  std::string inner = text;
  if (inner.size() > 2 && inner.front() == '[' && inner.back() == ']') inner = inner.substr(1, inner.size() - 2);
  *address = {4, {}};
  if (text[0] != '[' && inet_pton(AF_INET, text, address->bytes) == 1) return true;
  *address = {6, {}};
  return inet_pton(AF_INET6, inner.c_str(), address->bytes) == 1;
}
// The fake result is a count and the addresses; an empty name cannot be looked up.
uintptr_t NetStartLookup(const char* name, char* buffer, int) {
  const std::vector<NetAddress>& found = fake::hosts[name];
  buffer[0] = static_cast<char>(found.size());
  std::copy(found.begin(), found.end(), reinterpret_cast<NetAddress*>(buffer + 1));
  return fake::failSetUp || !*name ? 0 : fake::nextHandle++;
}
void NetCancelLookup(uintptr_t) { fake::log += "cancel; "; }
int NetHostAddresses(const char* buffer, NetAddress* addresses, int max) {
  int count = std::min<int>(buffer[0], max);
  std::copy_n(reinterpret_cast<const NetAddress*>(buffer + 1), std::max(count, 0), addresses);
  return count;
}
uintptr_t NetOpenConnection(const NetAddress& address) { return fake::Open(address, 0); }
uintptr_t NetOpenDatagram(const NetAddress& address, uint16_t port) { return fake::Open(address, port); }
bool NetSend(uintptr_t socket, const uint8_t*, int size) {
  return size >= kNtpPacketSize && ++fake::sockets[socket].sent;  // a request is never cut short
}
uintptr_t NetStartKeyExchange(const char* host, uint16_t port) {
  fake::log += "key exchange " + std::string(host) + ":" + std::to_string(port) + "; ";
  return fake::failSetUp ? 0 : ++fake::keyExchanges;
}
uint32_t NetRandomBits() { return fake::now += fake::buildMs, fake::tick += fake::buildMs, 0x2A5A5Au; }
// Hands out the whole reply at once, or what fits; a datagram that does not fit fails.
int NetReceive(uintptr_t socket, uint8_t* buffer, int size) {
  if (fake::sockets[socket].reply.empty()) return -static_cast<int>(kErrorWouldBlock);
  std::vector<uint8_t> reply = std::move(fake::sockets[socket].reply);
  if (fake::sockets[socket].port && static_cast<int>(reply.size()) > size)
    return -static_cast<int>(kErrorMessageSize);
  reply.resize(std::min(static_cast<int>(reply.size()), size));
  return static_cast<int>(std::copy(reply.begin(), reply.end(), buffer) - buffer);
}
void NetCloseSocket(uintptr_t socket) { fake::sockets[socket].closed = true; }

void SyncRows(bool textsOnly) { fake::log += textsOnly ? "sync texts; " : "sync; "; }
void RefreshDirtyRows() { fake::log += "refresh; "; }
void UpdateStatusLine(StatusLineState state) {
  fake::log += "line " + std::to_string(state) + "; ";
  if (fake::onLine) fake::onLine();
}
void SetPassButtonText(const char* text) { fake::log += std::string("button ") + text + "; "; }
void ArmExitTimer() { fake::log += "exit timer; "; }
void PassEnded() {}
void HeldPassAskedNoOne(bool correcting) { fake::log += correcting ? "no one; " : "no one to test; "; }
bool OwnTimeChange() { return false; }
void TakeClockTurn() { fake::turnHeld = true; }
void EndClockTurn() { fake::turnHeld = false; }
void AnnounceTimeChange() {
  fake::log += "announce; ";
  if (fake::onAnnounce) fake::onAnnounce();
}
bool ConfirmLargeCorrection(OffsetMs correction) {
  fake::log += "ask " + std::to_string(correction) + "; ";
  return fake::confirm;
}
