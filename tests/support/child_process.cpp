#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/http_client.h"

namespace test {

namespace {

using clock_type = std::chrono::steady_clock;

// Several processes may share one scratch directory.
std::string next_name(const char *stream) {
  static std::atomic<int> started{0};
  return "child-" + std::to_string(started++) + "." + stream;
}

}  // namespace

std::string loopback(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

child_process::child_process(const std::string &binary, const scratch_dir &dir,
                             const std::vector<std::string> &args)
    : dir_(dir), out_name_(next_name("out")), err_name_(next_name("err")) {
  const std::string out_path = dir.path() + "/" + out_name_;
  const std::string err_path = dir.path() + "/" + err_name_;
  std::vector<char *> argv{const_cast<char *>(binary.c_str())};
  for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);
  child_.started(fork());
  if (child_.pid() == 0) {
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0) _exit(127);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
}

child_process::~child_process() { child_.end(); }

bool child_process::running() { return child_.running(); }

bool child_process::wait_until_listening(uint16_t port) {
  const auto deadline = clock_type::now() + std::chrono::seconds(10);
  while (clock_type::now() < deadline && running()) {
    if (http_connection(port).connected()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void child_process::send_signal(int signal) {
  if (running()) kill(child_.pid(), signal);
}

int child_process::wait_for_exit() { return child_.wait_for_exit(); }

bool child_process::wait_for_error_text(const std::string &text) {
  const auto deadline = clock_type::now() + std::chrono::seconds(10);
  while (standard_error().find(text) == std::string::npos) {
    if (clock_type::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace test
