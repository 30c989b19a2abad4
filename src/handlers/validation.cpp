#include "handlers/validation.h"

#include <cstdint>
#include <ctime>
#include <string>

#include "auth/auth_library.h"
#include "auth/result_code.h"
#include "console.h"
#include "service.h"

namespace {

// What tells the two paths apart.
struct validation_path {
  const char *request_line;
  const char *invalid_line;
  // Follows every answer except an invalid one.
  const char *answer_end;
  bool time_the_check;
};

const validation_path login_path = {
    "[Server] Get GET request to /login",
    "[Server] Invalid Auth. information with input data", "", false};

const validation_path usual_path = {
    "[Server] Get GET request to /usual",
    "[Server] Invalid GMI with input data", "\n", true};

int32_t check_token(const std::string &user, const std::string &token) {
  return auth().CheckValidGmi(user.c_str(), static_cast<int32_t>(user.size()),
                              token.c_str(),
                              static_cast<int32_t>(token.size()));
}

int32_t timed_check_token(const std::string &user, const std::string &token,
                          console_lines &console) {
  const clock_t before = clock();
  const int32_t code = check_token(user, token);
  const clock_t after = clock();
  console.add("[Server] Elapsed validation check time : " +
              std::to_string((after - before) * 1000000L / CLOCKS_PER_SEC));
  return code;
}

std::string validate(const validation_path &path,
                     const httplib::Request &request, console_lines &console) {
  if (!request.has_param("gmi") ||
      !(request.has_param("userid") || request.has_param("data"))) {
    return std::string("{\"is_valid\":false,\"reason\":"
                       "\"MISSING_REQUIRED_PARAM\"}") +
           path.answer_end;
  }
  const std::string token = request.get_param_value("gmi");
  console.add_value("[Server] GMI in parameters : ", token);
  const std::string user = request.get_param_value(
      request.has_param("userid") ? "userid" : "data");

  const int32_t code =
      path.time_the_check ? timed_check_token(user, token, console)
                          : check_token(user, token);

  if (!is_valid_result(code)) {
    g_log_manager->add_invalid();
    console.add(path.invalid_line);
    return std::string("{\"is_valid\":false,\"reason\":\"") +
           reason_text(code) + "\"}";
  }
  console.add("[Server] Valid GMI with input data");
  return std::string("{\"is_valid\":true,\"reason\":\"") + reason_text(code) +
         "\"}" + path.answer_end;
}

void serve(const validation_path &path, const httplib::Request &request,
           httplib::Response &response) {
  console_lines console;
  console.add(path.request_line);
  g_log_manager->add_request();
  if (request.has_header("GMI")) {
    console.add_value("[Server] GMI in header : ",
                      request.get_header_value("GMI"));
  }
  response.set_content(validate(path, request, console), "text/plain");
}

}  // namespace

void handle_login(const httplib::Request &request,
                  httplib::Response &response) {
  serve(login_path, request, response);
}

void handle_usual(const httplib::Request &request,
                  httplib::Response &response) {
  serve(usual_path, request, response);
}
