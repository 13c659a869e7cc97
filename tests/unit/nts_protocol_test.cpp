#include "core/nts_protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/ntp_protocol.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

TEST(NtsProtocol, ServerNames) {
  const struct { const char* name; bool nts; const char* host; uint16_t port; } cases[] = {
      {"nts://time.example", true, "time.example", 4460},
      {"NTS://time.example:9460", true, "time.example", 9460},
      {"nts://192.0.2.1:123", true, "192.0.2.1", 123},
      {"nts://time.example:", true, "time.example:", 4460},        // no port: the look-up fails
      {"nts://time.example:65536", true, "time.example:65536", 4460},
      {"nts://time.example:0", true, "time.example:0", 4460},
      {"nts://time.example:4x", true, "time.example:4x", 4460},
      {"nts://", true, "", 4460},
      {"nts://2001:db8::123", true, "2001:db8::123", 4460}, {"nts://[2001:db8::1]:65535", true, "[2001:db8::1]", 65535},
      {"nts://a.", true, "a", 4460}, {"nts://.", true, "", 4460},  // a certificate names no root dot
      {"ntp://time.example", false, "", 0}, {"nts:/x", false, "", 0}, {"nt", false, "", 0},
  };
  for (const auto& c : cases) {
    char host[kServerNameSize] = "";
    uint16_t port = 0;
    EXPECT_EQ(IsNtsName(c.name, host, &port), c.nts) << c.name;
    EXPECT_STREQ(host, c.host) << c.name;
    EXPECT_EQ(port, c.port) << c.name;
  }
}

// Expected texts from OpenSSL's own AES-SIV (Python's cryptography AESSIV,
// associated data [b"header", nonce]), which this program cannot use: it
// makes no tag for an empty text.
TEST(NtsProtocol, AesSivAgreesWithOpenSslsOwn) {
  const struct { int size; const char* sealed; } cases[] = {
      {0, "a31cdc0292e9974ea136eaf961b5816f"},
      {5, "4eb7073434cdbf5f7bfaf7967c8b2fdf3a576b6d68"},
      {16, "6e4b0495fe405dd408bf721dff905d5f0a259889e5e3ee740b63a8c1fdd6483b"},
      {33, "395de77dd5e43fe8a85d484f6b8468474b0948e16f575658ce7d43701498ac1a3a29959dc0440c00a86202663888f2e12d"},
  };
  uint8_t key[kNtsKeyLength], plain[40];
  for (int i = 0; i < kNtsKeyLength; ++i) key[i] = uint8_t(i);
  for (int i = 0; i < 40; ++i) plain[i] = uint8_t(i * 7);
  const uint8_t* ad = reinterpret_cast<const uint8_t*>("header");
  const uint8_t* nonce = reinterpret_cast<const uint8_t*>("nonce0123456789a");
  for (const auto& c : cases) {
    Bytes sealed(kNtsTagSize + c.size), opened(c.size + 1);
    ASSERT_TRUE(kAesSivCmac256.seal(key, ad, 6, nonce, 16, plain, c.size, sealed.data()));
    EXPECT_EQ(sealed, Hex(c.sealed)) << c.size;
    EXPECT_TRUE(kAesSivCmac256.open(key, ad, 6, nonce, 16, sealed.data(), int(sealed.size()), opened.data()));
    EXPECT_EQ(std::memcmp(opened.data(), plain, c.size), 0);
    for (size_t flip : {size_t{0}, sealed.size() - 1}) {
      sealed[flip] ^= 1;
      EXPECT_FALSE(kAesSivCmac256.open(key, ad, 6, nonce, 16, sealed.data(), int(sealed.size()), opened.data()));
      sealed[flip] ^= 1;
    }
    EXPECT_FALSE(kAesSivCmac256.open(key, ad, 5, nonce, 16, sealed.data(), int(sealed.size()), opened.data()));
  }
}

// Key exchange records as hex: type (top bit critical), body length, body.
const char kNext[] = "80010002" "0000", kAead[] = "80040002" "000f", kEnd[] = "80000000";
const char kCookieA[] = "00050003" "aabbcc", kCookieB[] = "00050001" "dd";

TEST(NtsProtocol, KeyExchangeRequest) {
  uint8_t request[kNtsKeRequestSize];
  BuildNtsKeRequest(request);
  EXPECT_EQ(Bytes(request, request + kNtsKeRequestSize), Hex(std::string(kNext) + kAead + kEnd));
  uint8_t c2s[5], s2c[5];
  NtsExporterContext(false, c2s);
  NtsExporterContext(true, s2c);
  EXPECT_EQ(Bytes(c2s, c2s + 5), Hex("0000000f00"));
  EXPECT_EQ(Bytes(s2c, s2c + 5), Hex("0000000f01"));
}

TEST(NtsProtocol, KeyExchangeResponses) {
  const std::string agreed = std::string(kNext) + kAead + kCookieA + kCookieB;
  const std::string filler = "40003fe0" + std::string(2 * 0x3fe0, '0');  // to 16,380 bytes in all
  const struct { std::string records; NtsKeVerdict verdict; int cookies; const char* server; uint16_t port; } cases[] = {
      {agreed + kEnd, NtsKeAgreed, 2, "", 123},
      {agreed + "00060009" "6e74702e74657374" "31" "00070002" "1234" + kEnd, NtsKeAgreed, 2, "ntp.test1", 0x1234},
      {agreed + "40000000" + kEnd, NtsKeAgreed, 2, "", 123},    // an unknown record that is not critical
      {agreed, NtsKeIncomplete, 2, "", 123}, {agreed + "8000", NtsKeIncomplete, 2, "", 123},
      {agreed.substr(0, agreed.size() - 2), NtsKeIncomplete, 1, "", 123},
      // Up to the last byte the reader keeps: an end that fits is read; without one there, no end.
      {agreed + filler, NtsKeIncomplete, 2, "", 123}, {agreed + filler + kEnd, NtsKeAgreed, 2, "", 123},
      {agreed + filler + "40000000", NtsKeFailed, 2, "", 123},
      {agreed + "c0000000" + kEnd, NtsKeFailed, 2, "", 123},    // an unknown critical record
      {std::string(kNext) + kAead + kEnd, NtsKeFailed, 0, "", 123},  // no cookie
      {std::string(kNext) + kCookieA + kEnd, NtsKeFailed, 1, "", 123},  // no AEAD
      {std::string(kAead) + kCookieA + kEnd, NtsKeFailed, 1, "", 123},  // no protocol
      {"80010000" + std::string(kAead) + kCookieA + kEnd, NtsKeFailed, 0, "", 123},  // no protocol agreed
      {"800100040000" "0000" + std::string(kAead) + kCookieA + kEnd, NtsKeFailed, 0, "", 123},
      {"80010002" "8000" + std::string(kAead) + kCookieA + kEnd, NtsKeFailed, 0, "", 123},
      {std::string(kNext) + "80040002" "001e" + kCookieA + kEnd, NtsKeFailed, 0, "", 123},  // another AEAD
      {std::string(kNext) + kNext + kAead + kCookieA + kEnd, NtsKeFailed, 0, "", 123},
      {"80020002" "0001" + agreed + kEnd, NtsKeFailed, 0, "", 123},  // an error
      {agreed + "80030002" "0000" + kEnd, NtsKeFailed, 2, "", 123},  // a warning
      {agreed + "80000001" "00", NtsKeFailed, 2, "", 123},           // End of Message with a body
      {agreed + "00070002" "0000" + kEnd, NtsKeFailed, 2, "", 123},  // port 0
      {agreed + "00060000" + kEnd, NtsKeFailed, 2, "", 123},         // an empty server name
      {agreed + "00060002" "6100" + kEnd, NtsKeFailed, 2, "", 123},  // a NUL in the server name
  };
  for (const auto& c : cases) {
    Bytes data = Hex(c.records);
    NtsKeys keys = {};
    EXPECT_EQ(ParseNtsKeResponse(data.data(), int(data.size()), &keys), c.verdict) << c.records;
    EXPECT_EQ(keys.cookies.count, c.cookies) << c.records;
    EXPECT_STREQ(keys.server, c.server) << c.records;
    EXPECT_EQ(keys.port, c.port) << c.records;
  }
  // All the reader keeps, its last record cut off, and still no end: given up.
  Bytes endless;
  while (endless.size() < size_t(kNtsMaxKeResponse)) for (uint8_t b : Hex(kCookieA)) endless.push_back(b);
  endless.resize(kNtsMaxKeResponse);
  NtsKeys keys = {};
  EXPECT_EQ(ParseNtsKeResponse(endless.data(), int(endless.size()), &keys), NtsKeFailed);
}

TEST(NtsProtocol, CookieJarKeepsTheNewestEight) {
  NtsCookieJar jar = {};
  uint8_t big[kNtsMaxCookieSize + 1] = {};
  PutCookie(jar, big, 0);
  PutCookie(jar, big, kNtsMaxCookieSize + 1);
  EXPECT_EQ(jar.count, 0);
  for (uint8_t i = 1; i <= 10; ++i) PutCookie(jar, &i, 1);
  ASSERT_EQ(jar.count, kNtsMaxCookies);
  EXPECT_EQ(jar.data[0][0], 3);
  EXPECT_EQ(jar.data[7][0], 10);
}

// A server's side of one exchange, as RFC 8915 section 5.7 has it.
struct Server {
  NtsKeys keys = {};
  uint8_t uid[kNtsUidSize], nonce[kNtsNonceSize];
  uint8_t request[kNtsMaxPacketSize] = {0x23};
  int size = 0;

  explicit Server(int cookies) {
    for (int i = 0; i < kNtsKeyLength; ++i) keys.c2s[i] = uint8_t(i), keys.s2c[i] = uint8_t(100 + i);
    for (uint8_t i = 0; i < cookies; ++i) {
      uint8_t cookie[100];
      std::memset(cookie, i, sizeof cookie);
      PutCookie(keys.cookies, cookie, sizeof cookie);
    }
    for (int i = 0; i < kNtsUidSize; ++i) uid[i] = uint8_t(200 + i);
    for (int i = 0; i < kNtsNonceSize; ++i) nonce[i] = uint8_t(50 + i);
    std::memset(request + 40, 0x5A, 8);  // the transmit stamp
    size = AddNtsFields(keys, uid, nonce, kAesSivCmac256, request);
  }
  // A reply echoing the stamp and uid, with these fields before an
  // authenticator that seals the given plain fields (none: no authenticator).
  Bytes Reply(const std::string& before, const std::string* sealedFields, const char* head = "240100") const {
    Bytes out = Hex(head);
    out.resize(kNtpPacketSize);
    std::memcpy(out.data() + 24, request + 40, 8);
    for (uint8_t b : Hex(before)) out.push_back(b);
    if (sealedFields == nullptr) return out;
    Bytes plain = Hex(*sealedFields), sealed(kNtsTagSize + plain.size());
    const size_t at = out.size();
    kAesSivCmac256.seal(keys.s2c, out.data(), int(at), nonce, kNtsNonceSize, plain.data(), int(plain.size()), sealed.data());
    for (uint8_t b : Hex("0404" "0000" "0010" "0000")) out.push_back(b);
    out[at + 7] = uint8_t(sealed.size());
    out.insert(out.end(), nonce, nonce + kNtsNonceSize);
    out.insert(out.end(), sealed.begin(), sealed.end());
    while (out.size() % 4) out.push_back(0);
    out[at + 3] = uint8_t(out.size() - at);
    return out;
  }
  std::string UidField() const {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex = "01040024";
    for (uint8_t b : uid) hex += {kDigits[b >> 4], kDigits[b & 15]};
    return hex;
  }
};

TEST(NtsProtocol, RequestsSpendOneCookieAndAskForTheRest) {
  for (int cookies : {8, 3, 1}) {
    Server server(cookies);
    const int placeholders = kNtsMaxCookies - cookies;
    // Header, identifier, cookie, placeholders of the cookie's size, authenticator.
    ASSERT_EQ(server.size, kNtpPacketSize + 36 + 104 * (1 + placeholders) + 40) << cookies;
    EXPECT_EQ(server.keys.cookies.count, cookies - 1);
    const uint8_t* at = server.request + kNtpPacketSize;
    EXPECT_EQ(Bytes(at, at + 4), Hex("01040024"));
    EXPECT_EQ(std::memcmp(at + 4, server.uid, kNtsUidSize), 0);
    EXPECT_EQ(Bytes(at + 36, at + 41), Hex("0204006800"));  // the oldest cookie, all zeros
    const uint8_t* auth = server.request + server.size - 40;
    EXPECT_EQ(Bytes(auth, auth + 8), Hex("0404002800100010"));
    EXPECT_EQ(std::memcmp(auth + 8, server.nonce, kNtsNonceSize), 0);
    uint8_t plain[1];
    EXPECT_TRUE(kAesSivCmac256.open(server.keys.c2s, server.request, server.size - 40, auth + 8,
                                    kNtsNonceSize, auth + 24, kNtsTagSize, plain));
  }
  Server empty(0);
  EXPECT_EQ(empty.size, 0) << "no cookie, no request";
}

TEST(NtsProtocol, Replies) {
  Server server(2);
  const std::string uid = server.UidField(), cookie = "02040008" "c0c1c2c3", none;
  const struct { Bytes reply; NtsReplyVerdict verdict; int cookies; } cases[] = {
      {server.Reply(uid, &cookie), NtsReplyAuthentic, 2},
      {server.Reply(uid + cookie, &none), NtsReplyAuthentic, 1},  // cookies outside the seal do not count
      {server.Reply(cookie, &cookie), NtsReplyIgnored, 1},         // no identifier
      {server.Reply("01040024" + std::string(64, '0'), &cookie), NtsReplyIgnored, 1},
      {server.Reply(uid, nullptr), NtsReplyForged, 1},             // no authenticator
      {server.Reply(uid, nullptr, "e40000000000000000000000" "4e54534e"), NtsReplyRekey, 1},
      {server.Reply(uid, nullptr, "e40000000000000000000000" "52415445"), NtsReplyForged, 1},
      {server.Reply(uid + "00000008" "00000000", &cookie), NtsReplyAuthentic, 2},  // another field first
      {server.Reply(uid + "00000006", &cookie), NtsReplyForged, 1},  // a length that is no multiple of 4
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    NtsKeys keys = server.keys;
    Bytes reply = cases[i].reply;
    EXPECT_EQ(CheckNtsReply(reply.data(), int(reply.size()), 0x5A5A5A5A5A5A5A5Aull, server.uid, keys, kAesSivCmac256),
              cases[i].verdict) << i;
    EXPECT_EQ(keys.cookies.count, cases[i].cookies) << i;
    // Another stamp is never ours; any flipped bit of an authentic reply is forged.
    EXPECT_EQ(CheckNtsReply(reply.data(), int(reply.size()), 1, server.uid, keys, kAesSivCmac256), NtsReplyIgnored);
    if (cases[i].verdict != NtsReplyAuthentic) continue;
    for (size_t at : {size_t{0}, size_t{47}, reply.size() - 1}) {
      reply[at] ^= 0x10;
      EXPECT_EQ(CheckNtsReply(reply.data(), int(reply.size()), 0x5A5A5A5A5A5A5A5Aull, server.uid, keys, kAesSivCmac256),
                NtsReplyForged) << i << " at " << at;
      reply[at] ^= 0x10;
    }
  }
}

}  // namespace
