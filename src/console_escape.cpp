#include "console_escape.h"

std::string escape_console_value(std::string_view value) {
  static const char hex_digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(value.size());
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
  return text;
}
