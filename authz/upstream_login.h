// One question to the service's /login: "POST /login?userid=<user>" with
// the form body "gmi=<token>", both escaped so that every byte reaches the
// library as it came. The service splits parameters at every "=" and reads
// "+" as a space before it decodes, so everything but letters, digits and
// "-._~" travels as %XX. The token goes in the body, where the service
// takes 8192 bytes, because escaping can triple it; the user, at most
// 1 KiB, fits the request line escaped or not.
//
// Safe on any thread; the pool bounds how many ask at once.

#ifndef GMI_AUTHZ_UPSTREAM_LOGIN_H_
#define GMI_AUTHZ_UPSTREAM_LOGIN_H_

#include <string>

#include "login_answer.h"
#include "upstream_pool.h"

// The escaped form body for token; "" when it would exceed what the
// service accepts.
std::string login_form_body(const std::string &token);

struct upstream_reply {
  // refused: no connection could be opened (nothing listens there), so
  // the question never left and may go elsewhere; unreachable: anything
  // else that left no answer, the question perhaps asked; throttled: the
  // front refused the client (429) for retry_after seconds.
  enum { answered, refused, unreachable, timed_out, throttled } kind = unreachable;
  login_answer answer;  // when answered
  std::string retry_after;  // when throttled
};

// client: the address the decision is for, sent as X-Forwarded-For so
// that the front throttles that client, never the companion as a whole.
upstream_reply ask_login(upstream_pool &pool, const std::string &form_body,
                         const std::string &user, const std::string &client,
                         upstream_pool::clock::time_point deadline);

#endif  // GMI_AUTHZ_UPSTREAM_LOGIN_H_
