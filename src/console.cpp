#include "console.h"

#include <cstdio>

void console_line_flushed(const std::string &line) {
  std::string text = line + '\n';
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
}

console_lines::~console_lines() {
  if (!text_.empty()) fwrite(text_.data(), 1, text_.size(), stdout);
}

void console_lines::add(std::string_view line) {
  text_ += line;
  text_ += '\n';
}

void console_lines::add_value(const char *prefix, const std::string &value) {
  static const char hex_digits[] = "0123456789abcdef";
  text_ += prefix;
  for (const char c : value) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte == 0) break;
    if (byte < 0x20 || byte == 0x7f) {
      text_ += "\\x";
      text_ += hex_digits[byte >> 4];
      text_ += hex_digits[byte & 0xf];
    } else {
      text_ += c;
    }
  }
  text_ += '\n';
}
