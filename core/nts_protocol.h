// The NTS side of the query engine (Network Time Security, RFC 8915): the key
// exchange's records, each server's keys and cookies, and the extension
// fields that authenticate an NTP request and its reply. The NTP header
// itself is ntp_protocol's; the engine's phases and deadlines are shared.
#pragma once
#include <cstdint>

#include "core/server_table.h"

constexpr uint16_t kNtsKePort = 4460;       // the key exchange's TCP port
constexpr int kNtsKeyLength = 32;           // AEAD_AES_SIV_CMAC_256: two AES-128 keys
constexpr int kNtsTagSize = 16;             // the synthetic IV in front of a ciphertext
constexpr int kNtsNonceSize = 16;           // our requests' nonce
constexpr int kNtsUidSize = 32;             // a request's Unique Identifier
constexpr int kNtsMaxCookies = 8;           // kept per server, as the server hands them out
constexpr int kNtsMaxCookieSize = 256;      // bytes; a longer cookie is not kept
constexpr int kNtsMaxHostSize = 256;        // a negotiated NTP server's name, NUL included
constexpr int kNtsKeRequestSize = 16;       // Next Protocol, AEAD, End of Message
constexpr int kNtsMaxKeResponse = 16384;    // bytes read from the key exchange at most
// An NTS request: header, identifier, a cookie and placeholders for seven,
// and the authenticator. A reply carries as much again in encrypted cookies.
constexpr int kNtsMaxPacketSize = 48 + 36 + kNtsMaxCookies * (4 + kNtsMaxCookieSize) + 40;
constexpr char kNtsAlpn[] = "ntske/1";
constexpr char kNtsExporterLabel[] = "EXPORTER-network-time-security";

// Names written "nts://HOST" or "nts://HOST:PORT" (scheme in any case) are
// NTS servers: HOST, cut to fit host, and the key exchange's port (4460
// unless given). A text after the last colon that is no port from 1 to 65535
// stays part of the host, which then fails the look-up.
bool IsNtsName(const char* name, char (&host)[kServerNameSize], uint16_t* port);

// AES-SIV-CMAC (RFC 5297) as NTS uses it: the associated data, then the
// nonce. A sealed text is the 16-byte tag followed by the encrypted text.
struct NtsAead {
  bool (*seal)(const uint8_t* key, const uint8_t* ad, int adSize, const uint8_t* nonce,
               int nonceSize, const uint8_t* plain, int plainSize, uint8_t* sealed);
  // false when the tag does not verify; plain receives sealedSize - 16 bytes.
  bool (*open)(const uint8_t* key, const uint8_t* ad, int adSize, const uint8_t* nonce,
               int nonceSize, const uint8_t* sealed, int sealedSize, uint8_t* plain);
};
extern const NtsAead kAesSivCmac256;  // OpenSSL's, in nts_aead_openssl.cpp

// Cookies in the order the server handed them out; each is sent once.
struct NtsCookieJar {
  int count;
  uint16_t size[kNtsMaxCookies];
  uint8_t data[kNtsMaxCookies][kNtsMaxCookieSize];
};
// Keeps a cookie of 1 to kNtsMaxCookieSize bytes; a full jar drops its oldest.
void PutCookie(NtsCookieJar& jar, const uint8_t* cookie, int size);

// What a key exchange gave one server, kept between passes.
struct NtsKeys {
  uint8_t c2s[kNtsKeyLength];  // seals our requests
  uint8_t s2c[kNtsKeyLength];  // opens the server's replies
  char server[kNtsMaxHostSize];  // the NTP server; empty: the key exchange's host
  uint16_t port;                 // the NTP server's port
  NtsCookieJar cookies;
};

void BuildNtsKeRequest(uint8_t (&request)[kNtsKeRequestSize]);

enum NtsKeVerdict {
  NtsKeIncomplete,  // no End of Message yet: read on
  NtsKeAgreed,      // NTPv4 with AES-SIV-CMAC-256, and at least one cookie
  NtsKeFailed,      // an Error or Warning, no agreement, or records that break the rules
};
// Judges what the server has sent so far, size bytes from the start. On
// agreement fills keys' cookies, server and port (not the keys, which come
// from the TLS session).
NtsKeVerdict ParseNtsKeResponse(const uint8_t* data, int size, NtsKeys* keys);

// The TLS exporter's context for the client-to-server key, or with
// serverToClient the other: NTPv4, AES-SIV-CMAC-256, direction.
void NtsExporterContext(bool serverToClient, uint8_t (&context)[5]);

// Appends to the 48-byte NTP request in packet the Unique Identifier, the
// oldest cookie (which leaves the jar), a placeholder for each further
// cookie wanted, and the authenticator over all of it. Returns the
// packet's size, or 0 when the jar is empty or sealing failed.
int AddNtsFields(NtsKeys& keys, const uint8_t (&uid)[kNtsUidSize],
                 const uint8_t (&nonce)[kNtsNonceSize], const NtsAead& aead,
                 uint8_t (&packet)[kNtsMaxPacketSize]);

enum NtsReplyVerdict {
  NtsReplyAuthentic,  // ours, and the authenticator verifies: its cookies are kept
  NtsReplyIgnored,    // not an answer to our request: another stamp or identifier
  NtsReplyForged,     // our request's identifier, but no authenticator that verifies
  NtsReplyRekey,      // the "NTSN" kiss-o'-death: the server no longer takes our cookies
};
// Judges a datagram received for the request with this transmit stamp and
// identifier. Only the header's stamp and stratum are read here;
// CheckNtpReply judges an authentic reply's header.
NtsReplyVerdict CheckNtsReply(const uint8_t* data, int size, uint64_t expectedOriginate,
                              const uint8_t (&uid)[kNtsUidSize], NtsKeys& keys,
                              const NtsAead& aead);
