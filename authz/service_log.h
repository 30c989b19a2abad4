// The service's /log report, fetched on demand: by /metrics once per scrape
// and by /readyz once per probe. The companion keeps no copy and runs no
// timer of its own.
//
// Each fetch opens its own short connection, outside the decision pool, so
// that a scrape never waits behind decisions. Safe on any thread.

#ifndef GMI_AUTHZ_SERVICE_LOG_H_
#define GMI_AUTHZ_SERVICE_LOG_H_

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "options.h"

struct service_log {
  uint32_t auth_version = 0;
  uint64_t request_count = 0;
  uint64_t invalid_count = 0;
  bool bypass = false;
  // The report gives local time to the second; read in the companion's own
  // time zone, which beside the service is the same one.
  time_t start_time = 0;
};

// Empty unless body is exactly the shape /log answers.
std::optional<service_log> parse_service_log(const std::string &body);

// Empty if the service does not answer 200 with a /log report within limit.
std::optional<service_log> fetch_service_log(const host_port &upstream,
                                             std::chrono::milliseconds limit);

#endif  // GMI_AUTHZ_SERVICE_LOG_H_
