// /quit: answers and stops the server, once.

#ifndef GMI_HANDLERS_QUIT_H_
#define GMI_HANDLERS_QUIT_H_

#include <httplib.h>

// Every call answers {"server_status":"CLOSE"}; only the first asks g_server
// to stop. The stop closes the listening socket from inside this handler,
// and this handler's own answer is still sent.
void handle_quit(const httplib::Request &request, httplib::Response &response);

#endif  // GMI_HANDLERS_QUIT_H_
