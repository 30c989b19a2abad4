"""The rolling restart of this host's instances, one at a time behind the
front, so that a bad build never takes more than one instance out: every
instance is first checked to be a server the front knows at the address
the list gives, then each in turn is drained, stopped, started and put
back, and the first step that fails stops the run with that instance
drained or in maintenance."""

import os
import shlex
import subprocess

from .errors import Failed
from .runtime_api import FORCED_DRAIN, FORCED_MAINT, ApiError
from .steps import Step, perform, say, wait_until
from .targets import Direct, answers, silent

BACKEND = "gmi-instances"
NOTHING_DONE = "nothing done to any instance"
IN_SERVICE = "in service"
DRAINED = "drained at the front"
MAINTENANCE = "in maintenance at the front"


def check_step(api, server):
    """The front has server in its backend, at the address of the list
    (else the /quit of a later step would stop a process the front never
    took out), and in service: one that an operator, or a run that failed
    on it, left drained or in maintenance is not put back by this one."""
    def act():
        table = api.servers(BACKEND)
        try:
            table.row(be_name=BACKEND, srv_name=server.name)
        except ApiError:
            raise Failed(f"the front has no server {server.name} in {BACKEND}") from None
        host = table.field("srv_addr", be_name=BACKEND, srv_name=server.name)
        port = table.field("srv_port", be_name=BACKEND, srv_name=server.name)
        if port != str(server.port) or (_literal(server.host) and host != server.host):
            raise Failed(f"the front has it at {host}:{port}, the instance list at "
                         f"{server.address}")
        held = held_out(table.number("srv_admin_state", be_name=BACKEND, srv_name=server.name))
        if held:
            raise Failed(f"the front holds it {held}, not in service")
    return Step("check", f"the front has {BACKEND}/{server.name} in service at {server.address} "
                f"(show servers state {BACKEND})", act, NOTHING_DONE)


def held_out(admin_state):
    """How an operator's state keeps a server out of service, if it does."""
    if admin_state & FORCED_MAINT:
        return f"in maintenance (srv_admin_state {admin_state})"
    if admin_state & FORCED_DRAIN:
        return f"drained (srv_admin_state {admin_state})"
    return None


def _literal(host):
    """An address rather than a name, which the front would have resolved."""
    return host.replace(".", "").isdigit() or ":" in host


def restart_steps(api, server, command, wait):
    instance = Direct(server)
    environment = {**os.environ, "NAME": server.name, "HOST": server.host,
                   "PORT": str(server.port)}

    def set_state(state):
        return lambda: api.set_state(BACKEND, server.name, state)

    def drained():
        running = api.connections(BACKEND, server.name)
        return None if running == 0 else f"{running} requests still running"

    def up():
        if api.server_up(BACKEND, server.name):
            return None
        table = api.servers(BACKEND)
        return ", ".join(f"{column} {table.field(column, be_name=BACKEND, srv_name=server.name)}"
                         for column in ("srv_op_state", "srv_admin_state"))

    def quit_():
        # Its answer is not needed, and an instance that had already
        # stopped gives none: the next step checks that it is silent.
        try:
            instance.get("/quit")
        except Failed:
            pass

    def start():
        try:
            finished = subprocess.run(command, env=environment, stdin=subprocess.DEVNULL,
                                      timeout=wait, check=False)
        except OSError as error:
            raise Failed(f"cannot run {command[0]}: {error.strerror}") from None
        except subprocess.TimeoutExpired:
            raise Failed(f"the start command did not return within {wait:g} s") from None
        if finished.returncode != 0:
            raise Failed(f"the start command exited {finished.returncode}")

    def wait_up():
        try:
            wait_until(up, wait, "up at the front")
        except Failed as failure:
            # Never left in service unseen: back into maintenance, said so.
            api.set_state(BACKEND, server.name, "maint")
            raise Failed(f"{failure}; put back in maintenance", leaves=MAINTENANCE) from None

    shown = shlex.join(command)
    return [
        Step("drain", f"set server {BACKEND}/{server.name} state drain", set_state("drain"),
             DRAINED),
        Step("drained", f"wait until the front runs no request on it (up to {wait:g} s)",
             lambda: wait_until(drained, wait, "no request running"), DRAINED),
        Step("maint", f"set server {BACKEND}/{server.name} state maint", set_state("maint"),
             MAINTENANCE),
        Step("quit", f"GET {instance.url('/quit')}", quit_, MAINTENANCE),
        Step("stopped", f"wait until {instance.url('/log')} no longer answers (up to {wait:g} s)",
             lambda: wait_until(lambda: silent(instance), wait, "its /log silent"), MAINTENANCE),
        Step("start", f"run {shown} with NAME={server.name} HOST={server.host} PORT={server.port}"
             if command else "none: its supervisor starts it", start if command else None,
             MAINTENANCE),
        Step("answers", f"wait until {instance.url('/log')} answers (up to {wait:g} s)",
             lambda: wait_until(lambda: answers(instance), wait, "its /log answering"),
             MAINTENANCE),
        Step("ready", f"set server {BACKEND}/{server.name} state ready", set_state("ready"),
             "ready at the front, its health check not yet passed"),
        Step("up", f"wait until the front has it up (up to {wait:g} s)", wait_up, IN_SERVICE),
    ]


def rolling_restart(api, servers, command, wait, dry_run):
    for server in servers:
        perform(server.name, [check_step(api, server)], dry_run, NOTHING_DONE)
    for server in servers:
        perform(server.name, restart_steps(api, server, command, wait), dry_run, IN_SERVICE)
        if not dry_run:
            say(f"{server.name} {server.address} restarted")
    return 0
