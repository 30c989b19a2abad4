// A real nginx, configured with the snippets shipped in deploy/nginx/,
// protecting a static location through gmi-authz in front of the real
// service: the content goes out only for a valid token, never when
// gmi-authz or the service is missing.

#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/child_process.h"
#include "support/http_client.h"
#include "support/running_authz.h"
#include "support/running_service.h"

namespace test {
namespace {

const char secret_page[] = "the protected page\n";

std::string mint(const std::string &user) {
  std::string token;
  if (FILE *tool = popen((build_path("gmi-token") + " --user " + user).c_str(), "r")) {
    char chunk[2048];
    while (fgets(chunk, sizeof(chunk), tool) != nullptr) token += chunk;
    pclose(tool);
  }
  if (!token.empty() && token.back() == '\n') token.pop_back();
  return token;
}

void write_file(const std::string &path, const std::string &text) {
  std::ofstream(path) << text;
}

class authz_nginx_test : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.listening);
    ASSERT_TRUE(authz.listening);
    // nginx's workers run as nobody when the test runs as root.
    chmod(dir.path().c_str(), 0755);
    mkdir((dir.path() + "/www").c_str(), 0755);
    mkdir((dir.path() + "/www/private").c_str(), 0755);
    write_file(dir.path() + "/www/private/page.html", secret_page);
    write_file(dir.path() + "/nginx.conf", configuration());
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

  http_response fetch(const std::string &target, const std::string &headers = "") {
    return request(port, "GET", target, headers);
  }

  scratch_dir dir;
  running_service service{build_path("libAuthSrv.so")};
  running_authz authz{dir, service.port};
  uint16_t port = free_port();
  std::unique_ptr<child_process> nginx;
  const std::string alice = mint("alice");
};

TEST_F(authz_nginx_test, valid_token_gets_the_content) {
  const http_response by_header = fetch(
      "/private/page.html", "Authorization: Bearer " + alice + "\r\nX-GMI-User: alice\r\n");
  EXPECT_EQ(by_header.status, 200);
  EXPECT_EQ(by_header.body, secret_page);
  EXPECT_EQ(by_header.header("X-Validated-User"), "alice");
  // The original query, as nginx forwards it in X-Original-URI.
  const http_response by_query = fetch("/private/page.html?userid=alice&gmi=" + alice);
  EXPECT_EQ(by_query.status, 200);
  EXPECT_EQ(by_query.body, secret_page);
  const http_response by_cookie =
      fetch("/private/page.html", "Cookie: gmi=" + alice + "\r\nX-GMI-User: alice\r\n");
  EXPECT_EQ(by_cookie.status, 200);
  EXPECT_EQ(by_cookie.body, secret_page);
}

TEST_F(authz_nginx_test, invalid_or_missing_token_is_401_without_the_content) {
  const http_response other_user = fetch(
      "/private/page.html", "Authorization: Bearer " + alice + "\r\nX-GMI-User: bob\r\n");
  EXPECT_EQ(other_user.status, 401);
  EXPECT_EQ(other_user.header("WWW-Authenticate"), "Bearer error=\"invalid_token\"");
  EXPECT_EQ(other_user.body.find(secret_page), std::string::npos);

  const http_response no_token = fetch("/private/page.html", "X-GMI-User: alice\r\n");
  EXPECT_EQ(no_token.status, 401);
  EXPECT_EQ(no_token.body.find(secret_page), std::string::npos);

  // The decision location answers subrequests only.
  EXPECT_EQ(fetch("/_gmi_authz", "Authorization: Bearer " + alice +
                                     "\r\nX-GMI-User: alice\r\n").status,
            404);
}

TEST_F(authz_nginx_test, missing_service_or_companion_is_an_error_never_the_content) {
  const std::string valid = "Authorization: Bearer " + alice + "\r\nX-GMI-User: alice\r\n";
  ASSERT_EQ(service.quit(), 0);
  const http_response no_service = fetch("/private/page.html", valid);
  EXPECT_EQ(no_service.status, 500);
  EXPECT_EQ(no_service.body.find(secret_page), std::string::npos);

  ASSERT_EQ(authz.stop(), 0);
  const http_response no_companion = fetch("/private/page.html", valid);
  EXPECT_EQ(no_companion.status, 500);
  EXPECT_EQ(no_companion.body.find(secret_page), std::string::npos);
}

}  // namespace
}  // namespace test
