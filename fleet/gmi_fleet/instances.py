"""bypass and log: one request to every instance, each answer reported on a
line of its own. Unlike a restart these go on past an instance that fails:
bypass off must reach every instance that answers, and a report must show
every one. Any failure makes the exit status 1."""

import json

from .errors import Failed
from .steps import say
from .targets import Unanswered

COUNTS = ("request_count", "invalid_count")


def switch_bypass(targets, option, dry_run):
    expected = json.dumps({"bypass": option.upper()}, separators=(",", ":"))
    failed = False
    for target in targets:
        if dry_run:
            say(f"{target.name}: bypass: GET {target.url(f'/bypass?opt={option}')}, "
                f"expecting {expected}")
            continue
        try:
            answer = target.get(f"/bypass?opt={option}").strip()
        except Failed as failure:
            answer = f"FAILED {_described(failure)}"
        else:
            if answer != expected:
                answer = f"FAILED {answer or '(empty answer)'}"
        failed |= answer.startswith("FAILED")
        say(f"{target.name} {target.where} {answer}")
    return 1 if failed else 0


def statistics(body):
    """A /log answer parsed; Failed unless it holds both counts as integers."""
    try:
        report = json.loads(body)
    except ValueError:
        raise Failed(f"not a statistics report: {body[:200]}") from None
    missing = [name for name in COUNTS
               if not isinstance(report, dict) or type(report.get(name)) is not int]
    if missing:
        raise Failed(f"no {' or '.join(missing)} in its answer: {body[:200]}")
    return report


def show_logs(targets, as_json, dry_run):
    if dry_run:
        for target in targets:
            say(f"{target.name}: log: GET {target.url('/log')}")
        say(f"total: sum {' and '.join(COUNTS)} over the instances that answered")
        return 0
    totals = dict.fromkeys(COUNTS, 0)
    reports, answered = [], 0
    for target in targets:
        entry = {"name": target.name, "where": target.where}
        try:
            body = target.get("/log").strip()
            entry["log"] = statistics(body)
        except Failed as failure:
            entry["error"] = str(failure)
            if not as_json:
                say(f"{target.name} {target.where} FAILED {_described(failure)}")
        else:
            answered += 1
            for name in COUNTS:
                totals[name] += entry["log"][name]
            if not as_json:
                say(f"{target.name} {target.where} {body}")
        reports.append(entry)
    if as_json:
        say(json.dumps({"instances": reports,
                        "total": {**totals, "answered": answered, "instances": len(targets)}},
                       indent=2))
    else:
        say(f"total request_count {totals['request_count']} invalid_count "
            f"{totals['invalid_count']} ({answered} of {len(targets)} instances)")
    return 0 if answered == len(targets) else 1


def _described(failure):
    # The cause of a missing answer is the same for every operator (the
    # instance is down or unreachable); anything else is shown as it came.
    return "(no answer)" if isinstance(failure, Unanswered) else f"({failure})"
