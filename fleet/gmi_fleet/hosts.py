"""The rolling restart across hosts, from an operator host, for the hosts
behind the edge pair: each host in turn is drained at every edge, its
front ends each connection the edges bring after its answer (closing on),
and once the edges hold none, `gmi-fleet restart CMD...` runs on that host;
then closing off, and the host is made ready at every edge again. The
first step that fails stops the run with that host drained at the edges.

gmi-fleet reaches a host through FLEET_ON_HOST, a template split into
words once, as a shell would split it, each word with {name} and {address}
filled in: never handed to a shell, so nothing in a name or address is
ever parsed as a command."""

import re
import shlex
import signal
import subprocess

from .errors import Failed
from .restart import held_out
from .runtime_api import ApiError, RuntimeApi
from .steps import Step, perform, say, wait_until

BACKEND = "gmi-nodes"
DEFAULT_ON_HOST = "ssh {address} gmi-fleet"
NOTHING_DONE = "nothing done to any host"
IN_SERVICE = "in service at the edges"
DRAINED = "drained at every edge"
CLOSING = "drained at every edge, closing on at its front"
PLACEHOLDER = re.compile(r"\{([^{}]*)\}")


def on_host_template(template):
    """The template's words; an unknown placeholder is refused before
    anything runs."""
    try:
        words = shlex.split(template)
    except ValueError as error:
        raise Failed(f"FLEET_ON_HOST: {error}") from None
    if not words:
        raise Failed("FLEET_ON_HOST is empty")
    for word in words:
        for key in PLACEHOLDER.findall(word):
            if key not in ("name", "address"):
                raise Failed(f"FLEET_ON_HOST: unknown placeholder {{{key}}} (only {{name}} "
                             f"and {{address}})")
    return words


def on_host_command(words, host, arguments):
    """The argument vector that runs gmi-fleet ARGUMENTS on host."""
    values = {"name": host.name, "address": host.host}
    return [PLACEHOLDER.sub(lambda m: values[m.group(1)], word) for word in words] + arguments


class Edges:
    """Every edge's runtime API, acted on in the order given."""

    def __init__(self, paths):
        self.apis = [RuntimeApi(path) for path in paths]

    def check(self, host):
        for api in self.apis:
            try:
                admin = api.servers(BACKEND).number("srv_admin_state", be_name=BACKEND,
                                                    srv_name=host.name)
            except ApiError as error:
                raise Failed(f"{api.path}: {error}") from None
            if held_out(admin):
                raise Failed(f"{api.path} holds it {held_out(admin)}, not in service")

    def set_state(self, host, state, before):
        done = []
        for api in self.apis:
            try:
                api.set_state(BACKEND, host.name, state)
            except Failed as failure:
                said = {"drain": "drained", "ready": "ready"}[state]
                left = f"{said} at {', '.join(done)} only" if done else before
                raise Failed(f"{api.path}: {failure}", leaves=left) from None
            done.append(api.path)

    def connections(self, host):
        held = {api.path: api.connections(BACKEND, host.name) for api in self.apis}
        return None if not any(held.values()) else \
            "connections still open: " + ", ".join(f"{p} {n}" for p, n in held.items() if n)

    def down(self, host):
        down = [api.path for api in self.apis if not api.server_up(BACKEND, host.name)]
        return f"not up at {', '.join(down)}" if down else None


def run_on_host(argv, wait, expected):
    """Runs a short command on the host; its only line must be expected."""
    try:
        finished = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True,
                                  text=True, timeout=wait, check=False)
    except OSError as error:
        raise Failed(f"cannot run {argv[0]}: {error.strerror}") from None
    except subprocess.TimeoutExpired:
        raise Failed(f"{shlex.join(argv)} did not return within {wait:g} s") from None
    said = " ".join((finished.stdout + finished.stderr).split())
    if finished.returncode != 0 or finished.stdout.strip() != expected:
        raise Failed(f"{shlex.join(argv)} exited {finished.returncode}: {said or 'nothing said'}")


def restart_on_host(host, argv):
    """Runs the host's own restart, each of its lines shown after the host's
    name; its exit status must be 0."""
    try:
        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, text=True)
    except OSError as error:
        raise Failed(f"cannot run {argv[0]}: {error.strerror}") from None
    with process:
        try:
            for line in process.stdout:
                say(f"{host.name}: {line.rstrip()}")
        except KeyboardInterrupt:
            # Passed on, so that the host's own run stops at its step and
            # says where, before this one says where the host is left.
            process.send_signal(signal.SIGINT)
            for line in process.stdout:
                say(f"{host.name}: {line.rstrip()}")
            raise
    if process.returncode != 0:
        raise Failed(f"the host's restart exited {process.returncode}")


def host_steps(edges, host, words, command, wait):
    def on_host(*arguments):
        return on_host_command(words, host, list(arguments))

    def wait_up():
        try:
            wait_until(lambda: edges.down(host), wait, "up at every edge")
        except Failed as failure:
            edges.set_state(host, "drain", IN_SERVICE)
            raise Failed(f"{failure}; drained again", leaves=DRAINED) from None

    restart = on_host("restart", *command)
    return [
        Step("drain", f"set server {BACKEND}/{host.name} state drain at every edge",
             lambda: edges.set_state(host, "drain", IN_SERVICE), DRAINED),
        Step("closing-on", f"run {shlex.join(on_host('closing', 'on'))}",
             lambda: run_on_host(on_host("closing", "on"), wait, "closing on"), CLOSING),
        Step("released", f"wait until no edge holds a connection to it (up to {wait:g} s)",
             lambda: wait_until(lambda: edges.connections(host), wait,
                                "no connection at the edges"), CLOSING),
        Step("restart", f"run {shlex.join(restart)}", lambda: restart_on_host(host, restart),
             CLOSING),
        Step("closing-off", f"run {shlex.join(on_host('closing', 'off'))}",
             lambda: run_on_host(on_host("closing", "off"), wait, "closing off"), DRAINED),
        Step("ready", f"set server {BACKEND}/{host.name} state ready at every edge",
             lambda: edges.set_state(host, "ready", DRAINED), "ready at the edges"),
        Step("up", f"wait until every edge has it up (up to {wait:g} s)", wait_up, IN_SERVICE),
    ]


def restart_hosts(edges, hosts, words, command, wait, dry_run):
    for host in hosts:
        perform(host.name, [Step("check", f"every edge has {BACKEND}/{host.name} in service",
                                 lambda host=host: edges.check(host), NOTHING_DONE)],
                dry_run, NOTHING_DONE)
    for host in hosts:
        perform(host.name, host_steps(edges, host, words, command, wait), dry_run, IN_SERVICE)
        if not dry_run:
            say(f"{host.name} {host.host} restarted")
    return 0
