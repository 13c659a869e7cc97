// AES-SIV-CMAC-256 (RFC 5297) built from OpenSSL's AES-CMAC and AES-CTR.
// OpenSSL's own AES-SIV makes no tag for an empty text, which is what every
// request seals.
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "core/nts_protocol.h"

namespace {

constexpr int kBlock = 16;
constexpr int kHalfKey = 16;  // the first half keys the CMAC, the second the counter mode

// CMAC over first, then second (optional): the second is the xored tail.
bool RunCmac(EVP_MAC_CTX* context, const uint8_t* key, const uint8_t* first, int firstSize,
             const uint8_t* second, int secondSize, uint8_t (&out)[kBlock]) {
  char cipher[] = "AES-128-CBC";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher, 0),
                         OSSL_PARAM_construct_end()};
  size_t size = 0;
  return EVP_MAC_init(context, key, kHalfKey, params) == 1 &&
         EVP_MAC_update(context, first, static_cast<size_t>(firstSize)) == 1 &&
         (secondSize == 0 || EVP_MAC_update(context, second, static_cast<size_t>(secondSize)) == 1) &&
         EVP_MAC_final(context, out, &size, kBlock) == 1 && size == kBlock;
}

// Doubling in GF(2^128), as S2V uses it.
void Double(uint8_t (&d)[kBlock]) {
  const uint8_t carry = d[0] >> 7;
  for (int i = 0; i < kBlock - 1; ++i) d[i] = static_cast<uint8_t>(d[i] << 1 | d[i + 1] >> 7);
  d[kBlock - 1] = static_cast<uint8_t>(d[kBlock - 1] << 1 ^ (carry ? 0x87 : 0));
}

// S2V over the associated data, the nonce and the text: the synthetic IV.
bool S2vWith(EVP_MAC_CTX* cmac, const uint8_t* key, const uint8_t* ad, int adSize,
             const uint8_t* nonce, int nonceSize, const uint8_t* text, int textSize,
             uint8_t (&iv)[kBlock]) {
  uint8_t d[kBlock] = {}, mac[kBlock];
  if (!RunCmac(cmac, key, d, kBlock, nullptr, 0, d)) return false;
  const uint8_t* items[] = {ad, nonce};
  const int sizes[] = {adSize, nonceSize};
  for (int i = 0; i < 2; ++i) {
    if (!RunCmac(cmac, key, items[i], sizes[i], nullptr, 0, mac)) return false;
    Double(d);
    for (int j = 0; j < kBlock; ++j) d[j] ^= mac[j];
  }
  if (textSize >= kBlock) {
    const int head = textSize - kBlock;
    for (int j = 0; j < kBlock; ++j) d[j] ^= text[head + j];
    return RunCmac(cmac, key, text, head, d, kBlock, iv);
  }
  Double(d);
  for (int j = 0; j < textSize; ++j) d[j] ^= text[j];
  d[textSize] ^= 0x80;
  return RunCmac(cmac, key, d, kBlock, nullptr, 0, iv);
}

bool S2v(const uint8_t* key, const uint8_t* ad, int adSize, const uint8_t* nonce, int nonceSize,
         const uint8_t* text, int textSize, uint8_t (&iv)[kBlock]) {
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
  EVP_MAC_CTX* context = mac != nullptr ? EVP_MAC_CTX_new(mac) : nullptr;
  bool ok = context != nullptr && S2vWith(context, key, ad, adSize, nonce, nonceSize, text, textSize, iv);
  EVP_MAC_CTX_free(context);
  EVP_MAC_free(mac);
  return ok;
}

// AES-128-CTR from the IV with bits 63 and 31 cleared.
bool Ctr(const uint8_t* key, const uint8_t (&iv)[kBlock], const uint8_t* in, int size, uint8_t* out) {
  if (size == 0) return true;
  uint8_t counter[kBlock];
  for (int j = 0; j < kBlock; ++j) counter[j] = iv[j];
  counter[8] &= 0x7F;
  counter[12] &= 0x7F;
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  int done = 0, last = 0;
  bool ok = context != nullptr &&
            EVP_EncryptInit_ex(context, EVP_aes_128_ctr(), nullptr, key + kHalfKey, counter) == 1 &&
            EVP_EncryptUpdate(context, out, &done, in, size) == 1 &&
            EVP_EncryptFinal_ex(context, out + done, &last) == 1;
  EVP_CIPHER_CTX_free(context);
  return ok;
}

bool Seal(const uint8_t* key, const uint8_t* ad, int adSize, const uint8_t* nonce, int nonceSize,
          const uint8_t* plain, int plainSize, uint8_t* sealed) {
  uint8_t iv[kBlock];
  if (!S2v(key, ad, adSize, nonce, nonceSize, plain, plainSize, iv)) return false;
  for (int j = 0; j < kBlock; ++j) sealed[j] = iv[j];
  return Ctr(key, iv, plain, plainSize, sealed + kBlock);
}

bool Open(const uint8_t* key, const uint8_t* ad, int adSize, const uint8_t* nonce, int nonceSize,
          const uint8_t* sealed, int sealedSize, uint8_t* plain) {
  if (sealedSize < kBlock) return false;
  uint8_t iv[kBlock], check[kBlock];
  for (int j = 0; j < kBlock; ++j) iv[j] = sealed[j];
  const int size = sealedSize - kBlock;
  return Ctr(key, iv, sealed + kBlock, size, plain) &&
         S2v(key, ad, adSize, nonce, nonceSize, plain, size, check) &&
         CRYPTO_memcmp(check, iv, kBlock) == 0;
}

}  // namespace

const NtsAead kAesSivCmac256 = {Seal, Open};
