// A fixed number of kept-alive HTTP connections to the service, lent out one
// request at a time.
//
// The service serves each connection with one of its 8 workers and queues
// further connections in a listen backlog of 5, where they stall for
// seconds. So the companion never opens more connections than the pool
// holds: a decision that finds none free waits here until one
// is returned or its deadline passes.
//
// Thread-safe: any thread may acquire; a lease is used by its holder alone.

#ifndef GMI_AUTHZ_UPSTREAM_POOL_H_
#define GMI_AUTHZ_UPSTREAM_POOL_H_

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "options.h"

class upstream_pool {
 public:
  using clock = std::chrono::steady_clock;

  struct connection {
    httplib::Client client;
    clock::time_point last_used;
    explicit connection(const host_port &upstream);
  };

  // A connection on loan; goes back to the pool when destroyed.
  class lease {
   public:
    lease(upstream_pool *pool, connection *held) : pool_(pool), held_(held) {}
    lease(lease &&other) noexcept;
    lease(const lease &) = delete;
    lease &operator=(const lease &) = delete;
    lease &operator=(lease &&) = delete;
    ~lease();

    explicit operator bool() const { return held_ != nullptr; }
    // Sets every wait of the next request to what is left before deadline.
    httplib::Client &client(clock::time_point deadline);

   private:
    upstream_pool *pool_;
    connection *held_;
  };

  upstream_pool(const host_port &upstream, size_t size);

  // An empty lease if no connection came free before deadline.
  lease acquire(clock::time_point deadline);

 private:
  void give_back(connection *returned);

  std::vector<std::unique_ptr<connection>> connections_;
  std::mutex mutex_;
  std::condition_variable returned_;
  std::vector<connection *> idle_;  // under mutex_
};

#endif  // GMI_AUTHZ_UPSTREAM_POOL_H_
