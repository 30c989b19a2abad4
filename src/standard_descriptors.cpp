#include "standard_descriptors.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

bool keep_standard_descriptors_open() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free number, which is fd: the ones below it
    // are open by now.
    if (open("/dev/null", O_RDWR) != fd) return false;
  }
  return true;
}
