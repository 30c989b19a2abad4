// A program started with chosen arguments (gmi-authz, nginx), its standard
// output and standard error going to files in a scratch directory (as a
// supervisor's journal would take them), so tests can read every line it
// wrote.

#ifndef GMI_TESTS_CHILD_PROCESS_H_
#define GMI_TESTS_CHILD_PROCESS_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/child_status.h"
#include "support/service_process.h"

namespace test {

class child_process {
 public:
  child_process(const std::string &binary, const scratch_dir &dir,
                const std::vector<std::string> &args);
  ~child_process();  // kills the process if it still runs
  child_process(const child_process &) = delete;
  child_process &operator=(const child_process &) = delete;

  // Polls until 127.0.0.1:port accepts; false after 10 s or if the
  // process has exited.
  bool wait_until_listening(uint16_t port);
  void send_signal(int signal);
  // Waits up to 20 s (then kills); the exit status, or -1 if killed.
  int wait_for_exit();
  bool running();
  pid_t pid() const { return child_.pid(); }

  std::string standard_output() const { return dir_.read(out_name_); }
  std::string standard_error() const { return dir_.read(err_name_); }
  // Waits up to 10 s for text to appear on standard error.
  bool wait_for_error_text(const std::string &text);

 private:
  const scratch_dir &dir_;
  std::string out_name_;
  std::string err_name_;
  child_status child_;
};

// "127.0.0.1:<port>", as --listen, --metrics and --upstream take it.
std::string loopback(uint16_t port);

}  // namespace test

#endif  // GMI_TESTS_CHILD_PROCESS_H_
