"""The front's access log and its throttle of clients whose tokens fail,
through the shipped configuration on this host's loopback: what a client
gets, what reaches the instances, what the log says and what fail2ban
makes of it. Clients are told apart by their loopback address (127.0.0.2
and on); wrk, which cannot choose one, is 127.0.0.1."""

import concurrent.futures
import json
import os
import re
import time

import pytest

from harness.abuse import (access_log_once, instance_counts, validate,
                           validate_as_edge, wrk)
from harness.command import run
from harness.front import LoopbackFront
from harness.poll import holds_for, wait_until

pytestmark = pytest.mark.front

# Production figures (budget 20, share 50%, window 10 s) but a ban of 6 s,
# so that a test can see one end.
BAN = 6


def mint(build, user, ttl=3600):
    return run(f"{build}/gmi-token", "--user", user, "--ttl", str(ttl),
               env={**os.environ, "AUTHSRV_KEYS": "development"}).strip()


@pytest.fixture
def short_ban_front(project, build, ports, tmp_path):
    started = LoopbackFront(project, build, tmp_path, ports,
                            environment={"FRONT_THROTTLE_BAN": str(BAN)})
    yield started
    started.stop()


def flood(port, token, source, connections=16, per_connection=200):
    """Invalid tokens from source on parallel connections, each until its
    first refusal: the answers each got (statuses in order) and the first
    refusal's Retry-After."""
    def one(index):
        statuses, retry_after = [], None
        for attempt in range(per_connection):
            status, retry, _ = validate(port, f"{token}x{index}-{attempt}", "mallory", source)
            statuses.append(status)
            if status == 429:
                retry_after = retry
                break
        return statuses, retry_after
    with concurrent.futures.ThreadPoolExecutor(connections) as pool:
        return list(pool.map(one, range(connections)))


def test_a_client_failing_every_token_is_refused_for_the_ban_and_no_other(short_ban_front, build):
    front, alice = short_ban_front, mint(build, "alice")
    runs = flood(front.port, alice, "127.0.0.2")
    # Every connection met the refusal; fewer than 100 failures got through
    # all 16 together (the budget of 20 plus what was in flight).
    assert all(statuses[-1] == 429 for statuses, _ in runs), runs
    failures = sum(statuses.count(200) for statuses, _ in runs)
    assert 20 < failures <= 100, failures
    assert all(1 <= int(retry) <= BAN for _, retry in runs), runs
    requests, invalid = instance_counts(front)
    assert (requests, invalid) == (failures, failures)

    # Refused whatever it sends until the ban's end, as the front's table
    # has it (gpt0, Unix time), and nothing of it reaches an instance;
    # meanwhile another client is served, each of its requests counted once.
    entry = front.api.command("show table gmi-clients key ::ffff:127.0.0.2")
    ban_end = int(re.search(r" gpt0=(\d+) ", entry).group(1))
    served = []

    def refused_while_other_served():
        served.append(validate(front.port, alice, "alice", "127.0.0.3"))
        return validate(front.port, alice, "alice", "127.0.0.2")[0] == 429
    holds_for(refused_while_other_served, ban_end - 1 - time.time(), "127.0.0.2 refused")
    assert served and all(answer == (200, None, '{"is_valid":true,"reason":""}')
                          for answer in served), served[:3]
    assert instance_counts(front) == (failures + len(served), failures)
    # Then served again, its figures forgotten with the ban.
    wait_until(lambda: validate(front.port, alice, "alice", "127.0.0.2")[0] == 200,
               BAN + 3, "127.0.0.2 served after its ban")

    # The log: a line per request, the refused ones 429 with no instance.
    entries = access_log_once(front, lambda entries: any(
        e["client"] == "127.0.0.2" and e["status"] == 200 and e["userid"] == "alice"
        for e in entries), "the line of 127.0.0.2's answer after its ban")
    mallory = [e for e in entries if e["userid"] == "mallory"]
    assert sum(1 for e in mallory if e["is_valid"] is False) == failures
    refusals = [e for e in mallory if e["status"] == 429]
    assert len(refusals) == len(runs)
    assert {(e["client"], e["instance"], e["is_valid"], e["queue_ms"]) for e in refusals} == \
        {("127.0.0.2", None, None, -1)}


def test_a_busy_client_with_2_percent_bad_tokens_is_never_refused_beside_a_refused_one(front, build):
    """20 s at full speed from 48 connections: two windows of the
    throttle's 10 s, which is all it ever looks back on, so a longer run
    would add nothing (make bench runs 60 s)."""
    alice = mint(build, "alice")
    hostile = concurrent.futures.ThreadPoolExecutor(1).submit(
        lambda: (wait_until(lambda: instance_counts(front)[0] > 1000, 15, "the load under way"),
                 flood(front.port, alice, "127.0.0.4", connections=4))[1])
    figures = wrk(front.url, "wrk_mixed_tokens.lua", [alice, alice + "x", "50"], 48, 20)
    runs = hostile.result(timeout=60)

    assert figures["non_2xx"] == 0 and figures["socket_errors"] == 0, figures["output"]
    requests, invalid = instance_counts(front)
    # Far more failures than any count alone could let through, every one
    # of them answered.
    assert invalid > 100 and invalid < 0.03 * requests, (requests, invalid)
    entries = access_log_once(front, lambda entries: sum(
        e["client"] == "127.0.0.4" and e["status"] == 429 for e in entries) == 4,
        "the refusals of 127.0.0.4")
    # Every request wrk counted was answered 200 (non_2xx above); the log
    # also has those its 48 connections had in flight when it stopped, and
    # not one refusal.
    busy = [e for e in entries if e["client"] == "127.0.0.1" and e["path"] == "/login"]
    assert figures["requests"] <= len(busy) <= figures["requests"] + 48
    assert {e["status"] for e in busy} <= {200, -1}, {e["status"] for e in busy}
    assert all(statuses[-1] == 429 for statuses, _ in runs), runs
    assert sum(1 for e in entries if e["client"] == "127.0.0.4" and e["status"] == 429) == 4


def test_a_client_under_the_share_is_never_refused_whenever_its_load_begins(front, build, project):
    """The soak's round: 3 failures in 7 answers (43%), under the 50% share,
    from 48 connections for 10 s. One answer 5 s before the load starts
    the throttle's window of this client's answers half a window before
    the first failure: both counts must still cover the same time."""
    alice = mint(build, "alice")
    assert validate(front.port, alice, "alice", "127.0.0.1")[0] == 200
    time.sleep(5)
    figures = wrk(front.url, f"{project}/bench/soak.lua", [alice], 48, 10)
    assert figures["requests"] > 1000 and figures["non_2xx"] == 0, figures["output"]


def test_behind_the_edges_the_proxy_header_names_the_client_logged_and_throttled(front, build):
    alice = mint(build, "alice")
    statuses = [validate_as_edge(front, f"{alice}x{i}", "203.0.113.77", 40000 + i) for i in range(22)]
    assert statuses == [200] * 21 + [429]
    assert validate_as_edge(front, alice, "203.0.113.78", 40100, "alice") == 200
    edges = [e for e in access_log_once(front, lambda entries: sum(
        e["listener"] == "edges" for e in entries) >= 23, "23 lines from the edges' listener")
        if e["listener"] == "edges"]
    assert [(e["client"], e["client_port"]) for e in edges] == \
        [("203.0.113.77", 40000 + i) for i in range(22)] + [("203.0.113.78", 40100)]
    # An operator lifts the refusal by removing the client's entry.
    front.api.command("clear table gmi-clients key ::ffff:203.0.113.77")
    assert validate_as_edge(front, alice, "203.0.113.77", 40200, "alice") == 200


HOSTILE = [  # (as sent in the query, as logged)
    ("%22q%5C%22", '"q\\"'),
    ("%01%02%1F%7F", "\x01\x02\x1f\x7f"),
    ("%FF%FE%C3%28ok", "(ok"),
    ("%E2%82%AC", "\u20ac"),
    ("x%22%2C%22status%22%3A429%2C%22", 'x","status":429,"'),
    ("A" * 3000, "A" * 256),
    ("%zz", "%zz"),
    ("plain+user", "plain user"),
]


def test_hostile_users_under_load_leave_every_line_json_and_no_token(front, build):
    alice = mint(build, "alice")
    for sent, _ in HOSTILE:
        validate(front.port, alice, sent, "127.0.0.5")
    figures = wrk(front.url, "wrk_hostile_users.lua", [alice, alice + "x"], 32, 5)
    assert figures["requests"] > 100, figures["output"]

    # Every other listener, and what fails before any request.
    tls = f"https://localhost:{front.tls_port}/login?userid=alice&gmi={alice}"
    trace = "4bf92f3577b34da6a3ce929d0e0e4736"
    answer = run("curl", "-si", "--http2", "--cacert", f"{front.folder}/tls/ca.pem", tls,
                 "-H", f"traceparent: 00-{trace}-00f067aa0ba902b7-01")
    request_id = re.search(r"(?im)^x-request-id: (\S+)", answer).group(1)
    admin = f"https://localhost:{front.admin_port}/{front.instances[0].name}/log"
    run("curl", "-sf", "--cacert", f"{front.folder}/tls/ca.pem", "--cert",
        f"{front.folder}/tls/operator.pem", admin)
    run("curl", "-s", "--cacert", f"{front.folder}/tls/ca.pem", admin, check=False)
    run("curl", "-s", f"http://127.0.0.1:{front.metrics_port}/metrics")
    run("curl", "-s", f"{front.url}/login", "-H", "Bad Header: x")

    # Fails on the first line that is not JSON.
    refusal = {"status": 400, "reason": "HTTP request error"}
    entries = access_log_once(front, lambda entries: any(
        refusal.items() <= e.items() for e in entries), "the parser's refusal")
    logged = [e["userid"] for e in entries if e["client"] == "127.0.0.5"]
    assert logged == [expected for _, expected in HOSTILE]
    by_listener = {e["listener"]: e for e in entries if e["listener"] != "plain"}
    assert (by_listener["tls"]["http_version"], by_listener["tls"]["tls_version"],
            by_listener["tls"]["request_id"], by_listener["tls"]["trace_id"]) == \
        ("2.0", "TLSv1.3", request_id, trace)
    admin_lines = [e for e in entries if e["listener"] == "admin"]
    assert [(e["status"], e["instance"], e["reason"]) for e in admin_lines] == \
        [(200, front.instances[0].name, None), (0, None, "SSL handshake failure")]
    assert by_listener["metrics"]["path"] == "/metrics"
    assert sum(refusal.items() <= e.items() for e in entries) == 1
    assert len(entries) >= figures["requests"] + len(HOSTILE) + 5
    # Forged traceparent and X-Request-ID values are never taken.
    assert all(e["trace_id"] is None and len(e["request_id"] or "") in (0, 36)
               for e in entries if e["listener"] == "plain"), [e for e in entries if e["trace_id"]][:1]
    with open(front.log_path, "rb") as log:
        text = log.read()
    for secret in (alice, alice[-40:], alice[:40]):
        assert secret.encode() not in text


def test_fail2ban_counts_exactly_the_failed_and_throttled_lines(short_ban_front, build, project, tmp_path):
    front, alice = short_ban_front, mint(build, "alice")
    for _ in range(5):
        validate(front.port, alice, "alice", "127.0.0.6")
        validate(front.port, alice, 'x%22%2C%22status%22%3A429%2C%22', "127.0.0.6")  # forged field
    runs = flood(front.port, alice, "127.0.0.7", connections=2)
    entries = access_log_once(front, lambda entries: sum(e["status"] == 429 for e in entries) == 2,
                              "both refusals")
    failed = sum(1 for e in entries if e["is_valid"] is False)
    throttled = sum(1 for e in entries if e["status"] == 429)
    assert throttled == len(runs) and failed > 20

    lines = tmp_path / "access.log"
    with open(front.log_path, "rb") as log, open(lines, "wb") as out:
        out.writelines(line for line in log if not line.startswith(b"["))
    output = run("fail2ban-regex", "--print-all-missed", str(lines),
                 f"{project}/deploy/fail2ban/filter.d/gmi-front.conf", cwd=str(tmp_path))
    total = f"Lines: {len(entries)} lines, 0 ignored, {failed + throttled} matched, " \
            f"{len(entries) - failed - throttled} missed"
    assert total in output, output[-2000:]
    # The lines missed are exactly those neither failed nor throttled.
    missed = [json.loads(line.strip().lstrip("|").strip()) for line in output.splitlines()
              if line.strip().startswith("|  {")]
    assert sorted(e["request_id"] for e in missed) == sorted(
        e["request_id"] for e in entries if e["is_valid"] is not False and e["status"] != 429)
    assert {e["userid"] for e in missed} == {"alice"}
