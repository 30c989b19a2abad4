"""The Debian package on this host: installed and purged with apt, its
programs run as their units say (no systemd runs here: the booted one in
systemd.py runs the units themselves)."""

import concurrent.futures
import ctypes
import errno
import re
import shlex

from .command import Background, run
from .contract import Deployment
from .poll import wait_until

UNITS = "/lib/systemd/system"
SERVER_UNIT = "gmi-server@.service"
AUTHZ_UNIT = "gmi-authz@.service"
PR_SET_MDWE, MDWE_REFUSE_EXEC_GAIN = 65, 1


def installed():
    status = run("dpkg-query", "-W", "-f=${Status}", "gmi-server", check=False)
    return status == "install ok installed"


def install(deb):
    run("apt-get", "install", "-y", "-qq", "--reinstall", f"./{deb}" if deb[0] != "/" else deb)


def purge():
    run("apt-get", "purge", "-y", "-qq", "gmi-server")


def unit_setting(unit, key, port, pid=""):
    """KEY='s value in the installed unit, with the instance and main PID
    filled in and systemd's "$$" unescaped, as systemd would run it."""
    with open(f"{UNITS}/{unit}") as text:
        match = re.search(rf"^{key}=(.*)$", text.read(), re.M)
    assert match, f"{unit} has no {key}="
    return match.group(1).replace("%i", str(port)).replace("${MAINPID}", str(pid)) \
        .replace("$$", "$")


def unit_environment(port):
    """Only the environment file's settings, as under systemd: none inherited."""
    path = unit_setting(SERVER_UNIT, "EnvironmentFile", port).lstrip("-")
    with open(path) as settings:
        pairs = [line.rstrip("\n").split("=", 1) for line in settings if re.match(r"^[A-Z_]+=", line)]
    return {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", **dict(pairs)}


def deny_write_execute():
    """The kernel's form of MemoryDenyWriteExecute=, where it has one: the
    process may never map memory writable and executable."""
    libc = ctypes.CDLL(None, use_errno=True)
    # EINVAL: a kernel older than the option (6.3), which runs it unguarded.
    refused = libc.prctl(PR_SET_MDWE, MDWE_REFUSE_EXEC_GAIN, 0, 0, 0) != 0
    if refused and ctypes.get_errno() != errno.EINVAL:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_MDWE)")


class HostDeployment(Deployment):
    """gmi-server@PORT and gmi-authz@PORT run as their units' ExecStart,
    WorkingDirectory and EnvironmentFile say, stopped by the unit's ExecStop."""

    def __init__(self, port, logs):
        self.port = port
        self.environment = unit_environment(port)
        self.server = Background(shlex.split(unit_setting(SERVER_UNIT, "ExecStart", port)),
                                 f"{logs}/server-{port}.log", env=self.environment,
                                 cwd=unit_setting(SERVER_UNIT, "WorkingDirectory", port),
                                 preexec_fn=deny_write_execute)
        self.authz = Background(shlex.split(unit_setting(AUTHZ_UNIT, "ExecStart", port)),
                                f"{logs}/authz-{port}.log", env={"PATH": self.environment["PATH"]},
                                preexec_fn=deny_write_execute)
        self.service, self.decisions = f"http://127.0.0.1:{port}", f"http://127.0.0.1:{port + 1}"
        for process, url in ((self.server, self.service + "/log"),
                             (self.authz, f"http://127.0.0.1:{port + 2}/healthz")):
            wait_until(lambda: self.curl("-sf", "-m", "1", url) or not process.running(), 10,
                       f"{url} to answer")
            assert process.running(), process.log()

    def mint(self, user):
        return run("/usr/bin/gmi-token", "--user", user, env=self.environment).strip()

    def stop(self):
        assert self.authz.stop() == 0, "gmi-authz after SIGTERM"
        # Reaped as it exits, as systemd reaps its units' processes: the
        # stop command waits for the process to be gone, a zombie included.
        exit_status = concurrent.futures.ThreadPoolExecutor(1).submit(self.server.wait, 30)
        run(*shlex.split(unit_setting(SERVER_UNIT, "ExecStop", self.port, self.server.pid)))
        # It returns only once the service has exited, or systemd would go
        # on to SIGTERM.
        assert not self.server.running(), "the service still runs after ExecStop returned"
        return self.server.log().splitlines(), exit_status.result()
