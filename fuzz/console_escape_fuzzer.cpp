// Fuzz target for escape_console_value (src/console_escape.h), which stands
// between request bytes and the console: an escaped value must never start,
// end or break a console line, and must still say exactly what was sent.
//
// The escaping is not reversible in general: a client may send the four
// characters \x0a themselves, which print like an escaped line feed. So the
// round trip is stated as: un-escaping the output gives what un-escaping
// the input (up to its first NUL) gives, and gives the input itself when it
// holds no backslash.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "console_escape.h"
#include "require.h"

namespace {

bool is_control(unsigned char byte) { return byte < 0x20 || byte == 0x7f; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads every \xHH (lower-case hex) as the byte it names, left to right;
// everything else stays as it is.
std::string unescape(std::string_view text) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
        hex_value(text[i + 2]) >= 0 && hex_value(text[i + 3]) >= 0) {
      bytes += static_cast<char>(hex_value(text[i + 2]) * 16 +
                                 hex_value(text[i + 3]));
      i += 3;
    } else {
      bytes += text[i];
    }
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view value(reinterpret_cast<const char *>(data), size);
  const std::string_view shown = value.substr(0, value.find('\0'));
  const std::string escaped = escape_console_value(value);

  size_t controls = 0;
  for (const char c : shown) controls += is_control(static_cast<unsigned char>(c));
  for (const char c : escaped) {
    require(!is_control(static_cast<unsigned char>(c)),
            "no control byte, line feed included, reaches the console");
  }
  require(escaped.size() == shown.size() + 3 * controls,
          "each control byte becomes four characters, every other byte one");
  if (controls == 0) {
    require(escaped == shown, "a value without control bytes is shown as is");
  }
  require(unescape(escaped) == unescape(shown),
          "un-escaping gives back what was sent, up to its first NUL");
  if (shown.find('\\') == std::string_view::npos) {
    require(unescape(escaped) == shown,
            "without a backslash of its own, the value comes back exactly");
  }
  return 0;
}
