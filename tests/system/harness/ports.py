"""Ports for the servers the suite starts on this host's loopback.

A port chosen by binding 0 and closing could be handed to an outgoing
connection before the server binds it; the service also sets SO_REUSEPORT,
so two tests could both bind one. Instead each test process claims a block
of its own outside the kernel's ephemeral range, by an flock held until it
exits. The C++ tests claim blocks the same way (tests/support/port_block.cpp),
so neither side ever takes the other's ports."""

import fcntl
import os
import socket

LOWEST_PORT = 20000  # above the well-known ports of services a host may run
BLOCK_SIZE = 50
LOCK_DIR = "/tmp/gmi-test-ports"


def _reserved_ranges():
    with open("/proc/sys/net/ipv4/ip_local_port_range") as ranges:
        low, high = (int(value) for value in ranges.read().split())
    return [(LOWEST_PORT, low - 1), (high + 1, 65535)]


def _unbound(port):
    with socket.socket() as probe:
        try:
            probe.bind(("0.0.0.0", port))
            return True
        except OSError:
            return False


class PortBlock:
    """The block this process claimed; take() hands out its ports in turn."""

    def __init__(self):
        os.makedirs(LOCK_DIR, exist_ok=True)
        os.chmod(LOCK_DIR, 0o1777)
        for first, last in _reserved_ranges():
            for start in range(first, last - BLOCK_SIZE + 2, BLOCK_SIZE):
                lock = os.open(f"{LOCK_DIR}/block-{start}", os.O_RDONLY | os.O_CREAT, 0o644)
                try:
                    fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except BlockingIOError:
                    os.close(lock)
                    continue
                self._lock, self._next, self._end = lock, start, start + BLOCK_SIZE
                return
        raise RuntimeError(f"every block of ports in {LOCK_DIR} is claimed")

    def take(self, count=1):
        """The first of count consecutive ports that nothing is bound to."""
        while self._next + count <= self._end:
            first, self._next = self._next, self._next + 1
            if all(_unbound(port) for port in range(first, first + count)):
                self._next = first + count
                return first
        raise RuntimeError(f"the block of ports ending at {self._end} is used up")
