"""The cluster's faults, and the states operators leave it in, as the
monitoring pair on its monitor host sees them (harness/monitor.py): the
alerts each must raise reach the receiver, routed by severity, with the
labels that tell the on-call person which host and which instance; nothing
else fires; each resolves once the fault is mended. How long each took is
tabled, not asserted."""

import os
import subprocess
import time

import pytest

from harness.cluster import (ADDRESS, EDGE_PORT, FRONT_ADMIN_PORT, FRONT_METRICS_PORT, VIP, Load,
                             alive, api, pid_of)
from harness.command import Background, run
from harness.poll import wait_until

pytestmark = pytest.mark.alerts
HARNESS = f"{os.path.dirname(__file__)}/harness"


def alert(name, node, port, severity, **labels):
    return {"alertname": name, "instance": f"gmi-{node}:{port}", "severity": severity, **labels}


def kill(*pids, signal="KILL"):
    subprocess.run(["kill", f"-{signal}", *map(str, pids)], check=False)


def companion(cluster, node, port):
    return pid_of(cluster, node, "--metrics", f"{ADDRESS[node]}:{port + 2}")


def decisions(cluster, node, token, log, seconds=120):
    """A reverse proxy asking node's first companion, 10 decisions a second."""
    return Load(node, log, seconds, "--host", "127.0.0.1", "--port", "60003", "--path", "/",
                "--header", f"Authorization: Bearer {token}", "--header", "X-GMI-User: alice",
                "--connections", "2", "--rate", "5")


def test_an_instance_killed_and_not_restarted(cluster, monitoring):
    monitoring.prove(
        "an instance killed", lambda: kill(pid_of(cluster, "node2", "60005")),
        lambda: cluster.start_instance("node2", 60005),
        [alert("GmiServiceDown", "node2", 60007, "page"),
         alert("GmiFrontInstanceDown", "node2", FRONT_METRICS_PORT, "ticket", server="gmi-60005")])


def test_a_node_stopped(cluster, monitoring):
    pids = cluster.pids("node3")
    monitoring.prove(
        "a node stopped (SIGSTOP)", lambda: kill(*pids, signal="STOP"),
        lambda: kill(*pids, signal="CONT"),
        [alert("GmiAuthzDown", "node3", 60004, "page"), alert("GmiAuthzDown", "node3", 60007, "page"),
         alert("GmiFrontDown", "node3", FRONT_METRICS_PORT, "page")])


def test_a_companion_gone(cluster, monitoring):
    monitoring.prove(
        "a companion killed", lambda: kill(companion(cluster, "node1", 60002)),
        lambda: cluster.start_companion("node1", 60002), [alert("GmiAuthzDown", "node1", 60004, "page")])


def test_bypass_left_on(cluster, monitoring):
    """Switched on by an operator through the admin listener, for the
    instance whose companion is the second on its host."""
    def bypass(state):
        cluster.on("client", "curl", "-sf", "-m", "2", "--cacert", f"{cluster.tls}/ca.pem", "--cert",
                   f"{cluster.tls}/operator.pem",
                   f"https://{ADDRESS['node1']}:{FRONT_ADMIN_PORT}/gmi-60005/bypass?opt={state}",
                   check=True)
    monitoring.prove("bypass left on", lambda: bypass("on"), lambda: bypass("off"),
                     [alert("GmiBypassLeftOn", "node1", 60007, "page")])


def test_a_front_with_no_instance_up(cluster, monitoring, token, tmp_path):
    """Both instances of node1 killed while a reverse proxy asks its
    companion for decisions: the companion answers 503, the front too."""
    asking = []

    def cause():
        asking.append(decisions(cluster, "node1", token, tmp_path / "decisions.json"))
        kill(pid_of(cluster, "node1", "60002"), pid_of(cluster, "node1", "60005"))

    def mend():
        for port in (60002, 60005):
            cluster.start_instance("node1", port)
        for load in asking:
            load.result(end_early=True)
    front = ("node1", FRONT_METRICS_PORT)
    monitoring.prove("no instance up behind a front", cause, mend, [
        alert("GmiFrontNoInstance", *front, "page", proxy="gmi-instances"),
        alert("GmiFrontInstanceDown", *front, "ticket", server="gmi-60002"),
        alert("GmiFrontInstanceDown", *front, "ticket", server="gmi-60005"),
        alert("GmiFront5xx", *front, "page", proxy="gmi-front"),
        alert("GmiServiceDown", "node1", 60004, "page"), alert("GmiServiceDown", "node1", 60007, "page"),
        alert("GmiAuthzErrors", "node1", 60004, "page")])


def test_requests_queueing_at_a_front(cluster, monitoring, token, tmp_path):
    """h2load on node1, beside its front's plain listener (loopback only):
    64 connections asking as fast as they are answered, more than the
    instances' 12 slots, for at most 90 s."""
    load = []
    monitoring.prove(
        "requests queueing at a front",
        lambda: load.append(Background(
            ["ip", "netns", "exec", "gmi-node1", "h2load", "--h1", "-c", "64", "-D", "90",
             f"http://127.0.0.1:60080/login?userid=alice&gmi={token}"], tmp_path / "h2load.log")),
        lambda: [started.stop() for started in load],
        [alert("GmiFrontQueueing", "node1", FRONT_METRICS_PORT, "ticket", proxy="gmi-instances")])


@pytest.mark.parametrize("fault, argv, knows_ca, expected", [
    ("clients without the CA", [VIP, str(EDGE_PORT), "15", "120"], False,
     [alert("GmiFrontTlsHandshakeFailures", node, FRONT_METRICS_PORT, "ticket", proxy="gmi-front")
      for node in ("node1", "node2", "node3")]),
    ("operators without a certificate", [ADDRESS["node1"], str(FRONT_ADMIN_PORT), "2", "120"], True,
     [alert("GmiFrontTlsHandshakeFailures", "node1", FRONT_METRICS_PORT, "ticket",
            proxy="gmi-admin")]),
], ids=["no CA", "no client certificate"])
def test_tls_handshakes_failing(cluster, monitoring, tmp_path, fault, argv, knows_ca, expected):
    """Through the virtual address, clients lacking the CA meet every
    host's front; operators lacking a certificate meet node1's admin
    listener. Each client a second: 15 and 2, for at most 120 s."""
    ca = ["--ca", f"{cluster.tls}/ca.pem"] if knows_ca else []
    clients = []
    monitoring.prove(
        fault, lambda: clients.append(Background(
            ["ip", "netns", "exec", "gmi-client", "/usr/bin/python3", f"{HARNESS}/handshakes.py",
             *argv, *ca], tmp_path / "handshakes.log")),
        lambda: [started.stop() for started in clients], expected)


def test_tokens_signed_with_another_key(cluster, monitoring, build, tmp_path):
    """A key rotation that reached the minting side and not node2: every
    token its companion is asked about is refused, ERROR_BAD_CHECKSUM."""
    foreign = run(f"{build}/gmi-token", "--user", "alice", "--ttl", "3600",
                  env={"AUTHSRV_KEYS": "1:" + "5a" * 32}).strip()
    asking = []
    monitoring.prove(
        "tokens signed with another key",
        lambda: asking.append(decisions(cluster, "node2", foreign, tmp_path / "decisions.json")),
        lambda: [load.result(end_early=True) for load in asking],
        [alert("GmiKeyMismatch", "node2", 60004, "ticket")])


def test_slow_decisions(cluster, monitoring, token, tmp_path):
    """node3's front reaches gmi-60002 through delay.py, which holds every
    answer 1.5 s, its health check paused meanwhile (a check waits at most
    1 s): decisions that land there take 1.5 s, under gmi-authz's 2-s
    budget."""
    front, relay, asking = api(cluster, "node3"), [], []

    def route(port):
        answer = front.command(f"set server gmi-instances/gmi-60002 addr 127.0.0.1 port {port}")
        assert "changed" in answer or "no need" in answer, answer

    def cause():
        relay.append(cluster.start("node3", "delay", "/usr/bin/python3", f"{HARNESS}/delay.py",
                                   "127.0.0.1", "60010", "127.0.0.1", "60002", "1500"))
        wait_until(lambda: cluster.on("node3", "bash", "-c", ": </dev/tcp/127.0.0.1/60010")
                   .returncode == 0, 10, "the relay listening")
        front.command("disable health gmi-instances/gmi-60002")
        route(60010)
        asking.append(decisions(cluster, "node3", token, tmp_path / "decisions.json"))

    def mend():
        # The decisions first: no request is then on its way through the
        # relay when it goes.
        for load in asking:
            load.result(end_early=True)
        route(60002)
        front.command("enable health gmi-instances/gmi-60002")
        for started in relay:
            started.terminate()
            started.wait(10)
    monitoring.prove("decisions slowed to 1.5 s", cause, mend,
                     [alert("GmiAuthzSlowDecisions", "node3", 60004, "ticket")])


def test_an_instance_restarting_again_and_again(cluster, monitoring):
    """node2's gmi-60002 killed and started again three times, each time
    once its companion's scrapes have seen the new start (a second later at
    least: the start time is in seconds), as a crash loop under systemd."""
    started = 'gmi_start_time_seconds{instance="gmi-node2:60004"}'
    changes = f"changes({started}[1m])"

    def crash_loop():
        before = monitoring.query(changes)
        for restarts in range(1, 4):
            wait_until(lambda: time.time() >= monitoring.query(started) + 1, 5,
                       "a second since the last start")
            pid = pid_of(cluster, "node2", "60002")
            kill(pid)
            wait_until(lambda: not alive(pid), 5, "the killed instance gone")
            cluster.start_instance("node2", 60002)
            wait_until(lambda: monitoring.query(changes) >= before + restarts, 15,
                       f"restart {restarts} seen by Prometheus")
    monitoring.prove("an instance restarting again and again", crash_loop, lambda: None,
                     [alert("GmiServiceRestarting", "node2", 60004, "ticket")])
