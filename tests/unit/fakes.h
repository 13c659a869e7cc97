// Stand-ins for the platform and the screen, so the portable logic runs
// natively against scripted events.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/time_base.h"

namespace fake {

// Calls to the screen and the platform in order, each followed by "; ": "line N",
// "button TEXT", "sync", "refresh", "step DELTA", "exit timer", "announce", "cancel",
// "ask DELTA" (a large correction, answered with `confirm`).
extern std::string log;
extern std::map<std::string, std::vector<uint8_t>> store;  // settings by name
extern Ms1900 now;
extern TickMs tick;
extern bool refuseStep, failSetUp;  // the clock is not set; no look-up or socket starts
extern bool confirm;                // the user's answer to a large correction
extern void (*onAnnounce)();        // runs inside the time-change broadcast
// A connection (port 0) or datagram socket; reply is what NetReceive hands out
// (nothing yet when empty). A closed socket's number is handed out again, as
// Windows does.
struct Socket { uint32_t address; uint16_t port; bool closed; std::vector<uint8_t> reply; int sent; };
extern std::map<uintptr_t, Socket> sockets;
extern std::map<std::string, uint32_t> hosts;  // what a look-up finds; 0: no address

// Ends any pass left running, then clears all of the above and the program's state.
void Reset();
// A server's answer when its clock reads `server`: a TIME count of seconds, or an NTP
// reply (leap 0, version 4, mode 4) that echoes originate, its stamps rounded up.
std::vector<uint8_t> Reply(Ms1900 server, bool ntp, uint64_t originate = 0, uint8_t stratum = 1,
                           const char* code = "GPS");
inline uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a | b << 8 | c << 16 | d << 24; }

}  // namespace fake
