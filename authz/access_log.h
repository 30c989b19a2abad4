// The companion's access log: one JSON object a line on standard output,
// one line per decision, in the shape of the front's log (the fields are
// in docs/monitoring.md). No token is ever written: the line is built from
// the fields below alone.
//
// Decisions never wait on standard output. write() appends the line to a
// buffer under a mutex; a thread of its own writes the buffer out. While
// the reader falls behind, at most 1 MiB waits; lines beyond are dropped
// and counted (in the counter given, exported as a metric), so that a
// stalled journal slows no decision. At exit, finish() writes out what
// waits, or gives up after its time-out; the object is never destroyed
// (its thread may still be blocked on a reader that stopped reading).
//
// Thread-safe: any thread may write().

#ifndef GMI_AUTHZ_ACCESS_LOG_H_
#define GMI_AUTHZ_ACCESS_LOG_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

struct decision_record {
  std::string client;
  int client_port = -1;  // -1: not known (the client came from X-Forwarded-For)
  std::string method;
  std::string path;  // without its query
  bool has_user = false;
  std::string user;
  int status = 0;
  const char *decision = "";  // allow | deny | error | throttled
  std::string reason;
  const char *upstream = nullptr;  // "front" | "instance" | nullptr: none asked
  double duration_ms = 0;
  std::string request_id;
  std::string trace_id;  // "" when none
};

// value as the contents of a JSON string: quotes, backslashes and control
// bytes escaped, invalid UTF-8 dropped (as HAProxy's json(utf8s) does).
std::string json_escaped(const std::string &value);

// A W3C traceparent header's trace id; "" unless it is well formed.
std::string trace_id_of(const std::string &traceparent);

// The line for record, newline included. listener names where decisions
// are asked.
std::string access_line(const decision_record &record, const std::string &listener);

class access_log {
 public:
  // fd: where lines go (standard output); -1 writes nothing. dropped
  // counts the lines dropped.
  access_log(int fd, std::atomic<uint64_t> &dropped);
  access_log(const access_log &) = delete;
  access_log &operator=(const access_log &) = delete;

  bool enabled() const { return fd_ >= 0; }
  void write(const std::string &line);
  // Waits until every line written so far is out, at most limit.
  void finish(std::chrono::milliseconds limit);

 private:
  void write_out();

  const int fd_;
  std::mutex mutex_;
  std::condition_variable waiting_;
  std::string pending_;  // under mutex_
  bool stopping_ = false;  // under mutex_
  bool finished_ = false;  // under mutex_: the writer has returned
  std::condition_variable finished_writing_;
  std::atomic<uint64_t> &dropped_;
  std::thread writer_;
};

#endif  // GMI_AUTHZ_ACCESS_LOG_H_
