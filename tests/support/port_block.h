// Ports for the servers a test starts. Each test process claims a block of
// ports of its own, outside the kernel's ephemeral range: a port picked by
// binding 0 and closing could meanwhile be handed to one of the thousands
// of outgoing connections the suite opens, and since the service sets
// SO_REUSEPORT, two tests running side by side could even both bind it and
// split its traffic.
//
// The claim is an flock on /tmp/gmi-test-ports/block-N, held until the
// process exits and released by the kernel however it ends. The system
// suite (tests/system/harness/ports.py) claims blocks the same way, so the
// two never share one either. Not thread-safe: call from the test's thread.

#ifndef GMI_TESTS_PORT_BLOCK_H_
#define GMI_TESTS_PORT_BLOCK_H_

#include <cstdint>

namespace test {

// The next port of this process's blocks that nothing is bound to; a
// block used up (its ports still in TIME_WAIT from earlier processes) is
// followed by the next one unclaimed. Aborts the test process, saying why,
// when no further block can be claimed.
uint16_t free_port();

}  // namespace test

#endif  // GMI_TESTS_PORT_BLOCK_H_
