// The console under faults: a reader that stalls, standard descriptors the
// service was started without, and a slow library call when /quit arrives.
// None of them may stop validations, leak the console to a client, or keep
// the process from ending with status 0.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/http_client.h"
#include "support/running_service.h"

namespace test {
namespace {

const char valid_body[] = "{\"is_valid\":true,\"reason\":\"\"}";
const char close_body[] = "{\"server_status\":\"CLOSE\"}";
const char teardown[] =
    "[Server] Stopped\n[Server] CleanupAuth()\n[Server] Exit\n";

// A service with the recording test double, whose console goes where mode
// says.
running_service service_with_console(console_mode mode) {
  return running_service(double_path("recording"), {}, mode);
}

// Sends requests validations, each on a fresh connection from one of 8
// clients, with a 4 KB token so that the console fills quickly; each writes
// three console lines. Returns how many were answered with the valid body.
int validate_many(uint16_t port, int requests) {
  const std::string target = "/login?userid=alice&gmi=" + std::string(4000, 't');
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int client = 0; client < 8; ++client) {
    clients.emplace_back([&, client] {
      for (int i = client; i < requests; i += 8) {
        if (get(port, target).body == valid_body) ++answered;
      }
    });
  }
  for (std::thread &client : clients) client.join();
  return answered;
}

int count_lines_starting(const std::string &text, const std::string &prefix) {
  int count = 0;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    if (text.compare(at, prefix.size(), prefix) == 0) ++count;
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return count;
}

// Buffered lines wait for a batch to fill, but not for long: an operator
// following a quiet service's log sees the started line and each request.
TEST(idle_console_test, buffered_lines_reach_the_pipe_within_two_seconds) {
  running_service service = service_with_console(console_mode::collected);
  ASSERT_TRUE(service.listening);
  const auto limit = std::chrono::seconds(2);
  EXPECT_TRUE(service.process->wait_for_output(
      "[Server] Started (port : " + std::to_string(service.port) + ")\n", limit));
  EXPECT_EQ(get(service.port, "/login?userid=alice&gmi=idle-token").body, valid_body);
  EXPECT_TRUE(service.process->wait_for_output(
      "[Server] GMI in parameters : idle-token\n", limit));
  EXPECT_EQ(service.quit(), 0);
}

TEST(stalled_console_test, validations_and_quit_go_on_while_nobody_reads) {
  running_service service = service_with_console(console_mode::held);
  ASSERT_TRUE(service.listening);

  // About 5 MB of console lines: the pipe and the console's own buffer
  // fill long before the end.
  EXPECT_EQ(validate_many(service.port, 1200), 1200);
  EXPECT_NE(get(service.port, "/log").body.find("\"request_count\":1200,"),
            std::string::npos);
  EXPECT_EQ(get(service.port, "/quit").body, close_body);
  // Still nobody reads: teardown waits a bounded time for the console, then
  // the process ends by itself (wait_for_exit would kill it after 20 s).
  EXPECT_EQ(service.process->wait_for_exit(), 0);
}

TEST(stalled_console_test, dropped_lines_are_counted_once_the_reader_returns) {
  running_service service = service_with_console(console_mode::held);
  ASSERT_TRUE(service.listening);
  EXPECT_EQ(validate_many(service.port, 1200), 1200);

  service.process->resume_reading();
  EXPECT_EQ(get(service.port, "/login?userid=alice&gmi=after").body,
            valid_body);
  get(service.port, "/quit");
  ASSERT_EQ(service.process->wait_for_exit(), 0);

  const std::string output = service.process->output();
  std::smatch notice;
  ASSERT_TRUE(std::regex_search(
      output, notice,
      std::regex("\\[Server\\] Console output stalled: ([0-9]+) lines were "
                 "dropped\n")));
  EXPECT_EQ(count_lines_starting(output, "[Server] Console output stalled"), 1);
  EXPECT_LT(static_cast<size_t>(notice.position(0)),
            output.find("[Server] Stopped"));
  // Every request's three lines were either written or counted as dropped.
  const int written = count_lines_starting(output, "[Server] Get GET") +
                      count_lines_starting(output, "[Server] GMI in") +
                      count_lines_starting(output, "[Server] Valid GMI");
  EXPECT_EQ(written + std::stoi(notice[1]), 3 * 1201);
  EXPECT_NE(output.find("[Server] GMI in parameters : after\n"),
            std::string::npos);
  EXPECT_EQ(output.substr(output.size() - sizeof(teardown) + 1), teardown);
}

// Started without descriptors 0 and 1, the service's first sockets would
// take their numbers, and console lines written to descriptor 1 would reach
// the client whose connection holds it. Every answer must be exactly the
// HTTP answer and nothing more; without output only, it must still serve.
class closed_descriptors_test : public testing::TestWithParam<console_mode> {};

TEST_P(closed_descriptors_test, answers_carry_no_console_bytes) {
  running_service service = service_with_console(GetParam());
  ASSERT_TRUE(service.listening);
  // Lets the service close the connection that found it listening, so that
  // the next one accepted takes the lowest free descriptor.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  http_connection first(service.port);
  ASSERT_TRUE(first.connected());
  // Console lines beyond any output buffer, written while it is open.
  const std::string long_token(6000, 't');
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(get(service.port, "/login?userid=alice&gmi=" + long_token).body,
              valid_body);
  }
  ASSERT_TRUE(first.send_raw(
      "GET /login?userid=alice&gmi=secret HTTP/1.1\r\nHost: x\r\n"
      "Connection: close\r\n\r\n"));
  const http_response answer = first.read_response();
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, valid_body);
  EXPECT_TRUE(first.closed_by_server()) << "bytes after the answer";

  EXPECT_EQ(get(service.port, "/quit").body, close_body);
  EXPECT_EQ(service.process->wait_for_exit(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    started, closed_descriptors_test,
    testing::Values(console_mode::closed, console_mode::closed_with_input),
    [](const testing::TestParamInfo<console_mode> &info) {
      return info.param == console_mode::closed ? "without_output"
                                                : "without_input_and_output";
    });

TEST(slow_library_test, quit_during_a_slow_check_tears_down_after_it) {
  running_service service = service_with_console(console_mode::collected);
  ASSERT_TRUE(service.listening);
  http_response slow;
  std::thread client([&] {
    slow = get(service.port, "/login?userid=alice&gmi=sleep:1500");
  });
  // The check has begun once the library has logged the call.
  for (int i = 0; i < 200 && service.dir.read("auth_calls.log").find(
                                 "CheckValidGmi") == std::string::npos;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(get(service.port, "/quit").body, close_body);
  client.join();

  EXPECT_EQ(slow.body, valid_body);
  EXPECT_EQ(service.process->wait_for_exit(), 0);
  const std::string output = service.process->output();
  EXPECT_LT(output.find("[Server] Valid GMI with input data\n"),
            output.find(teardown));
  EXPECT_EQ(output.substr(output.size() - sizeof(teardown) + 1), teardown);
  const std::string calls = service.dir.read("auth_calls.log");
  EXPECT_LT(calls.find("CheckValidGmi"), calls.find("CleanupAuth"));
}

}  // namespace
}  // namespace test
