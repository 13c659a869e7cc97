// Stand-ins for the platform and the screen, so the portable logic runs
// natively against scripted events.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/time_base.h"
#include "core/view_hooks.h"

namespace fake {

// Settings store: value name to stored bytes.
extern std::map<std::string, std::vector<uint8_t>> store;
extern std::vector<std::string> storeWrites;  // names in write order

// Clock and tick.
extern Ms1900 now;
extern TickMs tick;
extern bool refuseStep;                // StepSystemClock returns 0
extern std::vector<OffsetMs> steps;    // deltas asked of StepSystemClock

// Transport.
struct Connection {
  uint32_t address;
  bool closed;
  std::vector<uint8_t> reply;  // what NetReceive hands out
  uint16_t datagramPort;       // 0 for a TIME connection
  std::vector<std::vector<uint8_t>> sent;  // datagrams, in order
};
extern std::map<uintptr_t, Connection> sockets;
extern uintptr_t nextSocket;
extern bool failConnections;   // NetOpenConnection fails at once
extern bool refuseLookups;     // NetStartLookup returns 0
extern std::map<uintptr_t, std::string> lookups;  // pending, by handle
extern std::vector<uintptr_t> cancelledLookups;
extern std::map<std::string, uint32_t> hosts;     // name to address for the buffer

// Screen.
extern std::vector<StatusLineState> statusLines;
extern std::vector<std::string> buttonTexts;
extern int fullSyncs;
extern int refreshes;
extern int exitTimersArmed;
extern int timeChangesAnnounced;
extern std::vector<std::string> fatalMessages;

// Clears all of the above and the program's own tables and pass state.
void Reset();

// The connection most recently opened to address, or 0.
uintptr_t LastSocketTo(uint32_t address);
uint32_t Ip(int a, int b, int c, int d);  // network byte order

}  // namespace fake
