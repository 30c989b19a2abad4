#include "credentials.h"

#include <strings.h>

#include <initializer_list>

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Query text as browsers encode it: %XX is a byte, "+" a space; a "%" not
// followed by two hex digits stands for itself.
std::string decode_query_text(const std::string &text) {
  std::string decoded;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      decoded += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() &&
               hex_digit(text[i + 1]) >= 0 && hex_digit(text[i + 2]) >= 0) {
      decoded += static_cast<char>(hex_digit(text[i + 1]) * 16 +
                                   hex_digit(text[i + 2]));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

std::string bearer_token(const httplib::Request &request) {
  const std::string value = request.get_header_value("Authorization");
  const size_t space = value.find(' ');
  if (space != 6 || strncasecmp(value.c_str(), "Bearer", 6) != 0) {
    return "";
  }
  const size_t start = value.find_first_not_of(' ', space);
  return start == std::string::npos ? "" : value.substr(start);
}

// The first non-empty cookie of that name over every Cookie header, as
// sent: cookie values carry no escaping of their own.
std::string cookie_value(const httplib::Request &request,
                         const std::string &name) {
  const size_t headers = request.get_header_value_count("Cookie");
  for (size_t h = 0; h < headers; ++h) {
    const std::string line = request.get_header_value("Cookie", h);
    size_t start = 0;
    while (start < line.size()) {
      size_t end = line.find(';', start);
      if (end == std::string::npos) end = line.size();
      const size_t first = line.find_first_not_of(' ', start);
      if (first < end && line.compare(first, name.size(), name) == 0 &&
          first + name.size() < end && line[first + name.size()] == '=') {
        const size_t value = first + name.size() + 1;
        const size_t last = line.find_last_not_of(' ', end - 1);
        if (last >= value) return line.substr(value, last + 1 - value);
      }
      start = end + 1;
    }
  }
  return "";
}

// The query of the original request, undecoded.
std::string forwarded_query(const httplib::Request &request) {
  for (const char *header : {"X-Original-URI", "X-Forwarded-Uri"}) {
    if (!request.has_header(header)) continue;
    std::string uri = request.get_header_value(header);
    uri = uri.substr(0, uri.find('#'));
    const size_t question = uri.find('?');
    return question == std::string::npos ? "" : uri.substr(question + 1);
  }
  return "";
}

// The first non-empty value of name in query text; each pair splits at its
// first "=".
std::string query_value(const std::string &query, const std::string &name) {
  size_t start = 0;
  while (start < query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(start, end - start);
    const size_t equals = pair.find('=');
    if (equals != std::string::npos &&
        decode_query_text(pair.substr(0, equals)) == name) {
      const std::string value = decode_query_text(pair.substr(equals + 1));
      if (!value.empty()) return value;
    }
    start = end + 1;
  }
  return "";
}

std::string first_present(std::initializer_list<std::string> candidates) {
  for (const std::string &candidate : candidates) {
    if (!candidate.empty()) return candidate;
  }
  return "";
}

}  // namespace

credentials find_credentials(const httplib::Request &request,
                             const credential_names &names) {
  const std::string query = forwarded_query(request);
  credentials found;
  found.token = first_present({bearer_token(request),
                               cookie_value(request, names.token_cookie),
                               query_value(query, "gmi")});
  found.user = first_present({request.get_header_value(names.user_header.c_str()),
                              query_value(query, "userid"),
                              query_value(query, "data")});
  return found;
}
