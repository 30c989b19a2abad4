#!/usr/bin/python3
"""`make sizing`: what each part costs per request, how the front uses one
core or two, and how throughput grows with hosts. docs/sizing.md reads the
figures and turns them into a site's size.

costs    Processor time each process spends per 1,000 requests, from
         /proc/PID/stat across a steady run, in rounds: an instance on
         /login; the front over plain HTTP/1.1, TLS with HTTP/1.1, HTTP/2,
         and TLS with a connection per request (full handshake, and
         resumed session); the companion per decision; an edge per request
         it passes through. Then, as root, keepalived at rest in the
         cluster, per second. Every process's time at rest, per second,
         beside it.
threads  The front held to one core (one thread) and given two (taskset)
         with FRONT_THREADS=2, and on two with FRONT_THREADS=1: rates, p99 and its time per request over
         plain HTTP, TLS and HTTP/2.
scaling  As root: the cluster (scripts/cluster/cluster.py) with each
         node's processes held to SIZING_HOST_CPU of a core, and the
         sustained rate at p99 <= SIZING_P99_MS with 1, 2 and 3 nodes
         behind the edges (the others put in maintenance through the edges'
         runtime API), from wrk over TLS through the virtual address, with
         what every part used meanwhile.

Each writes bench/results/sizing-PHASE-TIMESTAMP.csv; the scaling run is
drawn by bench/sizing-chart.sh.

Usage: bench/sizing.py BUILD_DIR [costs] [threads] [scaling]   (all three)

SIZING_SECONDS   measured seconds of each run (default 10); each load runs
                 2 s longer, the first and last second unmeasured
SIZING_ROUNDS    rounds of the costs and threads runs (default 3)
SIZING_HOST_CPU  each node's share of a core in the scaling run (0.4)
SIZING_P99_MS    the latency bound of the sustained rate (20)
"""

import csv
import datetime
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from sizing_load import cpu_seconds, h2load, loadavg, machine_seconds, s_time, wrk
from sizing_site import PROJECT, Site, runtime_api, stat_field

sys.dont_write_bytecode = True  # no __pycache__ left in the tree
sys.path.insert(0, f"{PROJECT}/scripts/cluster")
from cluster import CPU_CGROUPS, EDGE_PORT, EDGES, NODES, VIP, Cluster, remove_cgroup  # noqa: E402

SECONDS = int(os.environ.get("SIZING_SECONDS", "10"))
ROUNDS = int(os.environ.get("SIZING_ROUNDS", "3"))
HOST_CPU = float(os.environ.get("SIZING_HOST_CPU", "0.4"))
P99_MS = float(os.environ.get("SIZING_P99_MS", "20"))
WARM = 1  # unmeasured second at each end of a load
RESULTS = f"{PROJECT}/bench/results"
STAMP = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%dT%H%M%SZ")


def say(*words):
    print(*words, flush=True)


def machine_line():
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                  if line.startswith("model name")), platform.machine())
    return f"{os.cpu_count()} CPUs ({model}), Linux {platform.release()}"


class Table:
    """A CSV file of dict rows in bench/results/, its columns those of the
    first row, opened by a comment line saying which run wrote it."""

    def __init__(self, phase, comment):
        os.makedirs(RESULTS, exist_ok=True)
        self.path = f"{RESULTS}/sizing-{phase}-{STAMP}.csv"
        self.file = open(self.path, "w", newline="")
        self.file.write(f"# {comment}\n")
        self.writer = None

    def add(self, row):
        if self.writer is None:
            self.writer = csv.DictWriter(self.file, fieldnames=list(row))
            self.writer.writeheader()
        self.writer.writerow(row)
        self.file.flush()

    def close(self, comment=None):
        if comment:
            self.file.write(f"# {comment}\n")
        self.file.close()


def begin(phase, build):
    """A phase's scratch directory, the site started in it, and its table."""
    work = tempfile.mkdtemp(prefix="gmi-sizing-")
    table = Table(phase, f"bench/sizing.py {phase}, {STAMP}, {machine_line()}, "
                         f"loadavg before {loadavg()}")
    return work, Site(build, work), table


def spread(values):
    """min/median/max, as the tables print them."""
    return min(values), statistics.median(values), max(values)


def measured(load, counter, groups):
    """Runs a load started for SECONDS + 2 WARM: processor time of each
    group of pids and the requests counter() counted over the SECONDS in
    its middle, then the load's own result."""
    try:
        time.sleep(WARM)
        cpu0 = {name: sum(map(cpu_seconds, pids)) for name, pids in groups.items()}
        count0, machine0, wall0 = counter(), machine_seconds(), time.monotonic()
        time.sleep(SECONDS)
        cpu1 = {name: sum(map(cpu_seconds, pids)) for name, pids in groups.items()}
        count1, machine1, wall1 = counter(), machine_seconds(), time.monotonic()
    except BaseException:
        load.stop()
        raise
    result = load.result()
    wall = wall1 - wall0
    return {"requests": count1 - count0, "wall": wall,
            "cpu": {name: cpu1[name] - cpu0[name] for name in groups},
            "machine_busy": (machine1["busy"] - machine0["busy"]) / wall,
            "steal": (machine1["steal"] - machine0["steal"]) / wall, "load": result}


# --- costs -------------------------------------------------------------------

class Row:
    def __init__(self, key, part, what, start, counter, groups):
        self.key, self.part, self.what = key, part, what
        self.start, self.counter, self.groups = start, counter, groups


def cost_rows(site, token):
    """Every measured process, and a row per load: the part it prices
    first, then the other processes it crosses, priced alike."""
    direct = site.instance()
    behind = [site.instance(), site.instance()]
    # One thread: the time per request of a thread; the threads run shows
    # what a second one changes.
    front = site.front(behind, threads=1)
    companion = site.companion(behind[0], front)
    edge = site.edge(front)
    login = f"/login?userid=alice&gmi={token}"
    pids = {"instance": [direct.process.pid], "front": [front.process.pid],
            "instances behind the front": [i.process.pid for i in behind],
            "companion": [companion.process.pid], "edge": [edge.process.pid]}
    https = f"https://127.0.0.1:{front.tls_port}{login}"
    decision = [f"Authorization: Bearer {token}", "X-GMI-User: alice"]
    after = SECONDS + 2 * WARM
    rows = [
        Row("instance", "instance", "/login, HTTP/1.1, 5 requests a connection (its limit)",
            lambda: wrk(f"http://127.0.0.1:{direct.port}{login}", 8, after),
            direct.answered, ["instance"]),
        Row("front-http", "front", "plain HTTP/1.1, kept alive",
            lambda: wrk(f"http://127.0.0.1:{front.port}{login}", 32, after),
            front.answered, ["front", "instances behind the front"]),
        Row("front-tls", "front", "TLS, HTTP/1.1 kept alive",
            lambda: wrk(https, 32, after), front.answered, ["front", "instances behind the front"]),
        Row("front-h2", "front", "TLS, HTTP/2, 4 streams a connection",
            lambda: h2load(https, 16, after, streams=4), front.answered,
            ["front", "instances behind the front"]),
        Row("front-tls-new", "front", "TLS, a connection a request, full handshake",
            lambda: s_time("127.0.0.1", front.tls_port, login, after, resume=False),
            front.answered, ["front", "instances behind the front"]),
        Row("front-tls-resumed", "front", "TLS, a connection a request, session resumed",
            lambda: s_time("127.0.0.1", front.tls_port, login, after, resume=True),
            front.answered, ["front", "instances behind the front"]),
        Row("companion", "companion", "a decision, asked through the front",
            lambda: wrk(f"http://127.0.0.1:{companion.port}/auth", 8, after, decision),
            companion.answered, ["companion", "front", "instances behind the front"]),
        Row("edge", "edge", "TLS passed through with a PROXY header, HTTP/1.1 kept alive",
            lambda: wrk(f"https://127.0.0.1:{edge.port}{login}", 32, after),
            front.answered, ["edge", "front", "instances behind the front"]),
        Row("edge-new", "edge", "TLS passed through, a connection a request, session resumed",
            lambda: s_time("127.0.0.1", edge.port, login, after, resume=True),
            front.answered, ["edge", "front", "instances behind the front"]),
    ]
    return rows, pids, front


def keepalived_at_rest(build, work, rounds):
    """keepalived's processes on each edge of the cluster at rest (the
    holder of the address sends adverts, both run the tracking script),
    processor time per second, one figure per round and edge."""
    cluster = Cluster(build, f"{work}/cluster")
    figures = {edge: [] for edge in EDGES}  # (seconds, processor seconds) a round
    try:
        cluster.up()
        for _ in range(rounds):
            pids = {edge: [pid for pid in cluster.pids(edge) if command(pid) == "keepalived"]
                    for edge in EDGES}
            before = {edge: sum(map(cpu_seconds, pids[edge])) for edge in EDGES}
            start = time.monotonic()
            time.sleep(SECONDS)
            wall = time.monotonic() - start
            for edge in EDGES:
                figures[edge].append((wall, sum(map(cpu_seconds, pids[edge])) - before[edge]))
        holder = cluster.holders()
    finally:
        cluster.down()
    return figures, holder


def command(pid):
    with open(f"/proc/{pid}/comm") as comm:
        return comm.read().strip()


def at_rest(pids, table):
    """Each process's processor time per second with no load: health
    checks and timers, a figure per round."""
    idle = {name: [] for name in pids}
    for number in range(1, ROUNDS + 1):
        before = {name: sum(map(cpu_seconds, group)) for name, group in pids.items()}
        start = time.monotonic()
        time.sleep(SECONDS)
        wall = time.monotonic() - start
        for name, group in pids.items():
            cpu = sum(map(cpu_seconds, group)) - before[name]
            idle[name].append(cpu / wall)
            table.add(cost_record(number, "at rest", "no load", name, 0, wall, cpu, None))
    return idle


def under_load(rows, pids, front, table):
    """Each row's processes, µs per request, a figure per round: (row key,
    process) -> [figures]. Rows interleave, so that a slow patch of the
    machine weighs on all of them alike."""
    per_request = {}
    for number in range(1, ROUNDS + 1):
        for row in rows:
            failed = front.failed()
            run = measured(row.start(), row.counter, {n: pids[n] for n in row.groups})
            errors = run["load"]["errors"] + front.failed() - failed
            for name in row.groups:
                figure = run["cpu"][name] / max(run["requests"], 1) * 1e6
                per_request.setdefault((row.key, name), []).append(figure)
                table.add(cost_record(number, row.key, row.what, name, run["requests"],
                                      run["wall"], run["cpu"][name], figure, run, errors))
            say(f"  round {number} {row.key:18} {run['requests'] / run['wall']:8.0f}/s  "
                + "  ".join(f"{name} {per_request[(row.key, name)][-1]:.1f} us"
                            for name in row.groups) + (f"  ERRORS {errors}" if errors else ""))
    return per_request


def keepalived_rows(build, work, table, idle):
    """keepalived at rest in the cluster (root only), into table and idle."""
    if os.geteuid() != 0:
        say("  keepalived at rest: skipped (the cluster needs root)")
        return
    say("  keepalived at rest, in the cluster ...")
    kept, holder = keepalived_at_rest(build, work, ROUNDS)
    for edge, figures in kept.items():
        role = "holds the address" if edge in holder else "backup"
        for number, (wall, cpu) in enumerate(figures, 1):
            table.add(cost_record(number, "at rest", f"in the cluster, {role}",
                                  f"keepalived ({edge})", 0, wall, cpu, None))
        idle[f"keepalived ({edge}, {role})"] = [cpu / wall for wall, cpu in figures]


def print_costs(rows, per_request, idle):
    say(f"\nprocessor time per request, µs (= ms per 1,000 requests), {ROUNDS} rounds: "
        "min / median / max")
    say(f"{'row':18} {'process':28} {'min':>8} {'median':>8} {'max':>8}   load")
    for row in rows:
        for name in row.groups:
            low, middle, high = spread(per_request[(row.key, name)])
            say(f"{row.key:18} {name:28} {low:8.1f} {middle:8.1f} {high:8.1f}   "
                + (row.what if name == row.part else "(same runs)"))
    say("\nat rest, ms of processor time per second: min / median / max")
    for name, figures in idle.items():
        low, middle, high = spread(figures)
        say(f"{'':18} {name:28} {low * 1e3:8.2f} {middle * 1e3:8.2f} {high * 1e3:8.2f}")


def costs(build):
    say(f"== costs: processor time per 1,000 requests, {ROUNDS} rounds of {SECONDS} s")
    work, site, table = begin("costs", build)
    try:
        rows, pids, front = cost_rows(site, site.token())
        time.sleep(2)
        idle = at_rest(pids, table)
        per_request = under_load(rows, pids, front, table)
        reuse = front.session_reuse_percent()
    finally:
        site.close()
    keepalived_rows(build, work, table, idle)
    table.close(f"loadavg after {loadavg()}")
    shutil.rmtree(work, ignore_errors=True)
    print_costs(rows, per_request, idle)
    say(f"TLS sessions resumed, as the front counted them last: {reuse}%")
    say(f"results: {table.path}")


def cost_record(number, key, what, process, requests, wall, cpu, per_request, run=None,
                errors=0):
    return {"round": number, "row": key, "load": what, "process": process,
            "requests": requests, "seconds": round(wall, 3), "cpu_s": round(cpu, 4),
            "us_per_request": "" if per_request is None else round(per_request, 2),
            "cpu_ms_per_s": round(cpu / wall * 1e3, 3),
            "requests_per_s": round(requests / wall, 1),
            "machine_busy_cores": round(run["machine_busy"], 3) if run else "",
            "steal_cores": round(run["steal"], 3) if run else "", "errors": errors}


# --- threads -----------------------------------------------------------------

def thread_settings():
    """(label, CPU list for taskset, FRONT_THREADS): one core, two, and two
    with the thread count fixed at one."""
    cpus = sorted(os.sched_getaffinity(0))
    if len(cpus) < 2:
        raise SystemExit("sizing.py threads: needs 2 CPUs")
    one, two = str(cpus[0]), f"{cpus[0]},{cpus[1]}"
    return [("1 core", one, None), ("2 cores", two, 2), ("2 cores, FRONT_THREADS=1", two, 1)]


def threads(build):
    say(f"== threads: the front on 1 and 2 cores, {ROUNDS} rounds of {SECONDS} s")
    work, site, table = begin("threads", build)
    results = {}
    try:
        token = site.token()
        login = f"/login?userid=alice&gmi={token}"
        instances = [site.instance(), site.instance()]
        after = SECONDS + 2 * WARM
        for number in range(1, ROUNDS + 1):
            for label, cpus, fixed in thread_settings():
                front = site.front(instances, threads=fixed, cpus=cpus)
                count = front.threads()
                https = f"https://127.0.0.1:{front.tls_port}{login}"
                for load, start in (
                        ("plain", lambda: wrk(f"http://127.0.0.1:{front.port}{login}", 64, after)),
                        ("tls", lambda: wrk(https, 64, after)),
                        ("h2", lambda: h2load(https, 16, after, streams=4))):
                    run = measured(start(), front.answered, {"front": [front.process.pid]})
                    rate = run["requests"] / run["wall"]
                    per_request = run["cpu"]["front"] / max(run["requests"], 1) * 1e6
                    results.setdefault((label, load), []).append(
                        (rate, run["load"]["p99_ms"], per_request, run["cpu"]["front"] / run["wall"]))
                    table.add({"round": number, "setting": label, "cpus": cpus, "threads": count,
                               "load": load, "requests_per_s": round(rate, 1),
                               "p50_ms": run["load"]["p50_ms"], "p99_ms": run["load"]["p99_ms"],
                               "errors": run["load"]["errors"],
                               "front_us_per_request": round(per_request, 2),
                               "front_cores": round(run["cpu"]["front"] / run["wall"], 3),
                               "machine_busy_cores": round(run["machine_busy"], 3),
                               "steal_cores": round(run["steal"], 3)})
                    say(f"  round {number} {label:26} {count} thread(s) {load:6} {rate:8.0f}/s "
                        f"p99 {run['load']['p99_ms']:7.1f} ms  front {per_request:6.1f} us/request, "
                        f"{run['cpu']['front'] / run['wall']:.2f} cores")
                site.stop(front.process)
    finally:
        site.close()
        table.close(f"loadavg after {loadavg()}")
        shutil.rmtree(work, ignore_errors=True)
    say("\nthe front's median round: requests/s, p99 ms, its µs per request, its cores")
    for (label, load), runs in results.items():
        rate, p99, per_request, cores = sorted(runs)[len(runs) // 2]
        say(f"  {label:26} {load:6} {rate:8.0f}/s  p99 {p99:7.1f} ms  "
            f"{per_request:6.1f} us/request  {cores:.2f} cores")
    say(f"results: {table.path}")


# --- scaling -----------------------------------------------------------------

# The cluster's cgroups weigh this many times a plain process (1024), so
# that builds and tests elsewhere on the machine do not take the hosts'
# shares, nor the edges' and the load's time, while the run holds them to
# their quotas. The edges and the load share one cgroup with no quota.
WEIGHT = 8192
REST = f"{CPU_CGROUPS}/gmi-sizing"


def write(path, text):
    with open(path, "w") as file:
        file.write(str(text))


def set_hosts(cluster, count):
    """The first count nodes ready at both edges, the others in
    maintenance: the edges send them no connection."""
    for edge in EDGES:
        for index, node in enumerate(NODES):
            state = "ready" if index < count else "maint"
            runtime_api(cluster.admin_socket(edge), f"set server gmi-nodes/gmi-{node} state {state}")
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        states = [stat_field(cluster.admin_socket(edge), "gmi-nodes", f"gmi-{node}", "status")
                  for edge in EDGES for node in NODES[:count]]
        if all(state == "UP" for state in states):
            return
        time.sleep(0.2)
    raise RuntimeError(f"{count} nodes not up at both edges: {states}")


def throttling(cluster, node):
    """Periods of the node's cgroup so far, and those in which it used its
    whole quota and waited."""
    with open(f"{cluster.cgroup(node)}/cpu.stat") as stat:
        fields = dict(line.split() for line in stat)
    return int(fields["nr_periods"]), int(fields["nr_throttled"])


def knee(step):
    """The most connections per host at which p99 stays within the bound:
    1, 2, 4... per host until two in a row miss it, then the count halfway
    between the highest that held and the next that missed, twice.
    step(per_host) runs one and says whether it held."""
    held, per_host, missed = {}, 1, 0
    while per_host <= 64 and missed < 2:
        held[per_host] = step(per_host)
        missed = 0 if held[per_host] else missed + 1
        per_host *= 2
    for _ in range(2):
        within = [count for count, ok in held.items() if ok]
        beyond = [count for count, ok in held.items() if not ok and count > max(within, default=0)]
        if not within or not beyond or (max(within) + min(beyond)) // 2 in held:
            break
        middle = (max(within) + min(beyond)) // 2
        held[middle] = step(middle)
    return max((count for count, ok in held.items() if ok), default=1)


def limits(record, hosts):
    """What each part used at a step, against what it may use."""
    nodes = [record[f"{node}_cores"] for node in NODES[:hosts]]
    return (f"nodes {' '.join(f'{n:.2f}' for n in nodes)} of {HOST_CPU} cores "
            f"(throttled in {max(record[f'{node}_throttled'] for node in NODES[:hosts]):.0%} "
            f"of periods), edge {record['edge_cores']:.2f} of 1 core, "
            f"wrk {record['client_cores']:.2f} of 2, machine {record['machine_busy_cores']:.2f} "
            f"of {os.cpu_count()} (steal {record['steal_cores']:.2f})")


def weigh(cluster):
    """The nodes' cgroups and REST, which takes the edges' processes, at
    WEIGHT."""
    os.makedirs(REST, exist_ok=True)
    write(f"{REST}/cpu.shares", WEIGHT)
    for node in NODES:
        write(f"{cluster.cgroup(node)}/cpu.shares", WEIGHT)
    for edge in EDGES:
        for pid in cluster.pids(edge):
            write(f"{REST}/cgroup.procs", pid)


def scaling(build):
    if os.geteuid() != 0:
        raise SystemExit("sizing.py scaling: the cluster needs root")
    say(f"== scaling: 1, 2 and 3 nodes of {HOST_CPU} core each, p99 <= {P99_MS} ms")
    work = tempfile.mkdtemp(prefix="gmi-sizing-")
    cluster = Cluster(build, f"{work}/cluster", host_cpu=HOST_CPU)
    table = Table("scaling", f"bench/sizing.py scaling, {STAMP}, {machine_line()}, "
                             f"host share {HOST_CPU} core, p99 bound {P99_MS} ms, "
                             f"loadavg before {loadavg()}")
    records = []
    try:
        cluster.up()
        weigh(cluster)
        edge, = cluster.holders()
        url = f"https://{VIP}:{EDGE_PORT}/login?userid=alice&gmi={cluster.token()}"
        groups = {**{node: cluster.pids(node) for node in NODES},
                  "edge": [pid for pid in cluster.pids(edge) if command(pid) == "haproxy"]}

        def step(phase, hosts, connections):
            # The last step's connections closed at the edge first: leastconn
            # would steer the new ones away from nodes still counting them.
            deadline = time.monotonic() + 5
            while int(stat_field(cluster.admin_socket(edge), "gmi-nodes", "BACKEND", "scur")) and \
                    time.monotonic() < deadline:
                time.sleep(0.1)
            throttled0 = {node: throttling(cluster, node) for node in NODES}
            run = measured(wrk(url, connections, SECONDS + 2 * WARM, namespace="gmi-client",
                               cgroup=REST), lambda: 0, groups)
            result = run["load"]
            periods = {node: [b - a for a, b in zip(throttled0[node], throttling(cluster, node))]
                       for node in NODES}
            record = {
                "phase": phase, "hosts": hosts, "connections": connections,
                "requests_per_s": result["rate"], "p50_ms": result["p50_ms"],
                "p99_ms": result["p99_ms"], "errors": result["errors"],
                **{f"{node}_cores": round(run["cpu"][node] / run["wall"], 3) for node in NODES},
                **{f"{node}_throttled": round(periods[node][1] / max(periods[node][0], 1), 3)
                   for node in NODES},
                "edge_cores": round(run["cpu"]["edge"] / run["wall"], 3),
                "client_cores": round(result["client_cpu_s"] / (SECONDS + 2 * WARM), 3),
                "machine_busy_cores": round(run["machine_busy"], 3),
                "steal_cores": round(run["steal"], 3)}
            table.add(record)
            records.append(record)
            say(f"  {phase:7} {hosts} host(s) {connections:4} connections {result['rate']:8.0f}/s "
                f"p99 {result['p99_ms']:7.1f} ms, {result['errors']} errors; {limits(record, hosts)}")
            return result["p99_ms"] <= P99_MS and result["errors"] == 0

        # First each number of hosts alone, to find its knee; then rounds
        # that take 1, 2 and 3 hosts in turn at their knees, so that a slow
        # patch of the machine weighs on all three alike.
        per_host = {}
        for hosts in (1, 2, 3):
            set_hosts(cluster, hosts)
            time.sleep(1)
            per_host[hosts] = knee(lambda count: step("search", hosts, hosts * count))
        for _ in range(ROUNDS):
            for hosts in (1, 2, 3):
                set_hosts(cluster, hosts)
                time.sleep(1)
                step("rounds", hosts, hosts * per_host[hosts])
    finally:
        cluster.down()
        remove_cgroup(REST)  # empty once the edges and the load have ended
        table.close(f"loadavg after {loadavg()}")
        shutil.rmtree(work, ignore_errors=True)

    print_scaling(records)
    say(f"results: {table.path}")
    subprocess.run([f"{PROJECT}/bench/sizing-chart.sh", table.path], check=False)


def print_scaling(records):
    """The median round of each count of hosts, against one host's."""
    say(f"\nsustained rate at p99 <= {P99_MS} ms, each node held to {HOST_CPU} core: the median "
        f"of {ROUNDS} rounds at each count's knee")
    medians = {}
    for hosts in (1, 2, 3):
        runs = sorted((r for r in records if r["phase"] == "rounds" and r["hosts"] == hosts),
                      key=lambda r: r["requests_per_s"])
        if not runs:
            continue
        medians[hosts] = record = runs[len(runs) // 2]
        p99s = sorted(r["p99_ms"] for r in runs)
        ratio = record["requests_per_s"] / medians[1]["requests_per_s"]
        say(f"  {hosts} host(s), {record['connections']} connections: "
            f"{record['requests_per_s']:8.0f}/s ({ratio:.2f}x one host), p99 {p99s[len(p99s) // 2]} ms "
            f"(rounds {', '.join(f'{r:.0f}' for r in sorted(r['requests_per_s'] for r in runs))}/s); "
            f"{limits(record, hosts)}")
    edge_costs = [r["edge_cores"] / r["requests_per_s"] * 1e6 for r in medians.values()]
    if edge_costs:
        # The edge's time per request through TLS passthrough: where one of
        # its cores would be full.
        say(f"  the edge: {statistics.median(edge_costs):.1f} us per request, so one core of it "
            f"passes at most {1e6 / statistics.median(edge_costs):.0f} requests/s")


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__.strip().split("\n\n")[-2])
    build, phases = sys.argv[1], sys.argv[2:] or ["costs", "threads", "scaling"]
    for phase in phases:
        if phase not in ("costs", "threads", "scaling"):
            sys.exit(f"sizing.py: no phase {phase!r}")
    say(f"bench/sizing.py on {machine_line()}; loadavg {loadavg()}")
    for phase in phases:
        {"costs": costs, "threads": threads, "scaling": scaling}[phase](build)


if __name__ == "__main__":
    main()
