// gmi-server-init [PORT]: the image's first process. Runs
// /usr/sbin/gmi-server PORT (default 60002) and stops it the way it is meant
// to stop.
//
// The service handles no signals, and as a container's process 1 it would
// not even die of SIGTERM (the kernel drops signals that process 1 has no
// handler for), so `podman stop` or a Kubernetes pod deletion would wait for
// SIGKILL and lose the teardown. This process turns SIGTERM and SIGINT into
// GET /quit on 127.0.0.1:PORT, waits for the service's exit and exits with
// its status, so that `[Server] Exit` and status 0 reach the container's log.
// Until /quit is answered or the service has exited it asks again every
// 100 ms: the service may still be starting (not yet listening), or already
// tearing down after a /quit sent by someone else (a Kubernetes preStop
// hook), and killing it then would cut its teardown short. A service that
// never answers is left to the runtime's own SIGKILL at the end of its grace
// period.
//
// Keys: the library reads AUTHSRV_KEYS. With AUTHSRV_KEYS_FILE set instead
// (a mounted secret), the file's content, trimmed of surrounding white
// space, becomes AUTHSRV_KEYS for the service, so that keys never need to be
// in the container's configuration.
//
// Single-threaded: every signal is blocked and taken with sigwaitinfo, so no
// handler runs concurrently with anything.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr const char *service_path = "/usr/sbin/gmi-server";
constexpr const char *default_port = "60002";
// Exit status for this process's own failures (bad key file, no fork, no
// service to run), distinct from every status the service documents.
constexpr int init_failure = 2;

sigset_t handled_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGCHLD);
  return signals;
}

std::string trimmed(const std::string &text) {
  const char *space = " \t\r\n";
  const auto first = text.find_first_not_of(space);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// AUTHSRV_KEYS_FILE, when set, supplies AUTHSRV_KEYS. Setting both is
// refused: which one the operator meant cannot be guessed.
bool load_key_file() {
  const char *path = getenv("AUTHSRV_KEYS_FILE");
  if (path == nullptr) return true;
  if (getenv("AUTHSRV_KEYS") != nullptr) {
    fprintf(stderr, "gmi-server-init: set AUTHSRV_KEYS or AUTHSRV_KEYS_FILE, not both\n");
    return false;
  }
  std::ifstream file(path);
  if (!file) {
    fprintf(stderr, "gmi-server-init: cannot read AUTHSRV_KEYS_FILE %s: %s\n", path,
            strerror(errno));
    return false;
  }
  std::ostringstream content;
  content << file.rdbuf();
  setenv("AUTHSRV_KEYS", trimmed(content.str()).c_str(), 1);
  return true;
}

pid_t start_service(const char *port, const sigset_t &original_mask) {
  const pid_t child = fork();
  if (child != 0) return child;
  sigprocmask(SIG_SETMASK, &original_mask, nullptr);
  execl(service_path, service_path, port, static_cast<char *>(nullptr));
  fprintf(stderr, "gmi-server-init: cannot run %s: %s\n", service_path, strerror(errno));
  _exit(init_failure);
}

// One GET /quit; true when the service answered 200.
bool send_quit(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const timeval limit{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  const char request[] =
      "GET /quit HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  char answer[16] = {};
  const bool acknowledged =
      connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
      send(fd, request, sizeof request - 1, MSG_NOSIGNAL) == sizeof request - 1 &&
      recv(fd, answer, sizeof answer - 1, MSG_WAITALL) > 0 &&
      strncmp(answer, "HTTP/1.1 200 ", 13) == 0;
  close(fd);
  return acknowledged;
}

bool service_exited(pid_t service, int &status) {
  // Process 1 adopts orphans: reap whatever ended, note only the service.
  for (;;) {
    int child_status = 0;
    const pid_t ended = waitpid(-1, &child_status, WNOHANG);
    if (ended <= 0) return false;
    if (ended == service) {
      status = child_status;
      return true;
    }
  }
}

// Without reaping it: its status is collected by service_exited.
bool has_exited(pid_t service) {
  siginfo_t info{};
  return waitid(P_PID, service, &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == service;
}

void stop_service(pid_t service, uint16_t port) {
  while (!send_quit(port) && !has_exited(service)) usleep(100 * 1000);
}

int exit_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char **argv) {
  const char *port_text = argc > 1 ? argv[1] : default_port;
  const auto port = static_cast<uint16_t>(strtol(port_text, nullptr, 10));
  if (!load_key_file()) return init_failure;

  const sigset_t signals = handled_signals();
  sigset_t original_mask;
  sigprocmask(SIG_BLOCK, &signals, &original_mask);
  const pid_t service = start_service(port_text, original_mask);
  if (service < 0) {
    perror("gmi-server-init: fork");
    return init_failure;
  }

  bool stopping = false;
  for (;;) {
    int status = 0;
    if (service_exited(service, status)) return exit_status(status);
    siginfo_t received{};
    if (sigwaitinfo(&signals, &received) < 0) continue;
    if (received.si_signo != SIGCHLD && !stopping) {
      stopping = true;
      stop_service(service, port);
    }
  }
}
