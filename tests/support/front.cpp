#include "support/front.h"

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

front::front(size_t instance_count, const std::vector<std::string> &environment)
    : port_(free_port()),
      tls_port_(free_port()),
      admin_port_(free_port()),
      metrics_port_(free_port()) {
  dir_.install_library(build_path("libAuthSrv.so"));
  const std::string certificates = std::string(GMI_SOURCE_DIR) + "/scripts/dev-certs.sh '" +
                                   tls_path("") + "'";
  if (system(certificates.c_str()) != 0) return;
  std::ofstream list(dir_.path() + "/gmi-instances.cfg");
  list << "backend " << backend << " from gmi\n";
  for (size_t i = 0; i < instance_count; ++i) {
    const uint16_t port = free_port();
    const std::string name = "gmi-" + std::to_string(port);
    list << "    server " << name << " 127.0.0.1:" << port << "\n";
    instances_.push_back({name, port, start_in_dir({build_path("gmi-server"),
                                                    std::to_string(port)})});
  }
  list.close();

  const std::string deploy = std::string(GMI_SOURCE_DIR) + "/deploy/haproxy/";
  std::vector<std::string> command{
      "FRONT_PORT=" + std::to_string(port_), "FRONT_TLS_ADDR=127.0.0.1",
      "FRONT_TLS_PORT=" + std::to_string(tls_port_), "FRONT_ADMIN_ADDR=127.0.0.1",
      "FRONT_EDGE_PORT=" + std::to_string(free_port()),
      "FRONT_ADMIN_PORT=" + std::to_string(admin_port_),
      "FRONT_METRICS_PORT=" + std::to_string(metrics_port_), "FRONT_CERT=" + tls_path("server.pem"),
      "FRONT_ADMIN_CA=" + tls_path("ca.pem"), "FRONT_LUA=" + deploy + "gmi-instance-address.lua",
      "FRONT_ADMIN_SOCKET=" + dir_.path() + "/admin.sock",
      // These tests compare the front's answers with an instance's, most of
      // them for invalid tokens from this one address: the throttle of
      // failing clients would refuse it. It is proven on its own in
      // tests/system/test_abuse.py.
      "FRONT_THROTTLE_BUDGET=0", GMI_HAPROXY, "-f",
      deploy + "gmi-server.cfg", "-f", "gmi-instances.cfg"};
  // Only root can hand the worker to the haproxy user.
  if (geteuid() != 0) command.insert(command.begin(), "FRONT_KEEP_USER=1");
  command.insert(command.begin(), environment.begin(), environment.end());
  haproxy_ = start_in_dir(command);

  ready_ = eventually(10, [this] {
    return accepts_connections(port_) && accepts_connections(tls_port_) &&
           accepts_connections(admin_port_);
  });
  for (const front_instance &instance : instances_) {
    ready_ = ready_ && instance.process->wait_until_listening(instance.port);
  }
  ready_ = ready_ && wait_until_all_up();
}

// env(1) sets the environment and working directory, then execs the
// program itself, so the child keeps its process id.
std::unique_ptr<child_process> front::start_in_dir(
    const std::vector<std::string> &command) const {
  std::vector<std::string> args{"-C", dir_.path()};
  args.insert(args.end(), command.begin(), command.end());
  return std::make_unique<child_process>("/usr/bin/env", dir_, args);
}

front::~front() {
  // HAProxy first: its kept-alive connections would hold each stopping
  // instance for up to 5 s.
  haproxy_.reset();
  for (front_instance &instance : instances_) get(instance.port, "/quit");
  for (front_instance &instance : instances_) instance.process->wait_for_exit();
  end_restarted_instances(dir_);
}

std::string front::tls_path(const std::string &file) const {
  return dir_.path() + "/tls/" + file;
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

long front::requests_forwarded() const {
  // "show stat" is CSV: proxy name, server name, 5 queue and session
  // columns, then stot, the requests sent to that server in all.
  std::istringstream lines(admin("show stat"));
  std::string line;
  long total = 0;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string proxy, server, column;
    std::getline(fields, proxy, ',');
    std::getline(fields, server, ',');
    if (proxy != backend || server == "BACKEND") continue;
    for (int i = 0; i < 6; ++i) std::getline(fields, column, ',');
    total += atol(column.c_str());
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

int run_command(const std::string &command, std::string *output) {
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  output->clear();
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0) output->append(chunk, n);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int front::fleet(const std::string &arguments, std::string *output,
                 const std::string &environment) const {
  return run_command("GMI_INSTANCES='" + dir_.path() + "/gmi-instances.cfg' " +
                         "FRONT_ADMIN_SOCKET='" + dir_.path() + "/admin.sock' " +
                         "FLEET_CA='" + tls_path("ca.pem") + "' " + "FLEET_CLIENT_CERT='" +
                         tls_path("operator.pem") + "' " + "FRONT_CERT='" +
                         tls_path("server.pem") + "' " + environment + " '" +
                         GMI_SOURCE_DIR + "/fleet/gmi-fleet' " + arguments + " 2>&1",
                     output);
}

std::string front::start_command() const {
  const std::string script =
      "cd \"$0\" && { \"$1\" \"$PORT\" >>\"console-$PORT.log\" 2>&1 & "
      "echo $! >>restarted.pids; }";
  return "sh -c '" + script + "' '" + dir_.path() + "' '" + build_path("gmi-server") + "'";
}

}  // namespace test
