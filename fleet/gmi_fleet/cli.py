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


def start_command(arguments, runs_here=True):
    """CMD of a restart, refused before anything is touched when it could
    not run: a start command that failed after the first /quit would leave
    that instance stopped."""
    if arguments and arguments[0].startswith("-"):
        raise Usage(f"'{arguments[0]}': options go before the command")
    if arguments and runs_here and not shutil.which(arguments[0]):
        raise Failed(f"start command {arguments[0]}: not found; nothing done")
    return arguments


def reached_instances(setting, dry_run):
    context = None
    if setting["listeners"] and not dry_run:
        context = targets.listener_context(setting["ca"], setting["client_cert"])
    return targets.targets(read_servers(setting["instances"]), setting["listeners"], context)


def bypass(arguments, dry_run, setting):
    option = on_off(arguments)
    return instances.switch_bypass(reached_instances(setting, dry_run), option, dry_run)


def log(arguments, dry_run, setting):
    if arguments not in ([], ["--json"]):
        raise Usage("log takes only --json")
    return instances.show_logs(reached_instances(setting, dry_run), arguments == ["--json"],
                               dry_run)


def restart_instances(arguments, dry_run, setting):
    command = start_command(arguments)
    return restart.rolling_restart(RuntimeApi(setting["socket"]),
                                   read_servers(setting["instances"]), command,
                                   setting["wait"], dry_run)


def replace_certificate(arguments, dry_run, setting):
    if len(arguments) != 1:
        raise Usage("cert takes one FILE")
    return cert.replace_certificate(RuntimeApi(setting["socket"]), arguments[0],
                                    setting["front_cert"], dry_run)


def set_closing(arguments, dry_run, setting):
    return closing.set_closing(RuntimeApi(setting["socket"]), on_off(arguments), dry_run)


def restart_hosts(arguments, dry_run, setting):
    command = start_command(arguments, runs_here=False)
    if not setting["edges"]:
        raise Usage("FLEET_EDGES names no edge")
    words = hosts.on_host_template(setting["on_host"])
    if not shutil.which(words[0]):
        raise Failed(f"FLEET_ON_HOST: {words[0]}: not found; nothing done")
    return hosts.restart_hosts(hosts.Edges(setting["edges"]), read_servers(setting["nodes"]),
                               words, command, setting["wait"], dry_run)


COMMANDS = {"bypass": bypass, "log": log, "restart": restart_instances,
            "cert": replace_certificate, "closing": set_closing,
            "hosts-restart": restart_hosts}


def _interrupt(number, _frame):
    # Once: a second signal while the run unwinds would cut off the line
    # that says where it stopped.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
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
        if command not in COMMANDS:
            raise Usage(f"unknown command '{command}'" if command else "no command")
        return COMMANDS[command](arguments, dry_run, settings(os.environ))
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
