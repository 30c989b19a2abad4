// Every reason a denial can carry, as sent in X-GMI-Reason and counted in
// gmi_authz_denials_total: first the service's reasons for an invalid
// token, then those the companion gives without asking it. A closed list,
// so that the metric's labels are known from the start.

#ifndef GMI_AUTHZ_REASONS_H_
#define GMI_AUTHZ_REASONS_H_

#include <cstddef>
#include <string_view>

constexpr std::string_view deny_reasons[] = {
    "MISSING_REQUIRED_PARAM",
    "ERROR_INIT",
    "ERROR_GMI_INVALID",
    "ERROR_GMI_PARSE",
    "ERROR_INDEX_PAIR",
    "ERROR_REV_MISMATCH",
    "ERROR_UID_MISMATCH",
    "ERROR_BAD_CHECKSUM",
    "ERROR_GMI_EXPIRED",
    "ERROR_LOOP_SUSPENDED",
    "ERROR_CheckValidGmi",
    // The companion's own, never read from the service.
    "TOKEN_TOO_LONG",
    "USER_TOO_LONG",
    "USER_NOT_PRINTABLE",
};
constexpr size_t deny_reason_count = sizeof(deny_reasons) / sizeof(deny_reasons[0]);
constexpr size_t service_reason_count = 11;

// The reason's index in deny_reasons among the first `among`; `among` if
// it is not one of them.
constexpr size_t reason_index(std::string_view reason,
                              size_t among = deny_reason_count) {
  for (size_t i = 0; i < among; ++i) {
    if (deny_reasons[i] == reason) return i;
  }
  return among;
}

#endif  // GMI_AUTHZ_REASONS_H_
