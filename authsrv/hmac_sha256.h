// HMAC-SHA256 with the key's padded blocks hashed once, up front, so that
// each signature costs only the message's own compression rounds and no
// allocation. A prepared key is immutable and may be used from any number of
// threads at once.

#ifndef AUTHSRV_HMAC_SHA256_H_
#define AUTHSRV_HMAC_SHA256_H_

#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level SHA256_* calls
#include <openssl/sha.h>

#include <cstddef>
#include <cstdint>

constexpr size_t hmac_sha256_size = 32;

class hmac_sha256_key {
 public:
  hmac_sha256_key() = default;
  hmac_sha256_key(const uint8_t *key, size_t key_length);

  void sign(const char *message, size_t length,
            uint8_t out[hmac_sha256_size]) const;

 private:
  SHA256_CTX inner_{};  // state after the key xor ipad block
  SHA256_CTX outer_{};  // state after the key xor opad block
};

#endif  // AUTHSRV_HMAC_SHA256_H_
