// Stand-ins for the platform and the screen, so the portable logic runs
// natively against scripted events.
#pragma once
#include <cstdint>
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "core/query_transport.h"
#include "core/time_base.h"

namespace fake {

// Calls to the screen and the platform in order, each followed by "; ": "line N",
// "button TEXT", "sync", "refresh", "step DELTA", "exit timer", "announce", "cancel",
// "ask DELTA" (a large correction, answered with `confirm`).
extern std::string log;
extern std::map<std::string, std::vector<uint8_t>> store;  // settings by name
extern Ms1900 now;
extern TickMs tick;
extern TickMs buildMs;  // what passes on both clocks while a request is built
extern uintptr_t keyExchanges;  // the last key exchange's handle
extern bool refuseStep, failSetUp;  // the clock is not set; no look-up or socket starts
extern bool confirm;                // the user's answer to a large correction
extern void (*onAnnounce)();        // runs inside the time-change broadcast
extern void (*onLine)();            // runs inside each update of the status line
extern bool turnHeld;               // the clock turn, which a step logs "unturned" without
// A connection (port 0) or datagram socket; reply is what NetReceive hands out
// (nothing yet when empty). A closed socket's number is handed out again, as
// Windows does.
struct Socket { NetAddress address; uint16_t port; bool closed; std::vector<uint8_t> reply; int sent; };
extern std::map<uintptr_t, Socket> sockets;
extern std::map<std::string, std::vector<NetAddress>> hosts;  // what a look-up finds, in order

// Ends any pass left running, then clears all of the above and the program's state.
void Reset();
// A server's answer when its clock reads `server`: a TIME count of seconds, or an NTP
// reply (leap 0, version 4, mode 4) that echoes originate, its stamps rounded up.
std::vector<uint8_t> Reply(Ms1900 server, bool ntp, uint64_t originate = 0, uint8_t stratum = 1,
                           const char* code = "GPS");
// An IPv4 address, or with v6 the IPv6 address ::a.b.c.d.
inline NetAddress Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d, bool v6 = false) {
  NetAddress address = {uint8_t(v6 ? 6 : 4), {}};
  uint8_t* at = address.bytes + (v6 ? 12 : 0);
  at[0] = a, at[1] = b, at[2] = c, at[3] = d;
  return address;
}

}  // namespace fake

inline bool operator==(const NetAddress& a, const NetAddress& b) {
  return a.family == b.family && std::equal(a.bytes, a.bytes + 16, b.bytes);
}
