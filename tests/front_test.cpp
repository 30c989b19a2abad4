// The shipped HAProxy front, run for real in front of real instances: what
// it refuses and answers itself (and that none of it reaches an instance),
// that it answers validations exactly as an instance does, over plain
// HTTP, HTTPS and HTTP/2, the admin listener, the fleet tool, and that
// stopping or restarting instances or replacing the certificate under load
// fails no request. curl, h2load and openssl are the TLS clients.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/front.h"
#include "support/http_client.h"
#include "support/load.h"

namespace test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const char valid_body[] = "{\"is_valid\":true,\"reason\":\"\"}";

std::string mint_token(const std::string &arguments) {
  FILE *pipe = popen((build_path("gmi-token") + " " + arguments).c_str(), "r");
  char token[2048] = "";
  if (fgets(token, sizeof(token), pipe) == nullptr) token[0] = '\0';
  pclose(pipe);
  std::string text(token);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

const std::string &alice_token() {
  static const std::string token = mint_token("--user alice --ttl 3600");
  return token;
}

std::string valid_login() { return "/login?userid=alice&gmi=" + alice_token(); }

// One request, as raw bytes, on a fresh connection; its answer.
http_response exchange(uint16_t port, const std::string &bytes, bool head = false) {
  http_connection connection(port);
  connection.send_raw(bytes);
  return connection.read_response(head);
}

std::string repeated(const std::string &piece, size_t times) {
  std::string text;
  for (size_t i = 0; i < times; ++i) text += piece;
  return text;
}

class front_test : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(front_.ready()); }

  // Neither the instances nor the front's statistics saw a request.
  void expect_nothing_forwarded() {
    EXPECT_EQ(front_.validations_reached(), 0);
    EXPECT_EQ(front_.requests_forwarded(), 0);
  }

  // Asserts the front's own answer with this status, and that nothing was
  // forwarded.
  void expect_refused(const std::string &bytes, int status) {
    SCOPED_TRACE(bytes.substr(0, 80));
    EXPECT_EQ(exchange(front_.port(), bytes).status, status);
    expect_nothing_forwarded();
  }

  uint16_t instance_port(size_t index) { return front_.instances()[index].port; }

  front front_{2};
};

// --- what the front refuses -------------------------------------------------

TEST_F(front_test, operator_paths_are_refused_for_every_method) {
  for (const std::string method : {"GET", "POST", "HEAD"}) {
    for (const std::string target :
         {"/bypass?opt=on", "/log", "/quit", "http://x/quit"}) {
      const http_response answer = exchange(
          front_.port(), method + " " + target + " HTTP/1.1\r\nHost: x\r\n\r\n",
          method == "HEAD");
      EXPECT_EQ(answer.status, 403) << method << " " << target;
      EXPECT_EQ(answer.header("Content-Length"), "0");
    }
  }
  expect_nothing_forwarded();
  for (const front_instance &instance : front_.instances()) {
    const std::string log = get(instance.port, "/log").body;
    EXPECT_NE(log.find("\"bypass_flag\":false }"), std::string::npos) << log;
  }
}

TEST_F(front_test, other_paths_are_not_forwarded) {
  for (const std::string target :
       {"/", "/nowhere", "/login/", "/LOGIN", "/%6cogin", "/usual/x", "//login"}) {
    expect_refused("GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n", 404);
  }
}

TEST_F(front_test, other_methods_are_answered_405_with_allow) {
  for (const std::string method : {"PUT", "DELETE", "OPTIONS", "PATCH", "TRACE", "FOO"}) {
    const http_response answer =
        exchange(front_.port(), method + " /login HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(answer.status, 405) << method;
    EXPECT_EQ(answer.header("Allow"), "GET, HEAD, POST");
  }
  expect_nothing_forwarded();
}

TEST_F(front_test, long_request_lines_are_refused) {
  const std::string line_start = "GET /login?userid=alice&pad=";
  expect_refused(line_start + std::string(9000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n", 414);
  // Beyond the buffer, and a line that never ends.
  expect_refused(line_start + std::string(20000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n", 400);
  expect_refused(line_start + std::string(1 << 20, 'a'), 400);
}

TEST_F(front_test, too_many_headers_are_refused) {
  expect_refused("GET " + valid_login() + " HTTP/1.1\r\nHost: x\r\n" +
                     repeated("X-Padding: y\r\n", 100) + "\r\n",
                 400);
  expect_refused("GET " + valid_login() + " HTTP/1.1\r\nHost: x\r\n" +
                     repeated("X-Padding: y\r\n", 100000) + "\r\n",
                 400);
}

TEST_F(front_test, chunked_bodies_are_refused_before_any_byte_is_forwarded) {
  const std::string head =
      "POST /login HTTP/1.1\r\nHost: x\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\n";
  expect_refused(head + "Transfer-Encoding: chunked\r\n\r\n5\r\nuser=\r\n0\r\n\r\n", 411);
  // The start of a body announced as endless.
  expect_refused(head + "Transfer-Encoding: chunked\r\n\r\n" +
                     repeated("1000\r\n" + std::string(4096, 'a') + "\r\n", 64),
                 411);
  // HAProxy drops a Content-Length sent beside chunked; what is left is
  // chunked, refused alike.
  expect_refused(head + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 411);
}

TEST_F(front_test, transfer_codings_other_than_chunked_are_refused) {
  const std::string head = "POST /login HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: ";
  expect_refused(head + "gzip\r\n\r\n", 400);
  expect_refused(head + "identity\r\n\r\n", 400);
  expect_refused(head + "gzip, chunked\r\n\r\n0\r\n\r\n", 422);
}

TEST_F(front_test, bodies_above_8_kib_are_refused) {
  const std::string head =
      "POST /login HTTP/1.1\r\nHost: x\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: ";
  expect_refused(head + "8193\r\n\r\n" + std::string(8193, 'a'), 413);
  expect_refused(head + "209715200\r\n\r\n" + std::string(65536, 'a'), 413);
}

TEST_F(front_test, encoded_bodies_are_refused_415) {
  expect_refused(
      "POST /login HTTP/1.1\r\nHost: x\r\nContent-Encoding: gzip\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 3\r\n\r\nabc",
      415);
}

TEST_F(front_test, instances_stay_small_while_the_front_takes_floods) {
  for (int round = 0; round < 5; ++round) {
    exchange(front_.port(), "GET /login?pad=" + std::string(1 << 20, 'a'));
    exchange(front_.port(), "GET /login HTTP/1.1\r\n" + repeated("X-Padding: y\r\n", 100000));
    exchange(front_.port(), "POST /login HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                repeated("1000\r\n" + std::string(4096, 'a') + "\r\n", 256));
  }
  expect_nothing_forwarded();
  if (GMI_SANITIZED) return;
  for (const front_instance &instance : front_.instances()) {
    EXPECT_LT(front_.peak_resident_kib(instance), 32 * 1024);
  }
}

// A request line sent a byte at a time, slower than any deadline.
class slow_sender {
 public:
  explicit slow_sender(uint16_t port) : connection_(port) {
    connection_.send_raw("GET /login?userid=alice HTTP/1.1\r\nHost: x\r\n");
  }
  bool trickle() { return connection_.send_raw("X"); }
  http_response answer() { return connection_.read_response(); }

 private:
  http_connection connection_;
};

TEST_F(front_test, slow_and_silent_clients_do_not_delay_a_login) {
  std::vector<std::unique_ptr<slow_sender>> slow;
  for (int i = 0; i < 20; ++i) slow.push_back(std::make_unique<slow_sender>(front_.port()));
  std::vector<std::unique_ptr<http_connection>> silent;
  for (int i = 0; i < 64; ++i) {
    silent.push_back(std::make_unique<http_connection>(front_.port()));
  }
  http_connection slow_body(front_.port());
  slow_body.send_raw(
      "POST /login HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\n\r\nuserid=al");
  for (int i = 0; i < 5; ++i) {
    for (auto &sender : slow) sender->trickle();
    std::this_thread::sleep_for(milliseconds(100));
  }

  const auto start = std::chrono::steady_clock::now();
  const http_response login = get(front_.port(), valid_login());
  EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(1));
  EXPECT_EQ(login.body, valid_body);
  for (const front_instance &instance : front_.instances()) {
    EXPECT_EQ(get(instance.port, "/log").status, 200);
  }

  // Cut off by the 5-s request deadline, answered by the front; the
  // incomplete body was never forwarded.
  EXPECT_EQ(slow.front()->answer().status, 408);
  EXPECT_EQ(silent.front()->read_response().status, 408);
  EXPECT_EQ(slow_body.read_response().status, 408);
  EXPECT_EQ(front_.requests_forwarded(), 1);
}

TEST_F(front_test, range_headers_are_removed) {
  const std::string ranges = "Range: bytes=0-3\r\nIf-Range: \"x\"\r\n";
  EXPECT_EQ(request(instance_port(0), "GET", valid_login(), ranges).status, 206);

  const http_response answer = request(front_.port(), "GET", valid_login(), ranges);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, valid_body);
  const http_response many =
      request(front_.port(), "GET", valid_login(),
              "Range: bytes=0-0" + repeated(",0-0", 2000) + "\r\n");
  EXPECT_EQ(many.status, 200);
  EXPECT_EQ(many.body, valid_body);
}

// Status, content type and body through the front and from an instance.
void expect_same_answer(uint16_t front_port, uint16_t instance_port,
                        const std::string &method, const std::string &target,
                        const std::string &form = "") {
  const std::string headers =
      form.empty() ? "" : "Content-Type: application/x-www-form-urlencoded\r\n";
  const http_response direct = request(instance_port, method, target, headers, form);
  const http_response fronted = request(front_port, method, target, headers, form);
  EXPECT_EQ(fronted.status, direct.status) << method << " " << target << " " << form;
  EXPECT_EQ(fronted.header("Content-Type"), direct.header("Content-Type")) << target;
  EXPECT_EQ(fronted.body, direct.body) << method << " " << target << " " << form;
}

TEST_F(front_test, validations_are_answered_as_an_instance_answers_them) {
  const std::vector<std::string> tokens = {
      alice_token(),
      mint_token("--user bob --ttl 3600"),
      mint_token("--user alice --ttl -10"),
      mint_token("--user alice --ttl 3600 --suspended"),
      mint_token("--user alice --ttl 3600 --revision 2"),
      mint_token("--user alice --ttl 3600 --key-index 9"),
      "GMI1.1.1.x",
      "not-a-token",
      alice_token().substr(0, alice_token().size() - 1) + "A",
  };
  std::vector<std::string> targets;
  for (const std::string &token : tokens) {
    for (const std::string path : {"/login", "/usual"}) {
      targets.push_back(path + "?userid=alice&gmi=" + token);
      targets.push_back(path + "?data=alice&gmi=" + token);
    }
  }
  targets.insert(targets.end(), {"/login", "/usual", "/login?userid=alice",
                                 "/usual?gmi=" + alice_token(), "/login?userid=&gmi="});

  for (const std::string &target : targets) {
    for (const std::string method : {"GET", "HEAD", "POST"}) {
      expect_same_answer(front_.port(), instance_port(0), method, target);
    }
  }
  for (const std::string path : {"/login", "/usual"}) {
    expect_same_answer(front_.port(), instance_port(0), "POST", path,
                       "userid=alice&gmi=" + alice_token());
    expect_same_answer(front_.port(), instance_port(0), "POST", path, "userid=bob");
  }

  std::string output;
  ASSERT_EQ(front_.fleet("bypass on", &output), 0) << output;
  for (const std::string &target : targets) {
    expect_same_answer(front_.port(), instance_port(0), "GET", target);
  }
}

TEST_F(front_test, the_fronts_health_answer_follows_its_instances) {
  EXPECT_EQ(get(front_.port(), "/gmi-front-health").status, 200);
  get(instance_port(0), "/quit");
  ASSERT_EQ(front_.instances()[0].process->wait_for_exit(), 0);
  EXPECT_EQ(get(front_.port(), "/gmi-front-health").status, 200);
  get(instance_port(1), "/quit");
  ASSERT_EQ(front_.instances()[1].process->wait_for_exit(), 0);
  // Marked down by the next check, within 2 s.
  std::this_thread::sleep_for(milliseconds(2500));
  EXPECT_EQ(get(front_.port(), "/gmi-front-health").status, 503);
  EXPECT_EQ(front_.requests_forwarded(), 0);
}

// --- the fleet tool -----------------------------------------------------------

std::string instance_line(const front_instance &instance, const std::string &rest) {
  return instance.name + " 127.0.0.1:" + std::to_string(instance.port) + " " + rest + "\n";
}

TEST_F(front_test, fleet_switches_bypass_on_every_instance) {
  std::string output;
  ASSERT_EQ(front_.fleet("bypass on", &output), 0) << output;
  std::string expected;
  for (const front_instance &instance : front_.instances()) {
    expected += instance_line(instance, "{\"bypass\":\"ON\"}");
    const std::string log = get(instance.port, "/log").body;
    EXPECT_NE(log.find("\"bypass_flag\":true }"), std::string::npos) << log;
  }
  EXPECT_EQ(output, expected);
  EXPECT_EQ(get(front_.port(), "/login?userid=u&gmi=x").body,
            "{\"is_valid\":true,\"reason\":\"SET_BYPASS\"}");

  ASSERT_EQ(front_.fleet("bypass off", &output), 0) << output;
  for (const front_instance &instance : front_.instances()) {
    const std::string log = get(instance.port, "/log").body;
    EXPECT_NE(log.find("\"bypass_flag\":false }"), std::string::npos) << log;
  }
}

TEST_F(front_test, fleet_reports_an_instance_that_does_not_answer) {
  front_instance &stopped = front_.instances()[1];
  get(stopped.port, "/quit");
  ASSERT_EQ(stopped.process->wait_for_exit(), 0);

  std::string output;
  EXPECT_EQ(front_.fleet("bypass on", &output), 1);
  EXPECT_EQ(output, instance_line(front_.instances()[0], "{\"bypass\":\"ON\"}") +
                        instance_line(stopped, "FAILED (no answer)"));
}

TEST_F(front_test, fleet_log_sums_the_instances_counts) {
  for (int i = 0; i < 3; ++i) get(front_.port(), valid_login());
  for (int i = 0; i < 2; ++i) get(front_.port(), "/usual?userid=bob&gmi=" + alice_token());
  std::string output;
  ASSERT_EQ(front_.fleet("log", &output), 0) << output;
  for (const front_instance &instance : front_.instances()) {
    EXPECT_NE(output.find(instance.name + " 127.0.0.1:" + std::to_string(instance.port) +
                          " {\"auth_version\":10000,\"port\":" +
                          std::to_string(instance.port) + ","),
              std::string::npos)
        << output;
  }
  EXPECT_NE(output.find("\ntotal request_count 5 invalid_count 2 (2 of 2 instances)\n"),
            std::string::npos)
      << output;
}

// --- TLS, HTTP/2 and the admin listener ----------------------------------------

std::string quoted(const std::string &word) { return "'" + word + "'"; }

std::string https_url(uint16_t port, const std::string &target) {
  return quoted("https://localhost:" + std::to_string(port) + target);
}

// curl trusting the development CA, after an optional "COMMAND |"; its exit
// status, its output in *output.
int curl(const front &front, const std::string &arguments, std::string *output,
         const std::string &input = "") {
  return run_command(input + "curl -s --cacert " + quoted(front.tls_path("ca.pem")) + " " +
                         arguments, output);
}

// "STATUS VERSION" of a request through curl, e.g. "403 2".
std::string status_and_version(const front &front, const std::string &arguments,
                               const std::string &input = "") {
  std::string output;
  curl(front, "-o /dev/null -w '%{http_code} %{http_version}' " + arguments, &output, input);
  return output;
}

// SHA-256 fingerprint of the certificate a command prints first.
std::string fingerprint(const std::string &pem_command) {
  std::string output;
  run_command(pem_command + " | openssl x509 -noout -fingerprint -sha256", &output);
  return output;
}

std::string served_fingerprint(uint16_t port) {
  return fingerprint("openssl s_client -connect 127.0.0.1:" + std::to_string(port) +
                     " -servername localhost </dev/null 2>/dev/null");
}

// An answer as sent, its request id (a fresh random UUID, version 4, each
// time) shown as <id>.
std::string request_id_shown(const std::string &answer) {
  static const std::regex id(
      "x-request-id: [0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\r\n");
  return std::regex_replace(answer, id, "x-request-id: <id>\r\n");
}

TEST_F(front_test, validations_over_tls_and_http2_are_answered_exactly) {
  const std::string url = https_url(front_.tls_port(), valid_login());
  std::string output;
  ASSERT_EQ(curl(front_, "-i --http1.1 " + url, &output), 0);
  EXPECT_EQ(request_id_shown(output),
            "HTTP/1.1 200 OK\r\ncontent-length: 29\r\ncontent-type: text/plain\r\n"
            "keep-alive: timeout=5, max=5\r\nx-request-id: <id>\r\n\r\n" +
                std::string(valid_body));
  ASSERT_EQ(curl(front_, "-i --http2 " + url, &output), 0);
  EXPECT_EQ(request_id_shown(output),
            "HTTP/2 200 \r\ncontent-length: 29\r\ncontent-type: text/plain\r\n"
            "x-request-id: <id>\r\n\r\n" + std::string(valid_body));
  const std::string form = "userid=bob&gmi=" + alice_token();
  curl(front_, "--http2 -d " + quoted(form) + " " + https_url(front_.tls_port(), "/usual"),
       &output);
  EXPECT_EQ(output, post_form(instance_port(0), "/usual", form).body);

  // TLS 1.1, and TLS 1.2 without an AEAD cipher, fail the handshake (35).
  EXPECT_EQ(curl(front_, "--tls-max 1.1 " + url, &output), 35);
  EXPECT_EQ(curl(front_, "--tls-max 1.2 --ciphers ECDHE-ECDSA-AES128-SHA256 " + url, &output), 35);
  EXPECT_EQ(status_and_version(front_, "--tlsv1.2 --tls-max 1.2 --http1.1 " + url), "200 1.1");
}

TEST_F(front_test, http2_requests_are_refused_as_http1_requests_are) {
  const auto h2 = [this](const std::string &arguments, const std::string &target,
                         const std::string &input = "") {
    return status_and_version(
        front_, "--http2 " + arguments + " " + https_url(front_.tls_port(), target), input);
  };
  for (const std::string target : {"/bypass?opt=on", "/log", "/quit"}) {
    EXPECT_EQ(h2("", target), "403 2") << target;
    EXPECT_EQ(h2("-X POST", target), "403 2") << target;
  }
  EXPECT_EQ(h2("", "/nowhere"), "404 2");
  EXPECT_EQ(h2("-X PUT", "/login"), "405 2");
  // Refused while the client still sends a body: the answer, never a reset
  // stream (curl drops the answer then, as status 000).
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(h2("-d x=1", "/bypass"), "403 2");
    EXPECT_EQ(h2("-d x=1 -X PUT", "/login"), "405 2");
  }
  std::string headers;
  for (int i = 0; i < 61; ++i) headers += " -H 'X-Padding-" + std::to_string(i) + ": y'";
  EXPECT_EQ(h2(headers, valid_login()), "400 2");
  // A body of undeclared length: curl uploads a pipe so.
  EXPECT_EQ(h2("-T - -X POST", "/login", "printf userid=alice | "), "411 2");
  expect_nothing_forwarded();
}

TEST_F(front_test, the_admin_listener_reaches_the_named_instance_only_with_a_certificate) {
  front_instance &first = front_.instances()[0];
  front_instance &second = front_.instances()[1];
  const std::string operator_cert = "--cert " + quoted(front_.tls_path("operator.pem")) + " ";
  const auto admin = [&](const std::string &arguments, const std::string &target) {
    return operator_cert + arguments + " " + https_url(front_.admin_port(), target);
  };
  std::string output;
  EXPECT_NE(curl(front_, https_url(front_.admin_port(), "/" + first.name + "/log"), &output), 0);
  EXPECT_EQ(output, "");

  ASSERT_EQ(curl(front_, admin("", "/" + second.name + "/bypass?opt=on"), &output), 0);
  EXPECT_EQ(output, "{\"bypass\":\"ON\"}");
  EXPECT_NE(get(first.port, "/log").body.find("\"bypass_flag\":false }"), std::string::npos);
  ASSERT_EQ(curl(front_, admin("", "/" + first.name + "/log"), &output), 0);
  EXPECT_EQ(output.rfind("{\"auth_version\":10000,\"port\":" + std::to_string(first.port) + ",", 0),
            0u) << output;
  EXPECT_EQ(status_and_version(front_, admin("", "/gmi-1/log")), "404 2");
  EXPECT_EQ(status_and_version(front_, admin("", "/" + first.name + "/login")), "404 2");
  EXPECT_EQ(status_and_version(front_, admin("-X POST", "/" + first.name + "/log")), "405 2");
  EXPECT_EQ(status_and_version(front_, admin("-d x=1", "/" + first.name + "/log")), "405 2");
  EXPECT_EQ(status_and_version(front_, admin("-X GET -d x=1", "/" + first.name + "/log")), "400 2");
  // A body of undeclared length, which HTTP/2 allows: curl uploads a pipe so.
  EXPECT_EQ(status_and_version(front_, admin("-T - -X GET", "/" + first.name + "/log"), "printf x | "),
            "400 2");

  // The fleet tool through the listener, as from another host.
  const std::string through = "FLEET_ADMIN=127.0.0.1:" + std::to_string(front_.admin_port());
  for (int i = 0; i < 3; ++i) get(front_.port(), valid_login());
  ASSERT_EQ(front_.fleet("log", &output, through), 0) << output;
  EXPECT_NE(output.find("\ntotal request_count 3 invalid_count 0 (2 of 2 instances)\n"),
            std::string::npos) << output;
  ASSERT_EQ(front_.fleet("bypass off", &output, through), 0) << output;
  const std::string at = " https://127.0.0.1:" + std::to_string(front_.admin_port());
  EXPECT_EQ(output, first.name + at + " {\"bypass\":\"OFF\"}\n" + second.name + at +
                        " {\"bypass\":\"OFF\"}\n");

  ASSERT_EQ(curl(front_, admin("", "/" + second.name + "/quit"), &output), 0);
  EXPECT_EQ(second.process->wait_for_exit(), 0);
  EXPECT_EQ(get(first.port, "/log").status, 200);
}

TEST_F(front_test, a_certificate_replaced_under_load_fails_no_request) {
  const std::string tls = quoted(front_.tls_path(""));
  const std::string server_pem = quoted(front_.tls_path("server.pem"));
  const std::string old_fingerprint = served_fingerprint(front_.tls_port());
  std::string output;
  // A new server certificate from the same CA, where the old one was.
  ASSERT_EQ(run_command("mv " + server_pem + " " + tls + "old.pem && " + GMI_SOURCE_DIR +
                            "/scripts/dev-certs.sh " + tls, &output), 0);
  const std::string new_fingerprint = fingerprint("cat " + server_pem);
  ASSERT_NE(new_fingerprint, old_fingerprint);

  // 48 HTTP/2 connections throughout, and a fresh, verified handshake
  // every 20 ms, before, during and after.
  std::string streams, handshakes;
  std::thread kept([&] {
    run_command("h2load -c 48 -m 2 -D 3 " + https_url(front_.tls_port(), valid_login()), &streams);
  });
  std::thread fresh([&] {
    curl(front_, "--http1.1 -H 'Connection: close' --rate 50/s -o /dev/null -w '%{http_code}\\n' " +
                     https_url(front_.tls_port(), valid_login() + "#[1-150]"), &handshakes);
  });
  std::this_thread::sleep_for(milliseconds(1200));
  const int status = front_.fleet("cert " + server_pem, &output);
  kept.join();
  fresh.join();

  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(output, front_.tls_path("server.pem") + " " + new_fingerprint);
  EXPECT_NE(streams.find(" succeeded, 0 failed, 0 errored, 0 timeout\n"), std::string::npos)
      << streams;
  EXPECT_NE(streams.find(" 2xx, 0 3xx, 0 4xx, 0 5xx\n"), std::string::npos) << streams;
  EXPECT_EQ(streams.find("status codes: 0 2xx"), std::string::npos) << streams;
  EXPECT_EQ(handshakes, repeated("200\n", 150));
  EXPECT_EQ(served_fingerprint(front_.tls_port()), new_fingerprint);
  EXPECT_EQ(served_fingerprint(front_.admin_port()), new_fingerprint);
}

TEST_F(front_test, metrics_pass_promtool_and_show_the_instances_up) {
  const std::string url = "http://127.0.0.1:" + std::to_string(front_.metrics_port()) + "/metrics";
  std::string output;
  EXPECT_EQ(run_command("curl -s " + url + " | promtool check metrics 2>&1", &output), 0) << output;
  run_command("curl -s " + url, &output);
  EXPECT_NE(output.find("\nhaproxy_backend_active_servers{proxy=\"gmi-instances\"} 2\n"),
            std::string::npos);
}

// --- threads -------------------------------------------------------------------

std::string thread_count(const front &haproxy) {
  const std::string info = haproxy.admin("show info");
  const size_t at = info.find("\nNbthread: ");
  return at == std::string::npos ? info : info.substr(at + 11, info.find('\n', at + 1) - at - 11);
}

TEST_F(front_test, one_thread_unless_front_threads_sets_the_count) {
  EXPECT_EQ(thread_count(front_), "1");
  front three_threads(1, {"FRONT_THREADS=3"});
  ASSERT_TRUE(three_threads.ready());
  EXPECT_EQ(thread_count(three_threads), "3");
  EXPECT_EQ(get(three_threads.port(), valid_login()).body, valid_body);
}

// --- instances stopping under load -----------------------------------------

// Enough clients to fill every instance's connection slots at the front:
// with 4 a stopped instance was never the only one with a free slot, and
// the 503s it caused under 32 went unseen.
const size_t busy_clients = 48;

void expect_no_failure(const load &traffic) {
  EXPECT_GT(traffic.answered, 0u);
  EXPECT_EQ(traffic.wrong_answers, 0u);
  EXPECT_EQ(traffic.socket_errors, 0u);
}

TEST_F(front_test, an_instance_stopped_under_load_fails_no_request) {
  load traffic(front_.port(), valid_login(), valid_body, busy_clients);
  std::this_thread::sleep_for(seconds(1));
  front_instance &stopped = front_.instances()[0];
  get(stopped.port, "/quit");
  EXPECT_EQ(stopped.process->wait_for_exit(), 0);
  const size_t answered_at_stop = traffic.answered;
  std::this_thread::sleep_for(milliseconds(1500));
  traffic.stop();

  expect_no_failure(traffic);
  EXPECT_GT(traffic.answered, answered_at_stop);
}

TEST_F(front_test, a_rolling_restart_under_load_fails_no_request) {
  load traffic(front_.port(), valid_login(), valid_body, busy_clients);
  std::this_thread::sleep_for(milliseconds(500));
  std::string output;
  const int status = front_.fleet("restart " + front_.start_command(), &output);
  std::this_thread::sleep_for(milliseconds(500));
  traffic.stop();

  EXPECT_EQ(status, 0) << output;
  std::string expected;
  for (front_instance &instance : front_.instances()) {
    expected += instance_line(instance, "restarted");
    EXPECT_EQ(instance.process->wait_for_exit(), 0);  // the first process
  }
  EXPECT_EQ(output, expected);
  expect_no_failure(traffic);
  EXPECT_TRUE(front_.wait_until_all_up());
}

}  // namespace
}  // namespace test
