"""Bounded waits. Every wait in the suite polls its condition itself, and
one that runs out fails saying what it waited for and what it last saw."""

import time


def wait_until(condition, timeout, what, interval=0.1):
    """condition()'s first true value, polled every interval for up to
    timeout seconds; a condition that raises has simply not held yet."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            seen = condition()
            if seen:
                return seen
        except Exception as error:  # noqa: BLE001: a probe failing is "not yet"
            seen = error
        if time.monotonic() >= deadline:
            raise AssertionError(f"{what}: not within {timeout} s; last seen: {seen!r}")
        time.sleep(interval)


def holds_for(condition, seconds, what, interval=0.1):
    """Fails as soon as condition() stops holding within the next seconds:
    for what must stay true, such as a stopped unit staying stopped."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        assert condition(), f"{what}: no longer held"
        time.sleep(interval)
