// The entry points of the authentication library, libAuthSrv.so.
//
// GetAPIs() loads the library from the working directory and fills the table
// once, on the main thread, before any worker thread exists. After that the
// table is only read, from any thread, without locks. The library itself must
// be safe for concurrent calls: we never serialise calls into it.

#ifndef GMI_AUTH_AUTH_LIBRARY_H_
#define GMI_AUTH_AUTH_LIBRARY_H_

#include <cstdint>

struct auth_library {
  bool (*InitAuth)(int mode);
  void (*IsValidGmi)();      // resolved so a partial library fails early;
  void (*IsValidGmiW)();     // the service never calls these three
  int32_t (*CheckValidGmi)(const char *user, int32_t user_length,
                           const char *token, int32_t token_length);
  void (*CheckValidGmiW)();
  bool (*SetBypassOption)(int on);
  void (*CleanupAuth)();
  uint32_t (*GetAuthVersion)();
};

// Opens "./libAuthSrv.so" and resolves the eight entry points in order.
// On failure writes the loader's error line and returns false; the library is
// never unloaded, on failure or otherwise.
bool GetAPIs();

// The table GetAPIs() filled.
const auth_library &auth();

#endif  // GMI_AUTH_AUTH_LIBRARY_H_
