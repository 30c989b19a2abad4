#include "console_writer.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace {

// Empties a buffer, and gives back the memory a stall made it grow to, so
// that one stall does not keep a megabyte resident for good.
void release_if_grown(std::string &buffer) {
  buffer.clear();
  if (buffer.capacity() > console_writer::batch_bytes * 4) {
    std::string().swap(buffer);
    buffer.reserve(console_writer::batch_bytes * 2);
  }
}

}  // namespace

console_writer &console_writer::instance() {
  static console_writer *const writer = new console_writer(STDOUT_FILENO);
  return *writer;
}

console_writer::console_writer(int fd) : fd_(fd) {
  pending_.reserve(batch_bytes * 2);
  std::thread([this] { run(); }).detach();
}

void console_writer::submit(std::string_view lines, bool flush) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!flush && pending_.size() + lines.size() > capacity_bytes) {
    dropped_lines_ += static_cast<uint64_t>(
        std::count(lines.begin(), lines.end(), '\n'));
    return;
  }
  if (pending_.empty()) {
    oldest_pending_ = std::chrono::steady_clock::now();
    // The writer may be waiting with no deadline.
    work_ready_.notify_one();
  }
  if (dropped_lines_ > 0) append_dropped_notice();
  pending_.append(lines);
  handed_over_bytes_ += lines.size();
  if (flush) flush_through_ = pending_.size();
  if (flush_through_ > 0 || pending_.size() >= batch_bytes) {
    work_ready_.notify_one();
  }
}

bool console_writer::drain(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (dropped_lines_ > 0) append_dropped_notice();
  const uint64_t target = handed_over_bytes_;
  flush_through_ = pending_.size();
  work_ready_.notify_one();
  return written_.wait_for(lock, limit,
                           [&] { return written_bytes_ >= target; });
}

// Called with mutex_ held, where the lost lines would have stood.
void console_writer::append_dropped_notice() {
  const std::string notice = "[Server] Console output stalled: " +
                             std::to_string(dropped_lines_) +
                             " lines were dropped\n";
  pending_ += notice;
  handed_over_bytes_ += notice.size();
  dropped_lines_ = 0;
}

void console_writer::run() {
  std::string taken;
  taken.reserve(batch_bytes * 2);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wait_until_due(lock);
    take_due(taken);
    lock.unlock();
    write_out(taken);
    lock.lock();
    written_bytes_ += taken.size();
    release_if_grown(taken);
    written_.notify_all();
  }
}

// Called with mutex_ held; returns once something is due: a flushed line, a
// full batch, or buffered lines that have waited longest_wait. Lines left
// behind by a partial take keep the older deadline, so they go out no later.
void console_writer::wait_until_due(std::unique_lock<std::mutex> &lock) {
  for (;;) {
    if (flush_through_ > 0 || pending_.size() >= batch_bytes) return;
    if (pending_.empty()) {
      work_ready_.wait(lock);
    } else if (work_ready_.wait_until(lock, oldest_pending_ + longest_wait) ==
                   std::cv_status::timeout &&
               !pending_.empty()) {
      flush_through_ = pending_.size();
      return;
    }
  }
}

// Called with mutex_ held. A full batch goes out whole; otherwise only the
// lines up to the last flushed one do, and later buffered lines wait, as
// they would in a stdio buffer.
void console_writer::take_due(std::string &taken) {
  if (pending_.size() >= batch_bytes || flush_through_ == pending_.size()) {
    taken.swap(pending_);
  } else {
    taken.assign(pending_, 0, flush_through_);
    pending_.erase(0, flush_through_);
  }
  flush_through_ = 0;
}

// Blocks while the reader is stalled; that is this thread's whole purpose.
// Text that cannot be written at all (the reader has gone) is discarded.
void console_writer::write_out(const std::string &text) {
  size_t offset = 0;
  while (offset < text.size()) {
    const ssize_t n = write(fd_, text.data() + offset, text.size() - offset);
    if (n > 0) {
      offset += static_cast<size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      return;
    }
  }
}
