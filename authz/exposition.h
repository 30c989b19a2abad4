// The /metrics page in the Prometheus text format 0.0.4: the service's
// figures from one /log report (or gmi_up 0 alone without one), then the
// companion's own. The /log per-second average is left out on purpose:
// Prometheus computes rates from the counters. Pure; safe on any thread.

#ifndef GMI_AUTHZ_EXPOSITION_H_
#define GMI_AUTHZ_EXPOSITION_H_

#include <optional>
#include <string>

#include "decision_metrics.h"
#include "service_log.h"

extern const char exposition_content_type[];

std::string metrics_page(const std::optional<service_log> &log,
                         const decision_metrics &decisions);

#endif  // GMI_AUTHZ_EXPOSITION_H_
