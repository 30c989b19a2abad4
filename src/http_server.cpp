#include "http_server.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <thread>

#include "request_framing.h"

namespace {

void allow_port_reuse(socket_t sock) {
  int yes = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof(yes));
}

// The exception's text must not reach the client, as the library's default
// EXCEPTION_WHAT header would send it.
void answer_500(const httplib::Request &, httplib::Response &res,
                std::exception_ptr) {
  res.status = 500;
}

// Runs on every request before its body is read. The Request is the
// library's own non-const object handed to us by const reference, so
// adjusting its headers here is well defined.
httplib::Server::HandlerResponse screen_request(const httplib::Request &req,
                                                httplib::Response &res) {
  if (const int refusal = framing_refusal(req)) {
    refuse_and_close(req, res, refusal);
    return httplib::Server::HandlerResponse::Handled;
  }
  auto &headers = const_cast<httplib::Request &>(req).headers;
  // This build of the library compresses text answers for any client that
  // asks; the service's answers are never compressed.
  headers.erase("Accept-Encoding");
  // Nor are request bodies inflated: a megabyte of brotli can expand
  // without bound. A body with an encoding is read as sent, like one in an
  // encoding the library does not know.
  headers.erase("Content-Encoding");
  // Without a length a request has no body (RFC 9112 6.3); the library
  // would otherwise read until the client hangs up. It reads none for GET
  // and HEAD anyway.
  if (req.method != "GET" && req.method != "HEAD" &&
      !req.has_header("Content-Length")) {
    headers.emplace("Content-Length", "0");
  }
  return httplib::Server::HandlerResponse::Unhandled;
}

}  // namespace

size_t gmi_http_server::worker_count() {
  const unsigned processors = std::thread::hardware_concurrency();
  return processors == 0 ? 8 : std::max<size_t>(8, processors - 1);
}

gmi_http_server::gmi_http_server() {
  signal(SIGPIPE, SIG_IGN);
  new_task_queue = [] { return new httplib::ThreadPool(worker_count()); };
  set_keep_alive_max_count(keep_alive_requests);
  set_keep_alive_timeout(timeout_seconds);
  set_read_timeout(timeout_seconds, 0);
  set_write_timeout(timeout_seconds, 0);
  set_socket_options(allow_port_reuse);
  // Without it every answer waits on Nagle plus the client's delayed ACK.
  set_tcp_nodelay(true);
  // Answered 413 by the library once it has drained the body through a
  // fixed buffer; the connection stays in step for the next request.
  set_payload_max_length(max_body_bytes);
  set_exception_handler(answer_500);
  set_pre_routing_handler(screen_request);
}
