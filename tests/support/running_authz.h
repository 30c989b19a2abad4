// A gmi-authz on free loopback ports in front of a given upstream port,
// ready for decisions.

#ifndef GMI_TESTS_RUNNING_AUTHZ_H_
#define GMI_TESTS_RUNNING_AUTHZ_H_

#include <signal.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace test {

class running_authz {
 public:
  running_authz(const scratch_dir &dir, uint16_t upstream_port,
                const std::vector<std::string> &extra_args = {})
      : port(free_port()), metrics_port(free_port()) {
    std::vector<std::string> args{"--listen", loopback(port), "--metrics",
                                  loopback(metrics_port), "--upstream",
                                  loopback(upstream_port)};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    process = std::make_unique<child_process>(build_path("gmi-authz"), dir, args);
    listening = process->wait_until_listening(port) &&
                process->wait_until_listening(metrics_port);
  }

  // Stops it as its supervisor would; returns the exit status.
  int stop() {
    process->send_signal(SIGTERM);
    return process->wait_for_exit();
  }

  uint16_t port;
  uint16_t metrics_port;
  std::unique_ptr<child_process> process;
  bool listening = false;
};

}  // namespace test

#endif  // GMI_TESTS_RUNNING_AUTHZ_H_
