// An httplib::Server whose listening socket takes a full backlog.
//
// The library listens with a backlog of 5. A proxy that opens or reopens
// many connections at once (at start, or when they all reach their request
// limit together) would have its SYNs dropped and retried one, three,
// seven seconds later: measured as a p99 of seconds under 64 connections.
// Calling listen() again on the bound socket widens the queue.
//
// Bound on the main thread; then used as any httplib::Server.

#ifndef GMI_AUTHZ_LISTENER_H_
#define GMI_AUTHZ_LISTENER_H_

#include <httplib.h>

#include "options.h"

class listener : public httplib::Server {
 public:
  // False, with a line on stderr, if address cannot be bound.
  bool bind(const host_port &address);
};

#endif  // GMI_AUTHZ_LISTENER_H_
