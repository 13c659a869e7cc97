#include "core/nts_protocol.h"

#include <cstring>

#include "core/ntp_protocol.h"

namespace {

// Key exchange records (RFC 8915, section 4): the top bit of the type says
// the record is critical; the body's length follows the type.
constexpr uint16_t kCritical = 0x8000;
constexpr uint16_t kEndOfMessage = 0;
constexpr uint16_t kNextProtocol = 1;
constexpr uint16_t kError = 2;
constexpr uint16_t kWarning = 3;
constexpr uint16_t kAeadAlgorithm = 4;
constexpr uint16_t kNewCookie = 5;
constexpr uint16_t kNtpServer = 6;
constexpr uint16_t kNtpPortRecord = 7;
constexpr uint16_t kProtocolNtpV4 = 0;
constexpr uint16_t kAeadAesSivCmac256 = 15;

// NTP extension fields (section 5.7): type and length of the whole field,
// a multiple of 4 bytes.
constexpr uint16_t kUniqueIdentifier = 0x0104;
constexpr uint16_t kCookie = 0x0204;
constexpr uint16_t kCookiePlaceholder = 0x0304;
constexpr uint16_t kAuthenticator = 0x0404;
constexpr int kFieldHeader = 4;
constexpr int kAuthenticatorSize = kFieldHeader + 4 + kNtsNonceSize + kNtsTagSize;
// What the encrypted part of a reply may hold: the cookies we asked for.
constexpr int kMaxPlainSize = kNtsMaxPacketSize;

uint16_t Read16(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

void Write16(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value >> 8);
  at[1] = static_cast<uint8_t>(value);
}

int Padded(int size) { return (size + 3) & ~3; }

// One NTP extension field: its type, body and size. False when the field at
// offset does not fit the packet or breaks the length rules.
struct Field {
  uint16_t type;
  const uint8_t* body;
  int bodySize;
  int size;
};
bool ReadField(const uint8_t* data, int size, int offset, Field* field) {
  if (size - offset < kFieldHeader) return false;
  field->type = Read16(data + offset);
  field->size = Read16(data + offset + 2);
  field->body = data + offset + kFieldHeader;
  field->bodySize = field->size - kFieldHeader;
  return field->size >= kFieldHeader && field->size % 4 == 0 && field->size <= size - offset;
}

int WriteField(uint8_t* at, uint16_t type, const uint8_t* body, int bodySize) {
  const int size = kFieldHeader + Padded(bodySize);
  Write16(at, type);
  Write16(at + 2, static_cast<uint32_t>(size));
  std::memset(at + kFieldHeader, 0, static_cast<size_t>(size - kFieldHeader));
  if (body != nullptr) std::memcpy(at + kFieldHeader, body, static_cast<size_t>(bodySize));
  return size;
}

// Puts every cookie field of the fields in data into the jar.
void KeepCookies(const uint8_t* data, int size, NtsCookieJar& jar) {
  Field field;
  for (int offset = 0; ReadField(data, size, offset, &field); offset += field.size)
    if (field.type == kCookie) PutCookie(jar, field.body, field.bodySize);
}

}  // namespace

bool IsNtsName(const char* name, char (&host)[kServerNameSize], uint16_t* port) {
  static const char kScheme[] = "nts://";
  for (int i = 0; kScheme[i] != '\0'; ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kScheme[i]) return false;  // also stops at the terminating NUL
  }
  std::strncpy(host, name + sizeof kScheme - 1, kServerNameSize - 1);
  host[kServerNameSize - 1] = '\0';
  *port = kNtsKePort;
  // A port follows a name or a bracketed address; the colons of a bare IPv6
  // address are its own.
  char* colon = std::strrchr(host, ':');
  if (colon != nullptr && (colon == std::strchr(host, ':') || colon[-1] == ']')) {
    uint32_t value = 0;
    const char* c = colon + 1;
    for (; *c >= '0' && *c <= '9' && value <= 65535; ++c) value = value * 10 + static_cast<uint32_t>(*c - '0');
    if (*c == '\0' && value != 0 && value <= 65535) {
      *port = static_cast<uint16_t>(value);
      *colon = '\0';
    }
  }
  // "time.example." is the same server, but its certificate names it without the dot.
  const size_t length = std::strlen(host);
  if (length > 0 && host[length - 1] == '.') host[length - 1] = '\0';
  return true;
}

void PutCookie(NtsCookieJar& jar, const uint8_t* cookie, int size) {
  if (size < 1 || size > kNtsMaxCookieSize) return;
  if (jar.count == kNtsMaxCookies) {
    std::memmove(jar.size, jar.size + 1, sizeof jar.size - sizeof jar.size[0]);
    std::memmove(jar.data, jar.data + 1, sizeof jar.data - sizeof jar.data[0]);
    --jar.count;
  }
  jar.size[jar.count] = static_cast<uint16_t>(size);
  std::memcpy(jar.data[jar.count], cookie, static_cast<size_t>(size));
  ++jar.count;
}

void BuildNtsKeRequest(uint8_t (&request)[kNtsKeRequestSize]) {
  const uint16_t records[] = {kCritical | kNextProtocol, 2, kProtocolNtpV4,
                              kCritical | kAeadAlgorithm, 2, kAeadAesSivCmac256,
                              kCritical | kEndOfMessage, 0};
  for (int i = 0; i < 8; ++i) Write16(request + 2 * i, records[i]);
}

NtsKeVerdict ParseNtsKeResponse(const uint8_t* data, int size, NtsKeys* keys) {
  bool protocol = false, aead = false;
  keys->server[0] = '\0';
  keys->port = kNtpPort;
  keys->cookies.count = 0;
  int offset = 0;
  while (size - offset >= 4) {
    const uint16_t type = Read16(data + offset) & ~kCritical;
    const bool critical = (data[offset] & 0x80) != 0;
    const int length = Read16(data + offset + 2);
    const uint8_t* body = data + offset + 4;
    // A record that would run past what the reader holds can never be read in full.
    if (offset + 4 + length > kNtsMaxKeResponse) return NtsKeFailed;
    if (size - offset - 4 < length) return NtsKeIncomplete;
    offset += 4 + length;
    switch (type) {
      case kEndOfMessage:
        if (length != 0 || !protocol) return NtsKeFailed;
        return aead && keys->cookies.count > 0 ? NtsKeAgreed : NtsKeFailed;
      case kNextProtocol:
        // Exactly one, and the one we offered; none means no agreement.
        if (protocol || length != 2 || Read16(body) != kProtocolNtpV4) return NtsKeFailed;
        protocol = true;
        break;
      case kAeadAlgorithm:
        if (aead || length != 2 || Read16(body) != kAeadAesSivCmac256) return NtsKeFailed;
        aead = true;
        break;
      case kNewCookie:
        PutCookie(keys->cookies, body, length);
        break;
      case kNtpServer:
        if (length == 0 || length >= kNtsMaxHostSize || std::memchr(body, 0, length)) return NtsKeFailed;
        std::memcpy(keys->server, body, static_cast<size_t>(length));
        keys->server[length] = '\0';
        break;
      case kNtpPortRecord:
        if (length != 2 || Read16(body) == 0) return NtsKeFailed;
        keys->port = Read16(body);
        break;
      case kError:
      case kWarning:  // no warning is defined yet: none can be understood
        return NtsKeFailed;
      default:
        if (critical) return NtsKeFailed;
        break;
    }
  }
  return offset + 4 > kNtsMaxKeResponse ? NtsKeFailed : NtsKeIncomplete;
}

void NtsExporterContext(bool serverToClient, uint8_t (&context)[5]) {
  Write16(context, kProtocolNtpV4);
  Write16(context + 2, kAeadAesSivCmac256);
  context[4] = serverToClient ? 1 : 0;
}

int AddNtsFields(NtsKeys& keys, const uint8_t (&uid)[kNtsUidSize],
                 const uint8_t (&nonce)[kNtsNonceSize], const NtsAead& aead,
                 uint8_t (&packet)[kNtsMaxPacketSize]) {
  NtsCookieJar& jar = keys.cookies;
  if (jar.count == 0) return 0;
  int size = kNtpPacketSize;
  size += WriteField(packet + size, kUniqueIdentifier, uid, kNtsUidSize);
  const int cookieSize = jar.size[0];
  size += WriteField(packet + size, kCookie, jar.data[0], cookieSize);
  std::memmove(jar.size, jar.size + 1, sizeof jar.size - sizeof jar.size[0]);
  std::memmove(jar.data, jar.data + 1, sizeof jar.data - sizeof jar.data[0]);
  --jar.count;
  // Each placeholder asks the reply for one more cookie of the same size.
  for (int wanted = kNtsMaxCookies - 1 - jar.count; wanted > 0; --wanted)
    size += WriteField(packet + size, kCookiePlaceholder, nullptr, cookieSize);
  uint8_t* field = packet + size;
  WriteField(field, kAuthenticator, nullptr, kAuthenticatorSize - kFieldHeader);
  Write16(field + 4, kNtsNonceSize);
  Write16(field + 6, kNtsTagSize);
  std::memcpy(field + 8, nonce, kNtsNonceSize);
  if (!aead.seal(keys.c2s, packet, size, nonce, kNtsNonceSize, nullptr, 0,
                 field + 8 + kNtsNonceSize))
    return 0;
  return size + kAuthenticatorSize;
}

NtsReplyVerdict CheckNtsReply(const uint8_t* data, int size, uint64_t expectedOriginate,
                              const uint8_t (&uid)[kNtsUidSize], NtsKeys& keys,
                              const NtsAead& aead) {
  if (size < kNtpPacketSize) return NtsReplyIgnored;
  if (ReadNtpStamp(data + kOriginateAt) != expectedOriginate) return NtsReplyIgnored;
  bool ours = false, sealed = false;
  Field field;
  int offset = kNtpPacketSize;
  for (; !sealed && ReadField(data, size, offset, &field); offset += field.size) {
    if (field.type == kUniqueIdentifier)
      ours = field.bodySize == kNtsUidSize && std::memcmp(field.body, uid, kNtsUidSize) == 0;
    sealed = field.type == kAuthenticator;
  }
  if (!ours) return NtsReplyIgnored;
  // The server could not read our cookie: it answers without an
  // authenticator, which it cannot make without our keys.
  if (data[kStratumAt] == 0 && std::memcmp(data + kReferenceIdAt, "NTSN", 4) == 0)
    return NtsReplyRekey;
  if (!sealed || field.bodySize < 4) return NtsReplyForged;
  const int authenticatorAt = offset - field.size;
  const int nonceSize = Read16(field.body);
  const int sealedSize = Read16(field.body + 2);
  const uint8_t* nonce = field.body + 4;
  const uint8_t* text = nonce + Padded(nonceSize);
  if (nonceSize < 1 || sealedSize < kNtsTagSize || sealedSize - kNtsTagSize > kMaxPlainSize ||
      4 + Padded(nonceSize) + Padded(sealedSize) > field.bodySize)
    return NtsReplyForged;
  uint8_t plain[kMaxPlainSize];
  if (!aead.open(keys.s2c, data, authenticatorAt, nonce, nonceSize, text, sealedSize, plain))
    return NtsReplyForged;
  KeepCookies(plain, sealedSize - kNtsTagSize, keys.cookies);
  return NtsReplyAuthentic;
}
