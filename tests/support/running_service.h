// A gmi-server started on a free port in its own scratch directory, with a
// given library beside it, ready for requests.

#ifndef GMI_TESTS_RUNNING_SERVICE_H_
#define GMI_TESTS_RUNNING_SERVICE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/http_client.h"
#include "support/service_process.h"

namespace test {

class running_service {
 public:
  explicit running_service(const std::string &library,
                           const std::vector<std::string> &env = {},
                           console_mode console = console_mode::collected)
      : port(free_port()) {
    dir.install_library(library);
    process = std::make_unique<service_process>(
        dir, std::vector<std::string>{std::to_string(port)}, env, console);
    listening = process->wait_until_listening(port);
  }

  // Sends /quit and returns the exit status.
  int quit() {
    get(port, "/quit");
    return process->wait_for_exit();
  }

  scratch_dir dir;
  uint16_t port;
  std::unique_ptr<service_process> process;
  bool listening = false;
};

}  // namespace test

#endif  // GMI_TESTS_RUNNING_SERVICE_H_
