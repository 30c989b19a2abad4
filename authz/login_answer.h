// What a /login answer of the service means. Only its exact bodies count:
// anything else, however close, is unexpected, and the companion then
// allows nothing. Pure; safe on any thread.

#ifndef GMI_AUTHZ_LOGIN_ANSWER_H_
#define GMI_AUTHZ_LOGIN_ANSWER_H_

#include <string>

enum class login_verdict { valid, invalid, unexpected };

struct login_answer {
  login_verdict verdict = login_verdict::unexpected;
  std::string reason;  // "" or "SET_BYPASS" when valid; the service's when invalid
};

login_answer read_login_answer(int status, const std::string &body);

#endif  // GMI_AUTHZ_LOGIN_ANSWER_H_
