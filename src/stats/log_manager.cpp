#include "stats/log_manager.h"

#include <chrono>
#include <cstdio>
#include <numeric>
#include <system_error>

log_manager::log_manager(uint16_t port) : start_time(time(nullptr)), port(port) {
  samples.reserve(window_length + 1);
}

log_manager::~log_manager() { running.store(false); }

bool log_manager::start() {
  try {
    thread = std::thread(thread_main, this);
  } catch (const std::system_error &) {
    return false;
  }
  return true;
}

void log_manager::join() {
  if (thread.joinable()) thread.join();
}

void *log_manager::thread_main(void *instance) {
  if (instance != nullptr) static_cast<log_manager *>(instance)->run();
  return nullptr;
}

void log_manager::run() {
  while (running.load()) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    sample();
  }
}

void log_manager::sample() {
  if (!sampling_enabled.load()) return;
  std::lock_guard<std::mutex> lock(mutex);
  if (samples.size() >= window_length) samples.erase(samples.begin());
  const uint64_t count = request_count.load();
  samples.push_back(count - last_count);
  last_count = count;
}

double log_manager::get_average() {
  std::lock_guard<std::mutex> lock(mutex);
  sampling_enabled.store(false);
  if (samples.empty()) {
    sampling_enabled.store(true);
    return 0;
  }
  const uint64_t sum =
      std::accumulate(samples.begin(), samples.end(), uint64_t{0});
  average = static_cast<double>(sum) / static_cast<double>(samples.size());
  sampling_enabled.store(true);
  return average;
}

std::string log_manager::to_json() {
  char started[32] = {};
  struct tm local;
  localtime_r(&start_time, &local);
  strftime(started, sizeof(started), "%Y/%m/%d %H:%M:%S", &local);

  const long long duration = static_cast<long long>(time(nullptr) - start_time);
  std::string json;
  json.reserve(192);
  json += "\"port\":" + std::to_string(port);
  json += ",\"start_time\":\"" + std::string(started) + "\",";
  json += "\"duration_time\":" + std::to_string(duration);
  json += ",\"request_count\":" + std::to_string(request_count.load());
  char average_text[64];
  snprintf(average_text, sizeof(average_text), "%f", get_average());
  json += ",\"average_count\":" + std::string(average_text);
  json += ",\"invalid_count\":" + std::to_string(invalid_count.load());
  json += ",\"bypass_flag\":";
  json += bypass_flag.load() ? "true" : "false";
  return json;
}
