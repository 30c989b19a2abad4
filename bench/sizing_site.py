"""The parts bench/sizing.py measures, started on loopback in a scratch
directory as a host runs them: gmi-server instances beside the stand-in
library, the shipped front (deploy/haproxy/gmi-server.cfg) before two of
them, the companion asking through that front, and an edge
(deploy/cluster/gmi-edge.cfg) passing TLS through to the front's edges'
listener behind a PROXY header. Each process is this script's child; close()
ends every one of them, by pid.

Counters come from the parts themselves, so that a request counts only once
it was answered: an instance's /log, the front's statistics (2xx answers of
its frontend), the companion's gmi_authz_decisions_total.
"""

import os
import re
import socket
import subprocess
import time
import urllib.request

PROJECT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
KEYS = {"AUTHSRV_KEYS": "development"}


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for_port(port, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on port {port} after {seconds} s")


def wait_until(condition, seconds, failure):
    """Polls condition() until it holds; a runtime API socket not there yet
    reads as not yet."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            if condition():
                return
        except OSError:
            pass
        time.sleep(0.1)
    raise RuntimeError(f"{failure} after {seconds} s")


def runtime_api(path, command):
    """One command to HAProxy's runtime API socket, and its whole answer."""
    with socket.socket(socket.AF_UNIX) as connection:
        connection.settimeout(5)
        connection.connect(path)
        connection.sendall(command.encode() + b"\n")
        chunks = []
        while chunk := connection.recv(65536):
            chunks.append(chunk)
    return b"".join(chunks).decode()


def show_stat(path):
    """`show stat`, one dict per row, keyed by the names of its header line
    ("# pxname,svname,...")."""
    lines = runtime_api(path, "show stat").splitlines()
    if not lines or not lines[0].startswith("# "):
        raise RuntimeError(f"no header in show stat from {path}: {lines[:1]}")
    names = lines[0][2:].split(",")
    return [dict(zip(names, line.split(","))) for line in lines[1:] if line]


def stat_field(path, proxy, server, field):
    rows = [row for row in show_stat(path) if row["pxname"] == proxy and row["svname"] == server]
    if len(rows) != 1:
        raise RuntimeError(f"show stat from {path}: {len(rows)} rows for {proxy}/{server}")
    return rows[0][field]


class Site:
    def __init__(self, build, work):
        self.build, self.work = os.path.abspath(build), work
        self.processes = []
        subprocess.run([f"{PROJECT}/scripts/dev-certs.sh", f"{work}/tls"], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["cp", f"{self.build}/libAuthSrv.so", work], check=True)

    def spawn(self, name, argv, environment=None, cpus=None):
        """A child of this script in the scratch directory, its output in
        NAME.log; cpus, a CPU list as taskset takes it, pins it there."""
        pin = ["taskset", "-c", cpus] if cpus else []
        with open(f"{self.work}/{name}.log", "ab") as log:
            process = subprocess.Popen([*pin, *argv], cwd=self.work, stdin=subprocess.DEVNULL,
                                       stdout=log, stderr=subprocess.STDOUT,
                                       env={**os.environ, **KEYS, **(environment or {})})
        self.processes.append(process)
        return process

    def stop(self, process):
        process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        self.processes.remove(process)

    def close(self):
        for process in list(self.processes):
            self.stop(process)

    # --- parts ---------------------------------------------------------------

    def instance(self):
        port = free_port()
        process = self.spawn(f"gmi-{port}", [f"{self.build}/gmi-server", str(port)])
        wait_for_port(port)
        return Instance(port, process)

    def front(self, instances, threads=None, cpus=None):
        """The shipped configuration before these instances; threads sets
        FRONT_THREADS (the shipped one thread when None)."""
        front = Front(self.work, instances)
        environment = {
            "FRONT_ADDR": "127.0.0.1", "FRONT_PORT": str(front.port),
            "FRONT_TLS_ADDR": "127.0.0.1", "FRONT_TLS_PORT": str(front.tls_port),
            "FRONT_EDGE_ADDR": "127.0.0.1", "FRONT_EDGE_PORT": str(front.edge_port),
            "FRONT_ADMIN_ADDR": "127.0.0.1", "FRONT_ADMIN_PORT": str(free_port()),
            "FRONT_METRICS_PORT": str(free_port()), "FRONT_CERT": f"{self.work}/tls/server.pem",
            "FRONT_ADMIN_CA": f"{self.work}/tls/ca.pem", "FRONT_ADMIN_SOCKET": front.socket,
            "FRONT_LUA": f"{PROJECT}/deploy/haproxy/gmi-instance-address.lua"}
        if threads:
            environment["FRONT_THREADS"] = str(threads)
        if os.geteuid() != 0:  # only root can hand the worker to haproxy
            environment["FRONT_KEEP_USER"] = "1"
        front.process = self.spawn("front", [
            "haproxy", "-f", f"{PROJECT}/deploy/haproxy/gmi-server.cfg", "-f", front.instances_file],
            environment, cpus)
        for port in (front.port, front.tls_port, front.edge_port):
            wait_for_port(port)
        front.wait_until_up()
        return front

    def companion(self, instance, front):
        """gmi-authz as the package runs it: decisions through the front, its
        metrics from its own instance."""
        port, metrics = free_port(), free_port()
        process = self.spawn("gmi-authz", [
            f"{self.build}/gmi-authz", "--listen", f"127.0.0.1:{port}",
            "--metrics", f"127.0.0.1:{metrics}", "--upstream", f"127.0.0.1:{instance.port}",
            "--front", f"127.0.0.1:{front.port}"])
        wait_for_port(port)
        wait_for_port(metrics)
        return Companion(port, metrics, process)

    def edge(self, front):
        """The shipped edge, its one host this front's edges' listener."""
        edge = Edge(self.work, front)
        edge.process = self.spawn("edge", [
            "haproxy", "-f", f"{PROJECT}/deploy/cluster/gmi-edge.cfg", "-f", edge.nodes_file], {
                "EDGE_ADDR": "127.0.0.1", "EDGE_PORT": str(edge.port),
                "EDGE_HEALTH_PORT": str(free_port()), "EDGE_CHECK_CA": f"{self.work}/tls/ca.pem",
                "EDGE_CHECK_NAME": "localhost", "EDGE_ADMIN_SOCKET": edge.socket,
                # The time per request of one thread, as for the front.
                "EDGE_THREADS": "1"})
        wait_for_port(edge.port)
        edge.wait_until_up()
        return edge

    def token(self, user="alice"):
        return subprocess.run([f"{self.build}/gmi-token", "--user", user, "--ttl", "86400"],
                              env={**os.environ, **KEYS}, capture_output=True, text=True,
                              check=True).stdout.strip()


class Instance:
    def __init__(self, port, process):
        self.port, self.process = port, process

    def answered(self):
        """request_count of its /log, which counts every validation."""
        with urllib.request.urlopen(f"http://127.0.0.1:{self.port}/log", timeout=5) as answer:
            text = answer.read().decode()
        return int(re.search(r'"request_count":(\d+)', text).group(1))


class Front:
    def __init__(self, work, instances):
        self.instances = instances
        self.port, self.tls_port, self.edge_port = free_port(), free_port(), free_port()
        # A socket of its own: a front started after another must not meet
        # the file its predecessor left.
        self.socket = f"{work}/front-{self.port}.sock"
        self.instances_file = f"{work}/gmi-instances.cfg"
        with open(self.instances_file, "w") as listing:
            listing.write("backend gmi-instances from gmi\n")
            listing.writelines(f"    server gmi-{instance.port} 127.0.0.1:{instance.port}\n"
                               for instance in instances)
        self.process = None

    def wait_until_up(self):
        wait_until(lambda: all(stat_field(self.socket, "gmi-instances", f"gmi-{i.port}", "status")
                               == "UP" for i in self.instances),
                   10, "the front's instances not all up")

    def answered(self):
        """2xx answers of the gmi-front frontend, on every listener."""
        return int(stat_field(self.socket, "gmi-front", "FRONTEND", "hrsp_2xx"))

    def failed(self):
        """5xx answers, the front's own and the instances'. Not 4xx nor
        "other": a load generator ending leaves a connection it opened
        without a request (400) and HTTP/2 streams it reset (other)."""
        return int(stat_field(self.socket, "gmi-front", "FRONTEND", "hrsp_5xx") or 0)

    def threads(self):
        info = runtime_api(self.socket, "show info")
        return int(re.search(r"^Nbthread: (\d+)$", info, re.M).group(1))

    def session_reuse_percent(self):
        info = runtime_api(self.socket, "show info")
        return int(re.search(r"^SslFrontendSessionReuse_pct: (\d+)$", info, re.M).group(1))


class Companion:
    def __init__(self, port, metrics, process):
        self.port, self.metrics, self.process = port, metrics, process

    def answered(self):
        with urllib.request.urlopen(f"http://127.0.0.1:{self.metrics}/metrics",
                                    timeout=5) as answer:
            text = answer.read().decode()
        return int(float(re.search(r'^gmi_authz_decisions_total\{result="allow"\} (\S+)$',
                                   text, re.M).group(1)))


class Edge:
    def __init__(self, work, front):
        self.port, self.front = free_port(), front
        self.socket = f"{work}/edge.sock"
        self.nodes_file = f"{work}/gmi-nodes.cfg"
        with open(self.nodes_file, "w") as listing:
            listing.write("backend gmi-nodes from gmi-edge\n"
                          f"    server gmi-node1 127.0.0.1:{front.edge_port}\n")
        self.process = None

    def wait_until_up(self):
        wait_until(lambda: stat_field(self.socket, "gmi-nodes", "gmi-node1", "status") == "UP",
                   10, "the edge's host not up")

