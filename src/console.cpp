#include "console.h"

#include "console_escape.h"
#include "console_writer.h"

namespace {

void submit_line(std::string_view line, bool flush) {
  std::string text;
  text.reserve(line.size() + 1);
  text.append(line);
  text += '\n';
  console_writer::instance().submit(text, flush);
}

}  // namespace

void console_line_flushed(std::string_view line) { submit_line(line, true); }

void console_line_buffered(std::string_view line) { submit_line(line, false); }

bool console_drain(std::chrono::milliseconds limit) {
  return console_writer::instance().drain(limit);
}

console_lines::~console_lines() {
  if (!text_.empty()) console_writer::instance().submit(text_, false);
}

void console_lines::add(std::string_view line) {
  text_ += line;
  text_ += '\n';
}

void console_lines::add_value(const char *prefix, std::string_view value) {
  text_ += prefix;
  text_ += escape_console_value(value);
  text_ += '\n';
}
