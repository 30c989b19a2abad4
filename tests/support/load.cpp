#include "support/load.h"

#include "support/http_client.h"

namespace test {

load::load(uint16_t port, const std::string &target, const std::string &body,
           size_t clients)
    : port_(port),
      request_("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"),
      body_(body) {
  for (size_t i = 0; i < clients; ++i) clients_.emplace_back(&load::run_client, this);
}

load::~load() { stop(); }

void load::stop() {
  stopping_ = true;
  for (std::thread &client : clients_) {
    if (client.joinable()) client.join();
  }
}

// One connection after another; a connection ends when the server says so
// or fails, and a failure is counted, never retried.
void load::run_client() {
  while (!stopping_) {
    http_connection connection(port_);
    if (!connection.connected()) {
      ++socket_errors;
      continue;
    }
    while (!stopping_) {
      if (!connection.send_raw(request_)) {
        ++socket_errors;
        break;
      }
      const http_response response = connection.read_response();
      if (response.status == 0) {
        ++socket_errors;
        break;
      }
      if (response.status == 200 && response.body == body_) {
        ++answered;
      } else {
        ++wrong_answers;
      }
      if (response.header("Connection") == "close") break;
    }
  }
}

}  // namespace test
