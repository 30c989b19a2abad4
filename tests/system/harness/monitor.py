"""A monitoring pair on the cluster's monitor host, as a site runs one:
Debian's Prometheus scraping every companion and every front of the
cluster with the shipped rules (deploy/prometheus/gmi-alerts.yml), and
Debian's Alertmanager routing as the shipped alertmanager.yml to a webhook
receiver that records every notification. Both files are loaded as shipped
but for their time spans, all divided by SCALE, so that a rule's `for:`
passes in seconds; then each fault's alerts, their notifications and
resolutions, and the table of how long each took, printed at the end of the
run."""

import json
import os
import re
import time
import urllib.parse

from .cluster import ADDRESS, FRONT_METRICS_PORT, INSTANCE_PORTS, NODES, at_rest, namespace
from .command import Background, run
from .poll import wait_until

PROJECT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
RULES = f"{PROJECT}/deploy/prometheus/gmi-alerts.yml"
ROUTES = f"{PROJECT}/deploy/prometheus/alertmanager.yml"
# 30: the shipped spans become seconds (for: 2m is 4 s, the longest, 10m,
# is 20 s, GmiServiceRestarting's 15-minute window 30 s), so a fault's
# alerts fire and resolve within a minute, and every rate window keeps
# several scrapes (the shortest, 3m, is 6 s: 6 scrapes).
SCALE = 30
# Scrapes and evaluations every second: the scaled for: of 1m is 2 s, which
# must still span more than one evaluation, and a scrape of the 9 targets a
# second costs the 2 shared cores little (each companion's is one /log).
# HAProxy's and the instances' own timings are not scaled: a health check
# still takes 2 s to find an instance down.
INTERVAL = "1s"
PROMETHEUS, ALERTMANAGER = "127.0.0.1:9090", "127.0.0.1:9093"
TABLE = []  # rows: each alert a fault raised, how long until notified and resolved


def seconds(span):
    return int(span[:-1]) * {"s": 1, "m": 60, "h": 3600}[span[-1]]


def scaled(text, pattern):
    """text with every span matched by pattern's group "span" divided by SCALE."""
    def shorter(match):
        whole = seconds(match["span"])
        assert whole % SCALE == 0, f"{match[0]}: not a whole number of seconds over {SCALE}"
        return match[0].replace(match["span"], f"{whole // SCALE}s")
    return re.sub(pattern, shorter, text)


def scaled_rules(text):
    """Every for: and every range window."""
    shorter = scaled(scaled(text, r"\bfor: (?P<span>\d+[smh])\b"), r"\[(?P<span>\d+[smh])\]")
    assert not re.search(r"\bfor: \d+[mh]\b|\[\d+[mh]\]", shorter), "a span left unscaled"
    return shorter


def scaled_routes(text):
    return scaled(text, r"\b(?:group_wait|group_interval|repeat_interval): (?P<span>\d+[smh])\b")


def shipped_waits():
    """{alert: its for: in seconds} from the shipped file, comments left out."""
    text = "\n".join(line for line in open(RULES) if not line.lstrip().startswith("#"))
    waits = {}
    for block in text.split("- alert: ")[1:]:
        wait = re.search(r"^\s*for: (\d+[smh])", block, re.M)
        waits[block.split()[0]] = seconds(wait[1]) if wait else 0
    return waits


def target(node, port):
    """No name resolves in the cluster's namespaces: each target carries the
    instance label its host name would have given it (gmi-node1:60004)."""
    return {"targets": [f"{ADDRESS[node]}:{port}"], "labels": {"instance": f"gmi-{node}:{port}"}}


def prometheus_config(rules):
    """What docs/monitoring.md shows for several hosts, as JSON (which is
    YAML): one job for every companion, one for every front."""
    companions = [target(node, port + 2) for node in NODES for port in INSTANCE_PORTS]
    fronts = [target(node, FRONT_METRICS_PORT) for node in NODES]
    return {"global": {"scrape_interval": INTERVAL, "scrape_timeout": INTERVAL,
                       "evaluation_interval": INTERVAL},
            "rule_files": [rules],
            "alerting": {"alertmanagers": [{"static_configs": [{"targets": [ALERTMANAGER]}]}]},
            "scrape_configs": [{"job_name": "gmi", "static_configs": companions},
                               {"job_name": "gmi-front", "static_configs": fronts}]}


class Monitoring:
    """Prometheus, Alertmanager and the receiver on the monitor host, each
    stopped by its own pid."""

    def __init__(self, cluster, folder):
        self.cluster, self.folder, self.processes = cluster, folder, []
        self.targets = len(NODES) * (len(INSTANCE_PORTS) + 1)
        with open(RULES) as shipped, open(f"{folder}/gmi-alerts.yml", "w") as rules:
            rules.write(scaled_rules(shipped.read()))
        with open(ROUTES) as shipped, open(f"{folder}/alertmanager.yml", "w") as routes:
            routing = shipped.read()
            routes.write(scaled_routes(routing))
        with open(f"{folder}/prometheus.yml", "w") as config:
            json.dump(prometheus_config(f"{folder}/gmi-alerts.yml"), config, indent=1)
        # The receivers' URLs stay as shipped: the receiver takes their
        # address, on the monitor host's loopback.
        listens, = set(re.findall(r"url: http://([\d.]+:\d+)/", routing))
        self.record = f"{folder}/notifications.jsonl"
        open(self.record, "w").close()
        try:
            self.start("receiver", "/usr/bin/python3", f"{os.path.dirname(__file__)}/receiver.py",
                       *listens.split(":"), self.record)
            self.start("alertmanager", "prometheus-alertmanager",
                       f"--config.file={folder}/alertmanager.yml", f"--storage.path={folder}/am",
                       f"--web.listen-address={ALERTMANAGER}", "--cluster.listen-address=")
            self.start("prometheus", "prometheus", f"--config.file={folder}/prometheus.yml",
                       f"--storage.tsdb.path={folder}/tsdb", f"--web.listen-address={PROMETHEUS}")
            wait_until(lambda: self.query("count(up == 1)") == self.targets, 30,
                       f"Prometheus scraping all {self.targets} targets")
        except BaseException:
            self.stop()
            raise

    def start(self, name, *argv):
        self.processes.append(Background(["ip", "netns", "exec", namespace("monitor"), *argv],
                                         f"{self.folder}/{name}.log"))

    def stop(self):
        for process in reversed(self.processes):
            process.stop()

    def api(self, path):
        return json.loads(run("ip", "netns", "exec", namespace("monitor"), "curl", "-sf", "-m", "2",
                              f"http://{PROMETHEUS}{path}"))["data"]

    def query(self, expression):
        """The value of an expression of one element, or None."""
        result = self.api(f"/api/v1/query?query={urllib.parse.quote(expression)}")["result"]
        return float(result[0]["value"][1]) if result else None

    def alerts(self):
        """Every alert pending or firing in Prometheus now."""
        return self.api("/api/v1/alerts")["alerts"]

    def quiet(self):
        return not self.alerts() and self.query("count(up == 1)") == self.targets

    def notified(self, since):
        """Each alert notified since line `since` of the record: its labels,
        annotations, receiver path, and when it was first sent firing and
        first sent resolved."""
        with open(self.record) as lines:
            records = [json.loads(line) for line in lines.readlines()[since:]]
        alerts = {}
        for record in records:
            for alert in record["body"]["alerts"]:
                seen = alerts.setdefault(tuple(sorted(alert["labels"].items())), {
                    "labels": alert["labels"], "annotations": alert["annotations"],
                    "path": record["path"], "firing": None, "resolved": None})
                if seen[alert["status"]] is None:
                    seen[alert["status"]] = record["at"]
        return list(alerts.values())

    def mark(self):
        with open(self.record) as lines:
            return len(lines.readlines())

    def prove(self, fault, cause, mend, expected, timeout=90):
        """Once nothing fires: causes the fault, waits until every expected
        alert is notified, mends it, and waits until every alert notified
        meanwhile is resolved. Fails when another alert was notified, or
        was pending or firing in Prometheus when the expected ones had all
        been notified, when an alert reached the wrong receiver, or when its
        summary does not name the target. Rows for the table."""
        wait_until(lambda: at_rest(self.cluster) and self.quiet(), 120,
                   "the cluster at rest, every target scraped, no alert pending or firing")
        since, start = self.mark(), time.monotonic()
        try:
            cause()
            try:
                wait_until(lambda: all(any(matches(a, e) for a in self.notified(since)
                                           if a["firing"]) for e in expected),
                           timeout, f"{fault}: every alert notified")
            except AssertionError as missed:
                raise AssertionError(f"{missed}; expected {expected}, notified "
                                     f"{[a['labels'] for a in self.notified(since)]}") from None
            meanwhile = [alert["labels"] for alert in self.alerts()]
        finally:
            mended = time.monotonic()
            mend()
        wait_until(lambda: all(a["resolved"] for a in self.notified(since)), timeout,
                   f"{fault}: every alert resolved")
        notified = self.notified(since)
        for alert in notified:
            labels = alert["labels"]
            TABLE.append((fault, labels["alertname"], labels["instance"],
                          labels.get("server") or labels.get("proxy") or "", labels["severity"],
                          alert["firing"] - start, alert["resolved"] - mended))
        others = [a["labels"] for a in notified if not any(matches(a, e) for e in expected)]
        others += [labels for labels in meanwhile if not any(e.items() <= labels.items()
                                                               for e in expected)]
        assert not others, f"{fault}: other alerts than those expected: {others}"
        for alert in notified:
            labels, summary = alert["labels"], alert["annotations"]["summary"]
            assert alert["path"] == f"/gmi-{labels['severity']}", \
                f"{labels['alertname']} ({labels['severity']}) sent to {alert['path']}"
            assert labels["instance"] in summary, f"{labels['alertname']}: '{summary}'"
        assert all(sum(matches(a, e) for a in notified) == 1 for e in expected), \
            f"{fault}: expected {expected}, notified {[a['labels'] for a in notified]}"


def matches(alert, expected):
    return expected.items() <= alert["labels"].items()


def report():
    """The table of every alert raised, and how long it would take under the
    shipped spans: for the terminal summary."""
    if not TABLE:
        return []
    waits = shipped_waits()
    lines = ["| fault | alert | instance | server / proxy | severity | notified after | "
             "resolved after mending | shipped, at most |", "|---|---|---|---|---|---|---|---|"]
    for fault, alert, instance, detail, severity, fired, resolved in TABLE:
        lines.append(f"| {fault} | {alert} | {instance} | {detail} | {severity} | {fired:.1f} s | "
                     f"{resolved:.1f} s | {shipped_delay(fired, waits[alert]):.0f} s |")
    return lines


# Debian's prometheus.yml scrapes and evaluates every 15 s.
SHIPPED_SCRAPE = SHIPPED_EVALUATION = 15


def shipped_delay(measured, wait):
    """From a fault to its notification under the shipped spans, at most:
    detection + scrape interval + evaluation interval + for + group_wait,
    where detection is what the measured delay holds beyond the scaled
    for: and group_wait: the exporter's own lag (2 s for HAProxy's health
    check), and the test's own scrape and evaluation, 2 s at most, which
    makes this an upper bound."""
    group_wait = seconds(re.search(r"group_wait: (\d+[smh])", open(ROUTES).read())[1])
    detection = max(measured - (wait + group_wait) / SCALE, 0)
    return detection + SHIPPED_SCRAPE + SHIPPED_EVALUATION + wait + group_wait
