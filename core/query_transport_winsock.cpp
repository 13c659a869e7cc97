// WinSock 2: sockets report to gNetEventWindow through WSAAsyncSelect; names
// are looked up on worker threads that post their results there too.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <ntsecapi.h>  // RtlGenRandom

#include "core/nts_key_exchange_win32.h"
#include "core/nts_protocol.h"
#include "core/query_engine.h"
#include "core/query_transport.h"
#include "core/query_transport_winsock.h"

HWND gNetEventWindow;

namespace {

// getaddrinfo knows IPv6 and every address of a name; Windows before XP has
// only the asynchronous IPv4 look-up of WinSock 1.
using GetAddrInfoFunction = int(WSAAPI*)(const char*, const char*, const addrinfo*, addrinfo**);
using FreeAddrInfoFunction = void(WSAAPI*)(addrinfo*);
GetAddrInfoFunction gGetAddrInfo;
FreeAddrInfoFunction gFreeAddrInfo;
bool gAddrInfoLookedUp;

bool HaveAddrInfo() {
  if (!gAddrInfoLookedUp) {
    gAddrInfoLookedUp = true;
    HMODULE ws2 = GetModuleHandleA("ws2_32.dll");
    gGetAddrInfo = reinterpret_cast<GetAddrInfoFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(ws2, "getaddrinfo")));
    gFreeAddrInfo = reinterpret_cast<FreeAddrInfoFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(ws2, "freeaddrinfo")));
  }
  return gGetAddrInfo != nullptr && gFreeAddrInfo != nullptr;
}

// One look-up on a worker thread. The thread writes only its own record and
// posts; the window's thread frees the record when that message arrives,
// whether or not the query still wants it. Any program can post a message of
// that number: only the thread's word that it is done counts.
struct Lookup {
  bool inUse;
  bool cancelled;
  volatile LONG finished;
  char name[kNtsMaxHostSize];  // a list entry's, or the longer one a key exchange may give
  char* buffer;  // the query's, filled on the window's thread
  int error;
  int count;
  NetAddress found[kMaxAddresses];
};
constexpr int kMaxLookups = 2 * kMaxServers;  // cancelled ones may still be running
Lookup gLookups[kMaxLookups];

// The buffer's layout after a look-up through getaddrinfo.
struct FoundAddresses {
  int count;
  NetAddress addresses[kMaxAddresses];
};
static_assert(sizeof(FoundAddresses) <= kLookupBufferSize, "look-up buffer size");

DWORD WINAPI LookUp(void* parameter) {
  Lookup& lookup = *static_cast<Lookup*>(parameter);
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address
  addrinfo* list = nullptr;
  lookup.error = gGetAddrInfo(lookup.name, nullptr, &hints, &list);
  lookup.count = 0;
  for (addrinfo* a = list; a != nullptr && lookup.count < kMaxAddresses; a = a->ai_next) {
    NetAddress& found = lookup.found[lookup.count];
    found = NetAddress{};
    if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in)) {
      found.family = 4;
      CopyMemory(found.bytes, &reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr, 4);
    } else if (a->ai_family == AF_INET6 && a->ai_addrlen >= sizeof(sockaddr_in6)) {
      found.family = 6;
      CopyMemory(found.bytes, &reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr, 16);
    } else {
      continue;
    }
    ++lookup.count;
  }
  if (list != nullptr) gFreeAddrInfo(list);
  InterlockedExchange(&lookup.finished, 1);  // after everything it wrote
  uintptr_t handle = static_cast<uintptr_t>(&lookup - gLookups) + 1;
  PostMessageA(gNetEventWindow, kLookupDoneMessage, handle, MAKELPARAM(0, lookup.error));
  return 0;
}

void LookupDone(uintptr_t handle, uint32_t error) {
  if (!HaveAddrInfo()) {
    OnLookupDone(handle, error);
    return;
  }
  if (handle == 0 || handle > kMaxLookups) return;
  Lookup& lookup = gLookups[handle - 1];
  if (!lookup.inUse || InterlockedCompareExchange(&lookup.finished, 0, 0) == 0) return;
  lookup.inUse = false;
  if (lookup.cancelled) return;
  FoundAddresses found = {};
  found.count = lookup.count;
  CopyMemory(found.addresses, lookup.found, sizeof found.addresses);
  CopyMemory(lookup.buffer, &found, sizeof found);
  OnLookupDone(handle, static_cast<uint32_t>(lookup.error));
}

// The socket address of port at address, and its length.
int SocketAddress(const NetAddress& address, uint16_t port, sockaddr_in6* storage) {
  ZeroMemory(storage, sizeof *storage);
  if (address.family == 6) {
    storage->sin6_family = AF_INET6;
    storage->sin6_port = htons(port);
    CopyMemory(&storage->sin6_addr, address.bytes, 16);
    return sizeof(sockaddr_in6);
  }
  sockaddr_in* v4 = reinterpret_cast<sockaddr_in*>(storage);
  v4->sin_family = AF_INET;
  v4->sin_port = htons(port);
  CopyMemory(&v4->sin_addr, address.bytes, 4);
  return sizeof(sockaddr_in);
}

}  // namespace

bool DispatchNetMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kLookupDoneMessage) {
    LookupDone(wParam, HIWORD(lParam));
  } else if (message == kSocketEventMessage) {
    DispatchSocketEvent(wParam, LOWORD(lParam), HIWORD(lParam));
  } else if (message == kKeyExchangeDoneMessage) {
    DispatchKeyExchangeMessage(wParam);
  } else {
    return false;
  }
  return true;
}

bool NetParseAddress(const char* text, NetAddress* address) {
  *address = NetAddress{};
  unsigned long v4 = inet_addr(text);
  if (v4 != INADDR_NONE) {
    address->family = 4;
    CopyMemory(address->bytes, &v4, 4);
    return true;
  }
  char inner[kServerNameSize];
  int length = lstrlenA(text);
  if (length < 2 || length >= kServerNameSize) return false;
  bool bracketed = text[0] == '[' && text[length - 1] == ']';
  lstrcpynA(inner, text + (bracketed ? 1 : 0), length + 1 - (bracketed ? 2 : 0));
  sockaddr_in6 v6 = {};
  INT size = sizeof v6;
  if (WSAStringToAddressA(inner, AF_INET6, nullptr, reinterpret_cast<sockaddr*>(&v6), &size) != 0)
    return false;
  address->family = 6;
  CopyMemory(address->bytes, &v6.sin6_addr, 16);
  return true;
}

uintptr_t NetStartLookup(const char* name, char* buffer, int size) {
  // An empty name would be answered with this computer's own addresses.
  if (name[0] == '\0') return 0;
  if (!HaveAddrInfo()) {
    return reinterpret_cast<uintptr_t>(
        WSAAsyncGetHostByName(gNetEventWindow, kLookupDoneMessage, name, buffer, size));
  }
  // A pass stopped and started again, time after time while the name
  // server is slow, would fill the table with look-ups nobody wants: one of
  // the name, cancelled and still running, is taken over instead.
  for (Lookup& lookup : gLookups) {
    if (!lookup.inUse || !lookup.cancelled || lstrcmpA(lookup.name, name) != 0) continue;
    lookup.cancelled = false;
    lookup.buffer = buffer;
    return static_cast<uintptr_t>(&lookup - gLookups) + 1;
  }
  for (Lookup& lookup : gLookups) {
    if (lookup.inUse) continue;
    lookup = Lookup{};
    lookup.inUse = true;
    lstrcpynA(lookup.name, name, sizeof lookup.name);
    lookup.buffer = buffer;
    HANDLE thread = CreateThread(nullptr, 0, LookUp, &lookup, 0, nullptr);
    if (thread == nullptr) {
      lookup.inUse = false;
      return 0;
    }
    CloseHandle(thread);
    return static_cast<uintptr_t>(&lookup - gLookups) + 1;
  }
  return 0;
}

void NetCancelLookup(uintptr_t handle) {
  if (!HaveAddrInfo()) {
    WSACancelAsyncRequest(reinterpret_cast<HANDLE>(handle));
  } else if (handle != 0 && handle <= kMaxLookups) {
    gLookups[handle - 1].cancelled = true;  // its thread runs on; its result is dropped
  }
}

int NetHostAddresses(const char* buffer, NetAddress* addresses, int max) {
  if (HaveAddrInfo()) {
    const FoundAddresses* found = reinterpret_cast<const FoundAddresses*>(buffer);
    int count = found->count < max ? found->count : max;
    CopyMemory(addresses, found->addresses, count * sizeof(NetAddress));
    return count;
  }
  const hostent* entry = reinterpret_cast<const hostent*>(buffer);
  if (entry->h_length != 4 || entry->h_addr_list == nullptr) return 0;
  int count = 0;
  for (; count < max && entry->h_addr_list[count] != nullptr; ++count) {
    addresses[count] = NetAddress{};
    addresses[count].family = 4;
    CopyMemory(addresses[count].bytes, entry->h_addr_list[count], 4);
  }
  return count;
}

uintptr_t NetOpenConnection(const NetAddress& address) {
  int family = address.family == 6 ? AF_INET6 : AF_INET;
  SOCKET s = socket(family, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return 0;
  sockaddr_in6 local;
  int localSize = SocketAddress(NetAddress{address.family, {}}, 0, &local);
  BOOL dontLinger = TRUE;
  sockaddr_in6 server;
  int serverSize = SocketAddress(address, kTimePort, &server);
  bool started =
      bind(s, reinterpret_cast<sockaddr*>(&local), localSize) == 0 &&
      setsockopt(s, SOL_SOCKET, SO_DONTLINGER, reinterpret_cast<char*>(&dontLinger),
                 sizeof dontLinger) == 0 &&
      WSAAsyncSelect(s, gNetEventWindow, kSocketEventMessage, FD_READ | FD_CONNECT) == 0;
  if (started && connect(s, reinterpret_cast<sockaddr*>(&server), serverSize) != 0)
    started = WSAGetLastError() == WSAEWOULDBLOCK;
  if (!started) {
    NetCloseSocket(s);
    return 0;
  }
  return s;
}

uintptr_t NetOpenDatagram(const NetAddress& address, uint16_t port) {
  SOCKET s = socket(address.family == 6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) return 0;
  sockaddr_in6 server;
  int serverSize = SocketAddress(address, port, &server);
  // A connected datagram socket takes replies from its peer only, and hears
  // of a closed port: Windows as an error on the next receive, Wine as a
  // close notice with the error.
  if (connect(s, reinterpret_cast<sockaddr*>(&server), serverSize) != 0 ||
      WSAAsyncSelect(s, gNetEventWindow, kSocketEventMessage, FD_READ | FD_CLOSE) != 0) {
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
  WSAAsyncSelect(socket, gNetEventWindow, 0, 0);
  closesocket(socket);
}
