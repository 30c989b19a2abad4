// log_manager keeps the service's running statistics: request and invalid
// counts, bypass state, and the mean validation rate over the last minute,
// sampled once a second by a thread of its own.
//
// Threading: worker threads call add_request(), add_invalid(), set_bypass()
// and to_json(); the sampling thread runs run(); the entry point's thread
// constructs, calls start(), stop() and join(), and destroys the object after
// join() has returned.
//
// The counters, bypass_flag and running are atomic and never need the lock.
// The window (samples, last_count, average) is touched only under mutex, and
// sampling_enabled is only written under it. to_json() reads the counters
// without the lock, so a report is not a snapshot of one instant.

#ifndef GMI_STATS_LOG_MANAGER_H_
#define GMI_STATS_LOG_MANAGER_H_

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class log_manager {
 public:
  static constexpr size_t window_length = 60;

  explicit log_manager(uint16_t port);
  ~log_manager();

  log_manager(const log_manager &) = delete;
  log_manager &operator=(const log_manager &) = delete;

  void add_request() { request_count.fetch_add(1, std::memory_order_relaxed); }
  void add_invalid() { invalid_count.fetch_add(1, std::memory_order_relaxed); }
  void set_bypass(bool flag) { bypass_flag.store(flag); }

  // Starts the sampling thread through thread_main; false if it could not be
  // created.
  bool start();
  // Asks the sampling thread to end; it notices within about a second.
  void stop() { running.store(false); }
  void join();

  static void *thread_main(void *instance);
  // The sampling loop: one sample() a second while running.
  void run();
  // One tick of the loop. A tick that falls due while get_average() holds the
  // window is skipped rather than delayed; the next one then carries both
  // seconds' requests, since last_count did not move.
  void sample();

  // Mean requests per second over the window; 0 when it is empty.
  double get_average();
  // "port":...,"start_time":"...",...,"bypass_flag":... without braces.
  std::string to_json();

 private:
  std::atomic<uint64_t> request_count{0};
  std::atomic<uint64_t> invalid_count{0};
  const time_t start_time;
  std::atomic<bool> bypass_flag{false};
  const uint16_t port;
  std::atomic<bool> running{true};
  std::atomic<bool> sampling_enabled{true};

  std::mutex mutex;  // guards the three fields below
  std::vector<uint64_t> samples;  // per-second deltas, oldest first
  uint64_t last_count = 0;
  double average = 0;

  std::thread thread;
};

#endif  // GMI_STATS_LOG_MANAGER_H_
