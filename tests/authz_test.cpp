// gmi-authz in front of the real gmi-server: what a reverse proxy gets for
// every kind of request, what reaches the library, what /metrics and the
// health checks say, and how the process starts and stops. Fail closed is
// the point: every path that is not a clear "valid" from the service must
// end in 401 or 503, never in 2xx.

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/http_client.h"
#include "support/running_authz.h"
#include "support/running_service.h"

namespace test {
namespace {

// A token from the real gmi-token, signed with the development key the
// service's library also uses.
std::string mint(const std::string &user, long ttl_seconds = 3600) {
  const std::string command = build_path("gmi-token") + " --user " + user +
                              " --ttl " + std::to_string(ttl_seconds);
  std::string token;
  if (FILE *tool = popen(command.c_str(), "r")) {
    char chunk[2048];
    while (fgets(chunk, sizeof(chunk), tool) != nullptr) token += chunk;
    pclose(tool);
  }
  if (!token.empty() && token.back() == '\n') token.pop_back();
  return token;
}

// One character of the signature changed.
std::string tampered(std::string token) {
  char &c = token[token.size() - 10];
  c = c == 'A' ? 'B' : 'A';
  return token;
}

std::string bearer(const std::string &token, const std::string &user) {
  return "Authorization: Bearer " + token + "\r\nX-GMI-User: " + user + "\r\n";
}

http_response decide(uint16_t port, const std::string &headers,
                     const std::string &method = "GET",
                     const std::string &target = "/auth") {
  return request(port, method, target, headers);
}

// A numeric field of the service's /log report.
std::string log_field(uint16_t port, const std::string &name) {
  const std::string body = get(port, "/log").body;
  const size_t start = body.find("\"" + name + "\":");
  if (start == std::string::npos) return "";
  const size_t value = start + name.size() + 3;
  return body.substr(value, body.find_first_of(", ", value) - value);
}

void expect_denied(const http_response &answer, const std::string &reason) {
  EXPECT_EQ(answer.status, 401) << reason;
  EXPECT_EQ(answer.header("X-GMI-Reason"), reason);
  EXPECT_EQ(answer.header("WWW-Authenticate"),
            reason == "MISSING_REQUIRED_PARAM" ? "Bearer"
                                               : "Bearer error=\"invalid_token\"");
  EXPECT_FALSE(answer.has_header("X-GMI-User"));
  EXPECT_EQ(answer.body, "");
}

void expect_unavailable(const http_response &answer, const std::string &reason) {
  EXPECT_EQ(answer.status, 503) << reason;
  EXPECT_EQ(answer.header("X-GMI-Reason"), reason);
  EXPECT_FALSE(answer.has_header("X-GMI-User"));
}

// Occurrences of text in haystack.
size_t count_of(const std::string &haystack, const std::string &text) {
  size_t count = 0;
  for (size_t at = haystack.find(text); at != std::string::npos;
       at = haystack.find(text, at + 1)) {
    ++count;
  }
  return count;
}

class authz_test : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.listening);
    ASSERT_TRUE(authz.listening);
  }

  std::string validations() { return log_field(service.port, "request_count"); }

  running_service service{build_path("libAuthSrv.so")};
  running_authz authz{service.dir, service.port};
  const std::string alice = mint("alice");
};

TEST_F(authz_test, allows_a_minted_token_and_names_the_user) {
  const http_response answer = decide(authz.port, bearer(alice, "alice"));
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.header("X-GMI-User"), "alice");
  EXPECT_FALSE(answer.has_header("X-GMI-Reason"));
  EXPECT_EQ(answer.header("Content-Length"), "0");
  EXPECT_EQ(answer.body, "");
  EXPECT_EQ(validations(), "1");
}

TEST_F(authz_test, denies_with_the_service_reason) {
  expect_denied(decide(authz.port, bearer(alice, "bob")), "ERROR_UID_MISMATCH");
  expect_denied(decide(authz.port, bearer(mint("alice", -10), "alice")),
                "ERROR_GMI_EXPIRED");
  expect_denied(decide(authz.port, bearer(tampered(alice), "alice")),
                "ERROR_BAD_CHECKSUM");
  expect_denied(decide(authz.port, bearer("not-a-token", "alice")),
                "ERROR_GMI_INVALID");
  EXPECT_EQ(log_field(service.port, "invalid_count"), "4");
}

TEST_F(authz_test, missing_token_or_user_is_denied_without_asking) {
  for (const std::string &headers : std::vector<std::string>{
           "",
           "X-GMI-User: alice\r\n",                       // no token
           "Authorization: Bearer " + alice + "\r\n",     // no user
           "Authorization: Basic YWxpY2U6cHc=\r\nX-GMI-User: alice\r\n",
           "Authorization: Bearer\r\nX-GMI-User: alice\r\n",
           "Authorization: Bearer " + alice + "\r\nX-GMI-User:\r\n",
           "Cookie: other=" + alice + "\r\nX-GMI-User: alice\r\n",
           "X-Original-URI: /page?gmi=&userid=alice\r\n",
           "X-Original-URI: /page?gmi=" + alice + "&userid=\r\n",
       }) {
    expect_denied(decide(authz.port, headers), "MISSING_REQUIRED_PARAM");
  }
  EXPECT_EQ(validations(), "0");
}

TEST_F(authz_test, over_long_or_unprintable_parts_are_denied_without_asking) {
  expect_denied(decide(authz.port, bearer(std::string(4097, 'A'), "alice")),
                "TOKEN_TOO_LONG");
  // 4096 bytes, but escaped three times that: over what the service reads.
  expect_denied(decide(authz.port, bearer(std::string(4096, '%'), "alice")),
                "TOKEN_TOO_LONG");
  expect_denied(decide(authz.port, bearer(alice, std::string(1025, 'u'))),
                "USER_TOO_LONG");
  // A line break would end the X-GMI-User answer header or forge another.
  expect_denied(decide(authz.port, "Authorization: Bearer " + alice +
                                       "\r\nX-Original-URI: "
                                       "/?userid=alice%0D%0AX-Admin:%201\r\n"),
                "USER_NOT_PRINTABLE");
  EXPECT_EQ(validations(), "0");
  // At the limits the service is asked.
  expect_denied(decide(authz.port, bearer(std::string(4096, 'A'), "alice")),
                "ERROR_GMI_INVALID");
  expect_denied(decide(authz.port, bearer(alice, std::string(1024, 'u'))),
                "ERROR_UID_MISMATCH");
  EXPECT_EQ(validations(), "2");
}

TEST_F(authz_test, takes_token_and_user_from_the_documented_sources_in_order) {
  const std::string bob = mint("bob");
  const auto user_allowed = [&](const std::string &headers) {
    const http_response answer = decide(authz.port, headers);
    return std::to_string(answer.status) + " " + answer.header("X-GMI-User");
  };
  // Token: Bearer, else the gmi cookie, else the forwarded query's gmi.
  EXPECT_EQ(user_allowed(bearer(alice, "alice") + "Cookie: gmi=" + bob + "\r\n"),
            "200 alice");
  EXPECT_EQ(user_allowed("Cookie: a=1; gmi=" + alice +
                         "; b=2\r\nX-GMI-User: alice\r\n"
                         "X-Original-URI: /?gmi=" + bob + "\r\n"),
            "200 alice");
  EXPECT_EQ(user_allowed("Authorization: Basic eDp5\r\n"
                         "X-Original-URI: /p?x=1&gmi=" + alice + "&userid=alice\r\n"),
            "200 alice");
  EXPECT_EQ(user_allowed("X-Forwarded-Uri: /p?gmi=" + bob + "&data=bob\r\n"),
            "200 bob");
  // User: the header, else userid, else data.
  EXPECT_EQ(user_allowed("X-GMI-User: alice\r\n"
                         "X-Original-URI: /?gmi=" + alice + "&userid=bob&data=bob\r\n"),
            "200 alice");
  EXPECT_EQ(user_allowed("X-Original-URI: /?data=alice&gmi=" + bob + "&userid=bob\r\n"),
            "200 bob");
  EXPECT_EQ(user_allowed("X-Original-URI: /?data=alice&gmi=" + alice + "\r\n"),
            "200 alice");

  // Other names, by option; the default ones then count for nothing.
  running_authz renamed(service.dir, service.port,
                        {"--user-header", "X-Remote-User", "--token-cookie", "session"});
  ASSERT_TRUE(renamed.listening);
  EXPECT_EQ(decide(renamed.port, "Cookie: session=" + bob + "\r\nX-Remote-User: bob\r\n")
                .header("X-GMI-User"),
            "bob");
  expect_denied(decide(renamed.port, "Cookie: gmi=" + bob + "\r\nX-GMI-User: bob\r\n"),
                "MISSING_REQUIRED_PARAM");
}

TEST_F(authz_test, bypass_allows_and_says_so) {
  ASSERT_EQ(get(service.port, "/bypass?opt=on").body, "{\"bypass\":\"ON\"}");
  const http_response answer = decide(authz.port, bearer("anything", "mallory"));
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.header("X-GMI-User"), "mallory");
  EXPECT_EQ(answer.header("X-GMI-Reason"), "SET_BYPASS");
  // Missing parts are still refused before the service is asked.
  expect_denied(decide(authz.port, "X-GMI-User: mallory\r\n"), "MISSING_REQUIRED_PARAM");
}

TEST_F(authz_test, every_method_and_path_is_a_decision) {
  for (const char *method : {"GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", "OPTIONS"}) {
    for (const char *target : {"/", "/auth", "/some/original/path?gmi=x"}) {
      EXPECT_EQ(decide(authz.port, bearer(alice, "alice"), method, target).status, 200)
          << method << " " << target;
      const http_response denied =
          decide(authz.port, bearer(alice, "bob"), method, target);
      EXPECT_EQ(denied.status, 401) << method << " " << target;
      EXPECT_EQ(denied.header("X-GMI-Reason"), "ERROR_UID_MISMATCH");
    }
  }
}

TEST_F(authz_test, stopped_upstream_is_503_and_reported_once_until_back) {
  ASSERT_EQ(service.quit(), 0);
  for (int i = 0; i < 3; ++i) {
    expect_unavailable(decide(authz.port, bearer(alice, "alice")), "UPSTREAM_UNREACHABLE");
  }
  const std::string down =
      "gmi-authz: upstream 127.0.0.1:" + std::to_string(service.port) + " is down";
  EXPECT_EQ(count_of(authz.process->standard_error(), down), 1u)
      << authz.process->standard_error();
  // Checks before asking still answer without the service.
  expect_denied(decide(authz.port, "X-GMI-User: alice\r\n"), "MISSING_REQUIRED_PARAM");

  service_process again(service.dir, {std::to_string(service.port)});
  ASSERT_TRUE(again.wait_until_listening(service.port));
  EXPECT_EQ(decide(authz.port, bearer(alice, "alice")).status, 200);
  EXPECT_TRUE(authz.process->wait_for_error_text(
      "gmi-authz: upstream 127.0.0.1:" + std::to_string(service.port) + " is back\n"));
  get(service.port, "/quit");
  EXPECT_EQ(again.wait_for_exit(), 0);
}

// "name{labels}" -> value, for every sample line of an exposition page.
std::map<std::string, std::string> samples(const std::string &page) {
  std::map<std::string, std::string> found;
  size_t start = 0;
  while (start < page.size()) {
    const size_t end = page.find('\n', start);
    const std::string line = page.substr(start, end - start);
    if (!line.empty() && line[0] != '#') {
      const size_t space = line.rfind(' ');
      found[line.substr(0, space)] = line.substr(space + 1);
    }
    start = end == std::string::npos ? page.size() : end + 1;
  }
  return found;
}

// promtool's verdict on a page: "" when it finds nothing wrong.
std::string promtool_problems(const scratch_dir &dir, const std::string &page) {
  FILE *file = fopen((dir.path() + "/metrics.txt").c_str(), "w");
  fputs(page.c_str(), file);
  fclose(file);
  const std::string command =
      "promtool check metrics < " + dir.path() + "/metrics.txt 2>&1; echo \"exit $?\"";
  std::string output;
  if (FILE *tool = popen(command.c_str(), "r")) {
    char chunk[1024];
    while (fgets(chunk, sizeof(chunk), tool) != nullptr) output += chunk;
    pclose(tool);
  }
  return output == "exit 0\n" ? "" : output;
}

TEST_F(authz_test, metrics_equal_the_service_log_and_pass_promtool) {
  const time_t started = time(nullptr);
  for (int i = 0; i < 3; ++i) decide(authz.port, bearer(alice, "alice"));
  decide(authz.port, bearer(alice, "bob"));
  decide(authz.port, bearer(tampered(alice), "alice"));
  decide(authz.port, "X-GMI-User: alice\r\n");

  const http_response scrape = get(authz.metrics_port, "/metrics");
  ASSERT_EQ(scrape.status, 200);
  EXPECT_EQ(scrape.header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  std::map<std::string, std::string> value = samples(scrape.body);
  EXPECT_EQ(value["gmi_up"], "1");
  EXPECT_EQ(value["gmi_validations_total"], log_field(service.port, "request_count"));
  EXPECT_EQ(value["gmi_validations_total"], "5");
  EXPECT_EQ(value["gmi_invalid_validations_total"], log_field(service.port, "invalid_count"));
  EXPECT_EQ(value["gmi_invalid_validations_total"], "2");
  EXPECT_EQ(value["gmi_bypass_enabled"], "0");
  EXPECT_EQ(value["gmi_auth_library_info{version=\"" +
                  log_field(service.port, "auth_version") + "\"}"],
            "1");
  const long long start_time = std::stoll(value["gmi_start_time_seconds"]);
  EXPECT_GE(start_time, static_cast<long long>(started) - 30);
  EXPECT_LE(start_time, static_cast<long long>(time(nullptr)));
  EXPECT_EQ(value["gmi_authz_decisions_total{result=\"allow\"}"], "3");
  EXPECT_EQ(value["gmi_authz_decisions_total{result=\"deny\"}"], "3");
  EXPECT_EQ(value["gmi_authz_decisions_total{result=\"error\"}"], "0");
  EXPECT_EQ(value["gmi_authz_denials_total{reason=\"ERROR_UID_MISMATCH\"}"], "1");
  EXPECT_EQ(value["gmi_authz_denials_total{reason=\"ERROR_BAD_CHECKSUM\"}"], "1");
  EXPECT_EQ(value["gmi_authz_denials_total{reason=\"MISSING_REQUIRED_PARAM\"}"], "1");
  EXPECT_EQ(value["gmi_authz_denials_total{reason=\"TOKEN_TOO_LONG\"}"], "0");
  EXPECT_EQ(value["gmi_authz_decision_duration_seconds_bucket{le=\"+Inf\"}"], "6");
  EXPECT_EQ(value["gmi_authz_decision_duration_seconds_count"], "6");
  EXPECT_EQ(scrape.body.find("average"), std::string::npos);
  EXPECT_EQ(promtool_problems(service.dir, scrape.body), "");

  ASSERT_EQ(get(service.port, "/bypass?opt=on").status, 200);
  EXPECT_EQ(samples(get(authz.metrics_port, "/metrics").body)["gmi_bypass_enabled"], "1");

  // Without the service: gmi_up 0 and the companion's own figures only.
  ASSERT_EQ(service.quit(), 0);
  const std::string down = get(authz.metrics_port, "/metrics").body;
  value = samples(down);
  EXPECT_EQ(value["gmi_up"], "0");
  EXPECT_EQ(value.count("gmi_validations_total"), 0u);
  EXPECT_EQ(value["gmi_authz_decisions_total{result=\"allow\"}"], "3");
  EXPECT_EQ(promtool_problems(service.dir, down), "");
}

TEST_F(authz_test, health_follows_the_process_and_readiness_the_service) {
  EXPECT_EQ(get(authz.metrics_port, "/healthz").status, 200);
  EXPECT_EQ(get(authz.metrics_port, "/readyz").status, 200);
  ASSERT_EQ(service.quit(), 0);
  EXPECT_EQ(get(authz.metrics_port, "/healthz").status, 200);
  EXPECT_EQ(get(authz.metrics_port, "/readyz").status, 503);
  // The metrics listener decides nothing.
  EXPECT_EQ(get(authz.metrics_port, "/auth").status, 404);
}

// Against a library that accepts one exact token and user, each holding
// "=", "+", "&", "%" and a space: only a byte-exact trip passes.
TEST(authz_exact_bytes_test, token_and_user_reach_the_library_unchanged) {
  running_service service(double_path("exact_bytes"));
  ASSERT_TRUE(service.listening);
  running_authz authz(service.dir, service.port);
  ASSERT_TRUE(authz.listening);

  const http_response answer =
      decide(authz.port, bearer("tok=en+with&odd% bytes", "us=er+&% one"));
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.header("X-GMI-User"), "us=er+&% one");
  // The same bytes with one changed the way an unescaped trip would.
  expect_denied(decide(authz.port, bearer("tok=en with&odd% bytes", "us=er+&% one")),
                "ERROR_GMI_INVALID");
  expect_denied(decide(authz.port, bearer("tok=en+with&odd% bytes", "us=er &% one")),
                "ERROR_GMI_INVALID");
}

// An upstream that answers every request with one fixed status and body.
class fake_upstream {
 public:
  fake_upstream(int status, std::string body, uint16_t on_port = free_port())
      : port(on_port) {
    server.Post("/login", [status, body](const httplib::Request &, httplib::Response &res) {
      res.status = status;
      res.set_content(body, "text/plain");
    });
    server.bind_to_port("127.0.0.1", port);
    thread = std::thread([this] { server.listen_after_bind(); });
  }
  ~fake_upstream() {
    server.stop();
    thread.join();
  }

  uint16_t port;
  httplib::Server server;
  std::thread thread;
};

TEST(authz_fake_upstream_test, anything_but_an_exact_service_body_is_503) {
  scratch_dir dir;
  const std::pair<int, std::string> answers[] = {
      {200, "{\"is_valid\":true,\"reason\":\"\"} "},
      {200, "{\"is_valid\":true,\"reason\":\"\"}\n"},
      {200, " {\"is_valid\":true,\"reason\":\"\"}"},
      {200, "{\"is_valid\": true,\"reason\":\"\"}"},
      {200, "{\"is_valid\":true,\"reason\":\"OK\"}"},
      {200, "{\"is_valid\":true}"},
      {200, "{\"is_valid\":false,\"reason\":\"\"}"},
      {200, "{\"is_valid\":false,\"reason\":\"TOKEN_TOO_LONG\"}"},
      {200, "{\"is_valid\":false,\"reason\":\"SOMETHING_NEW\"}"},
      {200, "OK"},
      {200, ""},
      {204, ""},
      {500, "{\"is_valid\":true,\"reason\":\"\"}"},
      {302, "{\"is_valid\":true,\"reason\":\"\"}"},
      {206, "{\"is_valid\":true,\"reason\":\"\"}"},
  };
  for (const auto &[status, body] : answers) {
    fake_upstream upstream(status, body);
    running_authz authz(dir, upstream.port);
    ASSERT_TRUE(authz.listening);
    expect_unavailable(decide(authz.port, bearer("t", "u")), "UPSTREAM_UNEXPECTED_ANSWER");
  }
  // The exact bodies, through the same fake, for contrast.
  fake_upstream valid(200, "{\"is_valid\":true,\"reason\":\"\"}");
  running_authz authz(dir, valid.port);
  ASSERT_TRUE(authz.listening);
  EXPECT_EQ(decide(authz.port, bearer("t", "u")).status, 200);
}

// The front answers valid, the instance invalid, so each answer says who
// gave it.
TEST(authz_fake_upstream_test, with_a_front_decisions_go_through_it_else_to_the_instance) {
  scratch_dir dir;
  const uint16_t front_port = free_port();
  const std::string front = "127.0.0.1:" + std::to_string(front_port);
  fake_upstream instance(200, "{\"is_valid\":false,\"reason\":\"ERROR_GMI_EXPIRED\"}");
  auto front_process = std::make_unique<fake_upstream>(
      200, "{\"is_valid\":true,\"reason\":\"\"}", front_port);
  running_authz authz(dir, instance.port, {"--front", front});
  ASSERT_TRUE(authz.listening);
  EXPECT_EQ(decide(authz.port, bearer("t", "u")).status, 200);
  // Metrics and readiness read the instance's /log, which the front refuses.
  EXPECT_EQ(get(authz.metrics_port, "/readyz").status, 503);

  front_process.reset();
  EXPECT_EQ(decide(authz.port, bearer("t", "u")).status, 401);
  EXPECT_TRUE(authz.process->wait_for_error_text(
      "gmi-authz: upstream " + front + " is down (refused the connection)\n"));

  front_process = std::make_unique<fake_upstream>(
      200, "{\"is_valid\":true,\"reason\":\"\"}", front_port);
  EXPECT_EQ(decide(authz.port, bearer("t", "u")).status, 200);
  EXPECT_TRUE(authz.process->wait_for_error_text("gmi-authz: upstream " + front + " is back\n"));
}

// Accepts connections and counts them; then either holds each one open
// without a word, or reads the request and hangs up.
class mute_upstream {
 public:
  enum mode { holds, hangs_up };

  // Binds a port the kernel picks, so that no test running beside it can
  // take the port between its choice and the bind.
  explicit mute_upstream(mode how) {
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address));
    listen(listener, 64);
    socklen_t length = sizeof(address);
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    port = ntohs(address.sin_port);
    thread = std::thread([this, how] {
      int fd;
      while ((fd = accept(listener, nullptr, nullptr)) >= 0) {
        ++count;
        if (how == holds) {
          held.push_back(fd);
          continue;
        }
        char request[4096];
        if (recv(fd, request, sizeof(request), 0) < 0) perror("recv");
        close(fd);
      }
    });
  }
  ~mute_upstream() {
    shutdown(listener, SHUT_RDWR);
    thread.join();
    close(listener);
    for (const int fd : held) close(fd);
  }

  uint16_t port = 0;
  int listener;
  std::vector<int> held;  // the accepting thread's alone until joined
  std::atomic<int> count{0};
  std::thread thread;
};

TEST(authz_fake_upstream_test, silent_upstream_is_503_within_the_timeout) {
  scratch_dir dir;
  mute_upstream upstream(mute_upstream::holds);
  running_authz authz(dir, upstream.port, {"--timeout", "3", "--connections", "2"});
  ASSERT_TRUE(authz.listening);

  // Six decisions at once: two hold the pool's connections until the
  // deadline, four queue for one and time out with them.
  const auto before = std::chrono::steady_clock::now();
  std::vector<std::thread> clients;
  std::vector<http_response> answers(6);
  for (size_t i = 0; i < answers.size(); ++i) {
    clients.emplace_back([&, i] { answers[i] = decide(authz.port, bearer("t", "u")); });
  }
  while (upstream.count.load() < 2 &&
         std::chrono::steady_clock::now() - before < std::chrono::milliseconds(2500)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(upstream.count.load(), 2) << "connections opened while all wait";
  for (std::thread &client : clients) client.join();
  const auto took = std::chrono::steady_clock::now() - before;

  for (const http_response &answer : answers) {
    expect_unavailable(answer, "UPSTREAM_TIMEOUT");
  }
  EXPECT_GE(took, std::chrono::milliseconds(2900));
  EXPECT_LT(took, std::chrono::seconds(8));
  EXPECT_TRUE(authz.process->wait_for_error_text("is down (timed out)\n"));
}

TEST(authz_fake_upstream_test, upstream_hanging_up_without_answer_is_503) {
  scratch_dir dir;
  mute_upstream upstream(mute_upstream::hangs_up);
  running_authz authz(dir, upstream.port);
  ASSERT_TRUE(authz.listening);
  expect_unavailable(decide(authz.port, bearer("t", "u")), "UPSTREAM_UNREACHABLE");
  EXPECT_TRUE(authz.process->wait_for_error_text("is down (no answer)\n"));
}

// The raw JSON text of a field of an access log line: a string with its
// quotes, or a number, true, false, null.
std::string line_field(const std::string &line, const std::string &name) {
  const std::string key = "\"" + name + "\":";
  const size_t at = line.find(key);
  if (at == std::string::npos) return "<absent>";
  size_t value = at + key.size(), end = value;
  if (line[value] == '"') {
    for (end = value + 1; end < line.size() && line[end] != '"'; ++end) {
      if (line[end] == '\\') ++end;
    }
    ++end;
  } else {
    end = line.find_first_of(",}", value);
  }
  return line.substr(value, end - value);
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// gmi-authz trusting this test (127.0.0.1) to name clients in
// X-Forwarded-For: each address named there is a client of its own.
class authz_throttle_test : public testing::Test {
 protected:
  void start(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--trusted-proxy", "127.0.0.1"});
    authz = std::make_unique<running_authz>(service.dir, service.port, args);
    ASSERT_TRUE(service.listening);
    ASSERT_TRUE(authz->listening);
  }
  http_response from(const std::string &client, const std::string &token,
                     const std::string &user = "alice") {
    return decide(authz->port, bearer(token, user) + "X-Forwarded-For: " + client + "\r\n");
  }
  // Invalid tokens from client until the first answer that is not a 401;
  // how many 401s came before it.
  int failures_until_refused(const std::string &client, int at_most) {
    for (int i = 0; i < at_most; ++i) {
      if (from(client, alice + "x" + std::to_string(i)).status != 401) return i;
    }
    return at_most;
  }
  std::string validations() { return log_field(service.port, "request_count"); }
  std::string throttled_total() {
    return samples(get(authz->metrics_port, "/metrics").body)["gmi_authz_throttled_total"];
  }

  running_service service{build_path("libAuthSrv.so")};
  std::unique_ptr<running_authz> authz;
  const std::string alice = mint("alice");
};

TEST_F(authz_throttle_test, a_client_sending_only_invalid_tokens_is_refused_and_no_other) {
  start();
  // Requests without a token are no guesses: they never count.
  for (int i = 0; i < 30; ++i) {
    expect_denied(decide(authz->port, "X-GMI-User: alice\r\nX-Forwarded-For: 203.0.113.1\r\n"),
                  "MISSING_REQUIRED_PARAM");
  }
  // 20 failures are within the budget; the 21st, all of its answers
  // failing, starts the refusal.
  EXPECT_EQ(failures_until_refused("203.0.113.1", 100), 21);
  EXPECT_EQ(validations(), "21");
  const http_response refused = from("203.0.113.1", alice);  // a valid token too
  EXPECT_EQ(refused.status, 403);
  EXPECT_EQ(refused.header("X-GMI-Reason"), "throttled");
  const int retry_after = std::stoi(refused.header("Retry-After"));
  EXPECT_GE(retry_after, 1);
  EXPECT_LE(retry_after, 60);
  EXPECT_FALSE(refused.has_header("X-GMI-User"));
  // Refused requests reach no instance; another client is served.
  EXPECT_EQ(validations(), "21");
  EXPECT_EQ(from("203.0.113.2", alice).status, 200);
  EXPECT_EQ(from("2001:db8::2", alice).status, 200);
  EXPECT_EQ(throttled_total(), "2");

  // Each decision is one log line, and no token is in any of them.
  ASSERT_EQ(authz->stop(), 0);
  const std::vector<std::string> lines = lines_of(authz->process->standard_output());
  ASSERT_EQ(lines.size(), 30u + 22u + 1u + 2u);
  const std::string &throttled = lines[51];
  EXPECT_EQ(line_field(throttled, "client"), "\"203.0.113.1\"");
  EXPECT_EQ(line_field(throttled, "client_port"), "null");
  EXPECT_EQ(line_field(throttled, "status"), "403");
  EXPECT_EQ(line_field(throttled, "decision"), "\"throttled\"");
  EXPECT_EQ(line_field(throttled, "reason"), "\"throttled\"");
  EXPECT_EQ(line_field(throttled, "upstream"), "null");
  EXPECT_EQ(line_field(lines[30], "decision"), "\"deny\"");
  EXPECT_EQ(line_field(lines[30], "reason"), "\"ERROR_GMI_PARSE\"");
  EXPECT_EQ(line_field(lines[30], "upstream"), "\"instance\"");
  EXPECT_EQ(line_field(lines.back(), "decision"), "\"allow\"");
  EXPECT_EQ(line_field(lines.back(), "client"), "\"2001:db8::2\"");
  EXPECT_EQ(authz->process->standard_output().find(alice.substr(0, 40)), std::string::npos);
}

TEST_F(authz_throttle_test, failures_are_weighed_against_the_client_answers) {
  // A window no test outlasts, so that the counts are exact.
  start({"--throttle-window", "3600"});
  // Half failing, past the budget: exactly the share, not above it.
  for (int i = 0; i < 60; ++i) {
    ASSERT_EQ(from("203.0.113.1", alice).status, 200) << i;
    ASSERT_EQ(from("203.0.113.1", alice + "x").status, 401) << i;
  }
  // One more failure: 61 of 121.
  EXPECT_EQ(failures_until_refused("203.0.113.1", 5), 1);
}

TEST_F(authz_throttle_test, tracks_at_most_its_capacity_forgetting_the_oldest) {
  start({"--throttle-clients", "2"});
  ASSERT_EQ(failures_until_refused("203.0.113.1", 100), 21);
  // A second client fits beside the refused one; a third pushes out the
  // client seen longest ago, and with it the refusal.
  EXPECT_EQ(from("203.0.113.2", alice).status, 200);
  EXPECT_EQ(from("203.0.113.1", alice).status, 403);
  EXPECT_EQ(from("203.0.113.2", alice).status, 200);
  EXPECT_EQ(from("203.0.113.3", alice).status, 200);
  EXPECT_EQ(from("203.0.113.1", alice).status, 200);
}

TEST_F(authz_throttle_test, a_figure_of_zero_turns_it_off) {
  start({"--throttle-ban", "0"});
  EXPECT_EQ(failures_until_refused("203.0.113.1", 40), 40);
  EXPECT_EQ(throttled_total(), "0");
}

// The client a decision is for, as the log names it, for each
// X-Forwarded-For a proxy at 127.0.0.1 may send.
TEST(authz_client_address_test, forwarded_for_is_read_right_to_left_past_trusted_proxies) {
  running_service service(build_path("libAuthSrv.so"));
  ASSERT_TRUE(service.listening);
  const std::pair<std::string, std::string> cases[] = {
      {"", "\"127.0.0.1\""},
      {"X-Forwarded-For: 203.0.113.9\r\n", "\"203.0.113.9\""},
      // A trusted hop is skipped; what the client wrote itself is not
      // believed past the first untrusted hop.
      {"X-Forwarded-For: 198.51.100.1, 10.1.2.3\r\n", "\"198.51.100.1\""},
      {"X-Forwarded-For: 198.51.100.1, 203.0.113.9, 10.1.2.3\r\n", "\"203.0.113.9\""},
      // Several headers are one list, in order.
      {"X-Forwarded-For: 198.51.100.1\r\nX-Forwarded-For: 10.0.0.5\r\n", "\"198.51.100.1\""},
      // Ports and brackets as some proxies write them; IPv6 normalised.
      {"X-Forwarded-For: [2001:DB8:0::1]:443\r\n", "\"2001:db8::1\""},
      {"X-Forwarded-For: 203.0.113.9:1234\r\n", "\"203.0.113.9\""},
      {"X-Forwarded-For: ::ffff:203.0.113.9\r\n", "\"203.0.113.9\""},
      // Not an address: the trusted hop that wrote it is the client.
      {"X-Forwarded-For: 198.51.100.1, unknown, 10.0.0.5\r\n", "\"10.0.0.5\""},
      {"X-Forwarded-For: 198.51.100.1,\r\n", "\"127.0.0.1\""},
      // Every hop trusted: the farthest.
      {"X-Forwarded-For: 10.0.0.1, 10.0.0.2\r\n", "\"10.0.0.1\""},
  };
  scratch_dir dir;
  running_authz trusting(dir, service.port, {"--trusted-proxy", "127.0.0.1,10.0.0.0/8"});
  ASSERT_TRUE(trusting.listening);
  for (const auto &[headers, client] : cases) decide(trusting.port, headers);
  ASSERT_EQ(trusting.stop(), 0);
  const std::vector<std::string> lines = lines_of(trusting.process->standard_output());
  ASSERT_EQ(lines.size(), std::size(cases));
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(line_field(lines[i], "client"), cases[i].second) << cases[i].first;
    // The port is the peer's, and only when the peer is the client.
    EXPECT_EQ(line_field(lines[i], "client_port") == "null", i > 0 && i != 9) << cases[i].first;
  }

  // From a peer not trusted, the header counts for nothing.
  running_authz untrusting(dir, service.port, {"--trusted-proxy", "10.0.0.0/8"});
  ASSERT_TRUE(untrusting.listening);
  decide(untrusting.port, "X-Forwarded-For: 203.0.113.9\r\n");
  ASSERT_EQ(untrusting.stop(), 0);
  EXPECT_EQ(line_field(untrusting.process->standard_output(), "client"), "\"127.0.0.1\"");
}

// A user as sent (the library decodes %XX in headers) and as the log
// line carries it: escaped, invalid UTF-8 dropped, cut at 256 bytes.
TEST(authz_access_log_test, users_are_escaped_so_no_value_breaks_or_forges_a_line) {
  running_service service(build_path("libAuthSrv.so"));
  ASSERT_TRUE(service.listening);
  scratch_dir dir;
  running_authz authz(dir, service.port);
  ASSERT_TRUE(authz.listening);
  const std::pair<std::string, std::string> users[] = {
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"x%01%1Fy%7F", "\"x\\u0001\\u001fy\\u007f\""},
      {"%FF%C3%28ok%C3%A9", "\"(ok\xc3\xa9\""},
      {"x\",\"status\":200,\"y", "\"x\\\",\\\"status\\\":200,\\\"y\""},
      {std::string(300, 'u'), "\"" + std::string(256, 'u') + "\""},
  };
  for (const auto &[sent, logged] : users) {
    decide(authz.port, "Authorization: Bearer t\r\nX-GMI-User: " + sent + "\r\n");
  }
  ASSERT_EQ(authz.stop(), 0);
  const std::vector<std::string> lines = lines_of(authz.process->standard_output());
  ASSERT_EQ(lines.size(), std::size(users));
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(line_field(lines[i], "userid"), users[i].second) << users[i].first;
    EXPECT_EQ(line_field(lines[i], "status"), "401") << lines[i];
  }
}

class authz_command_line_test : public testing::Test {
 protected:
  // Runs gmi-authz to its end; returns its exit status.
  int run(const std::vector<std::string> &args) {
    child_process process(build_path("gmi-authz"), dir, args);
    const int status = process.wait_for_exit();
    out = process.standard_output();
    err = process.standard_error();
    return status;
  }

  scratch_dir dir;
  std::string out, err;
};

TEST_F(authz_command_line_test, help_prints_usage_on_standard_output) {
  EXPECT_EQ(run({"--help"}), 0);
  EXPECT_EQ(out.rfind("usage: gmi-authz [--listen HOST:PORT]", 0), 0u) << out;
  EXPECT_NE(out.find("--token-cookie NAME"), std::string::npos);
  EXPECT_EQ(err, "");
}

TEST_F(authz_command_line_test, bad_options_exit_2_with_a_message) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--bogus"}, "gmi-authz: unknown option '--bogus'\n"},
      {{"--listen"}, "gmi-authz: --listen needs a value\n"},
      {{"--listen", "127.0.0.1"}, "gmi-authz: bad value '127.0.0.1' for --listen\n"},
      {{"--upstream", "127.0.0.1:0"}, "gmi-authz: bad value '127.0.0.1:0' for --upstream\n"},
      {{"--metrics", "127.0.0.1:65536"},
       "gmi-authz: bad value '127.0.0.1:65536' for --metrics\n"},
      {{"--timeout", "0"}, "gmi-authz: bad value '0' for --timeout\n"},
      {{"--connections", "x"}, "gmi-authz: bad value 'x' for --connections\n"},
      {{"--user-header", "X GMI"}, "gmi-authz: bad value 'X GMI' for --user-header\n"},
      {{"--trusted-proxy", "10.0.0.0/33"},
       "gmi-authz: bad value '10.0.0.0/33' for --trusted-proxy\n"},
      {{"--trusted-proxy", "10.0.0.1,"}, "gmi-authz: bad value '10.0.0.1,' for --trusted-proxy\n"},
      {{"--throttle-share", "101"}, "gmi-authz: bad value '101' for --throttle-share\n"},
  };
  for (const auto &[args, message] : cases) {
    EXPECT_EQ(run(args), 2) << message;
    EXPECT_EQ(err.rfind(message, 0), 0u) << err;
    EXPECT_NE(err.find("usage: gmi-authz"), std::string::npos);
    EXPECT_EQ(out, "");
  }
}

TEST_F(authz_command_line_test, an_address_in_use_exits_2) {
  // A listener without port sharing, as any other program's would be.
  const uint16_t taken = free_port();
  const int holder = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(taken);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(holder, 1), 0);

  EXPECT_EQ(run({"--listen", loopback(taken), "--metrics", loopback(free_port())}), 2);
  EXPECT_EQ(err, "gmi-authz: cannot listen on " + loopback(taken) + "\n");
  EXPECT_EQ(run({"--listen", loopback(free_port()), "--metrics", loopback(taken)}), 2);
  EXPECT_EQ(err, "gmi-authz: cannot listen on " + loopback(taken) + "\n");
  close(holder);
}

TEST_F(authz_command_line_test, stops_cleanly_on_sigterm_and_sigint) {
  for (const int signal : {SIGTERM, SIGINT}) {
    const uint16_t upstream = free_port();
    running_authz authz(dir, upstream);
    ASSERT_TRUE(authz.listening);
    // An idle kept-alive connection delays the stop by its 5 s wait at most.
    http_connection idle(authz.port);
    ASSERT_TRUE(idle.send_raw("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(idle.read_response().status, 401);

    authz.process->send_signal(signal);
    EXPECT_EQ(authz.process->wait_for_exit(), 0);
    EXPECT_EQ(authz.process->standard_error(),
              "gmi-authz: deciding on " + loopback(authz.port) + ", metrics on " +
                  loopback(authz.metrics_port) + ", upstream " + loopback(upstream) +
                  " (6 connections, 2000 ms timeout)\n" + "gmi-authz: stopped by " +
                  (signal == SIGTERM ? "SIGTERM" : "SIGINT") + "\n");
    // The one decision's line in the access log.
    const std::vector<std::string> lines = lines_of(authz.process->standard_output());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("{\"time\":\"", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(",\"status\":401,\"decision\":\"deny\",\"reason\":"
                            "\"MISSING_REQUIRED_PARAM\",\"upstream\":null,"),
              std::string::npos)
        << lines[0];
  }
}

}  // namespace
}  // namespace test
