// The companion's own counters: decisions by result, denials by reason, and
// how long decisions take, written out in the Prometheus text format.
//
// Thread-safe and lock-free: decisions record from many threads while a
// scrape reads. A scrape may see a decision counted in one series and not
// yet in the next; each series on its own never goes back.

#ifndef GMI_AUTHZ_DECISION_METRICS_H_
#define GMI_AUTHZ_DECISION_METRICS_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "reasons.h"

// throttled: never recorded here (see record_throttled).
enum class decision_result { allow, deny, error, throttled };

class decision_metrics {
 public:
  // deny_reason: one of deny_reasons when result is deny, else ignored.
  void record(decision_result result, std::string_view deny_reason,
              std::chrono::nanoseconds took);
  // A decision refused by the throttle (403 throttled).
  void record_throttled() { throttled_.fetch_add(1, std::memory_order_relaxed); }
  // The access log's count of lines it dropped (access_log.h).
  std::atomic<uint64_t> &log_lines_dropped() { return log_lines_dropped_; }
  void write_exposition(std::string &out) const;

  // Upper bounds of the duration histogram's buckets, in seconds: from a
  // kept-alive loopback answer to the 2 s default timeout and beyond.
  static constexpr double bucket_bounds[] = {0.0005, 0.001, 0.0025, 0.005,
                                             0.01,   0.025, 0.05,   0.1,
                                             0.25,   0.5,   1,      2.5, 5};
  static constexpr size_t bucket_count =
      sizeof(bucket_bounds) / sizeof(bucket_bounds[0]);

 private:
  std::atomic<uint64_t> results_[3] = {};
  std::atomic<uint64_t> denials_[deny_reason_count] = {};
  // Per bucket, not cumulative; the last one is +Inf.
  std::atomic<uint64_t> durations_[bucket_count + 1] = {};
  std::atomic<uint64_t> duration_sum_ns_{0};
  std::atomic<uint64_t> throttled_{0};
  std::atomic<uint64_t> log_lines_dropped_{0};
};

#endif  // GMI_AUTHZ_DECISION_METRICS_H_
