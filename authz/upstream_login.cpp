#include "upstream_login.h"

namespace {

// The service answers 413 to a longer form body.
constexpr size_t service_form_limit = 8192;

bool is_unreserved(unsigned char byte) {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' ||
         byte == '_' || byte == '~';
}

std::string escape(const std::string &bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(bytes.size());
  for (const unsigned char byte : bytes) {
    if (is_unreserved(byte)) {
      escaped += static_cast<char>(byte);
    } else {
      escaped += '%';
      escaped += digits[byte >> 4];
      escaped += digits[byte & 0xf];
    }
  }
  return escaped;
}

}  // namespace

std::string login_form_body(const std::string &token) {
  std::string body = "gmi=" + escape(token);
  return body.size() <= service_form_limit ? body : "";
}

upstream_reply ask_login(upstream_pool &pool, const std::string &form_body,
                         const std::string &user, const std::string &client,
                         upstream_pool::clock::time_point deadline) {
  upstream_reply reply;
  upstream_pool::lease connection = pool.acquire(deadline);
  if (!connection) {
    reply.kind = upstream_reply::timed_out;
    return reply;
  }
  const httplib::Result result =
      connection.client(deadline).Post("/login?userid=" + escape(user),
                                       {{"X-Forwarded-For", client}}, form_body,
                                       "application/x-www-form-urlencoded");
  if (!result) {
    if (upstream_pool::clock::now() >= deadline) {
      reply.kind = upstream_reply::timed_out;
    } else if (result.error() == httplib::Error::Connection) {
      reply.kind = upstream_reply::refused;
    } else {
      reply.kind = upstream_reply::unreachable;
    }
    return reply;
  }
  if (result->status == 429) {
    reply.kind = upstream_reply::throttled;
    reply.retry_after = result->get_header_value("Retry-After");
    return reply;
  }
  reply.kind = upstream_reply::answered;
  reply.answer = read_login_answer(result->status, result->body);
  return reply;
}
