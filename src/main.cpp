// gmi-server [port]: validates login tokens through libAuthSrv.so.
//
// Start-up and teardown run on this thread in a fixed order; requests run on
// the server's worker threads in between.

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "auth/auth_library.h"
#include "console.h"
#include "listening.h"
#include "routes.h"
#include "service.h"
#include "standard_descriptors.h"

namespace {

constexpr uint16_t default_port = 60002;

// How long the process waits at exit for a stalled console reader before it
// ends anyway, dropping what the reader did not take.
constexpr std::chrono::seconds console_wait_at_exit{3};

// Leading decimal digits, as atoi reads them, keeping the low 16 bits: "-1"
// is 65535, "8080abc" is 8080 and "abc" is 0.
uint16_t parse_port(int argc, char **argv) {
  if (argc < 2) return default_port;
  return static_cast<uint16_t>(strtol(argv[1], nullptr, 10));
}

void tear_down() {
  console_line_flushed("[Server] Stopped");
  g_log_manager->stop();
  g_log_manager->join();
  delete g_log_manager;
  g_log_manager = nullptr;
  console_line_flushed("[Server] CleanupAuth()");
  auth().CleanupAuth();
  console_line_flushed("[Server] Exit");
}

int finish(int status) {
  console_drain(console_wait_at_exit);
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  if (!keep_standard_descriptors_open()) return 1;
  if (!GetAPIs()) {
    console_line_flushed("GetAPIs() failed");
    return finish(-33);
  }
  g_auth_version = auth().GetAuthVersion();
  console_line_flushed("[SERVER] GetAuthVersion() " +
                       std::to_string(g_auth_version));
  if (!auth().InitAuth(1)) {
    console_line_flushed("InitAuth() failed");
    return finish(-11);
  }
  if (!auth().SetBypassOption(0)) {
    console_line_flushed("SetBypassOption(false) failed");
    return finish(-12);
  }

  const uint16_t port = parse_port(argc, argv);
  g_log_manager = new log_manager(port);
  register_routes(g_server);
  if (!g_log_manager->start()) {
    console_line_flushed("[Server] Statistics thread could not be started");
    delete g_log_manager;
    auth().CleanupAuth();
    return finish(1);
  }
  console_line_buffered("[Server] Started (port : " + std::to_string(port) +
                        ")");

  const bool listened = listen_on_port(g_server, port);

  // The same teardown either way; a port that could not be bound fails the
  // process, so that a supervisor restarts it until the port is free.
  tear_down();
  return finish(listened ? 0 : 1);
}
