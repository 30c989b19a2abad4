#include "options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>

const char usage_text[] =
    "usage: gmi-authz [--listen HOST:PORT] [--metrics HOST:PORT]\n"
    "                 [--upstream HOST:PORT] [--front HOST:PORT]\n"
    "                 [--user-header NAME] [--token-cookie NAME]\n"
    "                 [--timeout SECONDS] [--connections N]\n"
    "                 [--threads N] [--trusted-proxy CIDR[,CIDR...]]\n"
    "                 [--throttle-budget N] [--throttle-share PERCENT]\n"
    "                 [--throttle-window SECONDS] [--throttle-ban SECONDS]\n"
    "                 [--throttle-clients N] [--no-access-log]\n"
    "\n"
    "  --listen HOST:PORT     decisions for reverse proxies (127.0.0.1:60003)\n"
    "  --metrics HOST:PORT    /metrics, /healthz, /readyz (127.0.0.1:60004)\n"
    "  --upstream HOST:PORT   the gmi-server to ask (127.0.0.1:60002)\n"
    "  --front HOST:PORT      ask decisions through this HAProxy front,\n"
    "                         --upstream while nothing listens there;\n"
    "                         metrics always read --upstream\n"
    "  --user-header NAME     header holding the user (X-GMI-User)\n"
    "  --token-cookie NAME    cookie holding the token (gmi)\n"
    "  --timeout SECONDS      budget of one decision (2)\n"
    "  --connections N        kept-alive upstream connections (6)\n"
    "  --threads N            decision threads, one per open proxy\n"
    "                         connection (128)\n"
    "  --trusted-proxy CIDR   a proxy whose X-Forwarded-For names the\n"
    "                         client; repeatable, or comma-separated (none)\n"
    "  --throttle-budget N    failures a client may have in the window (20)\n"
    "  --throttle-share PERCENT  share of its answers that may fail once\n"
    "                         past the budget (50)\n"
    "  --throttle-window SECONDS  the window (10)\n"
    "  --throttle-ban SECONDS how long a client past both is refused (60);\n"
    "                         any throttle figure 0 turns the throttle off\n"
    "  --throttle-clients N   clients tracked at most (100000)\n"
    "  --no-access-log        no line per decision on standard output\n"
    "  --help                 this text\n";

namespace {

bool parse_count(const std::string &text, long max, size_t &out) {
  char *end = nullptr;
  errno = 0;
  const long value = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < 1 || value > max) {
    return false;
  }
  out = static_cast<size_t>(value);
  return true;
}

// Like parse_count, 0 included.
bool parse_figure(const std::string &text, long max, uint64_t &out) {
  if (text == "0") {
    out = 0;
    return true;
  }
  size_t value = 0;
  if (!parse_count(text, max, value)) return false;
  out = value;
  return true;
}

bool parse_whole_seconds(const std::string &text, long max, std::chrono::seconds &out) {
  uint64_t value = 0;
  if (!parse_figure(text, max, value)) return false;
  out = std::chrono::seconds(value);
  return true;
}

// One or more networks, comma-separated, each added.
bool parse_networks(const std::string &text, std::vector<ip_network> &out) {
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = std::min(text.find(',', start), text.size());
    const std::optional<ip_network> network = ip_network::parse(text.substr(start, comma - start));
    if (!network) return false;
    out.push_back(*network);
    start = comma + 1;
  }
  return true;
}

// HOST:PORT, split at the last colon; the port is 1 to 65535.
bool parse_host_port(const std::string &text, host_port &out) {
  const size_t colon = text.rfind(':');
  size_t port = 0;
  if (colon == std::string::npos || colon == 0 ||
      !parse_count(text.substr(colon + 1), 65535, port)) {
    return false;
  }
  out.host = text.substr(0, colon);
  out.port = static_cast<int>(port);
  return true;
}

// Decimal seconds, from a millisecond up to an hour.
bool parse_seconds(const std::string &text, std::chrono::milliseconds &out) {
  char *end = nullptr;
  const double seconds = strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(seconds) ||
      seconds < 0.001 || seconds > 3600) {
    return false;
  }
  out = std::chrono::milliseconds(std::lround(seconds * 1000));
  return true;
}

// A header or cookie name: visible ASCII without separators.
bool parse_name(const std::string &text, std::string &out) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c <= ' ' || c >= 127 || std::string("()<>@,;:\\\"/[]?={}").find(c) !=
                                    std::string::npos) {
      return false;
    }
  }
  out = text;
  return true;
}

bool parse_value(const std::string &option, const std::string &value,
                 authz_options &options) {
  if (option == "--listen") return parse_host_port(value, options.listen);
  if (option == "--metrics") return parse_host_port(value, options.metrics);
  if (option == "--upstream") return parse_host_port(value, options.upstream);
  if (option == "--front") return parse_host_port(value, options.front.emplace());
  if (option == "--user-header") return parse_name(value, options.user_header);
  if (option == "--token-cookie") return parse_name(value, options.token_cookie);
  if (option == "--timeout") return parse_seconds(value, options.timeout);
  // More upstream connections than the service has workers would only
  // turn into stalls in its listen backlog.
  if (option == "--connections") {
    return parse_count(value, 64, options.upstream_connections);
  }
  if (option == "--threads") return parse_count(value, 4096, options.threads);
  if (option == "--trusted-proxy") return parse_networks(value, options.trusted_proxies);
  throttle_settings &throttle = options.throttle;
  if (option == "--throttle-budget") return parse_figure(value, 1000000, throttle.budget);
  if (option == "--throttle-share") return parse_figure(value, 100, throttle.share_percent);
  if (option == "--throttle-window") return parse_whole_seconds(value, 3600, throttle.window);
  if (option == "--throttle-ban") return parse_whole_seconds(value, 86400, throttle.ban);
  if (option == "--throttle-clients") return parse_count(value, 10000000, throttle.capacity);
  return false;
}

bool takes_value(const std::string &option) {
  for (const char *known : {"--listen", "--metrics", "--upstream", "--front",
                            "--user-header", "--token-cookie", "--timeout",
                            "--connections", "--threads", "--trusted-proxy",
                            "--throttle-budget", "--throttle-share",
                            "--throttle-window", "--throttle-ban",
                            "--throttle-clients"}) {
    if (option == known) return true;
  }
  return false;
}

}  // namespace

parse_outcome parse_options(int argc, char **argv, authz_options &options,
                            std::string &error) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help") return parse_outcome::help;
    if (option == "--no-access-log") {
      options.access_log = false;
      continue;
    }
    if (!takes_value(option)) {
      error = "unknown option '" + option + "'";
      return parse_outcome::bad;
    }
    if (i + 1 == argc) {
      error = option + " needs a value";
      return parse_outcome::bad;
    }
    const std::string value = argv[++i];
    if (!parse_value(option, value, options)) {
      error = "bad value '" + value + "' for " + option;
      return parse_outcome::bad;
    }
  }
  return parse_outcome::run;
}
