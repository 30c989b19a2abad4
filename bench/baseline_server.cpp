// baseline_server PORT: the service's HTTP server and settings with one
// route, /login, that answers the valid body without calling anything.
// The load benchmark measures the service against it.

#include <cstdlib>

#include "http_server.h"

int main(int argc, char **argv) {
  if (argc < 2) return 2;
  gmi_http_server server;
  server.Get("/login", [](const httplib::Request &, httplib::Response &res) {
    res.set_content("{\"is_valid\":true,\"reason\":\"\"}", "text/plain");
  });
  server.listen("127.0.0.1", atoi(argv[1]));
  return 0;
}
