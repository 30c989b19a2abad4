// A real nginx, configured with the snippets shipped in deploy/nginx/,
// protecting a static location through gmi-authz in front of the real
// service: the content goes out only for a valid token, never when
// gmi-authz or the service is missing.

#include <signal.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/http_client.h"
#include "support/protected_page.h"

namespace test {
namespace {

class authz_nginx_test : public protected_page_test {
 protected:
  // nginx reaches gmi-authz from 127.0.0.1: it alone may name the client.
  authz_nginx_test() : protected_page_test({"--trusted-proxy", "127.0.0.1"}) {}

  void SetUp() override {
    protected_page_test::SetUp();
    if (HasFatalFailure()) return;
    write_file("nginx.conf", configuration());
    nginx = std::make_unique<child_process>(
        "/usr/sbin/nginx", dir,
        std::vector<std::string>{"-c", dir.path() + "/nginx.conf", "-p", dir.path(),
                                 "-e", dir.path() + "/error.log"});
    ASSERT_TRUE(nginx->wait_until_listening(port)) << dir.read("error.log");
  }

  // A killed master would leave its worker behind, still listening.
  void TearDown() override {
    if (!nginx) return;
    nginx->send_signal(SIGTERM);
    EXPECT_EQ(nginx->wait_for_exit(), 0);
  }

  std::string configuration() const {
    const std::string snippets = std::string(GMI_SOURCE_DIR) + "/deploy/nginx/";
    const std::string at = dir.path();
    return "daemon off;\nworker_processes 1;\npid " + at + "/nginx.pid;\n"
           "events { worker_connections 64; }\n"
           "http {\n"
           "  access_log off;\n"
           "  client_body_temp_path " + at + "; proxy_temp_path " + at + ";\n"
           "  fastcgi_temp_path " + at + "; uwsgi_temp_path " + at + ";\n"
           "  scgi_temp_path " + at + ";\n"
           "  upstream gmi_authz {\n"
           "    server 127.0.0.1:" + std::to_string(authz.port) + ";\n"
           "    keepalive 4;\n    keepalive_timeout 4s;\n  }\n"
           "  server {\n"
           "    listen 127.0.0.1:" + std::to_string(port) + ";\n"
           "    root " + at + "/www;\n"
           "    include " + snippets + "gmi-authz.conf;\n"
           "    location /private/ {\n"
           "      include " + snippets + "gmi-authz-protect.conf;\n"
           "      add_header X-Validated-User $gmi_user always;\n"
           "    }\n"
           "  }\n"
           "}\n";
  }

  std::unique_ptr<child_process> nginx;
};

// By header, by the original query (nginx forwards it in X-Original-URI)
// and by cookie.
TEST_F(authz_nginx_test, valid_token_gets_the_content) {
  expect_valid_requests_get_the_page();
}

TEST_F(authz_nginx_test, invalid_or_missing_token_is_401_without_the_content) {
  const http_response other_user = fetch(
      page_target, "Authorization: Bearer " + alice + "\r\nX-GMI-User: bob\r\n");
  EXPECT_EQ(other_user.status, 401);
  EXPECT_EQ(other_user.header("WWW-Authenticate"), "Bearer error=\"invalid_token\"");
  EXPECT_EQ(other_user.body.find(page), std::string::npos);

  const http_response no_token = fetch(page_target, "X-GMI-User: alice\r\n");
  EXPECT_EQ(no_token.status, 401);
  EXPECT_EQ(no_token.body.find(page), std::string::npos);

  // The decision location answers subrequests only.
  EXPECT_EQ(fetch("/_gmi_authz", valid_headers()).status, 404);
}

// Clients on addresses of their own: nginx names each in X-Forwarded-For
// after whatever the client wrote there itself.
TEST_F(authz_nginx_test, throttles_the_client_nginx_names_and_no_address_a_client_claims) {
  const std::string claims_other = "X-Forwarded-For: 127.0.0.3\r\n";
  int failures = 0;
  for (; failures < 100; ++failures) {
    const http_response answer = request_from(
        "127.0.0.2", port, "GET", page_target,
        "Authorization: Bearer " + alice + "x" + std::to_string(failures) +
            "\r\nX-GMI-User: alice\r\n" + claims_other);
    if (answer.status != 401) break;
  }
  EXPECT_EQ(failures, 21);
  // nginx passes gmi-authz's 403 on: no page, valid token or not.
  const http_response refused =
      request_from("127.0.0.2", port, "GET", page_target, valid_headers() + claims_other);
  EXPECT_EQ(refused.status, 403);
  EXPECT_EQ(refused.body.find(page), std::string::npos);
  // The address it claimed is someone else, still served.
  const http_response other = request_from("127.0.0.3", port, "GET", page_target, valid_headers());
  EXPECT_EQ(other.status, 200);
  EXPECT_EQ(other.body, page);

  // Straight to gmi-authz, from peers it does not trust, the header
  // counts for nothing: the refused client cannot name another, nor can
  // another client name the refused one.
  EXPECT_EQ(request_from("127.0.0.2", authz.port, "GET", "/auth",
                         valid_headers() + "X-Forwarded-For: 127.0.0.4\r\n")
                .status,
            403);
  EXPECT_EQ(request_from("127.0.0.3", authz.port, "GET", "/auth",
                         valid_headers() + "X-Forwarded-For: 127.0.0.2\r\n")
                .status,
            200);

  // gmi-authz's log names the client nginx named.
  ASSERT_EQ(authz.stop(), 0);
  const std::string log = authz.process->standard_output();
  size_t denied = 0;
  for (size_t at = 0; (at = log.find("\"client\":\"127.0.0.2\"", at)) != std::string::npos; ++at) {
    const size_t end = log.find('\n', at);
    if (log.substr(at, end - at).find("\"decision\":\"deny\"") != std::string::npos) ++denied;
  }
  EXPECT_EQ(denied, 21u);
}

TEST_F(authz_nginx_test, missing_service_or_companion_is_an_error_never_the_content) {
  ASSERT_EQ(service.quit(), 0);
  const http_response no_service = fetch(page_target, valid_headers());
  EXPECT_EQ(no_service.status, 500);
  EXPECT_EQ(no_service.body.find(page), std::string::npos);

  ASSERT_EQ(authz.stop(), 0);
  const http_response no_companion = fetch(page_target, valid_headers());
  EXPECT_EQ(no_companion.status, 500);
  EXPECT_EQ(no_companion.body.find(page), std::string::npos);
}

}  // namespace
}  // namespace test
