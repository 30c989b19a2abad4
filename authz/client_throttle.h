// The companion's throttle of clients whose tokens fail: the same rule as
// the front's (deploy/haproxy/gmi-server.cfg, where each figure is argued).
// Per client address, over a sliding window: failures (tokens the service
// or the companion found invalid) and answers (those plus valid ones). A
// client with more than `budget` failures, and more than `share_percent`
// of its answers failing, is refused for `ban`. Requests without a token
// count for nothing: a browser without its cookie yet is not guessing.
//
// Bounded: at most `capacity` clients are tracked; past that, the one
// unseen longest is forgotten first.
//
// Thread-safe: one mutex, held for a map lookup and a few additions per
// decision.

#ifndef GMI_AUTHZ_CLIENT_THROTTLE_H_
#define GMI_AUTHZ_CLIENT_THROTTLE_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

struct throttle_settings {
  uint64_t budget = 20;
  uint64_t share_percent = 50;
  std::chrono::seconds window{10};
  std::chrono::seconds ban{60};
  size_t capacity = 100000;

  // Any figure 0 turns the throttle off.
  bool on() const {
    return budget > 0 && share_percent > 0 && window.count() > 0 && ban.count() > 0;
  }
};

class client_throttle {
 public:
  using clock = std::chrono::steady_clock;

  explicit client_throttle(const throttle_settings &settings) : settings_(settings) {}

  // Seconds of the client's refusal left (rounded up), 0 if not refused.
  int64_t refused_for(const std::string &client, clock::time_point now);
  // An answered decision: failed when the token was found invalid.
  void record(const std::string &client, bool failed, clock::time_point now);

  size_t tracked();

 private:
  // Events over a sliding window, as HAProxy's rate counters count them:
  // this period's, plus the last period's weighted by how much of it
  // still lies within the window.
  struct window_count {
    clock::time_point period_start;
    uint64_t current = 0;
    uint64_t previous = 0;
    void roll(clock::time_point now, clock::duration period);
    uint64_t value(clock::time_point now, clock::duration period) const;
  };
  struct client_state {
    window_count failures;
    window_count answers;
    clock::time_point refused_until;
    std::list<std::string>::iterator age;  // its place in seen_
  };

  // The client's state, made most recently seen; created (forgetting the
  // oldest past capacity) when new.
  client_state &touch(const std::string &client, clock::time_point now);

  const throttle_settings settings_;
  std::mutex mutex_;
  std::unordered_map<std::string, client_state> clients_;  // under mutex_
  std::list<std::string> seen_;  // under mutex_; least recently seen first
};

#endif  // GMI_AUTHZ_CLIENT_THROTTLE_H_
