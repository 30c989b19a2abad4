// The answer to one decision request, as reverse proxies read it: 200 only
// when the service said valid, 401 when it said invalid or the request
// holds no usable token or user, 503 when the service cannot be asked or
// answers anything but one of its exact bodies.
//
//   200  empty body, "X-GMI-User: <user>", "X-GMI-Reason: SET_BYPASS" under
//        bypass
//   401  "X-GMI-Reason: <reason>", "WWW-Authenticate: Bearer ..."
//   403  "X-GMI-Reason: throttled", "Retry-After: <seconds>": the client's
//        tokens failed too often (client_throttle.h); nothing is asked
//   503  "X-GMI-Reason: UPSTREAM_UNREACHABLE | UPSTREAM_TIMEOUT |
//        UPSTREAM_UNEXPECTED_ANSWER"
//
// Every decision is written to the access log, one line each.
//
// Thread-safe: the HTTP server calls answer() from its worker threads.

#ifndef GMI_AUTHZ_DECISION_H_
#define GMI_AUTHZ_DECISION_H_

#include <httplib.h>

#include <vector>

#include "access_log.h"
#include "client_address.h"
#include "client_throttle.h"
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
  const char *name;  // for the log: "front" or "instance"
};

class decider {
 public:
  // upstreams in order of preference: the next is asked only when the one
  // before refused the connection, so that no question is asked twice.
  decider(const authz_options &options, std::vector<decision_upstream> upstreams,
          decision_metrics &metrics, access_log &log);

  void answer(const httplib::Request &request, httplib::Response &response);

 private:
  struct outcome;
  outcome decide(const credentials &found, const std::string &client);
  outcome ask_service(const std::string &token, const std::string &user,
                      const std::string &client,
                      upstream_pool::clock::time_point deadline);
  // Asks each upstream in turn while the one before refused; asked is the
  // one that gave the reply.
  upstream_reply ask_first_listening(const std::string &form_body,
                                     const std::string &user, const std::string &client,
                                     upstream_pool::clock::time_point deadline,
                                     const decision_upstream *&asked);
  // The log's fields known before deciding.
  decision_record describe(const httplib::Request &request,
                           const client_address &client) const;

  const credential_names names_;
  const std::chrono::milliseconds timeout_;
  const std::vector<decision_upstream> upstreams_;
  decision_metrics &metrics_;
  const client_resolver clients_;
  const bool throttling_;
  client_throttle throttle_;
  access_log &log_;
  const std::string listener_;
};

#endif  // GMI_AUTHZ_DECISION_H_
