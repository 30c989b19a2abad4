// CheckValidGmi per call, for the outcomes that do the most work: a valid
// token (full HMAC and every check) and a token for another user.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "authsrv.h"
#include "keyring.h"
#include "token.h"

namespace {

std::string development_token(const std::string &user) {
  keyring keys;
  keys.load("development");
  token_fields fields;
  fields.key_index = 1;
  fields.revision = 1;
  fields.user = user;
  fields.expiry = static_cast<uint64_t>(time(nullptr) + 3600);
  return mint_token(fields, *keys.find(1));
}

void check_loop(benchmark::State &state, const char *user, int32_t expected) {
  static const bool initialised = (setenv("AUTHSRV_KEYS", "development", 1), InitAuth(1));
  const std::string token = development_token("alice");
  const int32_t user_length = static_cast<int32_t>(strlen(user));
  const int32_t token_length = static_cast<int32_t>(token.size());
  for (auto _ : state) {
    const int32_t code = CheckValidGmi(user, user_length, token.c_str(), token_length);
    benchmark::DoNotOptimize(code);
    if (code != expected || !initialised) {
      state.SkipWithError("unexpected result code");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_CheckValidGmi_valid(benchmark::State &state) { check_loop(state, "alice", 0); }
void BM_CheckValidGmi_other_user(benchmark::State &state) { check_loop(state, "bob", 7); }

BENCHMARK(BM_CheckValidGmi_valid)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_CheckValidGmi_other_user)->Threads(1);

}  // namespace

BENCHMARK_MAIN();
