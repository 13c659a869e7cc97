// Talks to the loopback time-server daemon that the test run starts: each
// address 127.0.0.N plays one server with the behaviour given here.
#pragma once
#include <winsock.h>

#include <cstdlib>
#include <string>

namespace timeservers {

// Sends one control line ("SET 127.0.0.5 exact 250") and returns the reply
// line, "OK..." or "ERR ...".
inline std::string Command(const std::string& line) {
  static WSADATA data;
  static bool started = WSAStartup(0x0101, &data) == 0;
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in control = {};
  control.sin_family = AF_INET, control.sin_port = htons(3737);
  control.sin_addr.s_addr = inet_addr("127.0.0.1");
  std::string reply, out = line + "\n";
  if (started && connect(s, reinterpret_cast<sockaddr*>(&control), sizeof control) == 0 &&
      send(s, out.data(), static_cast<int>(out.size()), 0) > 0)
    for (char c; recv(s, &c, 1, 0) == 1 && c != '\n';) reply += c;
  closesocket(s);
  return reply;
}

inline bool Set(const std::string& address, const std::string& behaviour) {
  return Command("SET " + address + " " + behaviour).rfind("OK", 0) == 0;
}
inline void Clear() { Command("CLEAR"); }
// Connections accepted (TIME) or requests received (NTP) since the address was set.
inline int Count(const std::string& address) {
  std::string reply = Command("COUNT " + address);
  return reply.rfind("OK ", 0) == 0 ? std::atoi(reply.c_str() + 3) : -1;
}

}  // namespace timeservers
