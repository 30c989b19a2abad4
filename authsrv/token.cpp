#include "token.h"

#include <openssl/crypto.h>

#include "base64url.h"

namespace {

constexpr std::string_view prefix = "GMI1.";
constexpr size_t field_count = 6;  // after the prefix

bool parse_number(std::string_view text, uint64_t limit, uint64_t &value) {
  if (text.empty() || text.size() > 20) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (limit - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

bool parse_u32(std::string_view text, uint32_t &value) {
  uint64_t wide = 0;
  if (!parse_number(text, UINT32_MAX, wide)) return false;
  value = static_cast<uint32_t>(wide);
  return true;
}

// Splits the part after the prefix at dots; false unless there are exactly
// field_count fields.
bool split_fields(std::string_view body, std::string_view (&fields)[field_count]) {
  size_t count = 0;
  size_t start = 0;
  for (;;) {
    const size_t dot = body.find('.', start);
    if (count == field_count) return false;
    fields[count++] = body.substr(start, dot == std::string_view::npos
                                             ? std::string_view::npos
                                             : dot - start);
    if (dot == std::string_view::npos) return count == field_count;
    start = dot + 1;
  }
}

struct parsed_token {
  uint32_t key_index;
  uint32_t revision;
  uint8_t user[max_user_length];
  size_t user_length;
  uint64_t expiry;
  uint32_t flags;
  uint8_t signature[hmac_sha256_size];
  size_t signed_length;  // bytes of the token the signature covers
};

bool parse(std::string_view token, parsed_token &out) {
  std::string_view fields[field_count];
  if (!split_fields(token.substr(prefix.size()), fields)) return false;
  const long user_length =
      base64url_decode(fields[2], out.user, sizeof(out.user));
  const long signature_length =
      base64url_decode(fields[5], out.signature, sizeof(out.signature));
  if (user_length <= 0 || signature_length != hmac_sha256_size) return false;
  out.user_length = static_cast<size_t>(user_length);
  out.signed_length = token.size() - fields[5].size() - 1;
  return parse_u32(fields[0], out.key_index) &&
         parse_u32(fields[1], out.revision) &&
         parse_number(fields[3], UINT64_MAX, out.expiry) &&
         parse_u32(fields[4], out.flags) && (out.flags & ~flag_suspended) == 0;
}

}  // namespace

std::string mint_token(const token_fields &fields, const hmac_sha256_key &key) {
  std::string token(prefix);
  token += std::to_string(fields.key_index) + '.' +
           std::to_string(fields.revision) + '.' +
           base64url_encode(reinterpret_cast<const uint8_t *>(fields.user.data()),
                            fields.user.size()) +
           '.' + std::to_string(fields.expiry) + '.' +
           std::to_string(fields.flags);
  uint8_t signature[hmac_sha256_size];
  key.sign(token.data(), token.size(), signature);
  return token + '.' + base64url_encode(signature, sizeof(signature));
}

token_result check_token(const keyring &keys, uint32_t accepted_revision,
                         std::string_view user, std::string_view token,
                         uint64_t now) {
  if (token.empty() || token.size() > max_token_length ||
      token.substr(0, prefix.size()) != prefix) {
    return token_invalid;
  }
  parsed_token parsed;
  if (!parse(token, parsed)) return token_unparsable;

  const hmac_sha256_key *key = keys.find(parsed.key_index);
  if (key == nullptr) return token_unknown_key;
  uint8_t expected[hmac_sha256_size];
  key->sign(token.data(), parsed.signed_length, expected);
  if (CRYPTO_memcmp(expected, parsed.signature, sizeof(expected)) != 0) {
    return token_bad_signature;
  }

  if (parsed.revision != accepted_revision) return token_wrong_revision;
  if (user.size() != parsed.user_length ||
      user.compare(0, user.size(),
                   reinterpret_cast<const char *>(parsed.user),
                   parsed.user_length) != 0) {
    return token_wrong_user;
  }
  if (now >= parsed.expiry) return token_expired;
  if (parsed.flags & flag_suspended) return token_suspended;
  return token_valid;
}
