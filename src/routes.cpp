#include "routes.h"

#include "handlers/admin.h"
#include "handlers/quit.h"
#include "handlers/validation.h"

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
