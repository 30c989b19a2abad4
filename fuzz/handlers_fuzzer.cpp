// Fuzz target for the request handlers of /login, /usual, /bypass and /log:
// parameters and headers of arbitrary bytes go in, and every answer must be
// exactly the text the handler owes for them. Since each allowed answer is a
// fixed text (or, for /log, numbers in a fixed frame), no request byte can
// reach a body unnoticed.
//
// One input is a sequence of one to four handler calls, so that a /bypass
// can change what a later /login answers. The handlers run as in the
// service: the real stand-in libAuthSrv.so loaded by GetAPIs(), and a
// log_manager whose counts must match the answers this fuzzer has seen.
// Their console lines go to /dev/null, keeping libFuzzer's own output
// readable. Single-threaded, as libFuzzer calls the target.

#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <httplib.h>
#include <limits.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>

#include "auth/auth_library.h"
#include "handlers/admin.h"
#include "handlers/validation.h"
#include "keyring.h"
#include "require.h"
#include "result_name.h"
#include "service.h"
#include "token.h"

namespace {

constexpr uint16_t reported_port = 60002;
constexpr uint32_t accepted_revision = 1;  // the library's default
constexpr uint64_t far_future = 4102444800;  // 2100-01-01

enum class endpoint : uint8_t { login, usual, bypass, log, kMaxValue = log };

// What the statistics must say, counted from the answers given so far.
struct expected_statistics {
  uint64_t requests = 0;
  uint64_t invalid = 0;
  bool bypass = false;
};
expected_statistics expected;

// The library verifies with the development key, asked for by name; this
// copy mints genuine tokens and judges tokens independently of it.
keyring development_ring;

void send_console_to_null() {
  const int null_fd = open("/dev/null", O_WRONLY);
  require(null_fd >= 0 && dup2(null_fd, STDOUT_FILENO) == STDOUT_FILENO,
          "standard output redirected to /dev/null");
  close(null_fd);
}

// GetAPIs() opens ./libAuthSrv.so, so it runs from the build directory,
// where the stand-in library is built; libFuzzer's relative paths are then
// read from the directory it was started in.
void load_stand_in_library() {
  char started_in[PATH_MAX];
  require(getcwd(started_in, sizeof(started_in)) != nullptr &&
              chdir(GMI_AUTH_LIBRARY_DIR) == 0,
          "the build directory is reachable");
  require(GetAPIs(), "the stand-in library loads");
  require(chdir(started_in) == 0, "back in the starting directory");
  setenv("AUTHSRV_KEYS", "development", 1);
  unsetenv("AUTHSRV_REVISION");
  require(auth().InitAuth(1), "the stand-in library initialises");
  require(development_ring.load("development"), "the development key loads");
}

const std::string *first_value(const httplib::Params &params,
                               const char *name) {
  const auto found = params.lower_bound(name);
  return found != params.end() && found->first == name ? &found->second
                                                       : nullptr;
}

// A token the library accepts unless its fields say otherwise: issued for a
// fuzzed user, expired or not, suspended or not, sometimes sent together
// with that user.
void add_genuine_token(FuzzedDataProvider &input, httplib::Request &request) {
  token_fields fields;
  fields.key_index = development_ring.first_index();
  fields.revision = input.ConsumeBool() ? accepted_revision : 2;
  fields.expiry = input.ConsumeBool() ? far_future : 1;
  fields.flags = input.ConsumeIntegralInRange<uint32_t>(0, flag_suspended);
  fields.user = input.ConsumeRandomLengthString(32);
  if (fields.user.empty()) fields.user = "alice";
  request.params.emplace(
      "gmi",
      mint_token(fields, *development_ring.find(fields.key_index)));
  if (input.ConsumeBool()) request.params.emplace("userid", fields.user);
}

void add_fields(FuzzedDataProvider &input, httplib::Request &request) {
  static const char *const known_names[] = {"gmi", "userid", "data", "opt",
                                            "GMI"};
  const int count = input.ConsumeIntegralInRange(0, 6);
  for (int i = 0; i < count; ++i) {
    const int kind = input.ConsumeIntegralInRange(0, 3);
    if (kind == 3) {
      add_genuine_token(input, request);
      continue;
    }
    const std::string name = input.ConsumeBool()
                                 ? input.PickValueInArray(known_names)
                                 : input.ConsumeRandomLengthString(16);
    const std::string value = input.ConsumeRandomLengthString(128);
    if (kind == 2) {
      request.headers.emplace(name, value);
    } else {
      request.params.emplace(name, value);
    }
  }
}

// The answer /login (or /usual, which adds a line feed to all but invalid
// answers) owes this request; counts it as the log_manager must.
std::string expected_validation_answer(endpoint which,
                                       const httplib::Request &request) {
  const std::string answer_end = which == endpoint::usual ? "\n" : "";
  const std::string *token = first_value(request.params, "gmi");
  const std::string *user = first_value(request.params, "userid");
  if (user == nullptr) user = first_value(request.params, "data");
  ++expected.requests;
  if (token == nullptr || user == nullptr) {
    return "{\"is_valid\":false,\"reason\":\"MISSING_REQUIRED_PARAM\"}" +
           answer_end;
  }
  if (expected.bypass) {
    return "{\"is_valid\":true,\"reason\":\"SET_BYPASS\"}" + answer_end;
  }
  const token_result result =
      check_token(development_ring, accepted_revision, *user, *token,
                  static_cast<uint64_t>(time(nullptr)));
  if (result == token_valid) {
    return "{\"is_valid\":true,\"reason\":\"\"}" + answer_end;
  }
  ++expected.invalid;
  // The stand-in's own names for its codes, which the service's reasons
  // must match.
  return std::string("{\"is_valid\":false,\"reason\":\"") +
         result_name(result) + "\"}";
}

std::string expected_bypass_answer(const httplib::Request &request) {
  const std::string *option = first_value(request.params, "opt");
  if (option == nullptr) {
    return "{\"bypass\":\"FAIL\",\"reason\":\"MISSING_REQUIRED_PARAM\"}";
  }
  if (*option != "on" && *option != "off") {
    return "{\"bypass\":\"FAIL\",\"reason\":\"ERROR_REQUIRED_PARAM\"}";
  }
  expected.bypass = *option == "on";
  return expected.bypass ? "{\"bypass\":\"ON\"}" : "{\"bypass\":\"OFF\"}";
}

// Reads a text piece by piece; each step is false once a byte does not fit.
class text_reader {
 public:
  explicit text_reader(std::string_view text) : rest_(text) {}

  bool literal(std::string_view piece) {
    if (rest_.substr(0, piece.size()) != piece) return false;
    rest_.remove_prefix(piece.size());
    return true;
  }
  // Digits and separators laid out as in shape, where '9' is any digit.
  bool shaped(std::string_view shape) {
    if (rest_.size() < shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
      const bool digit = rest_[i] >= '0' && rest_[i] <= '9';
      if (shape[i] == '9' ? !digit : rest_[i] != shape[i]) return false;
    }
    rest_.remove_prefix(shape.size());
    return true;
  }
  bool number() {
    size_t digits = 0;
    while (digits < rest_.size() && rest_[digits] >= '0' &&
           rest_[digits] <= '9') {
      ++digits;
    }
    rest_.remove_prefix(digits);
    return digits > 0;
  }
  bool at_end() const { return rest_.empty(); }

 private:
  std::string_view rest_;
};

// Only the start time and the uptime are not known in advance, and those
// must be digits in their frame. The sampling thread is not started here, so
// the average stays at zero.
bool is_expected_log_answer(const std::string &body) {
  text_reader reader(body);
  return reader.literal("{\"auth_version\":" +
                        std::to_string(auth().GetAuthVersion()) +
                        ",\"port\":" + std::to_string(reported_port) +
                        ",\"start_time\":\"") &&
         reader.shaped("9999/99/99 99:99:99") &&
         reader.literal("\",\"duration_time\":") && reader.number() &&
         reader.literal(",\"request_count\":" +
                        std::to_string(expected.requests) +
                        ",\"average_count\":0.000000,\"invalid_count\":" +
                        std::to_string(expected.invalid) +
                        ",\"bypass_flag\":" +
                        (expected.bypass ? "true" : "false") + " }") &&
         reader.at_end();
}

void check_answer_frame(const httplib::Response &response) {
  require(response.status == -1, "handlers leave the status to the library");
  require(response.get_header_value("Content-Type") == "text/plain",
          "every answer is text/plain");
}

void call_and_check(endpoint which, const httplib::Request &request) {
  httplib::Response response;
  switch (which) {
    case endpoint::login:
    case endpoint::usual: {
      const std::string owed = expected_validation_answer(which, request);
      (which == endpoint::login ? handle_login : handle_usual)(request,
                                                              response);
      require(response.body == owed, "a validation answer is the one owed");
      break;
    }
    case endpoint::bypass: {
      const std::string owed = expected_bypass_answer(request);
      handle_bypass(request, response);
      require(response.body == owed, "a bypass answer is the one owed");
      break;
    }
    case endpoint::log:
      handle_log(request, response);
      require(is_expected_log_answer(response.body),
              "the statistics answer holds the counts of the answers given");
      break;
  }
  check_answer_frame(response);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  send_console_to_null();
  load_stand_in_library();
  g_auth_version = auth().GetAuthVersion();
  g_log_manager = new log_manager(reported_port);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  // Each input starts with bypass off, so that it answers the same alone as
  // after any other input.
  auth().SetBypassOption(0);
  g_log_manager->set_bypass(false);
  expected.bypass = false;

  const int calls = input.ConsumeIntegralInRange(1, 4);
  for (int i = 0; i < calls; ++i) {
    const endpoint which = input.ConsumeEnum<endpoint>();
    httplib::Request request;
    add_fields(input, request);
    call_and_check(which, request);
  }
  return 0;
}
