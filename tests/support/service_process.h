// Runs the real gmi-server in a scratch directory with a chosen library
// beside it, and collects everything it writes to standard output (a pipe,
// as under a supervisor).

#ifndef GMI_TESTS_SERVICE_PROCESS_H_
#define GMI_TESTS_SERVICE_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/child_status.h"
#include "support/port_block.h"

namespace test {

// A path inside the build tree, e.g. "gmi-server" or "libAuthSrv.so".
std::string build_path(const std::string &name);
// A test-double library built from tests/doubles, by variant name.
std::string double_path(const std::string &variant);

// A fresh directory under /tmp, removed with everything in it.
class scratch_dir {
 public:
  scratch_dir();
  ~scratch_dir();
  const std::string &path() const { return path_; }
  // Copies library to ./libAuthSrv.so.
  void install_library(const std::string &library) const;
  // The contents of a file in the directory; "" if there is none.
  std::string read(const std::string &name) const;

 private:
  std::string path_;
};

// Where the process's standard output goes.
enum class console_mode {
  collected,  // a pipe read as the process writes
  held,       // a pipe nobody reads until resume_reading()
  closed,     // descriptor 1 closed
  closed_with_input,  // descriptors 0 and 1 closed
};

class service_process {
 public:
  // Starts gmi-server in dir with args; env entries ("NAME=value") are added
  // to the test's own environment.
  service_process(const scratch_dir &dir, const std::vector<std::string> &args,
                  const std::vector<std::string> &env = {},
                  console_mode console = console_mode::collected);
  ~service_process();
  service_process(const service_process &) = delete;
  service_process &operator=(const service_process &) = delete;

  // Polls until 127.0.0.1:port accepts connections; false after 10 s or if
  // the process has exited.
  bool wait_until_listening(uint16_t port);
  // Waits up to 20 s for the process to end (then kills it); returns its
  // exit status, or -1 if it was killed.
  int wait_for_exit();
  bool running();
  // Starts reading a held console.
  void resume_reading();
  // What the process wrote so far; after wait_for_exit(), all of it.
  std::string output();
  // Waits up to limit for text to appear in the output.
  bool wait_for_output(const std::string &text,
                       std::chrono::milliseconds limit = std::chrono::seconds(10));
  // The TCP port the process listens on, read from /proc; 0 if none.
  uint16_t listening_port();

 private:
  void collect_output(int fd);

  child_status child_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string output_;
  bool output_closed_ = false;
  std::thread reader_;
  int held_fd_ = -1;
};

}  // namespace test

#endif  // GMI_TESTS_SERVICE_PROCESS_H_
