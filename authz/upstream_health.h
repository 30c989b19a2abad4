// Whether the service last answered, so that the console says when it goes
// down and when it comes back: one line per change, never one per request.
//
// Thread-safe: decisions, scrapes and probes report from any thread.

#ifndef GMI_AUTHZ_UPSTREAM_HEALTH_H_
#define GMI_AUTHZ_UPSTREAM_HEALTH_H_

#include <atomic>
#include <string>

class upstream_health {
 public:
  explicit upstream_health(std::string upstream) : upstream_(std::move(upstream)) {}

  void answered();
  // why: what went wrong, for the console line.
  void failed(const char *why);

 private:
  const std::string upstream_;
  std::atomic<bool> up_{true};
};

#endif  // GMI_AUTHZ_UPSTREAM_HEALTH_H_
