"""A procedure is a list of named steps, each with the state its subject is
in once the step has done what it should. Run, the steps go in order, and
the first that fails stops everything with one line, "SUBJECT: STEP: what
was seen; left STATE", the state being the one before that step (it did
not do what it should): nothing after it runs, on this subject or any
later one. In a dry run each step is only listed, "SUBJECT: STEP: what it
would do", and nothing is touched.

Ctrl-C (SIGINT) or SIGTERM during a step stops the run the same way, with
"interrupted" and both states the step lies between."""

import time
from dataclasses import dataclass
from typing import Callable, Optional

from .errors import Failed

POLL_INTERVAL = 0.1


@dataclass
class Step:
    name: str                # names the step in every line about it
    says: str                # what it does, as the dry run lists it
    act: Optional[Callable[[], None]]  # None: nothing to do when run
    after: str               # its subject's state once it has done so


class Stopped(Exception):
    """The run stopped: the one line saying where, and the exit status."""

    def __init__(self, line, status):
        super().__init__(line)
        self.status = status


def say(line):
    # Flushed at once: the lines interleave with those of the commands the
    # tool runs, which write to the same output.
    print(line, flush=True)


def perform(subject, steps, dry_run, before):
    """Runs (or lists) steps for subject, which is in state before."""
    step = None
    try:
        for step in steps:
            if dry_run:
                say(f"{subject}: {step.name}: {step.says}")
                continue
            if step.act:
                step.act()
            before = step.after
    except Failed as failure:
        raise Stopped(f"{subject}: {step.name}: {failure}; "
                      f"{_left(failure.leaves or before)}", 1) from None
    except KeyboardInterrupt as interrupt:
        # Anywhere in the loop, between two steps too: the state is the
        # one before the step under way, or the one it brings.
        status = getattr(interrupt, "status", 130)
        if step is None:
            raise
        between = before if before == step.after else f"{before}, or {step.after}"
        raise Stopped(f"{subject}: {step.name}: interrupted; {_left(between)}", status) from None
    return before


def _left(state):
    return state if state.startswith("nothing") else f"left {state}"


def wait_until(probe, seconds, what):
    """Polls probe() until it returns None (held), for at most seconds; the
    failure says what was waited for and what the probe last saw (its
    return value). A probe that raises Failed stops the wait at once."""
    deadline = time.monotonic() + seconds
    while (seen := probe()) is not None:
        if time.monotonic() >= deadline:
            raise Failed(f"{what}: not within {seconds:g} s ({seen})")
        time.sleep(POLL_INTERVAL)
