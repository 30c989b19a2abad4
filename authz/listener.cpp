#include "listener.h"

#include <sys/socket.h>

#include <cstdio>

bool listener::bind(const host_port &address) {
  if (!bind_to_port(address.host, address.port) ||
      ::listen(svr_sock_, SOMAXCONN) != 0) {
    fprintf(stderr, "gmi-authz: cannot listen on %s\n", address.text().c_str());
    return false;
  }
  return true;
}
