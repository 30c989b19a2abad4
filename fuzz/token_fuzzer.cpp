// Fuzz target for the stand-in library's token format and keyring setting
// (authsrv/token.h, authsrv/keyring.h): a client controls every token byte,
// an operator the AUTHSRV_KEYS text.
//
// The first input byte picks one of three checks; the rest feeds it:
//   0  arbitrary user and token bytes against the development keyring, which
//      is what the library verifies with when AUTHSRV_KEYS=development;
//   1  a token minted from fuzzed fields is judged exactly as those fields
//      say, and any one-byte change to it fails before its fields are read;
//   2  a fuzzed AUTHSRV_KEYS text loads wholly or not at all, and a token
//      signed with its first key verifies through it.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "keyring.h"
#include "require.h"
#include "token.h"

namespace {

constexpr uint32_t accepted_revision = 1;
// A fixed clock keeps each input's result the same from run to run.
constexpr uint64_t fixed_now = 1800000000;

const keyring &development_ring() {
  static const keyring ring = [] {
    keyring loaded;
    require(loaded.load("development"), "the development key loads");
    return loaded;
  }();
  return ring;
}

bool fails_before_fields_are_read(token_result result) {
  return result == token_invalid || result == token_unparsable ||
         result == token_unknown_key || result == token_bad_signature;
}

void check_arbitrary_token(FuzzedDataProvider &input) {
  const std::string user = input.ConsumeRandomLengthString(max_user_length + 1);
  const std::string token = input.ConsumeRemainingBytesAsString();
  const keyring &ring = development_ring();
  const token_result result =
      check_token(ring, accepted_revision, user, token, fixed_now);

  require(result >= token_valid && result <= token_suspended,
          "the result is one of the library's codes");
  require(result != token_bypassed && result != token_not_initialised,
          "bypass and initialisation are the entry points' business");
  const bool wrong_shape = token.empty() || token.size() > max_token_length ||
                           token.compare(0, 5, "GMI1.") != 0;
  require(wrong_shape == (result == token_invalid),
          "ERROR_GMI_INVALID exactly for an empty, oversized or unprefixed "
          "token");
  require(result == check_token(ring, accepted_revision, user, token,
                                fixed_now),
          "the same token judged twice gives the same result");
  if (fails_before_fields_are_read(result)) {
    // Nothing a client claims may change the verdict on a token whose
    // signature does not hold: no oracle for users, revisions or clocks.
    require(result == check_token(ring, accepted_revision + 1, user + "x",
                                  token, 0),
            "a token failing shape, key or signature fails the same way "
            "whatever the user, revision or time");
  }
}

// What check_token must answer for a token minted from fields, in the order
// it checks them.
token_result expected_result(const token_fields &fields, bool key_known,
                             std::string_view claimed_user, uint64_t now) {
  if ((fields.flags & ~flag_suspended) != 0) return token_unparsable;
  if (!key_known) return token_unknown_key;
  if (fields.revision != accepted_revision) return token_wrong_revision;
  if (claimed_user != fields.user) return token_wrong_user;
  if (now >= fields.expiry) return token_expired;
  if ((fields.flags & flag_suspended) != 0) return token_suspended;
  return token_valid;
}

token_fields fuzzed_fields(FuzzedDataProvider &input) {
  token_fields fields;
  fields.key_index = input.ConsumeBool() ? development_ring().first_index()
                                         : input.ConsumeIntegral<uint32_t>();
  fields.revision = input.ConsumeBool() ? accepted_revision
                                        : input.ConsumeIntegral<uint32_t>();
  fields.expiry = input.ConsumeIntegral<uint64_t>();
  fields.flags = input.ConsumeBool() ? input.ConsumeIntegralInRange<uint32_t>(0, 1)
                                     : input.ConsumeIntegral<uint32_t>();
  fields.user = input.ConsumeRandomLengthString(max_user_length);
  if (fields.user.empty()) fields.user = "u";  // minting needs one byte
  return fields;
}

void check_minted_token(FuzzedDataProvider &input) {
  const keyring &ring = development_ring();
  const token_fields fields = fuzzed_fields(input);
  const hmac_sha256_key *key = ring.find(fields.key_index);
  // A token naming an index without a key still needs some signature.
  const hmac_sha256_key &signing_key =
      key ? *key : *ring.find(ring.first_index());
  const std::string token = mint_token(fields, signing_key);
  const std::string claimed_user =
      input.ConsumeBool() ? fields.user
                          : input.ConsumeRandomLengthString(max_user_length);
  const uint64_t now = input.ConsumeIntegral<uint64_t>();

  require(check_token(ring, accepted_revision, claimed_user, token, now) ==
              expected_result(fields, key != nullptr, claimed_user, now),
          "a minted token is judged as its fields say");

  std::string changed = token;
  const size_t position =
      input.ConsumeIntegralInRange<size_t>(0, changed.size() - 1);
  changed[position] = static_cast<char>(input.ConsumeIntegral<uint8_t>());
  if (changed == token) return;
  require(fails_before_fields_are_read(check_token(
              ring, accepted_revision, claimed_user, changed, now)),
          "a token with any byte changed fails on shape, key or signature");
}

void check_keyring_setting(FuzzedDataProvider &input) {
  const std::string setting = input.ConsumeRemainingBytesAsString();
  keyring ring;
  if (!ring.load(setting.c_str())) {
    require(ring.size() == 0, "a refused setting leaves no key behind");
    return;
  }
  require(ring.size() >= 1 && ring.size() <= keyring::capacity,
          "a loaded ring holds 1 to 16 keys");
  const hmac_sha256_key *first = ring.find(ring.first_index());
  require(first != nullptr, "the first index listed has a key");

  token_fields fields;
  fields.key_index = ring.first_index();
  fields.revision = accepted_revision;
  fields.user = "alice";
  fields.expiry = fixed_now + 3600;
  require(check_token(ring, accepted_revision, "alice",
                      mint_token(fields, *first), fixed_now) == token_valid,
          "a token signed with the first key verifies through the ring");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  FuzzedDataProvider input(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0: check_arbitrary_token(input); break;
    case 1: check_minted_token(input); break;
    case 2: check_keyring_setting(input); break;
  }
  return 0;
}
