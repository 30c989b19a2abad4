// How request values are shown on the console.

#ifndef GMI_CONSOLE_ESCAPE_H_
#define GMI_CONSOLE_ESCAPE_H_

#include <string>
#include <string_view>

// value up to its first NUL byte, with control bytes (below 0x20) and 0x7F
// written as \xHH, so that a client cannot forge or break console lines
// through percent-decoded request data. Other bytes pass unchanged.
std::string escape_console_value(std::string_view value);

#endif  // GMI_CONSOLE_ESCAPE_H_
