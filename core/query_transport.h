// The socket and look-up operations the query engine needs. Each completes
// later as an event that the window passes to OnLookupDone or
// DispatchSocketEvent; the WinSock adapter defines them, tests script them.
#pragma once
#include <cstdint>

// An IPv4 (the first 4 bytes) or IPv6 address, in network byte order.
struct NetAddress {
  uint8_t family;  // 4 or 6
  uint8_t bytes[16];
};

constexpr uint16_t kTimePort = 37;
constexpr uint32_t kEventRead = 1;      // FD_READ
constexpr uint32_t kEventConnect = 16;  // FD_CONNECT
constexpr uint32_t kEventClose = 32;    // FD_CLOSE
constexpr uint32_t kErrorWouldBlock = 10035;         // WSAEWOULDBLOCK: nothing to read
constexpr uint32_t kErrorMessageSize = 10040;        // WSAEMSGSIZE: a datagram longer than the buffer
constexpr uint32_t kErrorConnectionReset = 10054;    // WSAECONNRESET
constexpr uint32_t kErrorConnectionRefused = 10061;  // WSAECONNREFUSED

// A dotted IPv4 address ("192.0.2.1"; 255.255.255.255 is none) or an IPv6
// literal, bare or in brackets ("[2001:db8::1]"); false for anything else.
bool NetParseAddress(const char* text, NetAddress* address);
// Starts an asynchronous look-up into buffer; 0 when it cannot start. The
// completion comes as an event with the handle, and fills buffer before it.
uintptr_t NetStartLookup(const char* name, char* buffer, int size);
void NetCancelLookup(uintptr_t handle);
// The addresses of a completed look-up in the order the resolver gave them,
// at most max; the count.
int NetHostAddresses(const char* buffer, NetAddress* addresses, int max);
// Creates a non-blocking stream socket and starts connecting it to port 37 of
// address; 0 when any step of the set-up fails (nothing is left open).
uintptr_t NetOpenConnection(const NetAddress& address);
// Creates a non-blocking datagram socket whose peer is port of address and
// that reports arrivals; 0 when any step of the set-up fails.
uintptr_t NetOpenDatagram(const NetAddress& address, uint16_t port);
// Sends one datagram; false when the platform did not take it.
bool NetSend(uintptr_t socket, const uint8_t* data, int size);
// Bits no one outside can guess, for the low bits of a request's stamp.
uint32_t NetRandomBits();
// recv of at most size bytes: the count received, 0 at the end, or minus
// the platform's error code.
int NetReceive(uintptr_t socket, uint8_t* buffer, int size);
// Stops the socket's notifications first, then closes it.
void NetCloseSocket(uintptr_t socket);
