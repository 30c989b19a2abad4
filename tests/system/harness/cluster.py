"""The network-namespace cluster (scripts/cluster/cluster.py) as the suite
drives it: steady load from a host, the runtime APIs of its fronts and
edges, gmi-fleet run on a node, and the table of what each fault cost,
printed at the end of the run."""

import json
import os
import signal
import sys

from gmi_fleet.runtime_api import RuntimeApi

from .command import Background, run
from .poll import wait_until

PROJECT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
sys.path.insert(0, f"{PROJECT}/scripts/cluster")
from cluster import (ADDRESS, EDGE_PORT, EDGES, FRONT_ADMIN_PORT, FRONT_EDGE_PORT,  # noqa: E402,F401
                     FRONT_METRICS_PORT, INSTANCE_PORTS, NODES, VIP, Cluster, alive, namespace)

FLEET = f"{PROJECT}/fleet/gmi-fleet"
DELAY = f"{os.path.dirname(__file__)}/delay.py"
VALID = '{"is_valid":true,"reason":""}'
TABLE, FAILURES = [], []  # the fault table's rows; what failed requests met


class Load:
    """load.py on a host, in the background, for at most seconds."""

    def __init__(self, host, log, seconds, *arguments):
        self.process = Background(["ip", "netns", "exec", namespace(host), "/usr/bin/python3",
                                   f"{os.path.dirname(__file__)}/load.py", "--seconds", str(seconds),
                                   *arguments], log)

    def result(self, end_early=False):
        if end_early:
            self.process.signal(signal.SIGTERM)
        assert self.process.wait(120) == 0, self.process.log()
        return json.loads(self.process.log().splitlines()[-1])


def through_vip(cluster, log, seconds, token):
    """32 kept-alive TLS connections from the client host, 10 validations a
    second each, through the virtual address."""
    return Load("client", log, seconds, "--host", VIP, "--port", str(EDGE_PORT),
                "--ca", f"{cluster.tls}/ca.pem", "--path", f"/login?userid=alice&gmi={token}",
                "--body", VALID)


def api(cluster, host):
    return RuntimeApi(cluster.admin_socket(host))


def held_at_edge(cluster, edge, server="BACKEND"):
    """Connections an edge holds to a node, or to all of them."""
    return api(cluster, edge).connections("gmi-nodes", server)


def up_at_edge(cluster, edge, node):
    return api(cluster, edge).server_up("gmi-nodes", f"gmi-{node}")


def instance_up(cluster, node, port):
    return api(cluster, node).server_up("gmi-instances", f"gmi-{port}")


def other(edge):
    return "edge2" if edge == "edge1" else "edge1"


def at_rest(cluster):
    """Every node up at both edges, every instance up at its front, and the
    edge without the address holding no connection: sessions of clients
    gone elsewhere when the address last moved, which a move back within
    their 30-s time-out would otherwise meet."""
    holder, = cluster.holders()
    return all(up_at_edge(cluster, edge, node) for edge in EDGES for node in NODES) and \
        all(instance_up(cluster, node, port) for node in NODES for port in INSTANCE_PORTS) and \
        held_at_edge(cluster, other(holder)) == 0


def steady(cluster, connections=32):
    """Once every client connection is open at the edge holding the address."""
    edge, = cluster.holders()
    wait_until(lambda: held_at_edge(cluster, edge) >= connections, 10, f"every client on {edge}")


def pid_of(cluster, host, *argv):
    """The one process of host's whose command line ends with argv."""
    def command_line(pid):
        with open(f"/proc/{pid}/cmdline", "rb") as text:
            return text.read().decode().split("\0")[:-1]
    pids = [pid for pid in cluster.pids(host) if command_line(pid)[-len(argv):] == list(argv)]
    assert len(pids) == 1, f"{host}: {len(pids)} processes ending in {argv}"
    return pids[0]


def fleet_on_node(cluster):
    """How gmi-fleet runs on a node, as FLEET_ON_HOST gives it: {name} is the
    node's name at the edges, which is also its namespace's and folder's."""
    return (f"ip netns exec {{name}} env FRONT_ADMIN_SOCKET={cluster.run_dir}/{{name}}/admin.sock "
            f"GMI_INSTANCES={cluster.run_dir}/{{name}}/gmi-instances.cfg {FLEET}")


def fleet(cluster, node, *arguments):
    return run(*fleet_on_node(cluster).replace("{name}", namespace(node)).split(), *arguments)


def forwarded(api_, proxy="gmi-front", counter="req_tot"):
    return int(api_.field("show stat", counter, pxname=proxy, svname="FRONTEND"))


def record(scenario, result, detection, held, goal, met, time_met=True):
    """A row for a scenario under load (result is load.py's); a goal on what
    clients saw that was missed fails the case, one on time only shows."""
    if result["why"]:
        FAILURES.append(f"{scenario}: {result['why']}")
    row(scenario, result["requests"], result["failed"], f"{result['longest_gap_ms']} ms",
        detection, held, goal, met, time_met)


def row(scenario, requests, failed, gap, detection, held, goal, met, time_met=True):
    verdict = "met" if met and time_met else ("MISSED on time" if met else "MISSED")
    TABLE.append(f"| {scenario} | {requests} | {failed} | {gap} | {detection} | {held} | "
                 f"{goal}: {verdict} |")
    assert met, TABLE[-1]


def report():
    """The table, then what failed requests met: for the terminal summary."""
    if not TABLE:
        return []
    lines = ["| scenario | requests | failed | longest gap | detection / failover | "
             "held at the fault | goal |", "|---|---|---|---|---|---|---|", *TABLE]
    return lines + (["", "What the failed requests met:", *FAILURES] if FAILURES else [])
