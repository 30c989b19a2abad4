// Where a decision request carries the token and the user.
//
// The token: "Authorization: Bearer <token>", else the token cookie, else
// the "gmi" parameter of the original request's query as the proxy
// forwards it ("X-Original-URI" from nginx, "X-Forwarded-Uri" from
// Traefik). The user: the user header, else that query's "userid", else
// its "data". An empty value counts as absent. Pure functions of the
// request; safe on any thread.

#ifndef GMI_AUTHZ_CREDENTIALS_H_
#define GMI_AUTHZ_CREDENTIALS_H_

#include <httplib.h>

#include <string>

struct credential_names {
  std::string user_header;
  std::string token_cookie;
};

struct credentials {
  std::string token;  // "" when no source holds one
  std::string user;   // "" when no source holds one
};

credentials find_credentials(const httplib::Request &request,
                             const credential_names &names);

#endif  // GMI_AUTHZ_CREDENTIALS_H_
