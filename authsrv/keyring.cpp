#include "keyring.h"

#include <openssl/crypto.h>

#include <cstring>

namespace {

// The public development key, loaded only when asked for by name, so that a
// checkout validates tokens out of the box while an install that lost its
// key file (or an empty secret) refuses instead of trusting a key anyone
// can read here. Never deploy with it.
const char development_name[] = "development";
const char development_setting[] =
    "1:6465762d6f6e6c792d6b65792d646f2d6e6f742d6465706c6f792d3031323334";

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool keyring::load(const char *setting) {
  count_ = 0;
  if (setting == nullptr || *setting == '\0') return false;
  if (strcmp(setting, development_name) == 0) setting = development_setting;
  const char *entry = setting;
  for (;;) {
    const char *end = strchr(entry, ',');
    const size_t length = end ? static_cast<size_t>(end - entry) : strlen(entry);
    if (!add(entry, length)) {
      count_ = 0;
      return false;
    }
    if (end == nullptr) return true;
    entry = end + 1;
  }
}

const char *keyring::refusal(const char *setting) {
  if (setting == nullptr || *setting == '\0') {
    return "AUTHSRV_KEYS is not set, so no token can be checked: set it to "
           "INDEX:HEX[,INDEX:HEX...] (16 to 64 bytes of hex each), or to "
           "\"development\" for the public development key (never in "
           "production)";
  }
  return "AUTHSRV_KEYS is malformed: it must be INDEX:HEX[,INDEX:HEX...], "
         "distinct indices, 16 to 64 bytes of hex each, at most 16 keys, or "
         "\"development\"";
}

bool keyring::add(const char *entry, size_t length) {
  if (count_ == capacity) return false;
  const char *colon = static_cast<const char *>(memchr(entry, ':', length));
  if (colon == nullptr || colon == entry || colon - entry > 9) return false;
  uint32_t index = 0;
  for (const char *p = entry; p < colon; ++p) {
    if (*p < '0' || *p > '9') return false;
    index = index * 10 + static_cast<uint32_t>(*p - '0');
  }
  if (find(index) != nullptr) return false;

  const char *hex = colon + 1;
  const size_t hex_length = length - static_cast<size_t>(hex - entry);
  uint8_t key[64];
  if (hex_length % 2 != 0 || hex_length < 32 || hex_length > 2 * sizeof(key)) {
    return false;
  }
  for (size_t i = 0; i < hex_length / 2; ++i) {
    const int high = hex_value(hex[2 * i]);
    const int low = hex_value(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    key[i] = static_cast<uint8_t>(high << 4 | low);
  }
  indices_[count_] = index;
  keys_[count_] = hmac_sha256_key(key, hex_length / 2);
  OPENSSL_cleanse(key, sizeof(key));
  ++count_;
  return true;
}

const hmac_sha256_key *keyring::find(uint32_t index) const {
  for (size_t i = 0; i < count_; ++i) {
    if (indices_[i] == index) return &keys_[i];
  }
  return nullptr;
}
