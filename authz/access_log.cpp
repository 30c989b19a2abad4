#include "access_log.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>

namespace {

constexpr size_t max_pending_bytes = 1 << 20;
// Like the front's: a user or path is logged up to 256 bytes.
constexpr size_t max_field_bytes = 256;

// Length of the valid UTF-8 sequence at text[at], 0 if none starts there.
size_t utf8_length(const std::string &text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  size_t length;
  uint32_t code;
  if (lead < 0x80) return 1;
  if (lead >= 0xc2 && lead <= 0xdf) { length = 2; code = lead & 0x1f; }
  else if (lead >= 0xe0 && lead <= 0xef) { length = 3; code = lead & 0x0f; }
  else if (lead >= 0xf0 && lead <= 0xf4) { length = 4; code = lead & 0x07; }
  else return 0;
  if (at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xc0) != 0x80) return 0;
    code = (code << 6) | (byte(at + i) & 0x3f);
  }
  const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
  const bool surrogate = code >= 0xd800 && code <= 0xdfff;
  return overlong || surrogate || code > 0x10ffff ? 0 : length;
}

bool is_lower_hex(const std::string &text) {
  return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string quoted_or_null(bool present, const std::string &value) {
  return present ? "\"" + json_escaped(value) + "\"" : "null";
}

std::string utc_now() {
  const auto now = std::chrono::system_clock::now();
  const time_t seconds = std::chrono::system_clock::to_time_t(now);
  const long millis = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const size_t length = strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
  snprintf(text + length, sizeof(text) - length, ".%03ldZ", millis);
  return text;
}

}  // namespace

std::string json_escaped(const std::string &value) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(value.size() + 8);
  for (size_t at = 0; at < value.size();) {
    const size_t length = utf8_length(value, at);
    if (length == 0) {  // not UTF-8: dropped
      ++at;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(value[at]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\u00";
      out += digits[c >> 4];
      out += digits[c & 0xf];
    } else {
      out.append(value, at, length);
    }
    at += length;
  }
  return out;
}

std::string trace_id_of(const std::string &traceparent) {
  // version-traceid-parentid-flags; version 00 exactly so, later ones
  // (not ff) perhaps followed by "-" and more.
  if (traceparent.size() < 55 || traceparent[2] != '-' || traceparent[35] != '-' ||
      traceparent[52] != '-') {
    return "";
  }
  const std::string version = traceparent.substr(0, 2);
  const std::string trace = traceparent.substr(3, 32);
  const std::string parent = traceparent.substr(36, 16);
  const std::string flags = traceparent.substr(53, 2);
  const bool tail_ok = version == "00" ? traceparent.size() == 55
                                       : traceparent.size() == 55 || traceparent[55] == '-';
  if (!is_lower_hex(version + trace + parent + flags) || version == "ff" || !tail_ok ||
      trace == std::string(32, '0') || parent == std::string(16, '0')) {
    return "";
  }
  return trace;
}

std::string access_line(const decision_record &r, const std::string &listener) {
  char duration[32];
  snprintf(duration, sizeof(duration), "%.3f", r.duration_ms);
  std::string line;
  line.reserve(512);
  line += "{\"time\":\"" + utc_now() + "\"";
  line += ",\"client\":\"" + json_escaped(r.client) + "\"";
  line += ",\"client_port\":" + (r.client_port >= 0 ? std::to_string(r.client_port) : "null");
  line += ",\"listener\":\"" + json_escaped(listener) + "\"";
  line += ",\"tls_version\":null,\"tls_cipher\":null,\"http_version\":\"1.1\"";
  line += ",\"method\":\"" + json_escaped(r.method.substr(0, 16)) + "\"";
  line += ",\"path\":\"" + json_escaped(r.path.substr(0, max_field_bytes)) + "\"";
  line += ",\"userid\":" + quoted_or_null(r.has_user, r.user.substr(0, max_field_bytes));
  line += ",\"status\":" + std::to_string(r.status);
  line += ",\"decision\":\"" + std::string(r.decision) + "\"";
  line += ",\"reason\":\"" + json_escaped(r.reason) + "\"";
  line += ",\"upstream\":" + quoted_or_null(r.upstream != nullptr, r.upstream ? r.upstream : "");
  line += ",\"duration_ms\":" + std::string(duration);
  line += ",\"request_id\":\"" + json_escaped(r.request_id) + "\"";
  line += ",\"trace_id\":" + quoted_or_null(!r.trace_id.empty(), r.trace_id);
  line += "}\n";
  return line;
}

access_log::access_log(int fd, std::atomic<uint64_t> &dropped)
    : fd_(fd), dropped_(dropped) {
  if (fd_ >= 0) {
    writer_ = std::thread([this] {
      write_out();
      std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
      finished_writing_.notify_one();
    });
  }
}

void access_log::finish(std::chrono::milliseconds limit) {
  if (!writer_.joinable()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  stopping_ = true;
  waiting_.notify_one();
  if (finished_writing_.wait_for(lock, limit, [this] { return finished_; })) {
    lock.unlock();
    writer_.join();
  }
}

void access_log::write(const std::string &line) {
  if (fd_ < 0) return;
  bool was_empty;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pending_.size() + line.size() > max_pending_bytes) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    was_empty = pending_.empty();
    pending_ += line;
  }
  // Only the first line of a batch wakes the writer; the rest ride along.
  if (was_empty) waiting_.notify_one();
}

// Takes everything waiting and writes it whole: lines are never split
// between two batches, so a reader never sees half a line from us.
void access_log::write_out() {
  std::string batch;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      waiting_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
      if (pending_.empty()) return;  // stopping, all written
      batch.swap(pending_);
    }
    size_t done = 0;
    while (done < batch.size()) {
      const ssize_t wrote = ::write(fd_, batch.data() + done, batch.size() - done);
      if (wrote > 0) {
        done += static_cast<size_t>(wrote);
      } else if (wrote < 0 && errno == EAGAIN) {
        pollfd ready{fd_, POLLOUT, 0};
        poll(&ready, 1, 1000);
      } else if (wrote < 0 && errno == EINTR) {
        continue;
      } else {
        break;  // the reader is gone: these lines are lost, as any would be
      }
    }
    batch.clear();
  }
}
