#include "service.h"

#include "handlers/admin.h"
#include "handlers/quit.h"
#include "handlers/validation.h"

gmi_http_server g_server;
log_manager *g_log_manager = nullptr;
uint32_t g_auth_version = 0;

namespace {

struct route {
  const char *path;
  httplib::Server::Handler handler;
};

}  // namespace

void register_routes(httplib::Server &server) {
  const route routes[] = {
      {"/log", handle_log},     {"/bypass", handle_bypass},
      {"/quit", handle_quit},   {"/login", handle_login},
      {"/usual", handle_usual},
  };
  for (const route &r : routes) {
    server.Get(r.path, r.handler);
    server.Post(r.path, r.handler);
  }
}
