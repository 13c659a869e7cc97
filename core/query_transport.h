// The socket and look-up operations the query engine needs. Each completes
// later as an event that the window passes to OnLookupDone or
// DispatchSocketEvent; the WinSock adapter defines them, tests script them.
#pragma once
#include <cstdint>

constexpr uint32_t kNoAddress = 0xFFFFFFFFu;  // INADDR_NONE
constexpr uint16_t kTimePort = 37;
constexpr uint32_t kEventRead = 1;      // FD_READ
constexpr uint32_t kEventConnect = 16;  // FD_CONNECT
constexpr uint32_t kEventClose = 32;    // FD_CLOSE
constexpr uint32_t kErrorWouldBlock = 10035;         // WSAEWOULDBLOCK: nothing to read
constexpr uint32_t kErrorConnectionReset = 10054;    // WSAECONNRESET
constexpr uint32_t kErrorConnectionRefused = 10061;  // WSAECONNREFUSED

// A dotted IPv4 address in network byte order, or kNoAddress.
uint32_t NetParseAddress(const char* text);
// Starts an asynchronous look-up into buffer; 0 when it cannot start.
uintptr_t NetStartLookup(const char* name, char* buffer, int size);
void NetCancelLookup(uintptr_t handle);
// The first address of a completed look-up; false when the entry lists none.
bool NetFirstHostAddress(const char* buffer, uint32_t* address);
// Creates a non-blocking stream socket and starts connecting it to port 37 of
// address; 0 when any step of the set-up fails (nothing is left open).
uintptr_t NetOpenConnection(uint32_t address);
// Creates a non-blocking datagram socket whose peer is port of address and
// that reports arrivals; 0 when any step of the set-up fails.
uintptr_t NetOpenDatagram(uint32_t address, uint16_t port);
// Sends one datagram; false when the platform did not take it.
bool NetSend(uintptr_t socket, const uint8_t* data, int size);
// Bits no one outside can guess, for the low bits of a request's stamp.
uint32_t NetRandomBits();
// recv of at most size bytes: the count received, 0 at the end, or minus
// the platform's error code.
int NetReceive(uintptr_t socket, uint8_t* buffer, int size);
// Stops the socket's notifications first, then closes it.
void NetCloseSocket(uintptr_t socket);
