#include "result_name.h"

#include "token.h"

const char *result_name(int32_t code) {
  switch (code) {
    case token_valid: return "valid";
    case token_bypassed: return "SET_BYPASS";
    case token_not_initialised: return "ERROR_INIT";
    case token_invalid: return "ERROR_GMI_INVALID";
    case token_unparsable: return "ERROR_GMI_PARSE";
    case token_unknown_key: return "ERROR_INDEX_PAIR";
    case token_wrong_revision: return "ERROR_REV_MISMATCH";
    case token_wrong_user: return "ERROR_UID_MISMATCH";
    case token_bad_signature: return "ERROR_BAD_CHECKSUM";
    case token_expired: return "ERROR_GMI_EXPIRED";
    case token_suspended: return "ERROR_LOOP_SUSPENDED";
    default: return "ERROR_CheckValidGmi";
  }
}
