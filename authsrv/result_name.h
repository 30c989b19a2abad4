// The names the vendor's documentation gives CheckValidGmi's result codes,
// for the token tool's output. The library itself returns numbers only.

#ifndef AUTHSRV_RESULT_NAME_H_
#define AUTHSRV_RESULT_NAME_H_

#include <cstdint>

// "valid" for 0, "SET_BYPASS" for 1, the error's name for 2 to 10, and
// "ERROR_CheckValidGmi" for any other code.
const char *result_name(int32_t code);

#endif  // AUTHSRV_RESULT_NAME_H_
