"""Ports for the servers the suite starts on this host's loopback.

A port chosen by binding 0 and closing could be handed to an outgoing
connection before the server binds it; the service also sets SO_REUSEPORT,
so two tests could both bind one. Instead each test process claims blocks
of its own outside the kernel's ephemeral range, by flocks held until it
exits. The C++ tests claim blocks the same way (tests/support/port_block.cpp),
so neither side ever takes the other's ports."""

import fcntl
import os
import socket

LOWEST_PORT = 20000  # above the well-known ports of services a host may run
BLOCK_SIZE = 50
LOCK_DIR = "/tmp/gmi-test-ports"


def _block_starts():
    with open("/proc/sys/net/ipv4/ip_local_port_range") as ranges:
        low, high = (int(value) for value in ranges.read().split())
    return [start for first, last in ((LOWEST_PORT, low - 1), (high + 1, 65535))
            for start in range(first, last - BLOCK_SIZE + 2, BLOCK_SIZE)]


def _unbound(port):
    """Nothing is bound to the port, not even a socket in TIME_WAIT."""
    with socket.socket() as probe:
        try:
            probe.bind(("0.0.0.0", port))
            return True
        except OSError:
            return False


class PortBlock:
    """take() hands out the ports of this process's blocks in turn. A
    process's ports stay in TIME_WAIT for a minute after it ends, so each
    starts from a block picked by its process id, and moves on to the next
    free block when its own is used up."""

    def __init__(self):
        os.makedirs(LOCK_DIR, exist_ok=True)
        os.chmod(LOCK_DIR, 0o1777)
        self._starts, self._locks = _block_starts(), []
        self._claim(os.getpid())

    def _claim(self, first):
        for tried in range(len(self._starts)):
            block = (first + tried) % len(self._starts)
            lock = os.open(f"{LOCK_DIR}/block-{self._starts[block]}", os.O_RDONLY | os.O_CREAT, 0o644)
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                os.close(lock)
                continue
            self._locks.append(lock)
            self._block, self._next = block, self._starts[block]
            return
        raise RuntimeError(f"every block of ports in {LOCK_DIR} is claimed")

    def take(self, count=1):
        """The first of count consecutive ports that nothing is bound to."""
        while True:
            end = self._starts[self._block] + BLOCK_SIZE
            while self._next + count <= end:
                first = self._next
                self._next += 1
                if all(_unbound(port) for port in range(first, first + count)):
                    self._next = first + count
                    return first
            self._claim(self._block + 1)
