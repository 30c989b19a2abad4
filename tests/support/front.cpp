#include "support/front.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/http_client.h"

namespace test {

namespace {

using clock_type = std::chrono::steady_clock;
const char backend[] = "gmi-instances";

// Polls condition every 20 ms until it holds or `seconds` have passed.
template <typename Condition>
bool eventually(int seconds, Condition condition) {
  const auto deadline = clock_type::now() + std::chrono::seconds(seconds);
  while (!condition()) {
    if (clock_type::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool accepts_connections(uint16_t port) {
  return http_connection(port).connected();
}

// The value of a numeric field of a /log body; -1 without one.
long log_field(const std::string &body, const std::string &name) {
  const std::string key = "\"" + name + "\":";
  const size_t at = body.find(key);
  return at == std::string::npos ? -1 : atol(body.c_str() + at + key.size());
}

bool process_exists(pid_t pid) { return kill(pid, 0) == 0; }

// Instances gmi-fleet restart started: not our children, so they are
// waited for by polling.
void end_restarted_instances(const scratch_dir &dir) {
  std::istringstream pids(dir.read("restarted.pids"));
  pid_t pid;
  while (pids >> pid) {
    if (!eventually(10, [&] { return !process_exists(pid); })) kill(pid, SIGKILL);
  }
}

}  // namespace

child_process::child_process(const std::string &dir,
                             const std::vector<std::string> &argv,
                             const std::vector<std::string> &env,
                             const std::string &output) {
  pid_ = fork();
  if (pid_ != 0) return;
  if (chdir(dir.c_str()) != 0) _exit(127);
  const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  dup2(out, STDOUT_FILENO);
  dup2(out, STDERR_FILENO);
  for (const std::string &entry : env) putenv(strdup(entry.c_str()));
  std::vector<char *> args;
  for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

child_process::~child_process() {
  if (running()) kill(pid_, SIGTERM);
  wait_for_exit();
}

bool child_process::running() {
  if (reaped_ || pid_ <= 0) return false;
  int status;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
  reaped_ = true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return false;
}

int child_process::wait_for_exit() {
  if (!eventually(20, [this] { return !running(); })) {
    kill(pid_, SIGKILL);
    eventually(5, [this] { return !running(); });
  }
  return status_;
}

front::front(size_t instance_count) : port_(free_port()) {
  dir_.install_library(build_path("libAuthSrv.so"));
  std::ofstream list(dir_.path() + "/gmi-instances.cfg");
  list << "backend " << backend << " from gmi\n";
  for (size_t i = 0; i < instance_count; ++i) {
    const uint16_t port = free_port();
    const std::string name = "gmi-" + std::to_string(port);
    list << "    server " << name << " 127.0.0.1:" << port << "\n";
    instances_.push_back(
        {name, port,
         std::make_unique<child_process>(
             dir_.path(),
             std::vector<std::string>{build_path("gmi-server"), std::to_string(port)},
             std::vector<std::string>{},
             "console-" + std::to_string(port) + ".log")});
  }
  list.close();

  haproxy_ = std::make_unique<child_process>(
      dir_.path(),
      std::vector<std::string>{GMI_HAPROXY, "-f",
                               std::string(GMI_SOURCE_DIR) + "/deploy/haproxy/gmi-server.cfg",
                               "-f", "gmi-instances.cfg"},
      std::vector<std::string>{"FRONT_ADDR=127.0.0.1",
                               "FRONT_PORT=" + std::to_string(port_),
                               "FRONT_ADMIN_SOCKET=" + dir_.path() + "/admin.sock"},
      "haproxy.log");

  ready_ = eventually(10, [this] { return accepts_connections(port_); });
  for (const front_instance &instance : instances_) {
    ready_ = ready_ && eventually(10, [&] { return accepts_connections(instance.port); });
  }
  ready_ = ready_ && wait_until_all_up();
}

front::~front() {
  // HAProxy first: its kept-alive connections would hold each stopping
  // instance for up to 5 s.
  haproxy_.reset();
  for (front_instance &instance : instances_) get(instance.port, "/quit");
  for (front_instance &instance : instances_) instance.process->wait_for_exit();
  end_restarted_instances(dir_);
}

std::string front::admin(const std::string &command) const {
  const std::string path = dir_.path() + "/admin.sock";
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 &&
      send(fd, (command + "\n").data(), command.size() + 1, MSG_NOSIGNAL) > 0) {
    char chunk[4096];
    ssize_t n;
    while ((n = recv(fd, chunk, sizeof(chunk), 0)) > 0) answer.append(chunk, n);
  }
  close(fd);
  return answer;
}

bool front::wait_until_all_up() const {
  // "show servers state" lines: backend id, backend name, server id, server
  // name, address, operational state (2 is up), ...
  return eventually(10, [this] {
    std::istringstream lines(admin(std::string("show servers state ") + backend));
    std::string line;
    size_t up = 0;
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string id, backend_name, server_id, name, address, state;
      fields >> id >> backend_name >> server_id >> name >> address >> state;
      if (backend_name == backend && state == "2") ++up;
    }
    return up == instances_.size();
  });
}

long front::validations_reached() const {
  long total = 0;
  for (const front_instance &instance : instances_) {
    const long count = log_field(get(instance.port, "/log").body, "request_count");
    if (count < 0) return -1;
    total += count;
  }
  return total;
}

long front::peak_resident_kib(const front_instance &instance) const {
  std::ifstream status("/proc/" + std::to_string(instance.process->pid()) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return atol(line.c_str() + 6);
  }
  return -1;
}

int front::fleet(const std::string &arguments, std::string *output) const {
  const std::string command = "GMI_INSTANCES='" + dir_.path() + "/gmi-instances.cfg' " +
                              "FRONT_ADMIN_SOCKET='" + dir_.path() + "/admin.sock' '" +
                              GMI_SOURCE_DIR + "/deploy/gmi-fleet' " + arguments +
                              " 2>&1";
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  output->clear();
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0) output->append(chunk, n);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string front::start_command() const {
  const std::string script =
      "cd \"$0\" && { \"$1\" \"$PORT\" >>\"console-$PORT.log\" 2>&1 & "
      "echo $! >>restarted.pids; }";
  return "sh -c '" + script + "' '" + dir_.path() + "' '" + build_path("gmi-server") + "'";
}

}  // namespace test
