#include "decision.h"

namespace {

// Longer tokens and users are refused without asking the service: no
// token it issues comes near, and the bound keeps every question within
// what the service reads.
constexpr size_t max_token_bytes = 4096;
constexpr size_t max_user_bytes = 1024;

// A user is sent back in a header, where a control byte would end it or
// forge another one.
bool printable(const std::string &user) {
  for (const unsigned char byte : user) {
    if (byte < 0x20 || byte == 0x7f) return false;
  }
  return true;
}

}  // namespace

struct decider::outcome {
  decision_result result;
  std::string reason;
  std::string user;  // on allow
};

decider::decider(const authz_options &options,
                 std::vector<decision_upstream> upstreams,
                 decision_metrics &metrics)
    : names_{options.user_header, options.token_cookie},
      timeout_(options.timeout),
      upstreams_(std::move(upstreams)),
      metrics_(metrics) {}

upstream_reply decider::ask_first_listening(const std::string &form_body,
                                           const std::string &user,
                                           upstream_pool::clock::time_point deadline,
                                           upstream_health *&asked) {
  upstream_reply reply;
  for (const decision_upstream &upstream : upstreams_) {
    if (asked != nullptr) asked->failed("refused the connection");
    asked = &upstream.health;
    reply = ask_login(upstream.pool, form_body, user, deadline);
    if (reply.kind != upstream_reply::refused) break;
  }
  return reply;
}

decider::outcome decider::ask_service(const std::string &token,
                                      const std::string &user,
                                      upstream_pool::clock::time_point deadline) {
  const std::string form_body = login_form_body(token);
  if (form_body.empty()) return {decision_result::deny, "TOKEN_TOO_LONG", ""};

  upstream_health *asked = nullptr;
  const upstream_reply reply = ask_first_listening(form_body, user, deadline, asked);
  upstream_health &health = *asked;
  switch (reply.kind) {
    case upstream_reply::refused:
    case upstream_reply::unreachable:
      health.failed("no answer");
      return {decision_result::error, "UPSTREAM_UNREACHABLE", ""};
    case upstream_reply::timed_out:
      health.failed("timed out");
      return {decision_result::error, "UPSTREAM_TIMEOUT", ""};
    case upstream_reply::answered:
      break;
  }
  switch (reply.answer.verdict) {
    case login_verdict::valid:
      health.answered();
      return {decision_result::allow, reply.answer.reason, user};
    case login_verdict::invalid:
      health.answered();
      return {decision_result::deny, reply.answer.reason, ""};
    case login_verdict::unexpected:
      break;
  }
  health.failed("unexpected answer to /login");
  return {decision_result::error, "UPSTREAM_UNEXPECTED_ANSWER", ""};
}

decider::outcome decider::decide(const httplib::Request &request) {
  const auto deadline = upstream_pool::clock::now() + timeout_;
  const credentials found = find_credentials(request, names_);
  if (found.token.empty() || found.user.empty()) {
    return {decision_result::deny, "MISSING_REQUIRED_PARAM", ""};
  }
  if (found.token.size() > max_token_bytes) {
    return {decision_result::deny, "TOKEN_TOO_LONG", ""};
  }
  if (found.user.size() > max_user_bytes) {
    return {decision_result::deny, "USER_TOO_LONG", ""};
  }
  if (!printable(found.user)) {
    return {decision_result::deny, "USER_NOT_PRINTABLE", ""};
  }
  return ask_service(found.token, found.user, deadline);
}

void decider::answer(const httplib::Request &request,
                     httplib::Response &response) {
  const auto started = upstream_pool::clock::now();
  const outcome decided = decide(request);
  switch (decided.result) {
    case decision_result::allow:
      response.status = 200;
      response.set_header("X-GMI-User", decided.user);
      break;
    case decision_result::deny:
      response.status = 401;
      // No credentials at all is not an invalid token (RFC 6750, 3.1).
      response.set_header("WWW-Authenticate",
                          decided.reason == "MISSING_REQUIRED_PARAM"
                              ? "Bearer"
                              : "Bearer error=\"invalid_token\"");
      break;
    case decision_result::error:
      response.status = 503;
      break;
  }
  if (!decided.reason.empty()) response.set_header("X-GMI-Reason", decided.reason);
  metrics_.record(decided.result, decided.reason,
                  upstream_pool::clock::now() - started);
}
