#include "exposition.h"

const char exposition_content_type[] = "text/plain; version=0.0.4; charset=utf-8";

namespace {

void write_metric(std::string &out, const char *name, const char *type,
                  const char *help, const std::string &sample) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " +
         type + "\n" + name + sample + "\n";
}

void write_service_metrics(std::string &out, const service_log &log) {
  write_metric(out, "gmi_validations_total", "counter",
               "Validations (/login and /usual) the service has answered "
               "since it started.",
               " " + std::to_string(log.request_count));
  write_metric(out, "gmi_invalid_validations_total", "counter",
               "Validations the service has answered invalid since it "
               "started.",
               " " + std::to_string(log.invalid_count));
  write_metric(out, "gmi_bypass_enabled", "gauge",
               "1 while the service's bypass switch is on: every token "
               "passes.",
               log.bypass ? " 1" : " 0");
  write_metric(out, "gmi_start_time_seconds", "gauge",
               "When the service started, in Unix time.",
               " " + std::to_string(static_cast<long long>(log.start_time)));
  write_metric(out, "gmi_auth_library_info", "gauge",
               "The authentication library's version, as it reports it.",
               "{version=\"" + std::to_string(log.auth_version) + "\"} 1");
}

}  // namespace

std::string metrics_page(const std::optional<service_log> &log,
                         const decision_metrics &decisions) {
  std::string out;
  out.reserve(4096);
  write_metric(out, "gmi_up", "gauge",
               "1 when the service's /log answered this scrape.",
               log ? " 1" : " 0");
  if (log) write_service_metrics(out, *log);
  decisions.write_exposition(out);
  return out;
}
