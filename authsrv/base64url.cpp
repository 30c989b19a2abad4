#include "base64url.h"

namespace {

const char alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

int sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '-') return 62;
  if (c == '_') return 63;
  return -1;
}

}  // namespace

std::string base64url_encode(const uint8_t *data, size_t length) {
  std::string text;
  text.reserve((length * 4 + 2) / 3);
  uint32_t bits = 0;
  int bit_count = 0;
  for (size_t i = 0; i < length; ++i) {
    bits = (bits << 8) | data[i];
    bit_count += 8;
    while (bit_count >= 6) {
      bit_count -= 6;
      text += alphabet[(bits >> bit_count) & 0x3f];
    }
  }
  if (bit_count > 0) text += alphabet[(bits << (6 - bit_count)) & 0x3f];
  return text;
}

long base64url_decode(std::string_view text, uint8_t *out, size_t capacity) {
  if (text.size() % 4 == 1) return -1;
  uint32_t bits = 0;
  int bit_count = 0;
  size_t length = 0;
  for (const char c : text) {
    const int value = sextet(c);
    if (value < 0) return -1;
    bits = (bits << 6) | static_cast<uint32_t>(value);
    bit_count += 6;
    if (bit_count >= 8) {
      bit_count -= 8;
      if (length == capacity) return -1;
      out[length++] = static_cast<uint8_t>(bits >> bit_count);
    }
  }
  // Leftover bits must be zero, so each byte string has one spelling and a
  // changed last character never decodes to the same bytes.
  if ((bits & ((1u << bit_count) - 1)) != 0) return -1;
  return static_cast<long>(length);
}
