"""What the abuse tests share: validations from a chosen loopback address,
the instances' counts, the front's access log read line by line, and wrk."""

import http.client
import ipaddress
import json
import os
import re
import socket
import ssl
import struct

from .command import run
from .poll import wait_until

HERE = os.path.dirname(os.path.abspath(__file__))


def validate(port, token, userid="alice", source="127.0.0.1", path="/login"):
    """One GET validation on a fresh connection from source: (status,
    Retry-After or None, body)."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10,
                                            source_address=(source, 0))
    try:
        connection.request("GET", f"{path}?userid={userid}&gmi={token}")
        answer = connection.getresponse()
        return answer.status, answer.getheader("Retry-After"), answer.read().decode()
    finally:
        connection.close()


def validate_as_edge(front, token, client, client_port, userid="mallory"):
    """A validation on the edges' listener as an edge sends it: a PROXY v2
    header naming client, then TLS. The status."""
    addresses = (ipaddress.ip_address(client).packed + ipaddress.ip_address("127.0.0.1").packed
                 + struct.pack("!HH", client_port, front.edge_port))
    header = b"\r\n\r\n\x00\r\nQUIT\n\x21\x11" + struct.pack("!H", len(addresses)) + addresses
    context = ssl.create_default_context(cafile=f"{front.folder}/tls/ca.pem")
    with socket.create_connection(("127.0.0.1", front.edge_port), timeout=10) as raw:
        raw.sendall(header)
        with context.wrap_socket(raw, server_hostname="localhost") as tls:
            tls.sendall(f"GET /login?userid={userid}&gmi={token} HTTP/1.1\r\nHost: x\r\n"
                        "Connection: close\r\n\r\n".encode())
            return int(tls.recv(64).split(b" ")[1])


def instance_counts(front):
    """request_count and invalid_count summed over the instances' /log."""
    totals = [0, 0]
    for instance in front.instances:
        report = json.loads(instance.answers())
        totals[0] += report["request_count"]
        totals[1] += report["invalid_count"]
    return tuple(totals)


def access_log(front):
    """Every access log line so far, parsed. HAProxy's own messages open
    with "["; any other line that is not one JSON object fails, naming it."""
    entries = []
    with open(front.log_path, "rb") as log:
        for number, raw in enumerate(log, 1):
            if raw.startswith(b"["):
                continue
            try:
                entry = json.loads(raw)
            except ValueError as error:
                raise AssertionError(f"line {number} is not JSON ({error}): {raw[:300]!r}")
            assert isinstance(entry, dict) and raw.endswith(b"}\n"), f"line {number}: {raw[:300]!r}"
            entries.append(entry)
    return entries


def access_log_once(front, condition, what):
    """The access log once condition(entries) holds: HAProxy writes a
    request's line as its stream ends, just after the client has its
    answer."""
    return wait_until(lambda: (lambda entries: condition(entries) and entries)(access_log(front)),
                      10, what)


def wrk(url, script, arguments, connections, seconds):
    """wrk's figures for one run: requests, non_2xx
    (answers not 2xx or 3xx) and socket errors."""
    output = run("wrk", "-t", "2", "-c", str(connections),
                 "-d", f"{seconds}s", "--timeout", "5s", "-s", os.path.join(HERE, script),
                 url, "--", *arguments, timeout=seconds + 900)
    requests = re.search(r"(\d+) requests in", output)
    assert requests, f"wrk printed no count: {output}"
    non_2xx = re.search(r"Non-2xx or 3xx responses: (\d+)", output)
    errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", output)
    return {"requests": int(requests.group(1)), "non_2xx": int(non_2xx.group(1)) if non_2xx else 0,
            "socket_errors": sum(int(n) for n in errors.groups()) if errors else 0,
            "output": output}
