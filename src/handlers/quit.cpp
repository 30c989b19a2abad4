#include "handlers/quit.h"

#include <mutex>

#include "service.h"

void handle_quit(const httplib::Request &, httplib::Response &response) {
  static std::once_flag stop_requested;
  response.set_content("{\"server_status\":\"CLOSE\"}", "text/plain");
  std::call_once(stop_requested, [] { g_server.stop(); });
}
