#include "support/child_status.h"

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

namespace test {

bool child_status::running() {
  if (reaped_ || pid_ <= 0) return false;
  int status;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    reaped_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return false;
  }
  return true;
}

int child_status::wait_for_exit() {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (running()) {
    if (std::chrono::steady_clock::now() > deadline) kill(pid_, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status_;
}

void child_status::end() {
  if (running()) kill(pid_, SIGKILL);
  wait_for_exit();
}

}  // namespace test
