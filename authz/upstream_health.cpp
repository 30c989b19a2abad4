#include "upstream_health.h"

#include <cstdio>

void upstream_health::answered() {
  if (!up_.exchange(true)) {
    fprintf(stderr, "gmi-authz: upstream %s is back\n", upstream_.c_str());
  }
}

void upstream_health::failed(const char *why) {
  if (up_.exchange(false)) {
    fprintf(stderr, "gmi-authz: upstream %s is down (%s)\n", upstream_.c_str(), why);
  }
}
