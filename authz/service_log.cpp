#include "service_log.h"

#include <httplib.h>

#include <regex>

std::optional<service_log> parse_service_log(const std::string &body) {
  static const std::regex shape(
      "\\{\"auth_version\":([0-9]{1,10}),\"port\":[0-9]+,"
      "\"start_time\":\"([0-9]{4})/([0-9]{2})/([0-9]{2}) "
      "([0-9]{2}):([0-9]{2}):([0-9]{2})\",\"duration_time\":-?[0-9]+,"
      "\"request_count\":([0-9]{1,20}),\"average_count\":[0-9.]+,"
      "\"invalid_count\":([0-9]{1,20}),\"bypass_flag\":(true|false) \\}");
  std::smatch field;
  if (!std::regex_match(body, field, shape)) return std::nullopt;
  const auto number = [&](size_t i) { return std::stoull(field[i].str()); };

  service_log log;
  log.auth_version = static_cast<uint32_t>(number(1));
  struct tm started = {};
  started.tm_year = static_cast<int>(number(2)) - 1900;
  started.tm_mon = static_cast<int>(number(3)) - 1;
  started.tm_mday = static_cast<int>(number(4));
  started.tm_hour = static_cast<int>(number(5));
  started.tm_min = static_cast<int>(number(6));
  started.tm_sec = static_cast<int>(number(7));
  started.tm_isdst = -1;
  log.start_time = mktime(&started);
  log.request_count = number(8);
  log.invalid_count = number(9);
  log.bypass = field[10] == "true";
  return log;
}

std::optional<service_log> fetch_service_log(const host_port &upstream,
                                             std::chrono::milliseconds limit) {
  httplib::Client client(upstream.host, upstream.port);
  client.set_keep_alive(false);
  client.set_connection_timeout(limit);
  client.set_read_timeout(limit);
  client.set_write_timeout(limit);
  const httplib::Result result = client.Get("/log");
  if (!result || result->status != 200) return std::nullopt;
  return parse_service_log(result->body);
}
