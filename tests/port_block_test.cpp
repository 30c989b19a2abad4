// The ports tests take: a process needing more than one block's worth,
// as after a run that left a block's ports in TIME_WAIT, goes on to
// another block instead of aborting.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>

#include "support/port_block.h"

namespace test {
namespace {

// A listener on the port, held until the test ends, as a server would.
int listen_on(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
      listen(fd, 1) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST(port_block_test, more_ports_than_a_block_holds_are_each_free_and_distinct) {
  // Three blocks' worth (a block is 50 ports).
  std::set<uint16_t> ports;
  std::set<int> listeners;
  for (int i = 0; i < 150; ++i) {
    const uint16_t port = free_port();
    EXPECT_TRUE(ports.insert(port).second) << port << " handed out twice";
    const int fd = listen_on(port);
    EXPECT_GE(fd, 0) << port << " was handed out but cannot be listened on";
    listeners.insert(fd);
  }
  for (int fd : listeners) close(fd);
}

}  // namespace
}  // namespace test
