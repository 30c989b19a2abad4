#include "routes.h"

#include <sys/socket.h>

#include "exposition.h"
#include "service_log.h"

namespace {

// Proxies keep their connections open; churning them costs a handshake
// per few decisions for nothing.
constexpr size_t requests_per_connection = 1000;
// Decision requests carry nothing in their bodies; a proxy that forwards
// one gets a refusal (413, never 2xx) rather than a thread tied up reading
// it.
constexpr size_t max_body_bytes = 64 * 1024;
// One scrape and one probe at a time, each with its own connection to the
// service, beside the decision pool.
constexpr size_t monitoring_threads = 2;
// /readyz: the service must answer /log this fast to count as ready.
constexpr std::chrono::milliseconds readiness_limit{1000};

// The library's default would also set SO_REUSEPORT, and a second
// companion (or anything else of the same user) on the same port would
// then share its connections instead of failing to start.
void reuse_address_only(socket_t sock) {
  int yes = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
}

// Runs before a decision request's body is read; the body itself is never
// used. One sent without a length or chunking is empty (RFC 9112 6.3),
// where the library would wait for the client to hang up. One with an
// encoding is read as sent, not inflated without bound. The request is the
// library's own non-const object, lent by const reference, so adjusting
// its headers here is well defined.
httplib::Server::HandlerResponse ignore_body(const httplib::Request &request,
                                             httplib::Response &) {
  auto &headers = const_cast<httplib::Request &>(request).headers;
  headers.erase("Content-Encoding");
  if (!request.has_header("Content-Length") &&
      !request.has_header("Transfer-Encoding")) {
    headers.emplace("Content-Length", "0");
  }
  return httplib::Server::HandlerResponse::Unhandled;
}

// The exception's text must not reach the proxy.
void answer_500(const httplib::Request &, httplib::Response &response,
                std::exception_ptr) {
  response.status = 500;
}

std::optional<service_log> ask_log(const host_port &upstream,
                                   upstream_health &health) {
  std::optional<service_log> log = fetch_service_log(upstream, readiness_limit);
  if (log) {
    health.answered();
  } else {
    health.failed("no answer to /log");
  }
  return log;
}

}  // namespace

void route_decisions(httplib::Server &server, decider &decisions,
                     size_t threads) {
  server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server.set_keep_alive_max_count(requests_per_connection);
  server.set_tcp_nodelay(true);
  server.set_socket_options(reuse_address_only);
  server.set_payload_max_length(max_body_bytes);
  server.set_pre_routing_handler(ignore_body);
  server.set_exception_handler(answer_500);
  const httplib::Server::Handler decide =
      [&decisions](const httplib::Request &request, httplib::Response &response) {
        decisions.answer(request, response);
      };
  server.Get(".*", decide);
  server.Post(".*", decide);
  server.Put(".*", decide);
  server.Patch(".*", decide);
  server.Delete(".*", decide);
  server.Options(".*", decide);
}

void route_monitoring(httplib::Server &server, const host_port &upstream,
                      const decision_metrics &metrics, upstream_health &health) {
  server.new_task_queue = [] { return new httplib::ThreadPool(monitoring_threads); };
  server.set_socket_options(reuse_address_only);
  server.set_exception_handler(answer_500);
  server.Get("/metrics", [upstream, &metrics, &health](const httplib::Request &,
                                                      httplib::Response &response) {
    response.set_content(metrics_page(ask_log(upstream, health), metrics),
                         exposition_content_type);
  });
  server.Get("/healthz", [](const httplib::Request &, httplib::Response &response) {
    response.set_content("ok\n", "text/plain");
  });
  server.Get("/readyz", [upstream, &health](const httplib::Request &,
                                            httplib::Response &response) {
    if (ask_log(upstream, health)) {
      response.set_content("ready\n", "text/plain");
    } else {
      response.status = 503;
      response.set_content("upstream not answering /log\n", "text/plain");
    }
  });
}
