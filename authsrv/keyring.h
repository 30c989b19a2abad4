// The signing keys, by index, read from AUTHSRV_KEYS ("1:<hex>,2:<hex>").
// Two indices side by side let tokens signed with the old key stay valid
// while new ones are minted with the new one.
//
// A keyring is filled once and then only read, from any thread.

#ifndef AUTHSRV_KEYRING_H_
#define AUTHSRV_KEYRING_H_

#include <cstddef>
#include <cstdint>

#include "hmac_sha256.h"

class keyring {
 public:
  static constexpr size_t capacity = 16;

  // Parses a setting; "development" gives the public development key
  // (index 1). False, leaving the ring empty, if the setting is null or
  // empty, or if any entry is malformed: an index repeated, a key of other
  // than 16 to 64 bytes of hex, or too many keys.
  bool load(const char *setting);

  // Why a setting that load() refused was refused, and how to set one, as
  // one line for an operator.
  static const char *refusal(const char *setting);

  const hmac_sha256_key *find(uint32_t index) const;
  // The index of the first key listed; new tokens are signed with it.
  uint32_t first_index() const { return indices_[0]; }
  size_t size() const { return count_; }

 private:
  bool add(const char *entry, size_t length);

  uint32_t indices_[capacity] = {};
  hmac_sha256_key keys_[capacity];
  size_t count_ = 0;
};

#endif  // AUTHSRV_KEYRING_H_
