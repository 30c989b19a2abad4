// The eight entry points of libAuthSrv.so, for programs that link it
// directly. The service itself never includes this: it resolves the same
// names at run time.

#ifndef AUTHSRV_AUTHSRV_H_
#define AUTHSRV_AUTHSRV_H_

#include <cstdint>
#include <cwchar>

#define AUTHSRV_EXPORT __attribute__((visibility("default")))

extern "C" {
AUTHSRV_EXPORT bool InitAuth(int mode);
AUTHSRV_EXPORT int32_t IsValidGmi(const char *user, const char *token);
AUTHSRV_EXPORT int32_t IsValidGmiW(const wchar_t *user, const wchar_t *token);
AUTHSRV_EXPORT int32_t CheckValidGmi(const char *user, int32_t user_length,
                                     const char *token, int32_t token_length);
AUTHSRV_EXPORT int32_t CheckValidGmiW(const wchar_t *user, int32_t user_length,
                                      const wchar_t *token,
                                      int32_t token_length);
AUTHSRV_EXPORT bool SetBypassOption(int on);
AUTHSRV_EXPORT void CleanupAuth();
AUTHSRV_EXPORT uint32_t GetAuthVersion();
}

#endif  // AUTHSRV_AUTHSRV_H_
