// Start-up, the route table's fixed answers, /quit and teardown, seen from
// outside: exit statuses, console transcripts and bytes on the socket.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <chrono>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/http_client.h"
#include "support/running_service.h"
#include "support/service_process.h"

namespace test {
namespace {

const char close_body[] = "{\"server_status\":\"CLOSE\"}";

std::string teardown_lines() {
  return "[Server] Stopped\n[Server] CleanupAuth()\n[Server] Exit\n";
}

std::string normal_transcript(uint16_t port, const std::string &version = "7") {
  return "[SERVER] GetAuthVersion() " + version + "\n[Server] Started (port : " +
         std::to_string(port) + ")\n" + teardown_lines();
}

struct startup_outcome {
  int status;
  std::string output;
  std::string calls;
};

startup_outcome start_with(const std::string &library,
                           const std::vector<std::string> &env = {}) {
  scratch_dir dir;
  if (!library.empty()) dir.install_library(library);
  service_process process(dir, {std::to_string(free_port())}, env);
  const int status = process.wait_for_exit();
  return {status, process.output(), dir.read("auth_calls.log")};
}

TEST(startup_test, missing_library_exits_223) {
  const startup_outcome outcome = start_with("");
  EXPECT_EQ(outcome.status, 223);
  EXPECT_EQ(outcome.output,
            "error dlopen: ./libAuthSrv.so: cannot open shared object file: "
            "No such file or directory\nGetAPIs() failed\n");
}

class missing_entry_point_test : public testing::TestWithParam<const char *> {};

TEST_P(missing_entry_point_test, exits_223_naming_it_without_cleanup) {
  const std::string name = GetParam();
  const startup_outcome outcome = start_with(double_path("without_" + name));
  EXPECT_EQ(outcome.status, 223);
  EXPECT_EQ(outcome.output, "error dlsym(" + name +
                                "): ./libAuthSrv.so: undefined symbol: " + name +
                                "\nGetAPIs() failed\n");
  EXPECT_EQ(outcome.calls, "");  // nothing called, CleanupAuth included
}

INSTANTIATE_TEST_SUITE_P(every_entry_point, missing_entry_point_test,
                         testing::Values("InitAuth", "IsValidGmi", "IsValidGmiW",
                                         "CheckValidGmi", "CheckValidGmiW",
                                         "SetBypassOption", "CleanupAuth",
                                         "GetAuthVersion"));

TEST(startup_test, init_refusal_exits_245_without_cleanup) {
  const startup_outcome outcome = start_with(double_path("init_refuses"));
  EXPECT_EQ(outcome.status, 245);
  EXPECT_EQ(outcome.output, "[SERVER] GetAuthVersion() 7\nInitAuth() failed\n");
  EXPECT_EQ(outcome.calls, "InitAuth 1\n");
}

// An empty secret or a lost key file must not fall back to the public
// development key.
TEST(startup_test, stand_in_without_a_key_refuses_init_and_exits_245) {
  const startup_outcome outcome =
      start_with(build_path("libAuthSrv.so"), {"AUTHSRV_KEYS="});
  EXPECT_EQ(outcome.status, 245);
  EXPECT_EQ(outcome.output, "[SERVER] GetAuthVersion() 10000\nInitAuth() failed\n");
}

TEST(startup_test, bypass_off_refusal_exits_244_without_cleanup) {
  const startup_outcome outcome = start_with(double_path("bypass_off_refuses"));
  EXPECT_EQ(outcome.status, 244);
  EXPECT_EQ(outcome.output,
            "[SERVER] GetAuthVersion() 7\nSetBypassOption(false) failed\n");
  EXPECT_EQ(outcome.calls, "InitAuth 1\nSetBypassOption 0\n");
}

TEST(lifecycle_test, normal_run_prints_transcript_and_cleans_up_once) {
  running_service service(double_path("recording"));
  ASSERT_TRUE(service.listening);

  const http_response answer = get(service.port, "/quit");
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, close_body);
  EXPECT_EQ(answer.header("Content-Type"), "text/plain");
  EXPECT_EQ(service.process->wait_for_exit(), 0);
  EXPECT_EQ(service.process->output(), normal_transcript(service.port));
  EXPECT_EQ(service.dir.read("auth_calls.log"),
            "InitAuth 1\nSetBypassOption 0\nCleanupAuth\n");
}

TEST(lifecycle_test, post_quit_stops_the_service) {
  running_service service(double_path("recording"));
  ASSERT_TRUE(service.listening);
  const http_response answer = request(service.port, "POST", "/quit");
  EXPECT_EQ(answer.body, close_body);
  EXPECT_EQ(service.process->wait_for_exit(), 0);
  EXPECT_EQ(service.process->output(), normal_transcript(service.port));
}

TEST(lifecycle_test, head_quit_stops_the_service_without_a_body) {
  running_service service(double_path("recording"));
  ASSERT_TRUE(service.listening);
  http_connection connection(service.port);
  connection.send_raw("HEAD /quit HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  const http_response answer = connection.read_response(true);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.header("Content-Length"), "25");
  EXPECT_TRUE(connection.closed_by_server());  // no body bytes follow
  EXPECT_EQ(service.process->wait_for_exit(), 0);
  EXPECT_EQ(service.process->output(), normal_transcript(service.port));
}

TEST(lifecycle_test, simultaneous_quits_all_answer_and_tear_down_once) {
  running_service service(double_path("recording"));
  ASSERT_TRUE(service.listening);
  // One request on each connection first, so that each has a worker waiting
  // on it when the quits arrive. This library version drops a connection
  // whose worker only reaches it after the stop, and no longer reads from a
  // kept-alive one once its worker loops back after the stop.
  std::vector<std::unique_ptr<http_connection>> connections;
  for (int i = 0; i < 6; ++i) {
    connections.push_back(std::make_unique<http_connection>(service.port));
    connections.back()->send_raw("GET /log HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_EQ(connections.back()->read_response().status, 200);
  }
  // Let the last worker get back to waiting on its connection.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::vector<std::thread> senders;
  std::vector<std::string> bodies(connections.size());
  for (size_t i = 0; i < connections.size(); ++i) {
    senders.emplace_back([&, i] {
      connections[i]->send_raw("GET /quit HTTP/1.1\r\nHost: x\r\n\r\n");
      bodies[i] = connections[i]->read_response().body;
    });
  }
  for (std::thread &sender : senders) sender.join();
  for (const std::string &body : bodies) EXPECT_EQ(body, close_body);
  EXPECT_EQ(service.process->wait_for_exit(), 0);
  EXPECT_EQ(service.process->output(), normal_transcript(service.port));
  EXPECT_EQ(service.dir.read("auth_calls.log"),
            "InitAuth 1\nSetBypassOption 0\nCleanupAuth\n");
}

// gmi-server on port in dir, through env(1), which keeps its process id,
// with standard output and error in files of dir.
std::unique_ptr<child_process> start_server(const scratch_dir &dir, uint16_t port) {
  return std::make_unique<child_process>(
      "/usr/bin/env", dir,
      std::vector<std::string>{"-C", dir.path(), build_path("gmi-server"),
                               std::to_string(port)});
}

TEST(lifecycle_test, port_held_without_reuse_tears_down_and_fails_saying_why) {
  const uint16_t port = free_port();
  const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(holder, 1), 0);

  scratch_dir dir;
  dir.install_library(double_path("recording"));
  const std::unique_ptr<child_process> server = start_server(dir, port);
  EXPECT_EQ(server->wait_for_exit(), 1);
  EXPECT_EQ(server->standard_output(), normal_transcript(port));
  // The library leaves bind's errno for its caller.
  EXPECT_EQ(server->standard_error(), "gmi-server: cannot listen on port " +
                                          std::to_string(port) +
                                          ": Address already in use\n");
  EXPECT_EQ(dir.read("auth_calls.log"),
            "InitAuth 1\nSetBypassOption 0\nCleanupAuth\n");
  close(holder);
}

TEST(lifecycle_test, second_instance_shares_the_port) {
  // The two instances report different start times, which tells apart who
  // answered each connection.
  scratch_dir dir;
  dir.install_library(double_path("recording"));
  const uint16_t port = free_port();
  service_process first(dir, {std::to_string(port)}, {"TZ=UTC0"});
  ASSERT_TRUE(first.wait_until_listening(port));
  service_process second(dir, {std::to_string(port)}, {"TZ=XYZ-9"});
  // Listening, not merely started: until it binds, every connection goes to
  // the first.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (second.listening_port() != port && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(second.listening_port(), port);

  std::set<std::string> start_times;
  for (int i = 0; i < 60 && start_times.size() < 2; ++i) {
    const std::string body = get(port, "/log").body;
    start_times.insert(body.substr(body.find("start_time"), 32));
  }
  EXPECT_EQ(start_times.size(), 2u);

  while (first.running() || second.running()) get(port, "/quit");
  EXPECT_EQ(first.wait_for_exit(), 0);
  EXPECT_EQ(second.wait_for_exit(), 0);
  EXPECT_EQ(first.output(), normal_transcript(port));
  EXPECT_EQ(second.output(), normal_transcript(port));
}

// The unit's stop, deploy/systemd/gmi-server-quit PORT PID 12, run as this
// test's user. Its workings inside the unit's sandbox, where PID's
// descriptors are hidden from it, are proven under a booted systemd
// (tests/system/test_systemd.py).
std::unique_ptr<child_process> run_stop_script(const scratch_dir &dir,
                                               uint16_t port, pid_t pid) {
  const std::string script = std::string(GMI_SOURCE_DIR) + "/deploy/systemd/gmi-server-quit";
  return std::make_unique<child_process>(script, dir, std::vector<std::string>{
      std::to_string(port), std::to_string(pid), "12"});
}

TEST(stop_script_test, leaves_a_server_of_another_process_alone) {
  running_service service(double_path("recording"));
  ASSERT_TRUE(service.listening);
  scratch_dir dir;
  child_process unit_process("/bin/sleep", dir, {"60"});
  const std::unique_ptr<child_process> script =
      run_stop_script(dir, service.port, unit_process.pid());
  const std::string said = "gmi-server-quit: port " + std::to_string(service.port) +
                           " is held by another process than " +
                           std::to_string(unit_process.pid()) + ": /quit not sent\n";
  ASSERT_TRUE(script->wait_for_error_text(said)) << script->standard_error();
  // It waits for the process it was given, and only for it.
  unit_process.send_signal(SIGKILL);
  unit_process.wait_for_exit();
  EXPECT_EQ(script->wait_for_exit(), 0);
  EXPECT_EQ(script->standard_error(), said);
  EXPECT_EQ(get(service.port, "/log").status, 200);
  EXPECT_EQ(service.quit(), 0);
}

TEST(stop_script_test, stops_the_server_of_its_own_process) {
  scratch_dir dir;
  dir.install_library(double_path("recording"));
  const uint16_t port = free_port();
  const std::unique_ptr<child_process> server = start_server(dir, port);
  ASSERT_TRUE(server->wait_until_listening(port));
  const std::unique_ptr<child_process> script = run_stop_script(dir, port, server->pid());
  // Reaped as it exits, so that the script sees it gone.
  EXPECT_EQ(server->wait_for_exit(), 0);
  EXPECT_EQ(script->wait_for_exit(), 0);
  EXPECT_EQ(script->standard_error(), "");
  EXPECT_EQ(server->standard_output(), normal_transcript(port));
}

// Starts the service with a port argument; returns the port it listens on
// and its output after /quit.
struct port_outcome {
  uint16_t listening;
  std::string output;
  std::string log_body;
};

port_outcome run_with_argument(const std::vector<std::string> &args,
                               uint16_t expected) {
  scratch_dir dir;
  dir.install_library(double_path("recording"));
  service_process process(dir, args);
  port_outcome outcome{0, "", ""};
  if (expected != 0 && !process.wait_until_listening(expected)) return outcome;
  for (int i = 0; i < 500 && outcome.listening == 0; ++i) {
    outcome.listening = process.listening_port();
    if (outcome.listening == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  process.wait_until_listening(outcome.listening);
  outcome.log_body = get(outcome.listening, "/log").body;
  get(outcome.listening, "/quit");
  process.wait_for_exit();
  outcome.output = process.output();
  return outcome;
}

TEST(port_argument_test, leading_digits_count_and_the_rest_is_ignored) {
  const uint16_t port = free_port();
  const port_outcome outcome =
      run_with_argument({std::to_string(port) + "abc", "ignored"}, port);
  EXPECT_EQ(outcome.listening, port);
  EXPECT_EQ(outcome.output, normal_transcript(port));
}

TEST(port_argument_test, large_numbers_keep_their_low_16_bits) {
  const uint16_t port = free_port();
  const port_outcome outcome =
      run_with_argument({"  +" + std::to_string(port + 65536 * 3)}, port);
  EXPECT_EQ(outcome.listening, port);
  EXPECT_EQ(outcome.output, normal_transcript(port));
}

TEST(port_argument_test, no_digits_gives_port_0_and_a_system_chosen_port) {
  const port_outcome outcome = run_with_argument({"abc"}, 0);
  EXPECT_NE(outcome.listening, 0);
  EXPECT_EQ(outcome.output, normal_transcript(0));
  EXPECT_NE(outcome.log_body.find("\"port\":0,"), std::string::npos);
}

TEST(port_argument_test, minus_one_and_overflowing_numbers_give_65535) {
  for (const char *argument : {"-1", "99999999999999999999999"}) {
    const port_outcome outcome = run_with_argument({argument}, 65535);
    EXPECT_EQ(outcome.listening, 65535) << argument;
    EXPECT_EQ(outcome.output, normal_transcript(65535)) << argument;
  }
}

TEST(port_argument_test, no_argument_listens_on_60002) {
  const port_outcome outcome = run_with_argument({}, 60002);
  EXPECT_EQ(outcome.listening, 60002);
  EXPECT_EQ(outcome.output, normal_transcript(60002));
}

class http_layer_test : public testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(service.quit(), 0); }
  running_service service{double_path("recording")};
};

TEST_F(http_layer_test, unrouted_paths_and_methods_get_empty_404) {
  for (const char *method : {"GET", "POST", "PUT", "DELETE", "OPTIONS", "PATCH"}) {
    const http_response answer = request(service.port, method, "/nowhere");
    EXPECT_EQ(answer.status, 404) << method;
    EXPECT_EQ(answer.body, "") << method;
  }
  EXPECT_EQ(request(service.port, "PUT", "/login").status, 404);
  EXPECT_EQ(get(service.port, "/login/extra").status, 404);
}

TEST_F(http_layer_test, unknown_method_and_malformed_line_get_400) {
  EXPECT_EQ(request(service.port, "BREW", "/log").status, 400);
  http_connection connection(service.port);
  connection.send_raw("this is not http\r\n\r\n");
  EXPECT_EQ(connection.read_response().status, 400);
}

TEST_F(http_layer_test, overlong_header_line_gets_400) {
  EXPECT_EQ(request(service.port, "GET", "/log",
                    "X-Pad: " + std::string(8200, 'a') + "\r\n").status,
            400);
}

TEST_F(http_layer_test, headers_cut_off_by_the_client_get_no_answer) {
  // The library's 400 is never written: it sees the peer's end of stream
  // and will not write to a socket it takes for closed.
  http_connection connection(service.port);
  connection.send_raw("GET /log HTTP/1.1\r\nHost: x\r\n");
  connection.finish_sending();
  EXPECT_TRUE(connection.closed_by_server());
  EXPECT_EQ(get(service.port, "/log").status, 200);
}

TEST_F(http_layer_test, header_line_without_colon_is_dropped) {
  EXPECT_EQ(request(service.port, "GET", "/log", "NoColonHere\r\n").status, 200);
}

TEST_F(http_layer_test, range_requests_get_206_or_416) {
  const http_response part = request(service.port, "GET", "/bypass", "Range: bytes=0-9\r\n");
  EXPECT_EQ(part.status, 206);
  EXPECT_EQ(part.body, "{\"bypass\":");
  EXPECT_EQ(request(service.port, "GET", "/bypass", "Range: pages=1\r\n").status, 416);
}

TEST_F(http_layer_test, overlong_request_line_gets_414) {
  EXPECT_EQ(get(service.port, "/log?pad=" + std::string(9000, 'a')).status, 414);
}

TEST_F(http_layer_test, answers_are_never_compressed) {
  for (const char *encoding : {"gzip", "br", "gzip, deflate, br"}) {
    const http_response answer =
        request(service.port, "GET", "/bypass",
                std::string("Accept-Encoding: ") + encoding + "\r\n");
    EXPECT_FALSE(answer.has_header("Content-Encoding")) << encoding;
    EXPECT_EQ(answer.body,
              "{\"bypass\":\"FAIL\",\"reason\":\"MISSING_REQUIRED_PARAM\"}")
        << encoding;
  }
}

TEST_F(http_layer_test, kept_alive_connection_serves_five_requests) {
  http_connection connection(service.port);
  for (int i = 1; i <= 5; ++i) {
    connection.send_raw("GET /log HTTP/1.1\r\nHost: x\r\n\r\n");
    const http_response answer = connection.read_response();
    EXPECT_EQ(answer.status, 200) << i;
    if (i < 5) {
      EXPECT_EQ(answer.header("Keep-Alive"), "timeout=5, max=5") << i;
    } else {
      EXPECT_EQ(answer.header("Connection"), "close");
    }
  }
  EXPECT_TRUE(connection.closed_by_server());
}

TEST_F(http_layer_test, client_vanishing_mid_answer_does_not_kill_the_service) {
  for (int i = 0; i < 20; ++i) {
    http_connection connection(service.port);
    connection.send_raw("GET /log HTTP/1.1\r\nHost: x\r\n\r\n");
    connection.abort();
  }
  EXPECT_EQ(get(service.port, "/log").status, 200);
}

}  // namespace
}  // namespace test
