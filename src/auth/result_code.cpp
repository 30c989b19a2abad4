#include "auth/result_code.h"

namespace {

const char *const named_reasons[] = {
    "",                    // 0
    "SET_BYPASS",          // 1
    "ERROR_INIT",          // 2
    "ERROR_GMI_INVALID",   // 3
    "ERROR_GMI_PARSE",     // 4
    "ERROR_INDEX_PAIR",    // 5
    "ERROR_REV_MISMATCH",  // 6
    "ERROR_UID_MISMATCH",  // 7
    "ERROR_BAD_CHECKSUM",  // 8
    "ERROR_GMI_EXPIRED",   // 9
    "ERROR_LOOP_SUSPENDED" // 10
};

}  // namespace

const char *reason_text(int32_t code) {
  const uint32_t index = static_cast<uint32_t>(code);
  if (index < sizeof(named_reasons) / sizeof(named_reasons[0])) {
    return named_reasons[index];
  }
  return "ERROR_CheckValidGmi";
}
