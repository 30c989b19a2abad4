#!/usr/bin/python3
"""Steady, bounded load for the cluster's fault scenarios, recording every
request.

CONNECTIONS clients each send one GET every 1/RATE seconds on a kept-alive
connection (TLS when --ca is given) for SECONDS, and expect one exact status
and body. The load stays the same whatever happens behind the address: a
slow or failed request never makes the others faster, so "requests" and
"longest gap" compare between scenarios.

A request FAILED when it was sent and no right answer came back within
--timeout: a wrong status or body, a reset, a close, or silence. A refused
or unanswered connect is not yet a request: the client tries again until the
request's time-out (as an HTTP client retries a connect), so an address that
answers nobody shows as a gap, and as failures only once its time-outs pass.
The longest gap is the longest time in which no request of any client got a
right answer.

SIGTERM ends the load early, after each client's request in progress.

Prints one line of JSON: requests, failed, longest_gap_ms, p99_ms, and
what the failed requests met, "why": {WHAT: COUNT}.
"""

import argparse
import collections
import json
import signal
import socket
import ssl
import threading
import time


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--host", required=True, help="address to connect to")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--path", required=True, help="request target")
    parser.add_argument("--header", action="append", default=[], help="NAME: value")
    parser.add_argument("--ca", help="CA file: speak TLS, verifying the server")
    parser.add_argument("--server-name", help="TLS server name (default: --host)")
    parser.add_argument("--status", type=int, default=200, help="expected status")
    parser.add_argument("--body", default=None, help="expected body (any if unset)")
    parser.add_argument("--connections", type=int, default=32)
    parser.add_argument("--rate", type=float, default=10, help="requests/s per connection")
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--timeout", type=float, default=2, help="seconds per request")
    return parser.parse_args()


class Outcomes:
    """Every client's results, under one lock (a few hundred a second)."""

    def __init__(self):
        self.lock = threading.Lock()
        self.requests = 0
        self.failed = 0
        self.answered_at = []  # monotonic times of right answers
        self.latencies = []
        self.why = collections.Counter()  # what the failed ones met

    def record(self, sent, answered, failure):
        """failure: None for the right answer, else what went wrong."""
        with self.lock:
            self.requests += 1
            if failure is None:
                self.answered_at.append(answered)
                self.latencies.append(answered - sent)
            else:
                self.failed += 1
                self.why[failure] += 1


class Client:
    def __init__(self, options, context):
        self.options = options
        self.context = context
        self.connection = None
        request = f"GET {options.path} HTTP/1.1\r\nHost: {options.server_name or options.host}\r\n"
        request += "".join(f"{header}\r\n" for header in options.header)
        self.request = (request + "\r\n").encode()

    def close(self):
        if self.connection is not None:
            self.connection.close()
            self.connection = None

    def connect(self, deadline):
        """Connects, retrying refusals until deadline; False if it never did."""
        while time.monotonic() < deadline:
            try:
                raw = socket.create_connection(
                    (self.options.host, self.options.port),
                    timeout=max(deadline - time.monotonic(), 0.01))
                raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                if self.context is not None:
                    raw = self.context.wrap_socket(
                        raw, server_hostname=self.options.server_name or self.options.host)
                self.connection = raw
                return True
            except ssl.SSLCertVerificationError:
                raise
            except OSError:
                time.sleep(0.05)
        return False

    def exchange(self, deadline):
        """One request; None if the right answer came before deadline, else
        what went wrong."""
        if self.connection is None and not self.connect(deadline):
            return "no-connection"
        try:
            self.connection.settimeout(max(deadline - time.monotonic(), 0.01))
            self.connection.sendall(self.request)
            status, headers, body = self.read_response()
        except ValueError as error:  # the connection closed
            self.close()
            return str(error).replace(" ", "-")
        except OSError as error:
            self.close()
            return "timeout" if isinstance(error, socket.timeout) else type(error).__name__
        if headers.get("connection", "").lower() == "close":
            self.close()
        if status != self.options.status:
            return f"status-{status}"
        if self.options.body is not None and body != self.options.body:
            return "body"
        return None

    def read_response(self):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = self.connection.recv(65536)
            if not chunk:
                raise ValueError("closed before an answer")
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        status = int(lines[0].split(" ")[1])
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        length = int(headers.get("content-length", "0"))
        while len(body) < length:
            chunk = self.connection.recv(65536)
            if not chunk:
                raise ValueError("closed inside the body")
            body += chunk
        return status, headers, body.decode("latin-1")


def run_client(index, options, context, outcomes, start, end):
    client = Client(options, context)
    interval = 1 / options.rate
    # Spread the clients over one interval, so the load is even.
    next_send = start + interval * index / options.connections
    while next_send < end[0]:
        time.sleep(max(next_send - time.monotonic(), 0))
        sent = time.monotonic()
        failure = client.exchange(sent + options.timeout)
        outcomes.record(sent, time.monotonic(), failure)
        next_send = max(next_send + interval, time.monotonic())
    client.close()


def longest_gap(times, start, end):
    edges = [start] + sorted(times) + [end]
    return max(later - earlier for earlier, later in zip(edges, edges[1:]))


def main():
    options = parse_arguments()
    context = None
    if options.ca:
        context = ssl.create_default_context(cafile=options.ca)
    outcomes = Outcomes()
    start = time.monotonic() + 0.1
    end = [start + options.seconds]  # a list, so SIGTERM can move it

    def stop_early(*_):
        end[0] = min(end[0], time.monotonic())
    signal.signal(signal.SIGTERM, stop_early)
    clients = [threading.Thread(target=run_client, name=f"client-{i}",
                                args=(i, options, context, outcomes, start, end))
               for i in range(options.connections)]
    for client in clients:
        client.start()
    for client in clients:
        client.join()
    latencies = sorted(outcomes.latencies)
    p99 = latencies[int(len(latencies) * 0.99)] if latencies else 0
    print(json.dumps({"requests": outcomes.requests, "failed": outcomes.failed,
                      "longest_gap_ms": round(longest_gap(outcomes.answered_at, start, end[0]) * 1000),
                      "p99_ms": round(p99 * 1000, 1), "why": dict(outcomes.why)}))


if __name__ == "__main__":
    main()
