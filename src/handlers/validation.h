// /login and /usual: have the authentication library judge a token for a
// user and answer {"is_valid":...,"reason":"..."}.
//
// Parameters (query string first, then a form body; first value wins):
// gmi, the token, required; userid, the user, preferred; data, the user when
// userid is absent. A GMI request header is only written to the console.
//
// Any number of these run at once. They share only g_log_manager's atomic
// counters and the read-only auth table; no lock is held across the library
// call.

#ifndef GMI_HANDLERS_VALIDATION_H_
#define GMI_HANDLERS_VALIDATION_H_

#include <httplib.h>

void handle_login(const httplib::Request &request, httplib::Response &response);

// As /login, with other console lines, a processor-time measurement around
// the library call, and a line feed after every answer but an invalid one.
void handle_usual(const httplib::Request &request, httplib::Response &response);

#endif  // GMI_HANDLERS_VALIDATION_H_
