// A test double for libAuthSrv.so, built in several variants (see
// CMakeLists.txt) to produce what the real stand-in cannot: a missing entry
// point, refusals, a chosen version, any result code.
//
// CheckValidGmi answers the code a token of the form "code:N" names, takes
// N milliseconds over a token "sleep:N", answers 0 for any other token, and
// throws for the token "throw". Every call is appended
// to ./auth_calls.log in the working directory, so tests can see exactly
// what crossed the library boundary.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#ifndef AUTH_VERSION
#define AUTH_VERSION 7u
#endif
#ifndef INIT_RESULT
#define INIT_RESULT true
#endif
#ifndef BYPASS_OFF_RESULT
#define BYPASS_OFF_RESULT true
#endif
#ifndef BYPASS_ON_RESULT
#define BYPASS_ON_RESULT true
#endif

#define DOUBLE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::mutex journal_mutex;

void journal(const std::string &line) {
  std::lock_guard<std::mutex> lock(journal_mutex);
  if (FILE *file = fopen("auth_calls.log", "a")) {
    fprintf(file, "%s\n", line.c_str());
    fclose(file);
  }
}

[[maybe_unused]] std::string hex(const char *bytes, int32_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (int32_t i = 0; i < length; ++i) {
    const unsigned char byte = static_cast<unsigned char>(bytes[i]);
    text += digits[byte >> 4];
    text += digits[byte & 0xf];
  }
  return text;
}

}  // namespace

#ifndef OMIT_InitAuth
DOUBLE_EXPORT bool InitAuth(int mode) {
  journal("InitAuth " + std::to_string(mode));
  return INIT_RESULT;
}
#endif

#ifndef OMIT_IsValidGmi
DOUBLE_EXPORT int IsValidGmi() { return 0; }
#endif

#ifndef OMIT_IsValidGmiW
DOUBLE_EXPORT int IsValidGmiW() { return 0; }
#endif

#ifndef OMIT_CheckValidGmi
// Logged as: CheckValidGmi <user hex> <user length> <token hex> <token
// length> <"nul" if both texts are NUL-terminated>.
DOUBLE_EXPORT int32_t CheckValidGmi(const char *user, int32_t user_length,
                                    const char *token, int32_t token_length) {
  const bool terminated = user[user_length] == '\0' && token[token_length] == '\0';
  journal("CheckValidGmi " + hex(user, user_length) + " " +
          std::to_string(user_length) + " " + hex(token, token_length) + " " +
          std::to_string(token_length) + (terminated ? " nul" : " unterminated"));
#ifdef EXACT_BYTES_ONLY
  // Valid for one token and user only, both holding every byte that a query
  // or form would split, turn into a space or decode unless escaped; any
  // change on the way is ERROR_GMI_INVALID.
  const bool exact = std::string(token, static_cast<size_t>(token_length)) ==
                         "tok=en+with&odd% bytes" &&
                     std::string(user, static_cast<size_t>(user_length)) ==
                         "us=er+&% one";
  return exact ? 0 : 3;
#endif
  if (strcmp(token, "throw") == 0) throw std::runtime_error("secret detail");
  if (strncmp(token, "code:", 5) == 0) {
    return static_cast<int32_t>(strtol(token + 5, nullptr, 10));
  }
  if (strncmp(token, "sleep:", 6) == 0) {
    std::this_thread::sleep_for(
        std::chrono::milliseconds(strtol(token + 6, nullptr, 10)));
  }
  return 0;
}
#endif

#ifndef OMIT_CheckValidGmiW
DOUBLE_EXPORT int CheckValidGmiW() { return 0; }
#endif

#ifndef OMIT_SetBypassOption
DOUBLE_EXPORT bool SetBypassOption(int on) {
  journal("SetBypassOption " + std::to_string(on));
  return on ? BYPASS_ON_RESULT : BYPASS_OFF_RESULT;
}
#endif

#ifndef OMIT_CleanupAuth
DOUBLE_EXPORT void CleanupAuth() { journal("CleanupAuth"); }
#endif

#ifndef OMIT_GetAuthVersion
DOUBLE_EXPORT uint32_t GetAuthVersion() { return AUTH_VERSION; }
#endif
