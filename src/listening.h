// Listening on the service's port, and saying why when the port cannot be
// bound.
//
// The library's listen() binds and serves in one call, and returns false
// alike when the bind fails and when accepting fails later, without a
// reason. Binding first (bind_to_port) tells a port that could not be
// bound apart from a server that ran and stopped; and when bind_to_port
// fails, errno still holds the failed call's reason, since the library
// only closes the socket after it (lifecycle_test pins both).
//
// Called once, from the entry point's thread.

#ifndef GMI_LISTENING_H_
#define GMI_LISTENING_H_

#include <httplib.h>

#include <cstdint>

// Binds 0.0.0.0:port and serves until the server is stopped. False if the
// port could not be bound, after one line on standard error:
//   gmi-server: cannot listen on port PORT: REASON
// where REASON is the system's text for the error ("Address already in
// use", "Permission denied").
bool listen_on_port(httplib::Server &server, uint16_t port);

#endif  // GMI_LISTENING_H_
