// A deliberately small HTTP/1.1 client over a plain socket, so tests see
// exactly what crosses the wire: raw request bytes out, status line, headers
// and body bytes in.

#ifndef GMI_TESTS_HTTP_CLIENT_H_
#define GMI_TESTS_HTTP_CLIENT_H_

#include <cstdint>
#include <map>
#include <string>

namespace test {

struct ci_less {
  bool operator()(const std::string &a, const std::string &b) const;
};

struct http_response {
  int status = 0;  // 0 when no answer arrived
  std::multimap<std::string, std::string, ci_less> headers;
  std::string body;

  bool has_header(const std::string &name) const;
  std::string header(const std::string &name) const;
};

// One client connection to 127.0.0.1:port, from the loopback address
// `from` (127.0.0.1 unless given), so that a test can be several clients.
class http_connection {
 public:
  explicit http_connection(uint16_t port, const std::string &from = "");
  ~http_connection();
  http_connection(const http_connection &) = delete;
  http_connection &operator=(const http_connection &) = delete;

  bool connected() const { return fd_ >= 0; }
  bool send_raw(const std::string &bytes);
  // Reads one answer; a HEAD answer has no body whatever its Content-Length.
  http_response read_response(bool head = false);
  // True once the server has closed its side and nothing more is buffered.
  bool closed_by_server();
  // Ends the client's side of the stream; answers can still be read.
  void finish_sending();
  // Closes with a reset instead of an orderly shutdown.
  void abort();

 private:
  bool fill();

  int fd_ = -1;
  std::string buffer_;
};

// One request on a fresh connection, with "Connection: close".
http_response request(uint16_t port, const std::string &method,
                      const std::string &target,
                      const std::string &extra_headers = "",
                      const std::string &body = "");
// The same, from the loopback address `from`.
http_response request_from(const std::string &from, uint16_t port,
                           const std::string &method, const std::string &target,
                           const std::string &extra_headers = "",
                           const std::string &body = "");

http_response get(uint16_t port, const std::string &target);

// A form-encoded POST of body to path.
http_response post_form(uint16_t port, const std::string &path,
                        const std::string &body);

}  // namespace test

#endif  // GMI_TESTS_HTTP_CLIENT_H_
