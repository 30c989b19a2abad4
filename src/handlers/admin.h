// Operator endpoints. Neither writes to the console or counts as a request.

#ifndef GMI_HANDLERS_ADMIN_H_
#define GMI_HANDLERS_ADMIN_H_

#include <httplib.h>

// /bypass?opt=on|off switches the library's bypass and records the state.
// The library's answer is not examined: the reply follows the request.
void handle_bypass(const httplib::Request &request,
                   httplib::Response &response);

// /log reports the library version and the statistics.
void handle_log(const httplib::Request &request, httplib::Response &response);

#endif  // GMI_HANDLERS_ADMIN_H_
