#include "support/service_process.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

namespace test {

namespace {

using clock_type = std::chrono::steady_clock;

bool can_connect(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok =
      connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
  close(fd);
  return ok;
}

// Inodes of the sockets a process holds open.
std::set<std::string> socket_inodes(pid_t pid) {
  std::set<std::string> inodes;
  const std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR *dir = opendir(fd_dir.c_str());
  if (dir == nullptr) return inodes;
  while (dirent *entry = readdir(dir)) {
    char target[256];
    const std::string link = fd_dir + "/" + entry->d_name;
    const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    std::string text(target);
    if (text.rfind("socket:[", 0) == 0) {
      inodes.insert(text.substr(8, text.size() - 9));
    }
  }
  closedir(dir);
  return inodes;
}

}  // namespace

std::string build_path(const std::string &name) {
  return std::string(GMI_BUILD_DIR) + "/" + name;
}

std::string double_path(const std::string &variant) {
  return build_path("tests/doubles/libauth_" + variant + ".so");
}

scratch_dir::scratch_dir() {
  char pattern[] = "/tmp/gmi-test-XXXXXX";
  path_ = mkdtemp(pattern);
}

scratch_dir::~scratch_dir() {
  const std::string command = "rm -rf '" + path_ + "'";
  if (system(command.c_str()) != 0) perror("rm");
}

void scratch_dir::install_library(const std::string &library) const {
  std::ifstream in(library, std::ios::binary);
  std::ofstream out(path_ + "/libAuthSrv.so", std::ios::binary);
  out << in.rdbuf();
}

std::string scratch_dir::read(const std::string &name) const {
  std::ifstream in(path_ + "/" + name);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

service_process::service_process(const scratch_dir &dir,
                                 const std::vector<std::string> &args,
                                 const std::vector<std::string> &env,
                                 console_mode console) {
  const bool piped = console == console_mode::collected ||
                     console == console_mode::held;
  int pipe_fds[2] = {-1, -1};
  if (piped && pipe(pipe_fds) != 0) return;
  const std::string binary = build_path("gmi-server");
  child_.started(fork());
  if (child_.pid() == 0) {
    if (piped) {
      dup2(pipe_fds[1], STDOUT_FILENO);
      close(pipe_fds[0]);
      close(pipe_fds[1]);
    } else {
      close(STDOUT_FILENO);
      if (console == console_mode::closed_with_input) close(STDIN_FILENO);
    }
    if (chdir(dir.path().c_str()) != 0) _exit(127);
    for (const std::string &entry : env) putenv(strdup(entry.c_str()));
    std::vector<char *> argv{const_cast<char *>(binary.c_str())};
    for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  if (!piped) {
    output_closed_ = true;
    return;
  }
  close(pipe_fds[1]);
  if (console == console_mode::held) {
    held_fd_ = pipe_fds[0];
  } else {
    reader_ = std::thread(&service_process::collect_output, this, pipe_fds[0]);
  }
}

void service_process::resume_reading() {
  if (held_fd_ < 0) return;
  reader_ = std::thread(&service_process::collect_output, this, held_fd_);
  held_fd_ = -1;
}

service_process::~service_process() {
  child_.end();
  resume_reading();
  wait_for_exit();
  if (reader_.joinable()) reader_.join();
}

void service_process::collect_output(int fd) {
  char chunk[4096];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof(chunk))) > 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    output_.append(chunk, static_cast<size_t>(n));
    changed_.notify_all();
  }
  close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  output_closed_ = true;
  changed_.notify_all();
}

bool service_process::running() { return child_.running(); }

bool service_process::wait_until_listening(uint16_t port) {
  const auto deadline = clock_type::now() + std::chrono::seconds(10);
  while (clock_type::now() < deadline && running()) {
    if (can_connect(port)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

int service_process::wait_for_exit() {
  const int status = child_.wait_for_exit();
  // The pipe closes when the process's last descriptor does.
  if (!reader_.joinable()) return status;
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::seconds(5), [this] { return output_closed_; });
  return status;
}

std::string service_process::output() {
  std::lock_guard<std::mutex> lock(mutex_);
  return output_;
}

bool service_process::wait_for_output(const std::string &text,
                                      std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [&] {
    return output_.find(text) != std::string::npos || output_closed_;
  }) && output_.find(text) != std::string::npos;
}

uint16_t service_process::listening_port() {
  const std::set<std::string> inodes = socket_inodes(child_.pid());
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // column titles
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid,
        timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >>
        retransmits >> uid >> timeout >> inode;
    if (state == "0A" && inodes.count(inode)) {
      return static_cast<uint16_t>(
          std::stoul(local.substr(local.find(':') + 1), nullptr, 16));
    }
  }
  return 0;
}

}  // namespace test
