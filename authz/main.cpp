// gmi-authz: gives reverse proxies a status-code decision on gmi-server
// tokens, and Prometheus metrics and health checks for the service.
//
// Main binds both listeners, serves each on a thread of its own and waits
// for SIGTERM or SIGINT; then it stops both and returns 0.

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "access_log.h"
#include "decision.h"
#include "listener.h"
#include "options.h"
#include "routes.h"
#include "upstream_pool.h"

namespace {

// Blocked in every thread (they inherit the mask), so that only sigwait()
// on the main thread sees them.
sigset_t stop_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  return signals;
}

// "FRONT, else INSTANCE", or the instance alone.
std::string asked_text(const authz_options &options) {
  const std::string instance = options.upstream.text();
  return options.front ? options.front->text() + ", else " + instance : instance;
}

}  // namespace

int main(int argc, char **argv) {
  authz_options options;
  std::string error;
  switch (parse_options(argc, argv, options, error)) {
    case parse_outcome::help:
      fputs(usage_text, stdout);
      return 0;
    case parse_outcome::bad:
      fprintf(stderr, "gmi-authz: %s\n%s", error.c_str(), usage_text);
      return 2;
    case parse_outcome::run:
      break;
  }

  // A proxy that hangs up mid-answer must not end the process.
  signal(SIGPIPE, SIG_IGN);
  const sigset_t signals = stop_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  // The front and the instance are two processes, each with its own
  // console line when it stops or starts answering.
  upstream_health instance_health(options.upstream.text());
  upstream_pool instance_pool(options.upstream, options.upstream_connections);
  std::optional<upstream_health> front_health;
  std::optional<upstream_pool> front_pool;
  std::vector<decision_upstream> upstreams;
  if (options.front) {
    front_health.emplace(options.front->text());
    front_pool.emplace(*options.front, options.upstream_connections);
    upstreams.push_back({*front_pool, *front_health, "front"});
  }
  upstreams.push_back({instance_pool, instance_health, "instance"});
  decision_metrics metrics;
  // Never destroyed: its writer may be blocked on a reader that stopped.
  // Static, so that a leak checker at exit still finds it reachable.
  static access_log *const log =
      new access_log(options.access_log ? STDOUT_FILENO : -1, metrics.log_lines_dropped());
  decider decisions(options, upstreams, metrics, *log);

  listener decision_server;
  listener monitoring_server;
  route_decisions(decision_server, decisions, options.threads);
  route_monitoring(monitoring_server, options.upstream, metrics, instance_health);
  if (!decision_server.bind(options.listen) ||
      !monitoring_server.bind(options.metrics)) {
    return 2;
  }

  std::thread deciding([&] { decision_server.listen_after_bind(); });
  std::thread monitoring([&] { monitoring_server.listen_after_bind(); });
  fprintf(stderr,
          "gmi-authz: deciding on %s, metrics on %s, upstream %s "
          "(%zu connections, %lld ms timeout)\n",
          options.listen.text().c_str(), options.metrics.text().c_str(),
          asked_text(options).c_str(), options.upstream_connections,
          static_cast<long long>(options.timeout.count()));

  int received = 0;
  sigwait(&signals, &received);
  decision_server.stop();
  monitoring_server.stop();
  deciding.join();
  monitoring.join();
  log->finish(std::chrono::seconds(3));
  fprintf(stderr, "gmi-authz: stopped by %s\n",
          received == SIGTERM ? "SIGTERM" : "SIGINT");
  return 0;
}
