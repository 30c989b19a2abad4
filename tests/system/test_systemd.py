"""The package's units under a booted systemd, as the README enables them:
what they log and answer, their sandbox seen from the running process, how
they stop, restart and stay stopped; then the HAProxy front from Debian's
haproxy package before two instances, and the README's rolling restart
under load."""

import re
import signal
import time

import pytest
from gmi_fleet.runtime_api import RuntimeApi

from harness.cluster import forwarded
from harness.command import Background, run
from harness.contract import VALID, decision
from harness.guides import documented_blocks
from harness.poll import holds_for, wait_until
from harness.systemd import SystemdDeployment

pytestmark = pytest.mark.systemd

FRONT_PORTS = (60002, 60005)  # the shipped instance list's
FLEET = "/usr/sbin/gmi-fleet"


@pytest.fixture
def units(systemd_deployment):
    return systemd_deployment


def process_status(systemd, pid):
    """/proc/PID/status inside: each field's first word."""
    fields = (line.split(":", 1) for line in systemd.run("cat", f"/proc/{pid}/status").splitlines())
    return {name: value.split()[0] for name, value in fields if value.strip()}


def test_the_started_line_reaches_the_journal_within_2_s(systemd):
    start = time.monotonic()
    units = SystemdDeployment(systemd)
    wait_until(lambda: "[Server] Started (port : 60002)" in
               systemd.journal(f"_SYSTEMD_INVOCATION_ID={units.invocation}"),
               2 - (time.monotonic() - start), "the started line in the journal")


def test_the_companion_counts_validations_and_is_ready(units):
    token = units.mint("alice")
    assert units.body(f"/login?userid=alice&gmi={token}") == VALID
    assert [units.decision(token, user) for user in ("alice", "bob")] == \
        ["200 alice", "401 ERROR_UID_MISMATCH"]
    metrics = units.curl("-sS", "http://127.0.0.1:60004/metrics").splitlines()
    assert "gmi_up 1" in metrics and "gmi_validations_total 3" in metrics
    assert units.curl("-sS", "-w", "%{http_code}", "http://127.0.0.1:60004/readyz") == "ready\n200"


def test_the_service_runs_unprivileged_in_a_read_only_system(units, systemd):
    pid = units.systemd.unit(units.server_unit, "MainPID")
    status = process_status(systemd, pid)
    assert status["Uid"] != "0"
    assert [status[name] for name in ("CapEff", "NoNewPrivs", "Seccomp")] == \
        ["0000000000000000", "1", "2"]
    probe = systemd.run("nsenter", "-t", pid, "-a", "-S", status["Uid"], "-G", status["Gid"],
                        "sh", "-c", "touch /usr/lib/gmi-server/probe 2>&1", check=False)
    assert "Read-only file system" in probe


def test_ip_address_deny_drops_the_network_but_not_loopback(units, systemd):
    namespace = systemd.link()
    listener = Background(["nsenter", "-t", str(systemd.pid), "-n", "socat",
                           "TCP-LISTEN:60099,bind=198.18.0.2,reuseaddr,fork", "SYSTEM:echo reachable"],
                          "/dev/null")
    try:
        wait_until(lambda: run("ip", "netns", "exec", namespace, "socat", "-T", "3", "-",
                               "TCP:198.18.0.2:60099", check=False) == "reachable\n",
                   5, "a listener outside the unit, through the veth")
    finally:
        listener.stop()
    through_veth = run("ip", "netns", "exec", namespace, "curl", "-sS", "-m", "3",
                       "http://198.18.0.2:60002/log", check=False)
    assert through_veth == ""
    assert units.curl("-sf", units.service + "/log")


def test_sigkill_restarts_the_service(units, systemd):
    killed = systemd.unit(units.server_unit, "MainPID")
    systemd.run("sh", "-c", 'kill -KILL "$1"', "sh", killed)
    wait_until(lambda: systemd.unit(units.server_unit, "MainPID") not in ("0", killed) and
               units.curl("-sf", units.service + "/log"), 10, "a new process answering")


def test_quit_leaves_the_unit_stopped(units, systemd):
    assert units.body("/quit") == '{"server_status":"CLOSE"}'
    inactive = lambda: [systemd.unit(units.server_unit, name) for name in ("ActiveState", "Result")] \
        == ["inactive", "success"]
    wait_until(inactive, 10, "the unit inactive after /quit")
    holds_for(inactive, 3, "the unit stopped past RestartSec=2")


def test_without_its_key_file_the_service_exits_245_and_says_why(systemd):
    unit = "gmi-server@60008"
    systemd.run("mv", "/etc/default/gmi-server", "/root/gmi-server.default")
    try:
        systemd.run("systemctl", "start", unit)
        wait_until(lambda: [systemd.unit(unit, name) for name in ("ExecMainStatus", "ActiveState")]
                   == ["245", "failed"], 5, f"{unit} failed with 245")
        assert any("AUTHSRV_KEYS is not set" in line for line in systemd.journal(f"_SYSTEMD_UNIT={unit}.service"))
        assert systemd.run("curl", "-s", "http://127.0.0.1:60008/log", check=False) == ""
    finally:
        systemd.run("systemctl", "reset-failed", unit, check=False)
        systemd.run("mv", "/root/gmi-server.default", "/etc/default/gmi-server")


def test_a_unit_leaves_a_server_on_its_port_alone_and_serves_once_it_is_free(systemd):
    """A gmi-server started by hand holds the port; the unit's own process,
    another user, cannot share it: it fails saying why and is started
    again every RestartSec, its stop never reaching the other server."""
    unit, url = "gmi-server@60011", "http://127.0.0.1:60011"
    systemd.run("sh", "-c", "cd /usr/lib/gmi-server && set -a && . /etc/default/gmi-server && "
                "{ gmi-server 60011 >/root/by-hand.log 2>&1 & }")
    wait_until(lambda: systemd.curl("-sf", url + "/log"), 10, "the server started by hand")
    try:
        systemd.run("systemctl", "start", unit)
        wait_until(lambda: int(systemd.unit(unit, "NRestarts")) >= 2, 10, f"{unit} started again")
        assert "gmi-server: cannot listen on port 60011: Address already in use" in \
            systemd.journal(f"_SYSTEMD_UNIT={unit}.service")
        assert "[Server] Stopped" not in systemd.run("cat", "/root/by-hand.log")
        assert systemd.curl("-s", url + "/quit") == '{"server_status":"CLOSE"}'
        wait_until(lambda: "[Server] Exit" in systemd.run("cat", "/root/by-hand.log"), 10,
                   "the server started by hand gone")
        wait_until(lambda: systemd.curl("-sf", url + "/log"), 10, f"{unit} serving")
    finally:
        systemd.run("systemctl", "stop", unit)


def test_a_port_below_1024_serves_with_the_documented_drop_in(systemd, project):
    systemd.run("sh", "-ec", *documented_blocks(project, "operating.md", "low-port.conf"))
    try:
        wait_until(lambda: systemd.curl("-sf", "http://127.0.0.1:80/log"), 10, "gmi-server@80")
    finally:
        systemd.run("systemctl", "disable", "--now", "gmi-server@80")
        systemd.run("rm", "-r", "/etc/systemd/system/gmi-server@80.service.d")
        systemd.run("systemctl", "daemon-reload")


# --- the front -------------------------------------------------------------------


@pytest.fixture(scope="module")
def packaged_front(systemd, certificates):
    """The front as the README enables it, the shipped instance list kept;
    its runtime API."""
    systemd.run("sh", "-c", "cp /usr/share/doc/gmi-server/examples/haproxy/*.cfg "
                "/usr/share/doc/gmi-server/examples/haproxy/*.lua /etc/haproxy/ && "
                "install -d -m 750 -g haproxy /etc/haproxy/gmi-tls")
    for name in ("server.pem", "ca.pem"):
        systemd.copy_in(f"{certificates}/{name}", f"/etc/haproxy/gmi-tls/{name}")
    systemd.run("sh", "-c", "cat >>/etc/default/haproxy", input=(
        'CONFIG="/etc/haproxy/gmi-server.cfg"\n'
        'EXTRAOPTS="-S /run/haproxy-master.sock -f /etc/haproxy/gmi-instances.cfg"\n'))
    systemd.run("systemctl", "enable", "--quiet", "--now", *(f"gmi-server@{p}" for p in FRONT_PORTS))
    systemd.run("systemctl", "restart", "haproxy")
    front = RuntimeApi(f"/proc/{systemd.pid}/root/run/haproxy/gmi-admin.sock")
    all_up(front)
    return front


def all_up(front):
    wait_until(lambda: all(front.server_up("gmi-instances", f"gmi-{port}") for port in FRONT_PORTS),
               10, "both instances up at the front")


def assert_workers_not_root(systemd):
    """Every haproxy process the master started runs as the haproxy user."""
    master = systemd.unit("haproxy", "MainPID")
    workers = systemd.run("cat", f"/proc/{master}/task/{master}/children").split()
    assert workers, f"no worker under the master {master}"
    assert {process_status(systemd, pid)["Uid"] for pid in workers} == \
        {systemd.run("id", "-u", "haproxy").strip()}


def test_the_front_validates_and_its_worker_is_not_root(packaged_front, systemd):
    token = systemd.mint("alice")
    assert systemd.run("curl", "-sS", f"http://127.0.0.1:60080/login?userid=alice&gmi={token}") == VALID
    assert_workers_not_root(systemd)


def test_the_packaged_companion_decides_through_the_front(packaged_front, systemd):
    systemd.run("systemctl", "start", "gmi-authz@60002")
    systemd.run("systemctl", "stop", "gmi-server@60002")
    try:
        assert decision(systemd.curl, "http://127.0.0.1:60003", systemd.mint("alice"), "alice") \
            == "200 alice"
    finally:
        systemd.run("systemctl", "start", "gmi-server@60002")
        all_up(packaged_front)


def test_a_rolling_restart_under_load_fails_no_request(packaged_front, systemd, project, tmp_path):
    old = {port: systemd.unit(f"gmi-server@{port}", "MainPID") for port in FRONT_PORTS}
    token = systemd.mint("alice")
    overflows = listen_overflows(systemd)
    load = Background(["nsenter", "-t", str(systemd.pid), "-n", "wrk", "-t", "2", "-c", "48",
                       "-d", "120s", "--timeout", "5s", "-s", f"{project}/bench/soak.lua",
                       "http://127.0.0.1:60080", "--", token], tmp_path / "wrk.log")
    try:
        before = forwarded(packaged_front)
        wait_until(lambda: forwarded(packaged_front) > before + 1000, 10, "load through the front")
        fleet = systemd.run(FLEET, "restart", "sh", "-c", "systemctl restart gmi-server@$PORT")
        after = forwarded(packaged_front)
        wait_until(lambda: forwarded(packaged_front) > after + 1000, 10, "load through the front after")
    finally:
        load.signal(signal.SIGINT)
        load.wait(10)
    print(f"{listen_overflows(systemd) - overflows} connection attempts met a full accept queue")
    for port, pid in old.items():
        assert re.search(rf"^gmi-{port} .* restarted$", fleet, re.M), fleet
        assert "[Server] Exit" in systemd.journal(f"_PID={pid}")
        assert systemd.unit(f"gmi-server@{port}", "MainPID") not in ("0", pid)
        assert systemd.unit(f"gmi-server@{port}", "ActiveState") == "active"
    answers = re.search(r"^soak-answers (\d+) \d+ \d+ \d+ (\d+) (\d+) (\d+)$", load.log(), re.M)
    assert answers, load.log()
    requests, unexpected, connect, other = map(int, answers.groups())
    assert requests > 0 and (unexpected, connect, other) == (0, 0, 0), load.log()
    all_up(packaged_front)
    assert_workers_not_root(systemd)


def listen_overflows(systemd):
    """Connections the kernel refused to queue at a full listen backlog."""
    counters = systemd.in_network("nstat", "-asz", "TcpExtListenOverflows").split()
    return int(counters[counters.index("TcpExtListenOverflows") + 1])
