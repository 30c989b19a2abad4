#include "decision.h"

#include <random>

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

// The proxy's X-Request-ID when it sent a usable one, else a fresh UUID
// (version 4), as the front makes them.
std::string request_id(const httplib::Request &request) {
  const std::string sent = request.get_header_value("X-Request-ID");
  if (!sent.empty() && sent.size() <= 128 && printable(sent) &&
      sent.find_first_of(" \"\\") == std::string::npos) {
    return sent;
  }
  thread_local std::mt19937_64 random{std::random_device{}()};
  const uint64_t high = random(), low = random();
  char text[37];
  snprintf(text, sizeof(text), "%08x-%04x-4%03x-%04x-%012llx",
           static_cast<unsigned>(high >> 32), static_cast<unsigned>((high >> 16) & 0xffff),
           static_cast<unsigned>(high & 0xfff),
           static_cast<unsigned>(0x8000 | ((low >> 48) & 0x3fff)),
           static_cast<unsigned long long>(low & 0xffffffffffffULL));
  return text;
}

// The path the proxy is deciding about: the original request's, as nginx
// or Traefik forward it, else this request's own; never its query, which
// may hold the token.
std::string original_path(const httplib::Request &request) {
  for (const char *header : {"X-Original-URI", "X-Forwarded-Uri"}) {
    if (request.has_header(header)) {
      const std::string uri = request.get_header_value(header);
      return uri.substr(0, uri.find_first_of("?#"));
    }
  }
  return request.path;
}

std::vector<std::string> header_values(const httplib::Request &request, const char *name) {
  std::vector<std::string> values;
  const size_t count = request.get_header_value_count(name);
  for (size_t i = 0; i < count; ++i) values.push_back(request.get_header_value(name, i));
  return values;
}

}  // namespace

struct decider::outcome {
  decision_result result;
  std::string reason;
  std::string user;  // on allow; on throttled, the seconds left
  const char *upstream = nullptr;  // the one asked, if any
  // Whether it counts for the throttle: a token was judged (valid or
  // not), and whether it failed.
  bool judged = false;
  bool failed = false;
};

decider::decider(const authz_options &options,
                 std::vector<decision_upstream> upstreams,
                 decision_metrics &metrics, access_log &log)
    : names_{options.user_header, options.token_cookie},
      timeout_(options.timeout),
      upstreams_(std::move(upstreams)),
      metrics_(metrics),
      clients_(options.trusted_proxies),
      throttling_(options.throttle.on()),
      throttle_(options.throttle),
      log_(log),
      listener_(options.listen.text()) {}

upstream_reply decider::ask_first_listening(const std::string &form_body,
                                           const std::string &user,
                                           const std::string &client,
                                           upstream_pool::clock::time_point deadline,
                                           const decision_upstream *&asked) {
  upstream_reply reply;
  for (const decision_upstream &upstream : upstreams_) {
    if (asked != nullptr) asked->health.failed("refused the connection");
    asked = &upstream;
    reply = ask_login(upstream.pool, form_body, user, client, deadline);
    if (reply.kind != upstream_reply::refused) break;
  }
  return reply;
}

decider::outcome decider::ask_service(const std::string &token,
                                      const std::string &user,
                                      const std::string &client,
                                      upstream_pool::clock::time_point deadline) {
  const std::string form_body = login_form_body(token);
  if (form_body.empty()) {
    return {decision_result::deny, "TOKEN_TOO_LONG", "", nullptr, true, true};
  }

  const decision_upstream *asked = nullptr;
  const upstream_reply reply = ask_first_listening(form_body, user, client, deadline, asked);
  upstream_health &health = asked->health;
  switch (reply.kind) {
    case upstream_reply::refused:
    case upstream_reply::unreachable:
      health.failed("no answer");
      return {decision_result::error, "UPSTREAM_UNREACHABLE", "", asked->name};
    case upstream_reply::timed_out:
      health.failed("timed out");
      return {decision_result::error, "UPSTREAM_TIMEOUT", "", asked->name};
    case upstream_reply::throttled:
      // The front refused this client (its figures are the same as ours,
      // so this is mostly when ours are off): answered as ours would be.
      health.answered();
      return {decision_result::throttled, "throttled", reply.retry_after, asked->name};
    case upstream_reply::answered:
      break;
  }
  switch (reply.answer.verdict) {
    case login_verdict::valid:
      health.answered();
      return {decision_result::allow, reply.answer.reason, user, asked->name, true, false};
    case login_verdict::invalid:
      health.answered();
      return {decision_result::deny, reply.answer.reason, "", asked->name, true, true};
    case login_verdict::unexpected:
      break;
  }
  health.failed("unexpected answer to /login");
  return {decision_result::error, "UPSTREAM_UNEXPECTED_ANSWER", "", asked->name};
}

decider::outcome decider::decide(const credentials &found, const std::string &client) {
  const auto deadline = upstream_pool::clock::now() + timeout_;
  if (found.token.empty() || found.user.empty()) {
    return {decision_result::deny, "MISSING_REQUIRED_PARAM", ""};
  }
  // A token was presented from here on: refusing it counts as a failure.
  if (found.token.size() > max_token_bytes) {
    return {decision_result::deny, "TOKEN_TOO_LONG", "", nullptr, true, true};
  }
  if (found.user.size() > max_user_bytes) {
    return {decision_result::deny, "USER_TOO_LONG", "", nullptr, true, true};
  }
  if (!printable(found.user)) {
    return {decision_result::deny, "USER_NOT_PRINTABLE", "", nullptr, true, true};
  }
  return ask_service(found.token, found.user, client, deadline);
}

decision_record decider::describe(const httplib::Request &request,
                                  const client_address &client) const {
  decision_record record;
  record.client = client.address;
  record.client_port = client.port;
  record.method = request.method;
  record.path = original_path(request);
  record.request_id = request_id(request);
  const std::vector<std::string> parents = header_values(request, "traceparent");
  if (parents.size() == 1) record.trace_id = trace_id_of(parents[0]);
  return record;
}

void decider::answer(const httplib::Request &request,
                     httplib::Response &response) {
  const auto started = upstream_pool::clock::now();
  const client_address client = clients_.resolve(
      request.remote_addr, request.remote_port, header_values(request, "X-Forwarded-For"));
  decision_record record = describe(request, client);
  const credentials found = find_credentials(request, names_);
  record.has_user = !found.user.empty();
  record.user = found.user;
  const auto finish = [&] {
    if (!log_.enabled()) return;
    record.status = response.status;
    record.reason = response.get_header_value("X-GMI-Reason");
    record.duration_ms =
        std::chrono::duration<double, std::milli>(upstream_pool::clock::now() - started).count();
    log_.write(access_line(record, listener_));
  };

  // 403: nginx's auth_request passes 401 and 403 on and turns any other
  // code into 500.
  const auto refuse = [&](const std::string &seconds) {
    response.status = 403;
    response.set_header("X-GMI-Reason", "throttled");
    if (!seconds.empty()) response.set_header("Retry-After", seconds);
    metrics_.record_throttled();
    record.decision = "throttled";
  };
  const int64_t refused_for = throttling_ ? throttle_.refused_for(client.address, started) : 0;
  if (refused_for > 0) {
    refuse(std::to_string(refused_for));
    finish();
    return;
  }

  const outcome decided = decide(found, client.address);
  record.upstream = decided.upstream;
  if (decided.result == decision_result::throttled) {
    refuse(decided.user);
    finish();
    return;
  }
  switch (decided.result) {
    case decision_result::allow:
      response.status = 200;
      response.set_header("X-GMI-User", decided.user);
      record.decision = "allow";
      break;
    case decision_result::deny:
      response.status = 401;
      // No credentials at all is not an invalid token (RFC 6750, 3.1).
      response.set_header("WWW-Authenticate",
                          decided.reason == "MISSING_REQUIRED_PARAM"
                              ? "Bearer"
                              : "Bearer error=\"invalid_token\"");
      record.decision = "deny";
      break;
    case decision_result::error:
    case decision_result::throttled:
      response.status = 503;
      record.decision = "error";
      break;
  }
  if (!decided.reason.empty()) response.set_header("X-GMI-Reason", decided.reason);
  if (throttling_ && decided.judged) {
    throttle_.record(client.address, decided.failed, upstream_pool::clock::now());
  }
  metrics_.record(decided.result, decided.reason,
                  upstream_pool::clock::now() - started);
  finish();
}
