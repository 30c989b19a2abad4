#include "handlers/admin.h"

#include <string>

#include "auth/auth_library.h"
#include "service.h"

namespace {

const char *switch_bypass(const httplib::Request &request) {
  if (!request.has_param("opt")) {
    return "{\"bypass\":\"FAIL\",\"reason\":\"MISSING_REQUIRED_PARAM\"}";
  }
  const std::string option = request.get_param_value("opt");
  if (option != "on" && option != "off") {
    return "{\"bypass\":\"FAIL\",\"reason\":\"ERROR_REQUIRED_PARAM\"}";
  }
  const bool on = option == "on";
  auth().SetBypassOption(on ? 1 : 0);
  g_log_manager->set_bypass(on);
  return on ? "{\"bypass\":\"ON\"}" : "{\"bypass\":\"OFF\"}";
}

}  // namespace

void handle_bypass(const httplib::Request &request,
                   httplib::Response &response) {
  response.set_content(switch_bypass(request), "text/plain");
}

void handle_log(const httplib::Request &, httplib::Response &response) {
  response.set_content("{\"auth_version\":" + std::to_string(g_auth_version) +
                           "," + g_log_manager->to_json() + " }",
                       "text/plain");
}
