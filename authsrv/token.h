// The signed token format:
//
//   GMI1.<key index>.<revision>.<user>.<expiry>.<flags>.<signature>
//
// key index, revision, expiry (unix seconds) and flags are unsigned decimal
// numbers; user is the user's bytes in unpadded base64url; signature is the
// HMAC-SHA256, in unpadded base64url, of everything before its own dot,
// under the key of that index. Flag bit 0 marks a suspended token; no other
// bit is defined. Every character is one a query string carries unescaped.

#ifndef AUTHSRV_TOKEN_H_
#define AUTHSRV_TOKEN_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "keyring.h"

// CheckValidGmi's result codes.
enum token_result : int32_t {
  token_valid = 0,
  token_bypassed = 1,
  token_not_initialised = 2,
  token_invalid = 3,         // empty, oversized or not of this format
  token_unparsable = 4,
  token_unknown_key = 5,
  token_wrong_revision = 6,
  token_wrong_user = 7,
  token_bad_signature = 8,
  token_expired = 9,
  token_suspended = 10,
};

constexpr size_t max_token_length = 1024;
constexpr size_t max_user_length = 256;
constexpr uint32_t flag_suspended = 1;

struct token_fields {
  uint32_t key_index = 0;
  uint32_t revision = 0;
  std::string user;
  uint64_t expiry = 0;
  uint32_t flags = 0;
};

std::string mint_token(const token_fields &fields, const hmac_sha256_key &key);

// Judges token for user at time now. Checks run cheapest and least
// revealing first: shape, key, signature, and only then what the signed
// fields say (revision, user, expiry, suspension). Allocates nothing.
token_result check_token(const keyring &keys, uint32_t accepted_revision,
                         std::string_view user, std::string_view token,
                         uint64_t now);

#endif  // AUTHSRV_TOKEN_H_
