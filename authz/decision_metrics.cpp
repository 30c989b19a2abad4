#include "decision_metrics.h"

#include <cstdio>

namespace {

const char *const result_labels[] = {"allow", "deny", "error"};

}  // namespace

void decision_metrics::record(decision_result result,
                              std::string_view deny_reason,
                              std::chrono::nanoseconds took) {
  results_[static_cast<size_t>(result)].fetch_add(1, std::memory_order_relaxed);
  if (result == decision_result::deny) {
    const size_t reason = reason_index(deny_reason);
    if (reason < deny_reason_count) {
      denials_[reason].fetch_add(1, std::memory_order_relaxed);
    }
  }
  const double seconds = std::chrono::duration<double>(took).count();
  size_t bucket = 0;
  while (bucket < bucket_count && seconds > bucket_bounds[bucket]) {
    ++bucket;
  }
  durations_[bucket].fetch_add(1, std::memory_order_relaxed);
  duration_sum_ns_.fetch_add(static_cast<uint64_t>(took.count()),
                             std::memory_order_relaxed);
}

void decision_metrics::write_exposition(std::string &out) const {
  out +=
      "# HELP gmi_authz_decisions_total Decisions answered: allow (200), deny "
      "(401) or error (503).\n"
      "# TYPE gmi_authz_decisions_total counter\n";
  for (size_t i = 0; i < 3; ++i) {
    out += "gmi_authz_decisions_total{result=\"" + std::string(result_labels[i]) +
           "\"} " + std::to_string(results_[i].load()) + "\n";
  }
  out +=
      "# HELP gmi_authz_denials_total Denials by the reason sent in "
      "X-GMI-Reason.\n"
      "# TYPE gmi_authz_denials_total counter\n";
  for (size_t i = 0; i < deny_reason_count; ++i) {
    out += "gmi_authz_denials_total{reason=\"" + std::string(deny_reasons[i]) +
           "\"} " + std::to_string(denials_[i].load()) + "\n";
  }
  out +=
      "# HELP gmi_authz_decision_duration_seconds Time from a decision "
      "request to its answer.\n"
      "# TYPE gmi_authz_decision_duration_seconds histogram\n";
  uint64_t cumulative = 0;
  for (size_t i = 0; i <= bucket_count; ++i) {
    char bound[32] = "+Inf";
    if (i < bucket_count) snprintf(bound, sizeof(bound), "%g", bucket_bounds[i]);
    cumulative += durations_[i].load();
    out += "gmi_authz_decision_duration_seconds_bucket{le=\"" +
           std::string(bound) + "\"} " + std::to_string(cumulative) + "\n";
  }
  char sum[64];
  snprintf(sum, sizeof(sum), "%.9f", static_cast<double>(duration_sum_ns_.load()) / 1e9);
  out += "gmi_authz_decision_duration_seconds_sum " + std::string(sum) + "\n";
  out += "gmi_authz_decision_duration_seconds_count " + std::to_string(cumulative) + "\n";
  out +=
      "# HELP gmi_authz_throttled_total Decisions refused (403 throttled) "
      "because the client's tokens failed too often.\n"
      "# TYPE gmi_authz_throttled_total counter\n"
      "gmi_authz_throttled_total " + std::to_string(throttled_.load()) + "\n"
      "# HELP gmi_authz_log_lines_dropped_total Access log lines dropped "
      "while standard output's reader fell behind.\n"
      "# TYPE gmi_authz_log_lines_dropped_total counter\n"
      "gmi_authz_log_lines_dropped_total " + std::to_string(log_lines_dropped_.load()) + "\n";
}
