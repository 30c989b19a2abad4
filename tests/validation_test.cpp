// /login and /usual against the real binary: what reaches the library, what
// the client gets back, what the console shows, and what is counted.

#include <zlib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/http_client.h"
#include "support/running_service.h"

namespace test {
namespace {

std::string hex(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char byte : bytes) {
    text += digits[byte >> 4];
    text += digits[byte & 0xf];
  }
  return text;
}

// The journal line the recording double writes for one call.
std::string library_call(const std::string &user, const std::string &token) {
  return "CheckValidGmi " + hex(user) + " " + std::to_string(user.size()) + " " +
         hex(token) + " " + std::to_string(token.size()) + " nul\n";
}

const char start_calls[] = "InitAuth 1\nSetBypassOption 0\n";

std::string missing_body(const std::string &end) {
  return "{\"is_valid\":false,\"reason\":\"MISSING_REQUIRED_PARAM\"}" + end;
}

class validation_test : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service.listening); }

  // The library calls made since start-up.
  std::string calls() const {
    return service.dir.read("auth_calls.log").substr(sizeof(start_calls) - 1);
  }
  std::string statistics() { return get(service.port, "/log").body; }

  running_service service{double_path("recording")};
};

TEST_F(validation_test, user_is_userid_else_data) {
  get(service.port, "/login?gmi=t1&data=d1");
  get(service.port, "/login?data=d2&gmi=t2&userid=u2");
  EXPECT_EQ(calls(), library_call("d1", "t1") + library_call("u2", "t2"));
}

TEST_F(validation_test, missing_parameters_are_counted_but_not_judged) {
  for (const char *path : {"/login", "/usual"}) {
    const std::string end = std::string(path) == "/usual" ? "\n" : "";
    EXPECT_EQ(get(service.port, std::string(path) + "?gmi=t").body, missing_body(end));
    EXPECT_EQ(get(service.port, std::string(path) + "?userid=u").body, missing_body(end));
    EXPECT_EQ(get(service.port, path).body, missing_body(end));
    // Parameter names are case-sensitive.
    EXPECT_EQ(get(service.port, std::string(path) + "?GMI=t&UserId=u").body,
              missing_body(end));
  }
  EXPECT_EQ(calls(), "");
  const std::string stats = statistics();
  EXPECT_NE(stats.find("\"request_count\":8,"), std::string::npos) << stats;
  EXPECT_NE(stats.find("\"invalid_count\":0,"), std::string::npos) << stats;
}

TEST_F(validation_test, header_token_is_printed_but_never_used) {
  const http_response answer = request(service.port, "GET", "/login?userid=u",
                                       "GMI: header-token\r\n");
  EXPECT_EQ(answer.body, missing_body(""));
  EXPECT_EQ(calls(), "");
  EXPECT_EQ(service.quit(), 0);
  EXPECT_NE(service.process->output().find(
                "[Server] Get GET request to /login\n"
                "[Server] GMI in header : header-token\n[Server] Stopped\n"),
            std::string::npos)
      << service.process->output();
}

TEST_F(validation_test, query_comes_before_form_and_first_value_wins) {
  post_form(service.port, "/login?gmi=from-query", "gmi=from-form&userid=u");
  get(service.port, "/login?gmi=first&gmi=second&userid=a&userid=b");
  post_form(service.port, "/usual", "gmi=form-only&data=d");
  EXPECT_EQ(calls(), library_call("u", "from-query") + library_call("a", "first") +
                         library_call("d", "form-only"));
}

TEST_F(validation_test, form_post_validates_like_get) {
  const http_response by_form = post_form(service.port, "/login", "gmi=code:7&userid=u");
  const http_response by_query = get(service.port, "/login?gmi=code:7&userid=u");
  EXPECT_EQ(by_form.body, "{\"is_valid\":false,\"reason\":\"ERROR_UID_MISMATCH\"}");
  EXPECT_EQ(by_form.body, by_query.body);
  EXPECT_EQ(calls(), library_call("u", "code:7") + library_call("u", "code:7"));
}

TEST_F(validation_test, decoding_rules_shape_what_reaches_the_library) {
  get(service.port, "/login?gmi=ab%3Dcd&userid=a+b%2Bc");  // encoded "=", "+"
  get(service.port, "/login?gmi=ab=cd=ef&userid=u");       // bare "=" splits
  get(service.port, "/login?gmi=abc==&userid=u");          // trailing "=" lost
  get(service.port, "/login?gmi=&userid=");                // empty is present
  get(service.port, "/login?gmi=%00x&userid=%C3%A9");      // raw bytes
  EXPECT_EQ(calls(), library_call("a b+c", "ab=cd") + library_call("u", "ef") +
                         library_call("u", "abc") + library_call("", "") +
                         library_call("\xc3\xa9", std::string("\0x", 2)));
}

struct code_case {
  int code;
  const char *reason;
};

const code_case code_cases[] = {
    {2, "ERROR_INIT"},          {3, "ERROR_GMI_INVALID"},
    {4, "ERROR_GMI_PARSE"},     {5, "ERROR_INDEX_PAIR"},
    {6, "ERROR_REV_MISMATCH"},  {7, "ERROR_UID_MISMATCH"},
    {8, "ERROR_BAD_CHECKSUM"},  {9, "ERROR_GMI_EXPIRED"},
    {10, "ERROR_LOOP_SUSPENDED"}, {11, "ERROR_CheckValidGmi"},
    {12345, "ERROR_CheckValidGmi"}, {-1, "ERROR_CheckValidGmi"},
    {-2147483647 - 1, "ERROR_CheckValidGmi"},
};

TEST_F(validation_test, every_failure_code_has_its_reason_and_no_line_feed) {
  for (const char *path : {"/login", "/usual"}) {
    for (const code_case &c : code_cases) {
      const std::string target =
          std::string(path) + "?userid=u&gmi=code:" + std::to_string(c.code);
      EXPECT_EQ(get(service.port, target).body,
                std::string("{\"is_valid\":false,\"reason\":\"") + c.reason + "\"}")
          << target;
    }
  }
  const std::string stats = statistics();
  EXPECT_NE(stats.find("\"invalid_count\":26,"), std::string::npos) << stats;
}

TEST_F(validation_test, passing_codes_answer_valid_with_usual_line_feed) {
  EXPECT_EQ(get(service.port, "/login?userid=u&gmi=code:0").body,
            "{\"is_valid\":true,\"reason\":\"\"}");
  EXPECT_EQ(get(service.port, "/login?userid=u&gmi=code:1").body,
            "{\"is_valid\":true,\"reason\":\"SET_BYPASS\"}");
  EXPECT_EQ(get(service.port, "/usual?userid=u&gmi=code:0").body,
            "{\"is_valid\":true,\"reason\":\"\"}\n");
  EXPECT_EQ(get(service.port, "/usual?userid=u&gmi=code:1").body,
            "{\"is_valid\":true,\"reason\":\"SET_BYPASS\"}\n");
  const http_response answer = get(service.port, "/login?userid=u&gmi=x");
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.header("Content-Type"), "text/plain");
  const std::string stats = statistics();
  EXPECT_NE(stats.find("\"request_count\":5,"), std::string::npos) << stats;
  EXPECT_NE(stats.find("\"invalid_count\":0,"), std::string::npos) << stats;
}

TEST_F(validation_test, head_runs_the_handler_and_sends_no_body) {
  for (const char *path : {"/login", "/usual"}) {
    http_connection connection(service.port);
    connection.send_raw(std::string("HEAD ") + path +
                        "?userid=u&gmi=code:9 HTTP/1.1\r\nHost: x\r\n"
                        "Connection: close\r\n\r\n");
    const http_response answer = connection.read_response(true);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.header("Content-Length"), "47");  // the expired answer
    EXPECT_TRUE(connection.closed_by_server());
  }
  EXPECT_EQ(calls(), library_call("u", "code:9") + library_call("u", "code:9"));
  const std::string stats = statistics();
  EXPECT_NE(stats.find("\"request_count\":2,"), std::string::npos) << stats;
  EXPECT_NE(stats.find("\"invalid_count\":2,"), std::string::npos) << stats;
}

TEST_F(validation_test, console_transcript_follows_each_validation) {
  request(service.port, "GET", "/login?gmi=tok&userid=u",
          "gMi: hdr\r\nGMI: second\r\n");  // any case; first value
  get(service.port, "/usual?gmi=code:8&data=d");
  get(service.port, "/usual?gmi=code:1&data=d");
  get(service.port, "/login?gmi=code:-1&userid=u");
  request(service.port, "GET", "/login?userid=u", "gmi: \r\n");  // empty: dropped
  ASSERT_EQ(service.quit(), 0);
  const std::string output = std::regex_replace(
      service.process->output(), std::regex("check time : \\d+\n"), "check time : N\n");
  EXPECT_EQ(output,
            "[SERVER] GetAuthVersion() 7\n"
            "[Server] Started (port : " + std::to_string(service.port) + ")\n"
            "[Server] Get GET request to /login\n"
            "[Server] GMI in header : hdr\n"
            "[Server] GMI in parameters : tok\n"
            "[Server] Valid GMI with input data\n"
            "[Server] Get GET request to /usual\n"
            "[Server] GMI in parameters : code:8\n"
            "[Server] Elapsed validation check time : N\n"
            "[Server] Invalid GMI with input data\n"
            "[Server] Get GET request to /usual\n"
            "[Server] GMI in parameters : code:1\n"
            "[Server] Elapsed validation check time : N\n"
            "[Server] Valid GMI with input data\n"
            "[Server] Get GET request to /login\n"
            "[Server] GMI in parameters : code:-1\n"
            "[Server] Invalid Auth. information with input data\n"
            "[Server] Get GET request to /login\n"
            "[Server] Stopped\n[Server] CleanupAuth()\n[Server] Exit\n");
}

TEST_F(validation_test, control_bytes_in_console_values_are_escaped) {
  request(service.port, "GET", "/login?userid=u&gmi=a%0A%5BServer%5D%20Exit%1B%7F%0D%C3%A9%00hidden",
          "GMI: x%0A[Server] Exit\r\n");
  ASSERT_EQ(service.quit(), 0);
  const std::string output = service.process->output();
  EXPECT_NE(output.find("[Server] GMI in header : x\\x0a[Server] Exit\n"),
            std::string::npos) << output;
  EXPECT_NE(output.find("[Server] GMI in parameters : a\\x0a[Server] Exit"
                        "\\x1b\\x7f\\x0d\xc3\xa9\n"),
            std::string::npos) << output;
  EXPECT_EQ(output.find("hidden"), std::string::npos);
}

TEST_F(validation_test, throwing_library_gets_a_bare_500) {
  const http_response answer = get(service.port, "/login?userid=u&gmi=throw");
  EXPECT_EQ(answer.status, 500);
  EXPECT_FALSE(answer.has_header("EXCEPTION_WHAT"));
  EXPECT_EQ(answer.body, "");
  EXPECT_EQ(get(service.port, "/login?userid=u&gmi=x").status, 200);
}

class body_limit_test : public validation_test {};

TEST_F(body_limit_test, body_over_a_mebibyte_is_refused_and_never_runs) {
  // The body hides a request: answering 413 must not leave it to be read as
  // the connection's next one.
  std::string body = "GET /quit HTTP/1.1\r\nHost: x\r\n\r\n";
  body.resize(1024 * 1024 + 1, 'a');
  http_connection connection(service.port);
  connection.send_raw("POST /login?gmi=t&userid=u HTTP/1.1\r\nHost: x\r\n"
                      "Content-Type: text/plain\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\n\r\n" + body);
  EXPECT_EQ(connection.read_response().status, 413);
  connection.send_raw("GET /log HTTP/1.1\r\nHost: x\r\n\r\n");
  const http_response next = connection.read_response();
  EXPECT_EQ(next.status, 200);
  EXPECT_NE(next.body.find("\"request_count\":0,"), std::string::npos) << next.body;
  EXPECT_TRUE(service.process->running());
  EXPECT_EQ(calls(), "");
}

TEST_F(body_limit_test, body_of_exactly_a_mebibyte_is_served) {
  const http_response answer =
      request(service.port, "POST", "/login?gmi=t&userid=u",
              "Content-Type: text/plain\r\n", std::string(1024 * 1024, 'a'));
  EXPECT_EQ(answer.body, "{\"is_valid\":true,\"reason\":\"\"}");
}

TEST_F(body_limit_test, form_over_8192_bytes_is_refused) {
  const std::string form = "gmi=t&userid=u&pad=";
  EXPECT_EQ(post_form(service.port, "/login", form + std::string(8192 - form.size(), 'a'))
                .body,
            "{\"is_valid\":true,\"reason\":\"\"}");
  const http_response refused =
      post_form(service.port, "/login", form + std::string(8193 - form.size(), 'a'));
  EXPECT_EQ(refused.status, 413);
  EXPECT_EQ(refused.body, "");
  EXPECT_EQ(calls(), library_call("u", "t"));
}

TEST_F(body_limit_test, post_without_length_has_an_empty_body) {
  // Without a length the library would wait for the client to hang up and
  // then answer 400.
  http_connection connection(service.port);
  connection.send_raw("POST /login?gmi=t&userid=u HTTP/1.1\r\nHost: x\r\n\r\n");
  const http_response answer = connection.read_response();
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, "{\"is_valid\":true,\"reason\":\"\"}");
}

TEST_F(body_limit_test, compressed_bodies_are_not_inflated) {
  const std::string form = "gmi=t&userid=u";
  uLongf length = compressBound(form.size());
  std::string packed(length, '\0');
  compress(reinterpret_cast<Bytef *>(&packed[0]), &length,
           reinterpret_cast<const Bytef *>(form.data()), form.size());
  packed.resize(length);
  const http_response answer =
      request(service.port, "POST", "/login",
              "Content-Type: application/x-www-form-urlencoded\r\n"
              "Content-Encoding: deflate\r\n", packed);
  EXPECT_EQ(answer.body, missing_body(""));
  EXPECT_EQ(calls(), "");
}

TEST_F(validation_test, concurrent_validations_are_counted_exactly) {
  constexpr int clients = 16, connections_each = 50, requests_each = 5;
  std::atomic<int> wrong_answers{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      for (int k = 0; k < connections_each; ++k) {
        http_connection connection(service.port);
        for (int r = 0; r < requests_each; ++r) {
          const bool valid = (c + r) % 2 == 0;
          connection.send_raw(std::string("GET /login?userid=u&gmi=") +
                              (valid ? "ok" : "code:9") +
                              " HTTP/1.1\r\nHost: x\r\n\r\n");
          const std::string expected =
              valid ? "{\"is_valid\":true,\"reason\":\"\"}"
                    : "{\"is_valid\":false,\"reason\":\"ERROR_GMI_EXPIRED\"}";
          if (connection.read_response().body != expected) ++wrong_answers;
        }
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(wrong_answers.load(), 0);
  const std::string stats = statistics();
  EXPECT_NE(stats.find("\"request_count\":4000,"), std::string::npos) << stats;
  EXPECT_NE(stats.find("\"invalid_count\":2000,"), std::string::npos) << stats;
}

}  // namespace
}  // namespace test
