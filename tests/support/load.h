// Steady validations through one port from a few client threads on
// kept-alive connections, until stopped: how a test sees whether anything
// failed while it stopped or restarted what is behind that port.
// Counters are atomic; start and stop from one thread.

#ifndef GMI_TESTS_LOAD_H_
#define GMI_TESTS_LOAD_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace test {

class load {
 public:
  // Each client sends GET target and expects status 200 with this body.
  load(uint16_t port, const std::string &target, const std::string &body,
       size_t clients);
  ~load();
  load(const load &) = delete;
  load &operator=(const load &) = delete;

  // Stops every client after its answer in progress.
  void stop();

  std::atomic<size_t> answered{0};       // 200 with the expected body
  std::atomic<size_t> wrong_answers{0};  // any other status or body
  std::atomic<size_t> socket_errors{0};  // no connection, or no answer

 private:
  void run_client();

  const uint16_t port_;
  const std::string request_;
  const std::string body_;
  std::atomic<bool> stopping_{false};
  std::vector<std::thread> clients_;
};

}  // namespace test

#endif  // GMI_TESTS_LOAD_H_
