#include "login_answer.h"

#include "reasons.h"

login_answer read_login_answer(int status, const std::string &body) {
  static const std::string valid_prefix = "{\"is_valid\":true,\"reason\":\"";
  static const std::string invalid_prefix = "{\"is_valid\":false,\"reason\":\"";
  static const std::string suffix = "\"}";
  if (status != 200 || body.size() < suffix.size() ||
      body.compare(body.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return {};
  }
  const auto reason_after = [&](const std::string &prefix) {
    return body.substr(prefix.size(), body.size() - prefix.size() - suffix.size());
  };
  if (body.rfind(valid_prefix, 0) == 0 &&
      body.size() >= valid_prefix.size() + suffix.size()) {
    const std::string reason = reason_after(valid_prefix);
    if (reason.empty() || reason == "SET_BYPASS") {
      return {login_verdict::valid, reason};
    }
  } else if (body.rfind(invalid_prefix, 0) == 0 &&
             body.size() >= invalid_prefix.size() + suffix.size()) {
    const std::string reason = reason_after(invalid_prefix);
    if (reason_index(reason, service_reason_count) < service_reason_count) {
      return {login_verdict::invalid, reason};
    }
  }
  return {};
}
