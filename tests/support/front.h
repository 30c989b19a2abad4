// The production shape on loopback: HAProxy running the shipped
// deploy/haproxy/gmi-server.cfg in front of real gmi-server instances, each
// on a free port, all in one scratch directory with the stand-in library and
// development certificates (scripts/dev-certs.sh) in its tls/.
// Used from the test's own thread; nothing here is thread-safe.

#ifndef GMI_TESTS_FRONT_H_
#define GMI_TESTS_FRONT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/service_process.h"

namespace test {

struct front_instance {
  std::string name;  // as in the instance list and the runtime API
  uint16_t port;
  std::unique_ptr<child_process> process;
};

// Runs a shell command; its exit status (-1 if it did not exit), with its
// standard output in *output.
int run_command(const std::string &command, std::string *output);

class front {
 public:
  // environment: further "NAME=value" words for HAProxy (FRONT_THREADS=2).
  explicit front(size_t instance_count, const std::vector<std::string> &environment = {});
  // Stops HAProxy, then ends every instance through /quit.
  ~front();

  // HAProxy listens and has every instance up.
  bool ready() const { return ready_; }
  uint16_t port() const { return port_; }        // plain HTTP
  uint16_t tls_port() const { return tls_port_; }  // HTTPS, HTTP/1.1 and HTTP/2
  uint16_t admin_port() const { return admin_port_; }
  uint16_t metrics_port() const { return metrics_port_; }
  // A file of the development certificates: ca.pem, server.pem, operator.pem.
  std::string tls_path(const std::string &file) const;
  std::vector<front_instance> &instances() { return instances_; }

  // One command to HAProxy's runtime API, and its answer.
  std::string admin(const std::string &command) const;
  // True once the runtime API reports every instance up, within 10 s.
  bool wait_until_all_up() const;
  // request_count summed over every instance's own /log.
  long validations_reached() const;
  // Requests the front has sent to any instance, by its own statistics.
  long requests_forwarded() const;
  // Peak resident memory of an instance, in KiB.
  long peak_resident_kib(const front_instance &instance) const;

  // Runs fleet/gmi-fleet with arguments (shell words) against this front,
  // with further "NAME=value" words of environment; its exit status, with
  // everything it printed in *output.
  int fleet(const std::string &arguments, std::string *output,
            const std::string &environment = "") const;
  // The start command gmi-fleet restart is given: starts an instance again
  // on $PORT in the scratch directory, in the background.
  std::string start_command() const;

 private:
  // Starts a command ("NAME=value" words first) in the scratch directory.
  std::unique_ptr<child_process> start_in_dir(const std::vector<std::string> &command) const;

  scratch_dir dir_;
  uint16_t port_;
  uint16_t tls_port_;
  uint16_t admin_port_;
  uint16_t metrics_port_;
  std::vector<front_instance> instances_;
  std::unique_ptr<child_process> haproxy_;
  bool ready_ = false;
};

}  // namespace test

#endif  // GMI_TESTS_FRONT_H_
