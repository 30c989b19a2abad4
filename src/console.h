// Console lines on standard output.
//
// Start-up, failure and teardown lines are flushed one by one, so an operator
// watching a pipe sees them at once. The started line and the per-request
// lines are left in the stdout buffer: under load, a flush per request would
// cost a write system call each. They appear when the buffer fills or at the
// next flushed line. Each function writes its line with one stdio call, so
// lines from concurrent handlers never interleave.

#ifndef GMI_CONSOLE_H_
#define GMI_CONSOLE_H_

#include <string>

void console_line_flushed(const std::string &line);

void console_line(const char *line);

// Writes prefix followed by value up to its first NUL byte. Control bytes
// (below 0x20) and 0x7F in value are written as \xHH, so a client cannot
// forge console lines through percent-decoded request data.
void console_value_line(const char *prefix, const std::string &value);

#endif  // GMI_CONSOLE_H_
