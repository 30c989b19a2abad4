// /bypass and /log against the real binary.

#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <string>
#include <thread>

#include "support/http_client.h"
#include "support/running_service.h"

namespace test {
namespace {

const char bypass_on[] = "{\"bypass\":\"ON\"}";
const char bypass_off[] = "{\"bypass\":\"OFF\"}";
const char bypass_missing[] =
    "{\"bypass\":\"FAIL\",\"reason\":\"MISSING_REQUIRED_PARAM\"}";
const char bypass_bad[] = "{\"bypass\":\"FAIL\",\"reason\":\"ERROR_REQUIRED_PARAM\"}";

bool reports(const std::string &log_body, const std::string &field) {
  return log_body.find(field) != std::string::npos;
}

TEST(bypass_test, answers_and_library_calls_follow_the_option) {
  running_service service(double_path("recording"));
  ASSERT_TRUE(service.listening);
  EXPECT_EQ(get(service.port, "/bypass").body, bypass_missing);
  EXPECT_EQ(get(service.port, "/bypass?opt=ON").body, bypass_bad);
  EXPECT_EQ(get(service.port, "/bypass?opt=").body, bypass_bad);
  EXPECT_EQ(get(service.port, "/bypass?opt=maybe").body, bypass_bad);
  EXPECT_EQ(get(service.port, "/bypass?option=on").body, bypass_missing);
  EXPECT_FALSE(reports(get(service.port, "/log").body, "\"bypass_flag\":true"));

  const http_response on = get(service.port, "/bypass?opt=on&opt=off");
  EXPECT_EQ(on.body, bypass_on);
  EXPECT_EQ(on.header("Content-Type"), "text/plain");
  EXPECT_TRUE(reports(get(service.port, "/log").body, "\"bypass_flag\":true }"));
  EXPECT_EQ(post_form(service.port, "/bypass", "opt=off").body, bypass_off);
  EXPECT_TRUE(reports(get(service.port, "/log").body, "\"bypass_flag\":false }"));

  EXPECT_EQ(service.dir.read("auth_calls.log"),
            "InitAuth 1\nSetBypassOption 0\nSetBypassOption 1\nSetBypassOption 0\n");
}

TEST(bypass_test, library_refusing_bypass_still_answers_on) {
  running_service service(double_path("bypass_on_refuses"));
  ASSERT_TRUE(service.listening);
  EXPECT_EQ(get(service.port, "/bypass?opt=on").body, bypass_on);
  EXPECT_TRUE(reports(get(service.port, "/log").body, "\"bypass_flag\":true }"));
}

TEST(bypass_test, stand_in_library_answers_set_bypass_while_on) {
  running_service service(build_path("libAuthSrv.so"));
  ASSERT_TRUE(service.listening);
  const std::string target = "/login?userid=u&gmi=not-a-token";
  EXPECT_EQ(get(service.port, target).body,
            "{\"is_valid\":false,\"reason\":\"ERROR_GMI_INVALID\"}");
  get(service.port, "/bypass?opt=on");
  EXPECT_EQ(get(service.port, target).body,
            "{\"is_valid\":true,\"reason\":\"SET_BYPASS\"}");
  EXPECT_EQ(get(service.port, "/usual?data=u&gmi=x").body,
            "{\"is_valid\":true,\"reason\":\"SET_BYPASS\"}\n");
  get(service.port, "/bypass?opt=off");
  EXPECT_EQ(get(service.port, target).body,
            "{\"is_valid\":false,\"reason\":\"ERROR_GMI_INVALID\"}");
  EXPECT_TRUE(reports(get(service.port, "/log").body,
                      "\"request_count\":4,\"average_count\":"));
}

TEST(log_test, fresh_service_reports_zeros_in_the_exact_format) {
  running_service service(build_path("libAuthSrv.so"));
  ASSERT_TRUE(service.listening);
  const http_response answer = get(service.port, "/log");
  EXPECT_EQ(answer.header("Content-Type"), "text/plain");
  const std::regex shape(
      "\\{\"auth_version\":10000,\"port\":" + std::to_string(service.port) +
      ",\"start_time\":\"\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\","
      "\"duration_time\":[01],\"request_count\":0,\"average_count\":0\\.000000,"
      "\"invalid_count\":0,\"bypass_flag\":false \\}");
  EXPECT_TRUE(std::regex_match(answer.body, shape)) << answer.body;
}

TEST(log_test, version_above_two_to_the_31_is_unsigned) {
  running_service service(double_path("large_version"));
  ASSERT_TRUE(service.listening);
  EXPECT_EQ(get(service.port, "/log").body.rfind("{\"auth_version\":3000000000,", 0), 0u);
}

TEST(log_test, only_validations_count_and_admin_paths_stay_silent) {
  running_service service(double_path("recording"));
  ASSERT_TRUE(service.listening);
  get(service.port, "/login?userid=u&gmi=ok");
  get(service.port, "/usual?userid=u&gmi=code:5");
  get(service.port, "/login?userid=u&gmi=code:-7");
  get(service.port, "/login?userid=u");
  request(service.port, "HEAD", "/usual?userid=u&gmi=code:3");
  get(service.port, "/nowhere");
  get(service.port, "/bypass?opt=on");
  get(service.port, "/bypass?opt=off");
  get(service.port, "/log");
  EXPECT_TRUE(reports(get(service.port, "/log").body,
                      ",\"request_count\":5,\"average_count\":"));
  EXPECT_TRUE(reports(get(service.port, "/log").body, ",\"invalid_count\":3,"));

  ASSERT_EQ(service.quit(), 0);
  const std::string output = service.process->output();
  EXPECT_EQ(output.find("bypass"), std::string::npos) << output;
  EXPECT_EQ(output.find("/log\n"), std::string::npos) << output;
}

// The start time as "%Y/%m/%d %H:%M:%S" for a UTC offset, in seconds east.
std::string clock_text(time_t at, long offset) {
  const time_t shifted = at + offset;
  struct tm fields;
  gmtime_r(&shifted, &fields);
  char text[32];
  strftime(text, sizeof(text), "%Y/%m/%d %H:%M:%S", &fields);
  return text;
}

std::string start_time(const std::string &log_body) {
  const std::string key = "\"start_time\":\"";
  const size_t at = log_body.find(key) + key.size();
  return log_body.substr(at, 19);
}

TEST(log_test, start_time_follows_the_time_zone) {
  const time_t before = time(nullptr);
  running_service utc(build_path("libAuthSrv.so"), {"TZ=UTC0"});
  running_service east(build_path("libAuthSrv.so"), {"TZ=XYZ-9"});
  ASSERT_TRUE(utc.listening && east.listening);
  const time_t after = time(nullptr);
  const std::string utc_start = start_time(get(utc.port, "/log").body);
  const std::string east_start = start_time(get(east.port, "/log").body);
  // Each start lies between before and after, read on that zone's clock.
  EXPECT_GE(utc_start, clock_text(before, 0));
  EXPECT_LE(utc_start, clock_text(after, 0));
  EXPECT_GE(east_start, clock_text(before, 9 * 3600));
  EXPECT_LE(east_start, clock_text(after, 9 * 3600));
}

TEST(log_test, average_rises_once_the_sampler_has_seen_requests) {
  running_service service(double_path("recording"));
  ASSERT_TRUE(service.listening);
  for (int i = 0; i < 20; ++i) get(service.port, "/login?userid=u&gmi=ok");
  std::string body;
  for (int i = 0; i < 40; ++i) {
    body = get(service.port, "/log").body;
    if (!reports(body, "\"average_count\":0.000000")) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_FALSE(reports(body, "\"average_count\":0.000000")) << body;
  EXPECT_TRUE(std::regex_search(body, std::regex("\"average_count\":\\d+\\.\\d{6},")))
      << body;
}

}  // namespace
}  // namespace test
