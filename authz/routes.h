// The two listeners' routes and HTTP settings.
//
// Decisions: every path and every method is a decision (Envoy appends the
// original path; nginx and Traefik call a fixed one). Monitoring: /metrics,
// /healthz and /readyz.
//
// Called on the main thread before listening; the servers then call the
// handlers from their worker threads.

#ifndef GMI_AUTHZ_ROUTES_H_
#define GMI_AUTHZ_ROUTES_H_

#include <httplib.h>

#include "decision.h"
#include "decision_metrics.h"
#include "options.h"
#include "upstream_health.h"

void route_decisions(httplib::Server &server, decider &decisions,
                     size_t threads);

void route_monitoring(httplib::Server &server, const host_port &upstream,
                      const decision_metrics &metrics, upstream_health &health);

#endif  // GMI_AUTHZ_ROUTES_H_
