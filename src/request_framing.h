// Which requests' bodies the service can delimit the way any peer would.
//
// The HTTP library reads a body by Transfer-Encoding when it says "chunked",
// else by Content-Length, else until the client hangs up, and it reads no
// body at all for GET, HEAD and OPTIONS. A request on which a proxy in front
// and the library could disagree about where the body ends is refused and its
// connection closed before any of its body is read: otherwise bytes hidden in
// the body would run as a request of their own (request smuggling).

#ifndef GMI_REQUEST_FRAMING_H_
#define GMI_REQUEST_FRAMING_H_

#include <httplib.h>

// The status a request must be refused with, or 0 if its framing is sound:
//   400  Content-Length together with Transfer-Encoding, more than one
//        Content-Length, one that is not a plain decimal number, or a body
//        on a method whose body the library would leave unread;
//   501  a transfer coding other than chunked;
//   411  a chunked body: the library would hold it in memory whole before
//        any size limit applies, and form bodies come with a length.
int framing_refusal(const httplib::Request &request);

// Answers request with status and an empty body, and makes the library close
// the connection after the answer instead of parsing what follows as the
// next request.
void refuse_and_close(const httplib::Request &request,
                      httplib::Response &response, int status);

#endif  // GMI_REQUEST_FRAMING_H_
