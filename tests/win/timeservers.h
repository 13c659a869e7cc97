// Talks to the loopback time-server daemon that the test run starts: each
// address 127.0.0.N plays one server with the behaviour given here.
#pragma once
#include <string>

namespace timeservers {

// Sends one control command ("SET 127.0.0.5 exact 250") and returns the
// reply line, "OK..." or "ERR ...".
std::string Command(const std::string& line);

inline bool Set(const std::string& address, const std::string& behaviour) {
  return Command("SET " + address + " " + behaviour).rfind("OK", 0) == 0;
}
inline void Clear() { Command("CLEAR"); }
int Count(const std::string& address);

}  // namespace timeservers
