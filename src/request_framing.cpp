#include "request_framing.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace {

// The methods whose body the library reads; it leaves any other body on the
// connection, where it would be parsed as the next request.
bool library_reads_body(const std::string &method) {
  return method == "POST" || method == "PUT" || method == "PATCH" ||
         method == "DELETE" || method == "PRI";
}

// Digits only, and few enough that the library's conversion cannot overflow.
bool is_plain_length(const std::string &text) {
  return !text.empty() && text.size() <= 18 &&
         std::all_of(text.begin(), text.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; });
}

bool announces_body(const std::string &length) {
  return length.find_first_not_of('0') != std::string::npos;
}

int transfer_coding_refusal(const httplib::Request &request) {
  const auto codings = request.headers.equal_range("Transfer-Encoding");
  for (auto it = codings.first; it != codings.second; ++it) {
    if (strcasecmp(it->second.c_str(), "chunked") != 0) return 501;
  }
  return 411;
}

}  // namespace

int framing_refusal(const httplib::Request &request) {
  const size_t lengths = request.get_header_value_count("Content-Length");
  if (request.has_header("Transfer-Encoding")) {
    return lengths > 0 ? 400 : transfer_coding_refusal(request);
  }
  if (lengths == 0) return 0;
  const std::string length = request.get_header_value("Content-Length");
  if (lengths > 1 || !is_plain_length(length)) return 400;
  if (announces_body(length) && !library_reads_body(request.method)) {
    return 400;
  }
  return 0;
}

void refuse_and_close(const httplib::Request &request,
                      httplib::Response &response, int status) {
  // The request is the library's own non-const object, handed to us by const
  // reference; the library reads it again to write the answer.
  auto &library_request = const_cast<httplib::Request &>(request);
  // Makes the answer say "Connection: close".
  library_request.headers.erase("Connection");
  library_request.headers.emplace("Connection", "close");
  // The library skips the body provider below for HEAD, so a HEAD would
  // keep its connection open.
  if (library_request.method == "HEAD") library_request.method = "GET";

  response.status = status;
  response.set_header("Content-Length", "0");
  // A handler cannot close its connection in this library; a body provider
  // that fails can. The library has then sent the headers, which announce
  // an empty body, and stops serving the connection instead of reading on.
  response.set_content_provider(
      "text/plain", [](size_t, httplib::DataSink &) { return false; });
}
