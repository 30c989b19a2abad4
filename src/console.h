// Console lines on standard output.
//
// Start-up, failure and teardown lines are flushed one by one, so an operator
// watching a pipe sees them at once. The started line and the per-request
// lines are buffered: under load, a write per request would cost a system
// call each. They go out in batches, or with the next flushed line.
//
// Nothing here waits on the console's reader: lines are handed to the
// console writer (console_writer.h), which drops and counts buffered lines
// while a stalled reader lets them pile up.

#ifndef GMI_CONSOLE_H_
#define GMI_CONSOLE_H_

#include <chrono>
#include <string>
#include <string_view>

void console_line_flushed(std::string_view line);
void console_line_buffered(std::string_view line);

// Waits, at most limit, for every line so far to reach standard output.
// False if the reader did not take them in time.
bool console_drain(std::chrono::milliseconds limit);

// The console lines of one request, handed over together when the object
// goes out of scope, so that a request's lines stay together. Not shared
// between threads.
class console_lines {
 public:
  console_lines() { text_.reserve(256); }
  ~console_lines();
  console_lines(const console_lines &) = delete;
  console_lines &operator=(const console_lines &) = delete;

  void add(std::string_view line);
  // prefix followed by value escaped as escape_console_value() does.
  void add_value(const char *prefix, std::string_view value);

 private:
  std::string text_;
};

#endif  // GMI_CONSOLE_H_
