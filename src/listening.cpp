#include "listening.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "console.h"

namespace {

// As long as the process waits for a stalled console reader at exit.
constexpr std::chrono::seconds console_wait{3};

void report_bind_failure(uint16_t port, int error) {
  // Under systemd both streams are one journal stream, and the console's
  // lines reach it through the writer thread, the buffered started line up
  // to a second late: let them out first so that the reason follows
  // "[Server] Started" rather than preceding it.
  console_drain(console_wait);
  fprintf(stderr, "gmi-server: cannot listen on port %u: %s\n",
          static_cast<unsigned>(port),
          error != 0 ? strerror(error) : "no reason given");
}

}  // namespace

bool listen_on_port(httplib::Server &server, uint16_t port) {
  errno = 0;
  if (!server.bind_to_port("0.0.0.0", port)) {
    report_bind_failure(port, errno);
    return false;
  }
  // Its result only says whether accepting failed after a good start; the
  // teardown and status are the same as after /quit either way.
  server.listen_after_bind();
  return true;
}
