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

// The first port of every block, outside the ephemeral range.
std::vector<int> block_starts() {
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  int low = 32768, high = 60999;
  range >> low >> high;
  std::vector<int> starts;
  for (const auto &[first, last] : {std::pair{lowest_port, low - 1}, std::pair{high + 1, 65535}}) {
    for (int port = first; port + block_size - 1 <= last; port += block_size) {
      starts.push_back(port);
    }
  }
  return starts;
}

// The index of the first block, going round from `from`, that no other
// process holds; this process holds it from then on.
size_t claim_block(const std::vector<int> &starts, size_t from) {
  mkdir(lock_dir, 01777);
  chmod(lock_dir, 01777);
  for (size_t tried = 0; tried < starts.size(); ++tried) {
    const size_t block = (from + tried) % starts.size();
    const std::string path = std::string(lock_dir) + "/block-" + std::to_string(starts[block]);
    // Left open on purpose: the lock lasts as long as the process.
    const int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) return block;
    if (fd >= 0) close(fd);
  }
  give_up(std::string("every block of ports in ") + lock_dir + " is claimed");
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
  // A process's ports stay in TIME_WAIT for a minute after it ends. Each
  // process starts from a block picked by its process id, so that the next
  // test does not meet them, and moves on to the next free block when its
  // own is used up.
  static const std::vector<int> starts = block_starts();
  static size_t block = claim_block(starts, static_cast<size_t>(getpid()));
  static int taken = 0;
  for (;;) {
    while (taken < block_size) {
      const int port = starts[block] + taken++;
      if (unbound(port)) return static_cast<uint16_t>(port);
    }
    block = claim_block(starts, block + 1);
    taken = 0;
  }
}

}  // namespace test
