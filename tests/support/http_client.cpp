#include "support/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace test {

bool ci_less::operator()(const std::string &a, const std::string &b) const {
  return strcasecmp(a.c_str(), b.c_str()) < 0;
}

bool http_response::has_header(const std::string &name) const {
  return headers.count(name) > 0;
}

std::string http_response::header(const std::string &name) const {
  auto it = headers.find(name);
  return it == headers.end() ? "" : it->second;
}

http_connection::http_connection(uint16_t port, const std::string &from) {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  if (!from.empty()) {
    sockaddr_in source{};
    source.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &source.sin_addr);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&source), sizeof(source)) != 0) {
      close(fd_);
      fd_ = -1;
      return;
    }
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval timeout{10, 0};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  if (connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof(address))) {
    close(fd_);
    fd_ = -1;
  }
}

http_connection::~http_connection() {
  if (fd_ >= 0) close(fd_);
}

bool http_connection::send_raw(const std::string &bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n =
        send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool http_connection::fill() {
  char chunk[16384];
  const ssize_t n = recv(fd_, chunk, sizeof(chunk), 0);
  if (n <= 0) return false;
  buffer_.append(chunk, static_cast<size_t>(n));
  return true;
}

http_response http_connection::read_response(bool head) {
  http_response response;
  size_t header_end;
  while ((header_end = buffer_.find("\r\n\r\n")) == std::string::npos) {
    if (!fill()) return response;
  }
  const std::string head_text = buffer_.substr(0, header_end);
  buffer_.erase(0, header_end + 4);

  size_t line_end = head_text.find("\r\n");
  const std::string status_line = head_text.substr(0, line_end);
  response.status = atoi(status_line.substr(status_line.find(' ') + 1).c_str());
  while (line_end != std::string::npos) {
    const size_t start = line_end + 2;
    line_end = head_text.find("\r\n", start);
    const std::string line = head_text.substr(start, line_end - start);
    const size_t colon = line.find(':');
    const size_t value = line.find_first_not_of(' ', colon + 1);
    response.headers.emplace(line.substr(0, colon),
                             value == std::string::npos ? "" : line.substr(value));
  }

  if (head) return response;
  const size_t length = strtoul(response.header("Content-Length").c_str(),
                                nullptr, 10);
  while (buffer_.size() < length) {
    if (!fill()) break;
  }
  response.body = buffer_.substr(0, length);
  buffer_.erase(0, response.body.size());
  return response;
}

bool http_connection::closed_by_server() {
  return buffer_.empty() && !fill();
}

void http_connection::finish_sending() { shutdown(fd_, SHUT_WR); }

void http_connection::abort() {
  linger reset{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
  close(fd_);
  fd_ = -1;
}

http_response request(uint16_t port, const std::string &method,
                      const std::string &target,
                      const std::string &extra_headers,
                      const std::string &body) {
  return request_from("", port, method, target, extra_headers, body);
}

http_response request_from(const std::string &from, uint16_t port,
                           const std::string &method, const std::string &target,
                           const std::string &extra_headers,
                           const std::string &body) {
  http_connection connection(port, from);
  std::string bytes = method + " " + target +
                      " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                      extra_headers;
  if (!body.empty()) {
    bytes += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  bytes += "\r\n" + body;
  if (!connection.connected() || !connection.send_raw(bytes)) return {};
  return connection.read_response(method == "HEAD");
}

http_response get(uint16_t port, const std::string &target) {
  return request(port, "GET", target);
}

http_response post_form(uint16_t port, const std::string &path,
                        const std::string &body) {
  return request(port, "POST", path,
                 "Content-Type: application/x-www-form-urlencoded\r\n", body);
}

}  // namespace test
