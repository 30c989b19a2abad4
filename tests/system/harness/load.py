#!/usr/bin/python3
"""Steady, bounded load for the cluster's fault scenarios, recording every
request.

CONNECTIONS clients each send one GET every 1/RATE seconds on a kept-alive
connection (TLS when --ca is given) for SECONDS, and expect status 200 and,
given --body, that body. The load stays the same whatever happens behind the
address: a slow or failed request never makes the others faster, so
"requests" and "longest gap" compare between scenarios.

A request FAILED when it was sent and no right answer came back within
--timeout: a wrong answer, a reset, a close, or silence. A refused connect is
tried again until then, as an HTTP client retries one, so an address that
answers nobody shows first as a gap: the longest time in which no client got
a right answer. SIGTERM ends the load early.

Prints one line of JSON: requests, failed, longest_gap_ms, p99_ms, and what
the failed requests met, "why": {WHAT: COUNT}.
"""

import argparse
import collections
import http.client
import json
import signal
import socket
import ssl
import threading
import time


def arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    for name, kind, default in (("--host", str, None), ("--port", int, None), ("--path", str, None),
                                ("--ca", str, None), ("--body", str, None), ("--connections", int, 32),
                                ("--rate", float, 10), ("--seconds", float, 10), ("--timeout", float, 2)):
        parser.add_argument(name, type=kind, default=default)
    parser.add_argument("--header", action="append", default=[], help="NAME: value")
    return parser.parse_args()


class Client:
    def __init__(self, options):
        self.options, self.connection = options, None
        self.headers = dict(header.split(": ", 1) for header in options.header)
        self.kind, self.tls = ((http.client.HTTPSConnection,
                                {"context": ssl.create_default_context(cafile=options.ca)})
                               if options.ca else (http.client.HTTPConnection, {}))

    def connect(self, deadline):
        while time.monotonic() < deadline:
            connection = self.kind(self.options.host, self.options.port,
                                   timeout=max(deadline - time.monotonic(), 0.01), **self.tls)
            try:
                connection.connect()
                return connection
            except ssl.SSLCertVerificationError:
                raise
            except OSError:
                time.sleep(0.05)
        return None

    def exchange(self, deadline):
        """None for the right answer before deadline, else what went wrong."""
        self.connection = self.connection or self.connect(deadline)
        if self.connection is None:
            return "no connection"
        try:
            self.connection.sock.settimeout(max(deadline - time.monotonic(), 0.01))
            self.connection.request("GET", self.options.path, headers=self.headers)
            response = self.connection.getresponse()
            body = response.read().decode("latin-1")
        except (OSError, http.client.HTTPException) as error:
            self.connection.close()
            self.connection = None
            return {http.client.RemoteDisconnected: "closed before an answer",
                    socket.timeout: "timeout"}.get(type(error), type(error).__name__)
        if response.will_close:
            self.connection.close()
            self.connection = None
        if response.status != 200:
            return f"status {response.status}"
        return "body" if self.options.body not in (None, body) else None


def main():
    options = arguments()
    lock, answered, latencies, why = threading.Lock(), [], [], collections.Counter()
    start = time.monotonic() + 0.1
    end = [start + options.seconds]  # a list, so that SIGTERM can move it

    def stop_early(*_):
        end[0] = min(end[0], time.monotonic())
    signal.signal(signal.SIGTERM, stop_early)

    def client(index):
        talker, interval = Client(options), 1 / options.rate
        # Spread over one interval, so that the load is even.
        next_send = start + interval * index / options.connections
        while next_send < end[0]:
            time.sleep(max(next_send - time.monotonic(), 0))
            sent = time.monotonic()
            failure = talker.exchange(sent + options.timeout)
            with lock:
                if failure is None:
                    answered.append(time.monotonic())
                    latencies.append(time.monotonic() - sent)
                else:
                    why[failure] += 1
            next_send = max(next_send + interval, time.monotonic())

    threads = [threading.Thread(target=client, args=(i,)) for i in range(options.connections)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    edges = [start, *sorted(answered), end[0]]
    latencies.sort()
    print(json.dumps({
        "requests": len(answered) + sum(why.values()), "failed": sum(why.values()),
        "longest_gap_ms": round(max(b - a for a, b in zip(edges, edges[1:])) * 1000),
        "p99_ms": round(latencies[int(len(latencies) * 0.99)] * 1000, 1) if latencies else 0,
        "why": dict(why)}))


if __name__ == "__main__":
    main()
