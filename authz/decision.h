// The answer to one decision request, as reverse proxies read it: 200 only
// when the service said valid, 401 when it said invalid or the request
// holds no usable token or user, 503 when the service cannot be asked or
// answers anything but one of its exact bodies.
//
//   200  empty body, "X-GMI-User: <user>", "X-GMI-Reason: SET_BYPASS" under
//        bypass
//   401  "X-GMI-Reason: <reason>", "WWW-Authenticate: Bearer ..."
//   503  "X-GMI-Reason: UPSTREAM_UNREACHABLE | UPSTREAM_TIMEOUT |
//        UPSTREAM_UNEXPECTED_ANSWER"
//
// Thread-safe: the HTTP server calls answer() from its worker threads.

#ifndef GMI_AUTHZ_DECISION_H_
#define GMI_AUTHZ_DECISION_H_

#include <httplib.h>

#include <vector>

#include "credentials.h"
#include "decision_metrics.h"
#include "options.h"
#include "upstream_health.h"
#include "upstream_login.h"
#include "upstream_pool.h"

// A service to ask: its connections, and whether it last answered.
struct decision_upstream {
  upstream_pool &pool;
  upstream_health &health;
};

class decider {
 public:
  // upstreams in order of preference: the next is asked only when the one
  // before refused the connection, so that no question is asked twice.
  decider(const authz_options &options, std::vector<decision_upstream> upstreams,
          decision_metrics &metrics);

  void answer(const httplib::Request &request, httplib::Response &response);

 private:
  struct outcome;
  outcome decide(const httplib::Request &request);
  outcome ask_service(const std::string &token, const std::string &user,
                      upstream_pool::clock::time_point deadline);
  // Asks each upstream in turn while the one before refused; asked is the
  // one that gave the reply.
  upstream_reply ask_first_listening(const std::string &form_body,
                                     const std::string &user,
                                     upstream_pool::clock::time_point deadline,
                                     upstream_health *&asked);

  const credential_names names_;
  const std::chrono::milliseconds timeout_;
  const std::vector<decision_upstream> upstreams_;
  decision_metrics &metrics_;
};

#endif  // GMI_AUTHZ_DECISION_H_
