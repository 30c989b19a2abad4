#include "console.h"

#include <cstdio>

void console_line_flushed(const std::string &line) {
  std::string text = line + '\n';
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
}

void console_line(const char *line) { puts(line); }

void console_value_line(const char *prefix, const std::string &value) {
  static const char hex_digits[] = "0123456789abcdef";
  std::string text(prefix);
  text.reserve(text.size() + value.size() + 1);
  for (const char c : value) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte == 0) break;
    if (byte < 0x20 || byte == 0x7f) {
      text += "\\x";
      text += hex_digits[byte >> 4];
      text += hex_digits[byte & 0xf];
    } else {
      text += c;
    }
  }
  text += '\n';
  fwrite(text.data(), 1, text.size(), stdout);
}
