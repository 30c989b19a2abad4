// The one writer of standard output.
//
// Threads hand it whole lines; a thread of its own writes them, so that no
// request ever waits on a slow reader of the console (a stalled supervisor
// pipe used to stop every worker once the pipe was full). Lines keep the
// order in which they were handed over.
//
// Buffered lines go out in batches of about batch_bytes, or once the oldest
// of them has waited longest_wait, so that an operator following the log of
// a quiet service still sees each line within a second; a flushed line goes
// out at once together with everything handed over before it. While the
// reader does not keep up, buffered lines pile up to capacity_bytes and
// further ones are dropped and counted; the next line that fits is preceded
// by one line saying how many were lost, so the transcript shows its gap.
// Flushed lines (start-up, teardown, failures) are few and never dropped.
//
// Threading: submit() and drain() may be called from any thread; all state
// is behind mutex_. The object is never destroyed (see instance()).

#ifndef GMI_CONSOLE_WRITER_H_
#define GMI_CONSOLE_WRITER_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

class console_writer {
 public:
  static constexpr size_t batch_bytes = 4096;
  static constexpr size_t capacity_bytes = 1024 * 1024;
  static constexpr std::chrono::milliseconds longest_wait{1000};

  // The process's writer, onto descriptor 1. Created on first use and never
  // destroyed: at exit its thread may still be blocked on a stalled reader,
  // and must not outlive the object it uses.
  static console_writer &instance();

  explicit console_writer(int fd);
  console_writer(const console_writer &) = delete;
  console_writer &operator=(const console_writer &) = delete;

  // Hands over text, one or more whole lines, each ending in a line feed.
  void submit(std::string_view lines, bool flush);

  // Asks for everything handed over so far to be written and waits for it,
  // at most limit. False if the reader did not take it all in time.
  bool drain(std::chrono::milliseconds limit);

 private:
  void run();
  void wait_until_due(std::unique_lock<std::mutex> &lock);
  void take_due(std::string &taken);
  void append_dropped_notice();
  void write_out(const std::string &text);

  const int fd_;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable written_;
  std::string pending_;  // handed over, not yet taken by the writer thread
  size_t flush_through_ = 0;  // bytes of pending_ due now; 0 if none
  // When the oldest text in pending_ was handed over; meaningless while
  // pending_ is empty.
  std::chrono::steady_clock::time_point oldest_pending_;
  uint64_t handed_over_bytes_ = 0;
  uint64_t written_bytes_ = 0;  // taken and written (or failed) so far
  uint64_t dropped_lines_ = 0;  // since the last notice
};

#endif  // GMI_CONSOLE_WRITER_H_
