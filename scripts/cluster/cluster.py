#!/usr/bin/python3
"""`make cluster` (root): several hosts on one machine, in the foreground.

Network namespaces gmi-client, gmi-edge1, gmi-edge2, gmi-node1..3 and
gmi-monitor hang on one bridge, itself in a namespace (gmi-lan), so that
nothing touches this machine's own network; addresses come from
198.18.0.0/24, a range set aside for such tests. On each node: two
instances, a companion beside each and the shipped front; on each edge: the
shipped edge HAProxy and keepalived holding the virtual address. The monitor
host runs nothing of the cluster's: the system suite's alert tests start
Prometheus and Alertmanager there. Ctrl-C or SIGTERM ends every process in
those namespaces and removes them, by name.

--host-cpu SHARE holds each node's processes to SHARE of one core (0.4: 40 %),
in a cgroup of its own under the cgroup v1 cpu controller (gmi-node1..3,
removed with the namespaces), so that one machine stands for hosts of a
known size: bench/sizing.py measures how throughput grows with them.

The system suite builds the same cluster through Cluster, and starts a
process again exactly as the cluster first started it.

Usage: scripts/cluster/cluster.py [--host-cpu SHARE] BUILD_DIR [RUN_DIR]   (RUN_DIR: run/cluster)
"""

import argparse
import math
import os
import shutil
import signal
import subprocess
import sys
import time

PROJECT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
ADDRESS = {"client": "198.18.0.10", "edge1": "198.18.0.2", "edge2": "198.18.0.3",
           "node1": "198.18.0.11", "node2": "198.18.0.12", "node3": "198.18.0.13",
           "monitor": "198.18.0.20"}
EDGES = ("edge1", "edge2")
NODES = ("node1", "node2", "node3")
VIP = "198.18.0.100"  # keepalived.conf's $VIRTUAL_ADDRESS
# Each node: two instances three ports apart, each with its companion on the
# next two ports (decisions on 60003, metrics on 60004, as gmi-authz@60002),
# and its front's listeners.
INSTANCE_PORTS = (60002, 60005)
FRONT_PORT, FRONT_ADMIN_PORT, FRONT_EDGE_PORT, FRONT_METRICS_PORT = 60080, 60444, 60445, 60081
EDGE_PORT = 60443  # gmi-edge.cfg's EDGE_PORT
LAN = "gmi-lan"
CPU_CGROUPS = "/sys/fs/cgroup/cpu"  # cgroup v1's cpu controller
# A host that has used its share waits for the next period. The kernel's
# 100 ms period would stall it for up to 60 ms at a 0.4 share, three times
# the 20 ms a request may take; 10 ms periods hold the stall under 6 ms.
CPU_PERIOD_US = 10_000


def namespace(host):
    return f"gmi-{host}"


def quietly(*argv):
    subprocess.run(argv, check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Cluster:
    def __init__(self, build, run_dir, metrics_on_lan=False, host_cpu=None):
        """metrics_on_lan: the fronts' exporters and the companions' metrics
        listen on each node's own address, for a scraper on another host
        (the monitor host); otherwise on loopback, as shipped. host_cpu: each
        node's share of one core, or None for no limit."""
        self.build, self.run_dir = os.path.abspath(build), os.path.abspath(run_dir)
        self.tls = f"{self.run_dir}/tls"
        self.metrics_on_lan = metrics_on_lan
        self.host_cpu = host_cpu

    # --- processes -----------------------------------------------------------

    def folder(self, host):
        return f"{self.run_dir}/{namespace(host)}"

    def on(self, host, *argv, **options):
        """A command run on host, to its end."""
        return subprocess.run(["ip", "netns", "exec", namespace(host), *argv],
                              capture_output=True, text=True, **options)

    def start(self, host, name, *argv, **environment):
        """A process of host's, in a session of its own, its output in
        HOST/NAME.log; a node's joins its cgroup before it runs."""
        procs = f"{self.cgroup(host)}/cgroup.procs" if self.host_cpu and host in NODES else None
        with open(f"{self.folder(host)}/{name}.log", "ab") as log:
            return subprocess.Popen(["ip", "netns", "exec", namespace(host), "env",
                                     *[f"{key}={value}" for key, value in environment.items()],
                                     *argv], cwd=self.folder(host), stdin=subprocess.DEVNULL,
                                    stdout=log, stderr=subprocess.STDOUT, start_new_session=True,
                                    preexec_fn=procs and (lambda: write(procs, "0")))

    def cgroup(self, host):
        return f"{CPU_CGROUPS}/{namespace(host)}"

    def pids(self, host):
        """Every process in host's namespace: all of them this cluster's."""
        listing = subprocess.run(["ip", "netns", "pids", namespace(host)], capture_output=True,
                                 text=True).stdout
        return [int(pid) for pid in listing.split()]

    def start_instance(self, host, port):
        return self.start(host, f"gmi-{port}", f"{self.build}/gmi-server", str(port),
                          AUTHSRV_KEYS="development")

    def metrics_address(self, host):
        return ADDRESS[host] if self.metrics_on_lan else "127.0.0.1"

    def start_companion(self, host, port=INSTANCE_PORTS[0]):
        """The instance on port's companion, as gmi-authz@PORT: decisions
        through the host's front, metrics from that instance."""
        return self.start(host, f"gmi-authz-{port}", f"{self.build}/gmi-authz",
                          "--upstream", f"127.0.0.1:{port}", "--listen", f"127.0.0.1:{port + 1}",
                          "--front", f"127.0.0.1:{FRONT_PORT}",
                          "--metrics", f"{self.metrics_address(host)}:{port + 2}")

    def start_front(self, host):
        """The shipped front: plain HTTP and HTTPS on loopback, the admin and
        edge listeners on the host's address. As many threads as the cores
        the host's share amounts to, one without a share: HAProxy would
        count this machine's cores, which every host shares."""
        threads = max(1, math.ceil(self.host_cpu or 1))
        return self.start(
            host, "front", "haproxy", "-f", f"{PROJECT}/deploy/haproxy/gmi-server.cfg",
            "-f", f"{self.folder(host)}/gmi-instances.cfg",
            FRONT_ADDR="127.0.0.1", FRONT_PORT=FRONT_PORT, FRONT_TLS_ADDR="127.0.0.1",
            FRONT_ADMIN_ADDR=ADDRESS[host], FRONT_ADMIN_PORT=FRONT_ADMIN_PORT,
            FRONT_EDGE_ADDR=ADDRESS[host], FRONT_EDGE_PORT=FRONT_EDGE_PORT,
            FRONT_CERT=f"{self.tls}/server.pem", FRONT_ADMIN_CA=f"{self.tls}/ca.pem",
            FRONT_LUA=f"{PROJECT}/deploy/haproxy/gmi-instance-address.lua",
            FRONT_ADMIN_SOCKET=self.admin_socket(host),
            FRONT_METRICS_ADDR=self.metrics_address(host), FRONT_METRICS_PORT=FRONT_METRICS_PORT,
            FRONT_THREADS=threads)

    def start_edge_haproxy(self, host):
        """One thread: both edges share this machine's cores with the nodes."""
        return self.start(host, "haproxy", "haproxy", "-f", f"{PROJECT}/deploy/cluster/gmi-edge.cfg",
                          "-f", f"{PROJECT}/deploy/cluster/gmi-nodes.cfg",
                          EDGE_ADMIN_SOCKET=self.admin_socket(host), EDGE_CHECK_CA=f"{self.tls}/ca.pem",
                          EDGE_THREADS=1)

    def start_keepalived(self, host):
        """From the host's copy of keepalived.conf, which a test may change."""
        return self.start(host, "keepalived", "keepalived", "--vrrp", "--dont-fork",
                          "--log-console", "--log-detail", "-f", f"{self.folder(host)}/keepalived.conf",
                          "-i", host, "-p", f"{self.folder(host)}/keepalived.pid",
                          "-r", f"{self.folder(host)}/vrrp.pid")

    def admin_socket(self, host):
        """The runtime API of a node's front or of an edge's HAProxy."""
        return f"{self.folder(host)}/admin.sock"

    # --- the network ---------------------------------------------------------

    def holds_address(self, edge):
        """Read whole: the address is one line of several."""
        shown = self.on(edge, "ip", "-o", "addr", "show", "dev", "eth0").stdout
        return f" {VIP}/" in shown

    def holders(self):
        return [edge for edge in EDGES if self.holds_address(edge)]

    def answers_through_vip(self, token):
        return self.on("client", "curl", "-sf", "-m", "2", "--cacert", f"{self.tls}/ca.pem",
                       f"https://{VIP}:{EDGE_PORT}/login?userid=alice&gmi={token}").returncode == 0

    # --- up and down ---------------------------------------------------------

    def up(self):
        self.down()  # what a run that could not clean up left
        shutil.rmtree(self.run_dir, ignore_errors=True)
        for host in ADDRESS:
            os.makedirs(self.folder(host))
        # Clients reach the fronts through the virtual address, operators
        # each node by its own.
        names = ",".join(f"IP:{address}" for address in [VIP, *(ADDRESS[n] for n in NODES)])
        subprocess.run([f"{PROJECT}/scripts/dev-certs.sh", self.tls], check=True,
                       env={**os.environ, "DEV_CERT_NAMES": names}, stdout=subprocess.DEVNULL)
        self.build_network()
        if self.host_cpu:
            self.make_cgroups()
        for node in NODES:
            self.start_node(node)
        for edge in EDGES:
            shutil.copy(f"{PROJECT}/deploy/cluster/keepalived.conf", self.folder(edge))
            self.start_edge_haproxy(edge)
            self.start_keepalived(edge)
        self.wait_settled()

    def build_network(self):
        subprocess.run(["ip", "netns", "add", LAN], check=True)
        subprocess.run(["ip", "-n", LAN, "link", "add", "br0", "type", "bridge"], check=True)
        subprocess.run(["ip", "-n", LAN, "link", "set", "br0", "up"], check=True)
        for host, address in ADDRESS.items():
            for command in (["netns", "add", namespace(host)],
                            ["-n", LAN, "link", "add", host, "type", "veth", "peer", "name", "eth0",
                             "netns", namespace(host)],
                            ["-n", LAN, "link", "set", host, "master", "br0", "up"],
                            ["-n", namespace(host), "addr", "add", f"{address}/24", "dev", "eth0"],
                            ["-n", namespace(host), "link", "set", "eth0", "up"],
                            ["-n", namespace(host), "link", "set", "lo", "up"]):
                subprocess.run(["ip", *command], check=True)

    def make_cgroups(self):
        for node in NODES:
            os.makedirs(self.cgroup(node))
            write(f"{self.cgroup(node)}/cpu.cfs_period_us", str(CPU_PERIOD_US))
            write(f"{self.cgroup(node)}/cpu.cfs_quota_us", str(round(self.host_cpu * CPU_PERIOD_US)))

    def start_node(self, host):
        shutil.copy(f"{self.build}/libAuthSrv.so", self.folder(host))
        with open(f"{self.folder(host)}/gmi-instances.cfg", "w") as listing:
            listing.write("# Written by scripts/cluster/cluster.py.\nbackend gmi-instances from gmi\n")
            listing.writelines(f"    server gmi-{port} 127.0.0.1:{port}\n" for port in INSTANCE_PORTS)
        for port in INSTANCE_PORTS:
            self.start_instance(host, port)
        self.start_front(host)
        for port in INSTANCE_PORTS:
            self.start_companion(host, port)

    def token(self):
        return subprocess.run([f"{self.build}/gmi-token", "--user", "alice", "--ttl", "3600"],
                              env={"AUTHSRV_KEYS": "development"}, capture_output=True,
                              text=True, check=True).stdout.strip()

    def wait_settled(self, seconds=30):
        """Up once the edge of higher priority (edge1) alone holds the
        address and answers through it five times in a row: edge2 may claim
        it first and give it up when edge1 takes it back, resetting every
        connection a load opened meanwhile, and one answer in the middle of
        that move proves nothing."""
        token, in_a_row, deadline = self.token(), 0, time.monotonic() + seconds
        while in_a_row < 5:
            if time.monotonic() > deadline:
                raise RuntimeError(f"no steady answer through {VIP} held by edge1 after {seconds} s")
            settled = self.holders() == ["edge1"] and self.answers_through_vip(token)
            in_a_row = in_a_row + 1 if settled else 0
            time.sleep(0.1)

    def down(self):
        """Every process in the cluster's namespaces: SIGTERM, up to 5 s to
        end, then SIGKILL; then the namespaces and the nodes' cgroups, by
        name."""
        hosts = [host for host in ADDRESS if os.path.exists(f"/run/netns/{namespace(host)}")]
        pids = [pid for host in hosts for pid in self.pids(host)]
        signal_all(pids, signal.SIGCONT)  # a frozen node's too
        signal_all(pids, signal.SIGTERM)
        deadline = time.monotonic() + 5
        while [pid for pid in pids if alive(pid)] and time.monotonic() < deadline:
            time.sleep(0.1)
        signal_all([pid for pid in pids if alive(pid)], signal.SIGKILL)
        for name in [*map(namespace, hosts), LAN]:
            quietly("ip", "netns", "del", name)
        for node in NODES:
            remove_cgroup(self.cgroup(node))


def signal_all(pids, number):
    for pid in pids:
        try:
            os.kill(pid, number)
        except ProcessLookupError:
            pass


def write(path, text):
    with open(path, "w") as file:
        file.write(text)


def remove_cgroup(path):
    """A cgroup is removable once its last process has exited, which can
    trail the SIGKILL a little."""
    deadline = time.monotonic() + 2
    while os.path.isdir(path):
        try:
            os.rmdir(path)
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split()[2] != "Z"
    except FileNotFoundError:
        return False


def main():
    if os.geteuid() != 0:
        sys.exit("cluster.py: network namespaces need root")
    parser = argparse.ArgumentParser(usage=__doc__.strip().splitlines()[-1].split(": ", 1)[1])
    parser.add_argument("--host-cpu", type=float)
    parser.add_argument("build")
    parser.add_argument("run_dir", nargs="?", default=f"{PROJECT}/run/cluster")
    options = parser.parse_args()
    cluster = Cluster(options.build, options.run_dir, host_cpu=options.host_cpu)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        cluster.up()
        print(f"Cluster up: virtual address {VIP} (held by edge1), edges {ADDRESS['edge1']} and "
              f"{ADDRESS['edge2']},\nnodes {' '.join(ADDRESS[n] for n in NODES)}; logs in "
              f"{cluster.run_dir}/gmi-HOST/.\n"
              f"  ip netns exec gmi-client curl --cacert {cluster.tls}/ca.pem "
              f"\"https://{VIP}:{EDGE_PORT}/login?userid=alice&gmi=$(AUTHSRV_KEYS=development "
              f"{cluster.build}/gmi-token --user alice --ttl 3600)\"\nCtrl-C stops it all.",
              flush=True)
        signal.pause()
    except KeyboardInterrupt:
        pass
    finally:
        print("Stopping the cluster.")
        cluster.down()


if __name__ == "__main__":
    main()
