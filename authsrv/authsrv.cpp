// The library's exported entry points. Everything else is hidden.
//
// InitAuth fills the keyring once; after that validations only read it, so
// CheckValidGmi takes no lock and allocates nothing. Bypass and the
// life-cycle state are atomics, so SetBypassOption may run while validations
// do.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <mutex>

#include "authsrv.h"
#include "keyring.h"
#include "token.h"

namespace {

// Version 1.0.0, as major * 10000 + minor * 100 + patch.
constexpr uint32_t library_version = 10000;

enum class life { uninitialised, ready, cleaned_up };

std::atomic<life> state{life::uninitialised};
std::mutex init_mutex;  // serialises InitAuth; validations never take it
keyring keys;
uint32_t accepted_revision = 1;
std::atomic<bool> bypass{false};

bool load_revision(const char *setting) {
  if (setting == nullptr || *setting == '\0') return true;
  char *end = nullptr;
  const unsigned long value = strtoul(setting, &end, 10);
  if (*end != '\0' || value > UINT32_MAX || setting[0] == '-') return false;
  accepted_revision = static_cast<uint32_t>(value);
  return true;
}

int32_t check(const char *user, int32_t user_length, const char *token,
              int32_t token_length) {
  if (state.load(std::memory_order_acquire) != life::ready) {
    return token_not_initialised;
  }
  if (bypass.load(std::memory_order_relaxed)) return token_bypassed;
  if (user == nullptr || token == nullptr || user_length < 0 ||
      token_length < 0) {
    return token_invalid;
  }
  return check_token(keys, accepted_revision,
                     std::string_view(user, static_cast<size_t>(user_length)),
                     std::string_view(token, static_cast<size_t>(token_length)),
                     static_cast<uint64_t>(time(nullptr)));
}

// Narrows a wide text into out; false if it is too long or not ASCII.
bool narrow(const wchar_t *text, int32_t length, char *out, size_t capacity) {
  if (text == nullptr || length < 0 || static_cast<size_t>(length) > capacity) {
    return false;
  }
  for (int32_t i = 0; i < length; ++i) {
    if (text[i] < 0 || text[i] > 0x7f) return false;
    out[i] = static_cast<char>(text[i]);
  }
  return true;
}

}  // namespace

// Reads AUTHSRV_KEYS and AUTHSRV_REVISION once; false, with a line on
// standard error, if either is missing or malformed, or if the library was
// already cleaned up. mode is reserved.
extern "C" bool InitAuth(int /*mode*/) {
  std::lock_guard<std::mutex> lock(init_mutex);
  switch (state.load()) {
    case life::ready: return true;
    case life::cleaned_up: return false;
    case life::uninitialised: break;
  }
  const char *key_setting = getenv("AUTHSRV_KEYS");
  if (!keys.load(key_setting)) {
    // The caller only learns false; the operator needs to know which
    // setting to fix. Standard error, as the caller's standard output is
    // its own.
    fprintf(stderr, "libAuthSrv: %s\n", keyring::refusal(key_setting));
    return false;
  }
  if (!load_revision(getenv("AUTHSRV_REVISION"))) {
    fputs("libAuthSrv: AUTHSRV_REVISION is malformed: it must be a "
          "revision number\n", stderr);
    return false;
  }
  state.store(life::ready, std::memory_order_release);
  return true;
}

extern "C" int32_t CheckValidGmi(const char *user, int32_t user_length,
                                     const char *token, int32_t token_length) {
  return check(user, user_length, token, token_length);
}

// NUL-terminated form of CheckValidGmi.
extern "C" int32_t IsValidGmi(const char *user, const char *token) {
  if (user == nullptr || token == nullptr) return token_invalid;
  return check(user, static_cast<int32_t>(strnlen(user, max_user_length + 1)),
               token,
               static_cast<int32_t>(strnlen(token, max_token_length + 1)));
}

// Wide-character form of CheckValidGmi; tokens and users are ASCII.
extern "C" int32_t CheckValidGmiW(const wchar_t *user, int32_t user_length,
                                      const wchar_t *token,
                                      int32_t token_length) {
  char narrow_user[max_user_length];
  char narrow_token[max_token_length];
  if (!narrow(user, user_length, narrow_user, sizeof(narrow_user)) ||
      !narrow(token, token_length, narrow_token, sizeof(narrow_token))) {
    return state.load() == life::ready ? token_invalid : token_not_initialised;
  }
  return check(narrow_user, user_length, narrow_token, token_length);
}

extern "C" int32_t IsValidGmiW(const wchar_t *user, const wchar_t *token) {
  if (user == nullptr || token == nullptr) return token_invalid;
  return CheckValidGmiW(
      user, static_cast<int32_t>(wcsnlen(user, max_user_length + 1)), token,
      static_cast<int32_t>(wcsnlen(token, max_token_length + 1)));
}

extern "C" bool SetBypassOption(int on) {
  bypass.store(on != 0);
  return true;
}

// Later validations answer ERROR_INIT; the library cannot be initialised
// again.
extern "C" void CleanupAuth() {
  std::lock_guard<std::mutex> lock(init_mutex);
  state.store(life::cleaned_up, std::memory_order_release);
}

extern "C" uint32_t GetAuthVersion() { return library_version; }
