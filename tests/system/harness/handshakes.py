#!/usr/bin/python3
"""TLS clients whose handshakes fail, RATE a second for SECONDS: without
--ca, clients that do not know the CA and give up at the server's
certificate; with it, clients that know the CA but bring no certificate of
their own, which a listener asking for one refuses. Prints how many
connections were made and how many handshakes failed. SIGTERM ends it.

Usage: handshakes.py HOST PORT RATE SECONDS [--ca CA]
"""

import argparse
import signal
import socket
import ssl
import time


def attempt(host, port, context):
    """True when the handshake, or the first read after it, failed: in
    TLS 1.3 a server refuses a missing client certificate after the
    client has finished its side."""
    try:
        with socket.create_connection((host, port), timeout=2) as raw, \
                context.wrap_socket(raw, server_hostname=host) as tls:
            tls.sendall(b"GET /gmi-front-health HTTP/1.1\r\nHost: gmi\r\n\r\n")
            return not tls.recv(1)
    except OSError:  # ssl.SSLError among them
        return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("host")
    parser.add_argument("port", type=int)
    parser.add_argument("rate", type=float)
    parser.add_argument("seconds", type=float)
    parser.add_argument("--ca")
    options = parser.parse_args()
    context = ssl.create_default_context(cafile=options.ca)
    end = [time.monotonic() + options.seconds]
    signal.signal(signal.SIGTERM, lambda *_: end.__setitem__(0, time.monotonic()))
    made = failed = 0
    next_one = time.monotonic()
    while next_one < end[0]:
        time.sleep(max(next_one - time.monotonic(), 0))
        made += 1
        failed += attempt(options.host, options.port, context)
        next_one += 1 / options.rate
    print(f"{made} connections, {failed} handshakes failed", flush=True)


if __name__ == "__main__":
    main()
