#include "stats/log_manager.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

void add_requests(log_manager &stats, int count) {
  for (int i = 0; i < count; ++i) stats.add_request();
}

TEST(log_manager_test, fresh_report_is_all_zeros) {
  log_manager stats(60002);
  const std::string json = stats.to_json();
  const std::regex shape(
      "\"port\":60002,\"start_time\":\"\\d{4}/\\d\\d/\\d\\d "
      "\\d\\d:\\d\\d:\\d\\d\",\"duration_time\":([01]),\"request_count\":0,"
      "\"average_count\":0\\.000000,\"invalid_count\":0,\"bypass_flag\":false");
  EXPECT_TRUE(std::regex_match(json, shape)) << json;
}

TEST(log_manager_test, counts_and_bypass_reach_the_report) {
  log_manager stats(65535);
  add_requests(stats, 3);
  stats.add_invalid();
  stats.set_bypass(true);
  const std::string json = stats.to_json();
  EXPECT_NE(json.find("\"port\":65535,"), std::string::npos) << json;
  EXPECT_NE(json.find(",\"request_count\":3,"), std::string::npos) << json;
  EXPECT_NE(json.find(",\"invalid_count\":1,"), std::string::npos) << json;
  EXPECT_NE(json.find(",\"bypass_flag\":true"), std::string::npos) << json;
}

TEST(log_manager_test, average_is_mean_of_per_second_deltas) {
  log_manager stats(1);
  add_requests(stats, 4);
  stats.sample();
  add_requests(stats, 1);
  stats.sample();
  stats.sample();  // a quiet second
  EXPECT_DOUBLE_EQ(stats.get_average(), 5.0 / 3.0);
}

TEST(log_manager_test, window_keeps_only_the_last_sixty_seconds) {
  log_manager stats(1);
  for (int second = 0; second < 70; ++second) {
    add_requests(stats, second < 10 ? 1000 : second);
    stats.sample();
  }
  // Seconds 10..69 remain: their mean is 39.5.
  EXPECT_DOUBLE_EQ(stats.get_average(), 39.5);
  add_requests(stats, 70);
  stats.sample();
  EXPECT_DOUBLE_EQ(stats.get_average(), 40.5);
}

TEST(log_manager_test, missed_tick_folds_into_the_next_sample) {
  log_manager stats(1);
  add_requests(stats, 3);
  stats.sample();
  add_requests(stats, 2);  // this second's tick never happens
  add_requests(stats, 4);
  stats.sample();
  EXPECT_DOUBLE_EQ(stats.get_average(), (3.0 + 6.0) / 2.0);
}

TEST(log_manager_test, empty_window_average_does_not_stop_sampling) {
  log_manager stats(1);
  EXPECT_EQ(stats.get_average(), 0.0);
  add_requests(stats, 7);
  stats.sample();
  EXPECT_DOUBLE_EQ(stats.get_average(), 7.0);
}

TEST(log_manager_test, sampling_thread_samples_and_stops_when_asked) {
  log_manager stats(1);
  ASSERT_TRUE(stats.start());
  add_requests(stats, 6);
  // The first tick lands about a second after start.
  for (int i = 0; i < 400 && stats.get_average() == 0.0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GT(stats.get_average(), 0.0);
  stats.stop();
  stats.join();
}

TEST(log_manager_test, thread_main_ignores_a_null_instance) {
  EXPECT_EQ(log_manager::thread_main(nullptr), nullptr);
}

}  // namespace
