// The pid of a process a test forked, and its exit status once reaped.

#ifndef GMI_TESTS_CHILD_STATUS_H_
#define GMI_TESTS_CHILD_STATUS_H_

#include <sys/types.h>

namespace test {

class child_status {
 public:
  // pid is fork()'s answer in the parent; -1 if the fork failed.
  void started(pid_t pid) { pid_ = pid; }
  pid_t pid() const { return pid_; }

  // Reaps the process if it has ended; false once it has, or if it never
  // started.
  bool running();
  // Waits up to 20 s for the process to end (then kills it); returns its
  // exit status, or -1 if it was killed.
  int wait_for_exit();
  // Kills the process if it still runs, and reaps it.
  void end();

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  bool reaped_ = false;
};

}  // namespace test

#endif  // GMI_TESTS_CHILD_STATUS_H_
