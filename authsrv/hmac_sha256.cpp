#include "hmac_sha256.h"

#include <openssl/crypto.h>

#include <cstring>

hmac_sha256_key::hmac_sha256_key(const uint8_t *key, size_t key_length) {
  uint8_t block[SHA256_CBLOCK] = {};
  if (key_length > sizeof(block)) {
    SHA256(key, key_length, block);
  } else {
    memcpy(block, key, key_length);
  }
  uint8_t pad[SHA256_CBLOCK];
  for (size_t i = 0; i < sizeof(pad); ++i) pad[i] = block[i] ^ 0x36;
  SHA256_Init(&inner_);
  SHA256_Update(&inner_, pad, sizeof(pad));
  for (size_t i = 0; i < sizeof(pad); ++i) pad[i] = block[i] ^ 0x5c;
  SHA256_Init(&outer_);
  SHA256_Update(&outer_, pad, sizeof(pad));
  OPENSSL_cleanse(block, sizeof(block));
  OPENSSL_cleanse(pad, sizeof(pad));
}

void hmac_sha256_key::sign(const char *message, size_t length,
                           uint8_t out[hmac_sha256_size]) const {
  SHA256_CTX ctx = inner_;
  SHA256_Update(&ctx, message, length);
  uint8_t inner_digest[hmac_sha256_size];
  SHA256_Final(inner_digest, &ctx);
  ctx = outer_;
  SHA256_Update(&ctx, inner_digest, sizeof(inner_digest));
  SHA256_Final(out, &ctx);
}
