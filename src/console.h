// Console lines on standard output.
//
// Start-up, failure and teardown lines are flushed one by one, so an operator
// watching a pipe sees them at once. The started line and the per-request
// lines are left in the stdout buffer: under load, a flush per request would
// cost a write system call each. They appear when the buffer fills or at the
// next flushed line.

#ifndef GMI_CONSOLE_H_
#define GMI_CONSOLE_H_

#include <string>
#include <string_view>

void console_line_flushed(const std::string &line);

// The console lines of one request, written with one stdio call when the
// object goes out of scope: a request's lines stay together, and workers
// take the stdout lock once a request rather than once a line. Not shared
// between threads.
class console_lines {
 public:
  console_lines() { text_.reserve(256); }
  ~console_lines();
  console_lines(const console_lines &) = delete;
  console_lines &operator=(const console_lines &) = delete;

  void add(std::string_view line);
  // prefix followed by value up to its first NUL byte. Control bytes (below
  // 0x20) and 0x7F in value are written as \xHH, so a client cannot forge
  // console lines through percent-decoded request data.
  void add_value(const char *prefix, const std::string &value);

 private:
  std::string text_;
};

#endif  // GMI_CONSOLE_H_
