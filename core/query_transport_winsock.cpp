// WinSock 1.1: every operation is asynchronous and reports to NetEventWindow.
#include <winsock.h>
#include <ntsecapi.h>  // RtlGenRandom

#include "core/query_engine.h"
#include "core/query_transport.h"
#include "core/query_transport_winsock.h"

HWND NetEventWindow;

bool DispatchNetMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kLookupDoneMessage) {
    OnLookupDone(wParam, HIWORD(lParam));
  } else if (message == kSocketEventMessage) {
    DispatchSocketEvent(wParam, LOWORD(lParam), HIWORD(lParam));
  } else {
    return false;
  }
  return true;
}

uint32_t NetParseAddress(const char* text) { return inet_addr(text); }

uintptr_t NetStartLookup(const char* name, char* buffer, int size) {
  return reinterpret_cast<uintptr_t>(
      WSAAsyncGetHostByName(NetEventWindow, kLookupDoneMessage, name, buffer, size));
}

void NetCancelLookup(uintptr_t handle) {
  WSACancelAsyncRequest(reinterpret_cast<HANDLE>(handle));
}

bool NetFirstHostAddress(const char* buffer, uint32_t* address) {
  const hostent* entry = reinterpret_cast<const hostent*>(buffer);
  if (entry->h_length != 4 || entry->h_addr_list == nullptr ||
      entry->h_addr_list[0] == nullptr)
    return false;
  CopyMemory(address, entry->h_addr_list[0], 4);
  return true;
}

uintptr_t NetOpenConnection(uint32_t address) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return 0;
  sockaddr_in local = {};
  local.sin_family = AF_INET;
  BOOL dontLinger = TRUE;
  sockaddr_in server = {};
  server.sin_family = AF_INET;
  server.sin_port = htons(kTimePort);
  server.sin_addr.s_addr = address;
  bool started =
      bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
      setsockopt(s, SOL_SOCKET, SO_DONTLINGER, reinterpret_cast<char*>(&dontLinger),
                 sizeof dontLinger) == 0 &&
      WSAAsyncSelect(s, NetEventWindow, kSocketEventMessage, FD_READ | FD_CONNECT) == 0;
  if (started && connect(s, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0)
    started = WSAGetLastError() == WSAEWOULDBLOCK;
  if (!started) {
    NetCloseSocket(s);
    return 0;
  }
  return s;
}

uintptr_t NetOpenDatagram(uint32_t address, uint16_t port) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) return 0;
  sockaddr_in server = {};
  server.sin_family = AF_INET;
  server.sin_port = htons(port);
  server.sin_addr.s_addr = address;
  // A connected datagram socket takes replies from its peer only, and hears
  // of a closed port: Windows as an error on the next receive, Wine as a
  // close notice with the error.
  if (connect(s, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 ||
      WSAAsyncSelect(s, NetEventWindow, kSocketEventMessage, FD_READ | FD_CLOSE) != 0) {
    NetCloseSocket(s);
    return 0;
  }
  return s;
}

bool NetSend(uintptr_t socket, const uint8_t* data, int size) {
  return send(socket, reinterpret_cast<const char*>(data), size, 0) == size;
}

uint32_t NetRandomBits() {
  uint32_t bits = 0;
  if (!RtlGenRandom(&bits, sizeof bits)) {
    // Without the system's generator the counter's low bits still differ
    // from request to request.
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    bits = static_cast<uint32_t>(count.QuadPart) * 2654435761u;
  }
  return bits;
}

int NetReceive(uintptr_t socket, uint8_t* buffer, int size) {
  int received = recv(socket, reinterpret_cast<char*>(buffer), size, 0);
  return received == SOCKET_ERROR ? -WSAGetLastError() : received;
}

void NetCloseSocket(uintptr_t socket) {
  // Once notifications are off, messages still queued for this socket find
  // no slot holding it and are dropped.
  WSAAsyncSelect(socket, NetEventWindow, 0, 0);
  closesocket(socket);
}
