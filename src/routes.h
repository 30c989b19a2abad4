// The route table: which handler serves which path.

#ifndef GMI_ROUTES_H_
#define GMI_ROUTES_H_

#include <httplib.h>

// Registers every path for GET, then POST: /log, /bypass, /quit, /login,
// /usual. HEAD requests are served by the GET registrations.
void register_routes(httplib::Server &server);

#endif  // GMI_ROUTES_H_
