// Unpadded base64url (RFC 4648 section 5): the alphabet A-Z a-z 0-9 - _
// needs no escaping in a query string or a form body.

#ifndef AUTHSRV_BASE64URL_H_
#define AUTHSRV_BASE64URL_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

std::string base64url_encode(const uint8_t *data, size_t length);

// Decodes text into out, which holds capacity bytes. Returns the decoded
// length, or -1 if text is not canonical unpadded base64url or does not fit.
long base64url_decode(std::string_view text, uint8_t *out, size_t capacity);

#endif  // AUTHSRV_BASE64URL_H_
