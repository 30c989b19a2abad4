// gmi-token: mints a token, or checks one through libAuthSrv.so.
//
//   gmi-token --user alice [--ttl 3600] [--key-index N] [--revision R]
//             [--suspended]
//   gmi-token --check --user alice TOKEN
//
// Keys come from AUTHSRV_KEYS, as for the library.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "authsrv.h"
#include "keyring.h"
#include "result_name.h"
#include "token.h"

namespace {

struct options {
  bool check = false;
  bool suspended = false;
  const char *user = nullptr;
  const char *token = nullptr;
  long long ttl = 3600;
  long long key_index = -1;  // -1: the first key of the ring
  long long revision = 1;
};

int usage() {
  fputs(
      "usage: gmi-token --user USER [--ttl SECONDS] [--key-index N] "
      "[--revision R] [--suspended]\n"
      "       gmi-token --check --user USER TOKEN\n",
      stderr);
  return 2;
}

bool parse_integer(const char *text, long long &value) {
  char *end = nullptr;
  value = strtoll(text, &end, 10);
  return *text != '\0' && *end == '\0';
}

bool parse_options(int argc, char **argv, options &opts) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--check") {
      opts.check = true;
    } else if (arg == "--suspended") {
      opts.suspended = true;
    } else if (arg == "--user" && has_value) {
      opts.user = argv[++i];
    } else if (arg == "--ttl" && has_value) {
      if (!parse_integer(argv[++i], opts.ttl)) return false;
    } else if (arg == "--key-index" && has_value) {
      if (!parse_integer(argv[++i], opts.key_index) || opts.key_index < 0 ||
          opts.key_index > UINT32_MAX) {
        return false;
      }
    } else if (arg == "--revision" && has_value) {
      if (!parse_integer(argv[++i], opts.revision) || opts.revision < 0 ||
          opts.revision > UINT32_MAX) {
        return false;
      }
    } else if (opts.check && opts.token == nullptr && arg.rfind("--", 0) != 0) {
      opts.token = argv[i];
    } else {
      return false;
    }
  }
  return opts.user != nullptr && (opts.check == (opts.token != nullptr));
}

// Prints the code and its reason; exit status 0 only for a passing code.
int check(const options &opts) {
  // InitAuth says on standard error which setting it refused.
  if (!InitAuth(1)) return 2;
  const int32_t code =
      CheckValidGmi(opts.user, static_cast<int32_t>(strlen(opts.user)),
                    opts.token, static_cast<int32_t>(strlen(opts.token)));
  CleanupAuth();
  printf("%d %s\n", code, result_name(code));
  return code == token_valid || code == token_bypassed ? 0 : 1;
}

int mint(const options &opts) {
  keyring keys;
  const char *key_setting = getenv("AUTHSRV_KEYS");
  if (!keys.load(key_setting)) {
    fprintf(stderr, "gmi-token: %s\n", keyring::refusal(key_setting));
    return 2;
  }
  token_fields fields;
  fields.key_index = opts.key_index < 0 ? keys.first_index()
                                        : static_cast<uint32_t>(opts.key_index);
  const hmac_sha256_key *key = keys.find(fields.key_index);
  if (key == nullptr) {
    fprintf(stderr, "gmi-token: no key with index %u\n", fields.key_index);
    return 2;
  }
  const size_t user_length = strlen(opts.user);
  const long long expiry = static_cast<long long>(time(nullptr)) + opts.ttl;
  if (user_length == 0 || user_length > max_user_length || expiry < 0) {
    fputs("gmi-token: the user must be 1 to 256 bytes and the expiry "
          "not before 1970\n", stderr);
    return 2;
  }
  fields.revision = static_cast<uint32_t>(opts.revision);
  fields.user = opts.user;
  fields.expiry = static_cast<uint64_t>(expiry);
  fields.flags = opts.suspended ? flag_suspended : 0;
  puts(mint_token(fields, *key).c_str());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  options opts;
  if (!parse_options(argc, argv, opts)) return usage();
  return opts.check ? check(opts) : mint(opts);
}
