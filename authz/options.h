// The command line of gmi-authz: where it listens, which service it asks,
// where it finds the token and the user, and how long it waits.
//
// Parsed once on the main thread before anything starts; read-only after.

#ifndef GMI_AUTHZ_OPTIONS_H_
#define GMI_AUTHZ_OPTIONS_H_

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "client_address.h"
#include "client_throttle.h"

struct host_port {
  std::string host;
  int port = 0;

  std::string text() const { return host + ":" + std::to_string(port); }
};

struct authz_options {
  host_port listen{"127.0.0.1", 60003};
  host_port metrics{"127.0.0.1", 60004};
  host_port upstream{"127.0.0.1", 60002};
  // The host's HAProxy front, when decisions go through it: a restarting
  // instance then costs no decision (16 connections through one restart of
  // the instance alone got 779 answers 503 in 6 s). While nothing listens
  // there (no front on this host, or one restarting), decisions go to the
  // instance itself. Metrics and readiness always read the instance's own
  // /log, which the front refuses.
  std::optional<host_port> front;
  std::string user_header = "X-GMI-User";
  std::string token_cookie = "gmi";
  // Whole budget of one decision, waiting for a free upstream connection
  // included.
  std::chrono::milliseconds timeout{2000};
  // Kept-alive connections to the service; decisions beyond them queue.
  // Its 8 workers serve 8 connections at once; 6 left 2 for monitoring and
  // direct clients and measured best at 64 proxy connections (2: 4.0k
  // decisions/s, 4: 4.9k, 6: 6.0k, 8: 5.6k with a worse tail).
  size_t upstream_connections = 6;
  // Decision threads: each open connection from a proxy holds one.
  size_t threads = 128;
  // Proxies whose X-Forwarded-For names the client (client_address.h);
  // none by default: the peer is the client.
  std::vector<ip_network> trusted_proxies;
  // Clients whose tokens fail too often are refused (client_throttle.h).
  throttle_settings throttle;
  // One line per decision on standard output (access_log.h).
  bool access_log = true;
};

enum class parse_outcome { run, help, bad };

// Fills options from argv. On bad, error says what was wrong.
parse_outcome parse_options(int argc, char **argv, authz_options &options,
                            std::string &error);

extern const char usage_text[];

#endif  // GMI_AUTHZ_OPTIONS_H_
