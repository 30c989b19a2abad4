// The service's HTTP server: cpp-httplib with the fixed settings the service
// runs with. Nothing here is configurable, and nothing changes once the
// server is constructed.

#ifndef GMI_HTTP_SERVER_H_
#define GMI_HTTP_SERVER_H_

#include <httplib.h>

#include <cstddef>

class gmi_http_server : public httplib::Server {
 public:
  static constexpr size_t keep_alive_requests = 5;
  static constexpr time_t timeout_seconds = 5;
  // Request bodies announcing more than this are answered 413.
  static constexpr size_t max_body_bytes = 1024 * 1024;

  // The larger of 8 and one less than the processor count.
  static size_t worker_count();

  // Also ignores SIGPIPE process-wide: a client that hangs up mid-answer must
  // cost us a failed write, not the process.
  gmi_http_server();
};

#endif  // GMI_HTTP_SERVER_H_
