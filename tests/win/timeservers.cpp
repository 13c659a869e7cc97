#include "tests/win/timeservers.h"

#include <winsock.h>

#include <cstdlib>

namespace timeservers {

std::string Command(const std::string& line) {
  static bool started = [] {
    WSADATA data;
    return WSAStartup(0x0101, &data) == 0;
  }();
  if (!started) return "ERR no sockets";
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in control = {};
  control.sin_family = AF_INET;
  control.sin_port = htons(3737);
  control.sin_addr.s_addr = inet_addr("127.0.0.1");
  std::string reply;
  if (connect(s, reinterpret_cast<sockaddr*>(&control), sizeof control) == 0) {
    std::string out = line + "\n";
    send(s, out.data(), static_cast<int>(out.size()), 0);
    char c;
    while (recv(s, &c, 1, 0) == 1 && c != '\n') reply += c;
  } else {
    reply = "ERR control connection";
  }
  closesocket(s);
  return reply;
}

int Count(const std::string& address) {
  std::string reply = Command("COUNT " + address);
  return reply.rfind("OK ", 0) == 0 ? std::atoi(reply.c_str() + 3) : -1;
}

}  // namespace timeservers
