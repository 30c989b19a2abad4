#include "upstream_pool.h"

#include <algorithm>

namespace {

// The service drops a connection after 5 idle seconds. One idle for longer
// than this is closed and opened afresh, rather than raced against that
// close with a request that would be lost.
constexpr auto idle_limit = std::chrono::seconds(4);

}  // namespace

upstream_pool::connection::connection(const host_port &upstream)
    : client(upstream.host, upstream.port) {
  client.set_keep_alive(true);
  // Targets are escaped here, byte for byte; the library must not touch
  // them again.
  client.set_url_encode(false);
  // Without it each request waits on Nagle against the service's delayed
  // ACK.
  client.set_tcp_nodelay(true);
}

upstream_pool::lease::lease(lease &&other) noexcept
    : pool_(other.pool_), held_(other.held_) {
  other.held_ = nullptr;
}

upstream_pool::lease::~lease() {
  if (held_ != nullptr) pool_->give_back(held_);
}

httplib::Client &upstream_pool::lease::client(clock::time_point deadline) {
  const auto now = clock::now();
  if (now - held_->last_used > idle_limit) held_->client.stop();
  held_->last_used = now;
  // Whole milliseconds, rounded up: the library waits in poll(), whose
  // time-out it truncates to milliseconds, and a wait that ended a fraction
  // of a millisecond before the deadline was taken for a failed exchange
  // rather than a timed-out one.
  const auto left = std::max(std::chrono::ceil<std::chrono::milliseconds>(deadline - now),
                             std::chrono::milliseconds(1));
  held_->client.set_connection_timeout(left);
  held_->client.set_read_timeout(left);
  held_->client.set_write_timeout(left);
  return held_->client;
}

upstream_pool::upstream_pool(const host_port &upstream, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    connections_.push_back(std::make_unique<connection>(upstream));
    idle_.push_back(connections_.back().get());
  }
}

upstream_pool::lease upstream_pool::acquire(clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!returned_.wait_until(lock, deadline, [this] { return !idle_.empty(); })) {
    return lease(this, nullptr);
  }
  connection *taken = idle_.back();
  idle_.pop_back();
  return lease(this, taken);
}

void upstream_pool::give_back(connection *returned) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    idle_.push_back(returned);
  }
  returned_.notify_one();
}
