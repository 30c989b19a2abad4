// A real Caddy, importing the snippet shipped in deploy/caddy/, protecting a
// static route through gmi-authz in front of the real service: the content
// goes out only for a valid token, never when gmi-authz or the service is
// missing.

#include <signal.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/protected_page.h"

namespace test {
namespace {

class authz_caddy_test : public protected_page_test {
 protected:
  void SetUp() override {
    protected_page_test::SetUp();
    if (HasFatalFailure()) return;
    write_file("Caddyfile", configuration());
    // Caddy keeps its last configuration under XDG_CONFIG_HOME and its data
    // under XDG_DATA_HOME: both in the scratch directory, not the user's.
    caddy = std::make_unique<child_process>(
        "/usr/bin/env", dir,
        std::vector<std::string>{"XDG_CONFIG_HOME=" + dir.path() + "/config",
                                 "XDG_DATA_HOME=" + dir.path() + "/data", GMI_CADDY,
                                 "run", "--adapter", "caddyfile", "--config",
                                 dir.path() + "/Caddyfile"});
    ASSERT_TRUE(caddy->wait_until_listening(port)) << caddy->standard_error();
  }

  void TearDown() override {
    if (!caddy) return;
    caddy->send_signal(SIGTERM);
    EXPECT_EQ(caddy->wait_for_exit(), 0);
  }

  // No admin endpoint and no certificates: plain HTTP on a loopback port.
  // X-Validated-User shows the request header the protected route sees.
  std::string configuration() const {
    const std::string at = dir.path();
    return "{\n\tadmin off\n\tauto_https off\n"
           "\tstorage file_system {\n\t\troot " + at + "/data\n\t}\n}\n"
           "http://:" + std::to_string(port) + " {\n"
           "\tbind 127.0.0.1\n"
           "\troot * " + at + "/www\n"
           "\troute /private/* {\n"
           "\t\timport " GMI_SOURCE_DIR "/deploy/caddy/gmi-authz.caddy 127.0.0.1:" +
           std::to_string(authz.port) + "\n"
           "\t\theader X-Validated-User {http.request.header.X-GMI-User}\n"
           "\t\tfile_server\n"
           "\t}\n}\n";
  }

  std::unique_ptr<child_process> caddy;
};

// By header, by the original query (Caddy forwards it in X-Forwarded-Uri)
// and by cookie; the user the route sees is the one gmi-authz validated.
TEST_F(authz_caddy_test, valid_token_gets_the_content) {
  expect_valid_requests_get_the_page();
}

TEST_F(authz_caddy_test, invalid_or_missing_token_is_401_without_the_content) {
  const http_response other_user = fetch(
      page_target, "Authorization: Bearer " + alice + "\r\nX-GMI-User: bob\r\n");
  EXPECT_EQ(other_user.status, 401);
  EXPECT_EQ(other_user.header("WWW-Authenticate"), "Bearer error=\"invalid_token\"");
  EXPECT_EQ(other_user.header("X-GMI-Reason"), "ERROR_UID_MISMATCH");
  EXPECT_EQ(other_user.body.find(page), std::string::npos);

  const http_response no_token = fetch(page_target, "X-GMI-User: alice\r\n");
  EXPECT_EQ(no_token.status, 401);
  EXPECT_EQ(no_token.header("X-GMI-Reason"), "MISSING_REQUIRED_PARAM");
  EXPECT_EQ(no_token.body.find(page), std::string::npos);
}

// gmi-authz's own 503 goes through as it is; with gmi-authz gone, Caddy
// answers 502 itself.
TEST_F(authz_caddy_test, missing_service_or_companion_is_an_error_never_the_content) {
  ASSERT_EQ(service.quit(), 0);
  const http_response no_service = fetch(page_target, valid_headers());
  EXPECT_EQ(no_service.status, 503);
  EXPECT_EQ(no_service.header("X-GMI-Reason"), "UPSTREAM_UNREACHABLE");
  EXPECT_EQ(no_service.body.find(page), std::string::npos);

  ASSERT_EQ(authz.stop(), 0);
  const http_response no_companion = fetch(page_target, valid_headers());
  EXPECT_EQ(no_companion.status, 502);
  EXPECT_EQ(no_companion.body.find(page), std::string::npos);
}

}  // namespace
}  // namespace test
