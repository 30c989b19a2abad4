"""The command line: the settings from the environment, the usage, and one
call per command. Exit status 0 when everything did what it should, 1 at
the first failure (restarts, cert, closing) or when any instance failed
(bypass, log), 2 for a usage or setting error, 128+N when stopped by
signal N (see steps.py)."""

import os
import shutil
import signal
import sys

from . import cert, closing, hosts, instances, restart, targets
from .errors import Failed
from .lists import read_servers
from .runtime_api import RuntimeApi
from .steps import Stopped, say

USAGE = """\
usage: gmi-fleet [--dry-run] COMMAND
  bypass on|off          switch bypass on every instance
  log [--json]           each instance's /log, and the summed counts
  restart [CMD...]       rolling restart, one instance at a time
  cert FILE              serve FILE (certificate, chain, then key, PEM) on
                         the front's TLS listeners from now on
  closing on|off         while on, the front ends each connection that came
                         through the edges after its answer
  hosts-restart [CMD...] rolling restart across hosts, host by host
--dry-run lists every step and does none. See gmi-fleet(8)."""


class Usage(Exception):
    pass


def settings(environment):
    """The environment's settings, each with its default."""
    get = environment.get
    try:
        wait = float(get("FLEET_WAIT", "20"))
    except ValueError:
        wait = -1
    if not wait > 0:
        raise Usage(f"FLEET_WAIT must be a number of seconds above 0, not '{get('FLEET_WAIT')}'")
    return {
        "instances": get("GMI_INSTANCES", "/etc/haproxy/gmi-instances.cfg"),
        "socket": get("FRONT_ADMIN_SOCKET", "/run/haproxy/gmi-admin.sock"),
        "wait": wait,
        "listeners": get("FLEET_ADMIN", "").split(),
        "ca": get("FLEET_CA", "/etc/haproxy/gmi-tls/ca.pem"),
        "client_cert": get("FLEET_CLIENT_CERT", "/etc/haproxy/gmi-tls/operator.pem"),
        "front_cert": get("FRONT_CERT", ""),
        "nodes": get("FLEET_NODES", "/etc/haproxy/gmi-nodes.cfg"),
        "edges": get("FLEET_EDGES", "").split(),
        "on_host": get("FLEET_ON_HOST", hosts.DEFAULT_ON_HOST),
    }


def on_off(arguments):
    if arguments not in (["on"], ["off"]):
        raise Usage("expected on or off")
    return arguments[0]


def start_command(arguments):
    """CMD of a restart, refused before anything is touched when it could
    not run: a start command that fails after the first /quit leaves that
    instance stopped."""
    if arguments and arguments[0].startswith("-"):
        raise Usage(f"'{arguments[0]}': options go before the command")
    return arguments


def dispatch(command, arguments, dry_run, setting):
    if command == "bypass":
        option = on_off(arguments)
        context = targets.listener_context(setting["ca"], setting["client_cert"]) \
            if setting["listeners"] and not dry_run else None
        reached = targets.targets(read_servers(setting["instances"]), setting["listeners"], context)
        return instances.switch_bypass(reached, option, dry_run)
    if command == "log":
        if arguments not in ([], ["--json"]):
            raise Usage("log takes only --json")
        context = targets.listener_context(setting["ca"], setting["client_cert"]) \
            if setting["listeners"] and not dry_run else None
        reached = targets.targets(read_servers(setting["instances"]), setting["listeners"], context)
        return instances.show_logs(reached, arguments == ["--json"], dry_run)
    if command == "restart":
        cmd = start_command(arguments)
        if cmd and not shutil.which(cmd[0]):
            raise Failed(f"start command {cmd[0]}: not found; nothing done")
        return restart.rolling_restart(RuntimeApi(setting["socket"]), read_servers(setting["instances"]),
                                       cmd, setting["wait"], dry_run)
    if command == "cert":
        if len(arguments) != 1:
            raise Usage("cert takes one FILE")
        return cert.replace_certificate(RuntimeApi(setting["socket"]), arguments[0],
                                        setting["front_cert"], dry_run)
    if command == "closing":
        return closing.set_closing(RuntimeApi(setting["socket"]), on_off(arguments), dry_run)
    if command == "hosts-restart":
        cmd = start_command(arguments)
        if not setting["edges"]:
            raise Usage("FLEET_EDGES names no edge")
        words = hosts.on_host_template(setting["on_host"])
        if not shutil.which(words[0]):
            raise Failed(f"FLEET_ON_HOST: {words[0]}: not found; nothing done")
        return hosts.restart_hosts(hosts.Edges(setting["edges"]), read_servers(setting["nodes"]),
                                   words, cmd, setting["wait"], dry_run)
    raise Usage(f"unknown command '{command}'" if command else "no command")


def _interrupt(number, _frame):
    interrupt = KeyboardInterrupt()
    interrupt.status = 128 + number
    raise interrupt


def main(argv):
    signal.signal(signal.SIGTERM, _interrupt)
    signal.signal(signal.SIGINT, _interrupt)
    dry_run = False
    while argv and argv[0] in ("--dry-run", "--help", "-h"):
        if argv[0] in ("--help", "-h"):
            say(USAGE)
            return 0
        dry_run, argv = True, argv[1:]
    command, arguments = (argv[0], argv[1:]) if argv else ("", [])
    try:
        return dispatch(command, arguments, dry_run, settings(os.environ))
    except Usage as error:
        print(f"gmi-fleet: {error}\n{USAGE}", file=sys.stderr)
        return 2
    except Failed as failure:
        say(str(failure))
        return 1
    except Stopped as stop:
        say(str(stop))
        return stop.status
    except KeyboardInterrupt as interrupt:
        # Outside any step: nothing was being changed.
        say("interrupted; nothing was being changed")
        return getattr(interrupt, "status", 130)
