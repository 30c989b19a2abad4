// What a CheckValidGmi result code means to a client.

#ifndef GMI_AUTH_RESULT_CODE_H_
#define GMI_AUTH_RESULT_CODE_H_

#include <cstdint>

// 0 (valid) and 1 (valid under bypass) are the only passing codes. The code
// is judged as unsigned, so negative codes count as failures.
inline bool is_valid_result(int32_t code) {
  return static_cast<uint32_t>(code) <= 1;
}

// The reason text sent to the client: "" for 0, "SET_BYPASS" for 1, a named
// failure for 2 to 10 and "ERROR_CheckValidGmi" for anything else.
const char *reason_text(int32_t code);

#endif  // GMI_AUTH_RESULT_CODE_H_
