#include "support/port_block.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace test {

namespace {

// Below 20000 lie the well-known ports of services a machine may run
// (databases, Prometheus on 9090); blocks start above them.
constexpr int lowest_port = 20000;
constexpr int block_size = 50;
const char lock_dir[] = "/tmp/gmi-test-ports";

[[noreturn]] void give_up(const std::string &why) {
  fprintf(stderr, "port_block: %s\n", why.c_str());
  abort();
}

// [first, last] ranges of ports that are never ephemeral.
std::vector<std::pair<int, int>> reserved_ranges() {
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  int low = 32768, high = 60999;
  range >> low >> high;
  return {{lowest_port, low - 1}, {high + 1, 65535}};
}

// The first port of the first block above `after` that no other process
// holds, which this process then holds too.
int claim_block_after(int after) {
  mkdir(lock_dir, 01777);
  chmod(lock_dir, 01777);
  for (const auto &[first, last] : reserved_ranges()) {
    for (int port = first; port + block_size - 1 <= last; port += block_size) {
      if (port <= after) continue;
      const std::string path = std::string(lock_dir) + "/block-" + std::to_string(port);
      // Left open on purpose: the lock lasts as long as the process.
      const int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
      if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) return port;
      if (fd >= 0) close(fd);
    }
  }
  give_up(std::string("every block of ports in ") + lock_dir + " above " +
          std::to_string(after) + " is claimed");
}

// Nothing is bound to the port, on any address, not even a socket in
// TIME_WAIT.
bool unbound(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  const bool free = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
  close(fd);
  return free;
}

}  // namespace

uint16_t free_port() {
  // The processes before this one leave their ports in TIME_WAIT for a
  // minute, and each process claims the lowest free block: once those
  // fill a block, the process moves on to the next one it can claim.
  static int start = claim_block_after(0);
  static int taken = 0;
  for (;;) {
    while (taken < block_size) {
      const int port = start + taken++;
      if (unbound(port)) return static_cast<uint16_t>(port);
    }
    start = claim_block_after(start);
    taken = 0;
  }
}

}  // namespace test
