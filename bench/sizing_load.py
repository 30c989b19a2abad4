"""Load generators and meters for bench/sizing.py.

The meters read processor time, never wall time: a process's from
/proc/PID/stat (utime + stime, and cutime + cstime for the children it
reaped, such as keepalived's tracking script), the machine's from
/proc/stat. On a machine whose cores are shared, time a process spends
waiting for a core is not counted, so its time per request holds when the
rates do not.

The loads are Debian's clients, each started in the background for a
given number of seconds, wrk optionally inside a network namespace, and
read when they end: wrk (HTTP/1.1 kept alive), h2load (HTTP/2) and
openssl s_time (a TLS connection per request, with
a full handshake each time or the first session resumed).
"""

import os
import resource
import subprocess
import tempfile

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """Processor time of a process and of the children it has reaped."""
    with open(f"/proc/{pid}/stat") as stat:
        text = stat.read()
    # The command name, in parentheses, may hold spaces; fields after it
    # start at the state (field 3), so utime (field 14) is the 12th.
    fields = text[text.rindex(")") + 2:].split()
    return sum(int(value) for value in fields[11:15]) / TICKS


def machine_seconds():
    """Busy and stolen processor time of the whole machine, summed over its
    CPUs: busy counts everything but idle and iowait; steal is time the
    hypervisor gave this machine's CPUs to others."""
    with open("/proc/stat") as stat:
        values = [int(value) for value in stat.readline().split()[1:9]]
    user, nice, system, _idle, _iowait, irq, softirq, steal = values
    return {"busy": (user + nice + system + irq + softirq + steal) / TICKS, "steal": steal / TICKS}


def children_seconds():
    """Processor time of this script's children that have ended: a load
    generator's, once waited for."""
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def loadavg():
    with open("/proc/loadavg") as text:
        return " ".join(text.read().split()[:3])


class Load:
    """A load generator running in the background; result() waits for it
    and parses what it printed."""

    def __init__(self, argv, parse, namespace=None, extra=(), cgroup=None):
        """cgroup: a cgroup v1 directory the generator joins before it runs."""
        prefix = ["ip", "netns", "exec", namespace] if namespace else []
        self.out = tempfile.TemporaryFile()
        self.parse = parse
        self.started = children_seconds()
        self.processes = [subprocess.Popen([*prefix, *command], stdout=self.out,
                                           stderr=subprocess.STDOUT,
                                           preexec_fn=cgroup and (lambda: join(cgroup)))
                          for command in [argv, *extra]]

    def result(self):
        for process in self.processes:
            process.wait()
        self.out.seek(0)
        text = self.out.read().decode(errors="replace")
        self.out.close()
        result = self.parse(text)
        # Only meaningful when no other child ended meanwhile.
        result["client_cpu_s"] = children_seconds() - self.started
        return result

    def stop(self):
        for process in self.processes:
            if process.poll() is None:
                process.terminate()


def join(cgroup):
    with open(f"{cgroup}/cgroup.procs", "w") as procs:
        procs.write("0")


def milliseconds(text):
    """wrk's 812.00us, 1.20ms or 1.02s, in ms."""
    for unit, factor in (("us", 0.001), ("ms", 1.0), ("s", 1000.0)):
        if text.endswith(unit):
            return float(text[:-len(unit)]) * factor
    raise ValueError(f"no time unit in {text!r}")


def parse_wrk(text):
    result = {"requests": 0, "rate": 0.0, "p50_ms": None, "p99_ms": None, "errors": 0}
    for line in text.splitlines():
        words = line.split()
        if not words:
            continue
        if "requests in" in line:
            result["requests"] = int(words[0])
        elif words[0] == "Requests/sec:":
            result["rate"] = float(words[1])
        elif words[0] == "50%":
            result["p50_ms"] = milliseconds(words[1])
        elif words[0] == "99%":
            result["p99_ms"] = milliseconds(words[1])
        elif words[0] == "Socket" and words[1] == "errors:":
            # Socket errors: connect 0, read 0, write 0, timeout 0
            result["errors"] += sum(int(word.strip(",")) for word in words[3::2])
        elif words[0] == "Non-2xx":
            result["errors"] += int(words[-1])
    if result["p99_ms"] is None:
        raise RuntimeError(f"wrk printed no latency distribution:\n{text}")
    return result


def wrk(url, connections, seconds, headers=(), threads=2, namespace=None, cgroup=None):
    """Kept-alive connections, each sending its next request once the last
    is answered; --latency for the percentiles. The 10 s time-out lets a
    SYN dropped at a full backlog show as latency, not as an error."""
    argv = ["wrk", "-t", str(min(threads, connections)), "-c", str(connections), "-d", f"{seconds}s",
            "--timeout", "10s", "--latency", *[f"-H{header}" for header in headers], url]
    return Load(argv, parse_wrk, namespace, cgroup=cgroup)


def parse_h2load(log):
    def parse(text):
        result = {"requests": 0, "rate": 0.0, "errors": 0}
        for line in text.splitlines():
            words = line.split()
            if line.startswith("finished in"):
                result["rate"] = float(words[3])
            elif line.startswith("requests:"):
                # requests: N total, N started, N done, N succeeded, N failed, ...
                result["requests"] = int(words[7])
                result["errors"] += int(words[1]) - int(words[7])
            elif line.startswith("status codes:"):
                # status codes: N 2xx, N 3xx, N 4xx, N 5xx
                result["errors"] += int(words[4]) + int(words[6]) + int(words[8])
        # Each request's duration in microseconds, third column.
        durations = sorted(int(line.split()[2]) for line in open(log) if line.strip())
        os.unlink(log)
        if not durations:
            raise RuntimeError(f"h2load logged no request:\n{text}")
        result["p50_ms"] = durations[len(durations) // 2] / 1000
        result["p99_ms"] = durations[int(len(durations) * 0.99)] / 1000
        return result
    return parse


def h2load(url, clients, seconds, streams=1, threads=2):
    """HTTP/2 with `streams` concurrent streams a connection; its
    per-request log gives the percentiles."""
    log = tempfile.mktemp(prefix="gmi-sizing-h2load-")
    argv = ["h2load", "-t", str(threads), "-c", str(clients), "-m", str(streams),
            "-D", str(seconds), f"--log-file={log}", url]
    return Load(argv, parse_h2load(log))


def s_time(host, port, path, seconds, resume, processes=4):
    """`processes` openssl s_time loops, each opening a TLS connection per
    request: a full handshake every time, or (resume) every connection
    after the first resuming its session. Each sends GET path HTTP/1.0 and
    reads the answer until the server closes."""
    argv = ["openssl", "s_time", "-connect", f"{host}:{port}", "-reuse" if resume else "-new",
            "-time", str(seconds), "-www", path]
    return Load(argv, lambda text: {"requests": 0, "rate": 0.0, "p50_ms": None,
                                    "p99_ms": None, "errors": 0},
                extra=[argv] * (processes - 1))
