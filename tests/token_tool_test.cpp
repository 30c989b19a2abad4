// gmi-token end to end: tokens it mints validate through the running
// service with the stand-in library, and its check mode reports codes.

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/http_client.h"
#include "support/running_service.h"

namespace test {
namespace {

const char keys[] =
    "AUTHSRV_KEYS=7:00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

struct tool_run {
  int status;
  std::string output;
};

tool_run gmi_token(const std::string &arguments) {
  const std::string command =
      std::string(keys) + " " + build_path("gmi-token") + " " + arguments + " 2>&1";
  FILE *pipe = popen(command.c_str(), "r");
  tool_run run{-1, ""};
  char chunk[512];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0) run.output.append(chunk, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string minted(const std::string &arguments) {
  tool_run run = gmi_token(arguments);
  EXPECT_EQ(run.status, 0) << run.output;
  if (!run.output.empty() && run.output.back() == '\n') run.output.pop_back();
  return run.output;
}

TEST(token_tool_test, minted_tokens_validate_through_the_service) {
  running_service service(build_path("libAuthSrv.so"), {keys});
  ASSERT_TRUE(service.listening);
  const std::string token = minted("--user alice --ttl 3600");
  EXPECT_EQ(token.rfind("GMI1.7.1.", 0), 0u) << token;
  EXPECT_EQ(get(service.port, "/login?userid=alice&gmi=" + token).body,
            "{\"is_valid\":true,\"reason\":\"\"}");
  EXPECT_EQ(get(service.port, "/login?userid=bob&gmi=" + token).body,
            "{\"is_valid\":false,\"reason\":\"ERROR_UID_MISMATCH\"}");
  EXPECT_EQ(get(service.port, "/usual?data=alice&gmi=" + minted("--user alice --ttl -5")).body,
            "{\"is_valid\":false,\"reason\":\"ERROR_GMI_EXPIRED\"}");
  EXPECT_EQ(get(service.port, "/login?userid=alice&gmi=" +
                                  minted("--user alice --suspended")).body,
            "{\"is_valid\":false,\"reason\":\"ERROR_LOOP_SUSPENDED\"}");
  EXPECT_EQ(get(service.port, "/login?userid=alice&gmi=" +
                                  minted("--user alice --revision 4")).body,
            "{\"is_valid\":false,\"reason\":\"ERROR_REV_MISMATCH\"}");
}

TEST(token_tool_test, check_mode_prints_code_and_reason) {
  const std::string token = minted("--user alice");
  const tool_run valid = gmi_token("--check --user alice " + token);
  EXPECT_EQ(valid.status, 0);
  EXPECT_EQ(valid.output, "0 valid\n");
  const tool_run other = gmi_token("--check --user bob " + token);
  EXPECT_EQ(other.status, 1);
  EXPECT_EQ(other.output, "7 ERROR_UID_MISMATCH\n");
  const tool_run garbage = gmi_token("--check --user bob GMI1.x");
  EXPECT_EQ(garbage.output, "4 ERROR_GMI_PARSE\n");
}

TEST(token_tool_test, bad_usage_exits_2) {
  EXPECT_EQ(gmi_token("").status, 2);
  EXPECT_EQ(gmi_token("--user alice --ttl soon").status, 2);
  EXPECT_EQ(gmi_token("--check --user alice").status, 2);
  const tool_run unknown_key = gmi_token("--user alice --key-index 9");
  EXPECT_EQ(unknown_key.status, 2);
  EXPECT_EQ(unknown_key.output, "gmi-token: no key with index 9\n");
}

}  // namespace
}  // namespace test
