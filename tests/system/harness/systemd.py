"""A booted Debian 12 with systemd, in a container: no systemd runs the
machines the suite runs on, so the package's units are proven in one.

The root is made once by mmdebstrap and cached (roots.py), booted by
systemd-nspawn on a throwaway overlay and entered with nsenter."""

import os
import shutil
import subprocess

from .command import Background, run
from .contract import Deployment
from .poll import wait_until

# A network namespace of the suite's own, joined to the container by a
# veth: 198.18.0.1 outside, 198.18.0.2 inside.
LINK_NAMESPACE = f"gmi-systemd-{os.getpid()}"


def container_init(nspawn):
    """The child of systemd-nspawn that is PID 1 in its own namespace."""
    with open(f"/proc/{nspawn}/task/{nspawn}/children") as children:
        for child in children.read().split():
            with open(f"/proc/{child}/status") as status:
                if any(line.split()[-1] == "1" for line in status if line.startswith("NSpid:")):
                    return int(child)
    return None


class BootedSystemd:
    def __init__(self, root, log):
        # SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 and --system-call-filter=bpf let
        # the systemd inside attach its BPF programs to the units' cgroups:
        # without them IPAddressDeny= is silently not applied. --register=no
        # and --keep-unit because no systemd runs the host. --volatile=overlay
        # keeps the cached root read-only: what is written inside lands in a
        # tmpfs that goes with the container. --private-network gives it a
        # loopback of its own, reached from outside only through link().
        self.nspawn = Background(
            ["systemd-nspawn", "--quiet", "--boot", "--register=no", "--keep-unit",
             "--system-call-filter=bpf", "--private-network", "--volatile=overlay",
             "--console=passive", f"--machine=gmi-check-{os.getpid()}", f"--directory={root}"],
            log, env={**os.environ, "SYSTEMD_NSPAWN_UNIFIED_HIERARCHY": "1"})
        self.linked = False
        self.pid = wait_until(self._init_pid, 10, "the container's init")
        # Until systemd listens, systemctl fails or says "offline" at once;
        # then --wait waits for the end of the boot.
        state = wait_until(self._boot_state, 60, "the container's systemd to finish booting")
        assert state in ("running", "degraded"), f"the container's systemd is {state}"

    def _init_pid(self):
        assert self.nspawn.running(), f"systemd-nspawn ended: {self.nspawn.log()[-2000:]}"
        return container_init(self.nspawn.pid)

    def _boot_state(self):
        state = self.run("systemctl", "is-system-running", "--wait", check=False).strip()
        return None if state in ("", "offline") else state

    def run(self, *argv, check=True, input=None, timeout=120):
        """A command run inside, in every namespace of its init."""
        return run("nsenter", "-t", str(self.pid), "-a", *argv, check=check, input=input,
                   timeout=timeout)

    def in_network(self, *argv):
        """A command of this host's, run in the container's network namespace."""
        return run("nsenter", "-t", str(self.pid), "-n", *argv)

    def copy_in(self, source, path):
        """A file of this host's, copied to path inside."""
        shutil.copy(source, f"/proc/{self.pid}/root{path}")

    def curl(self, *arguments):
        return self.run("curl", *arguments)

    def mint(self, user):
        """A token for user, signed with the installed key."""
        return self.run("sh", "-c", 'set -a; . /etc/default/gmi-server; gmi-token --user "$1"',
                        "sh", user).strip()

    def unit(self, unit, prop):
        return self.run("systemctl", "show", "-P", prop, unit).strip()

    def journal(self, match):
        """The lines journald holds for one match (_PID=..., _SYSTEMD_INVOCATION_ID=...)."""
        return self.run("journalctl", "-q", "-o", "cat", match).splitlines()

    def link(self):
        """The veth from a namespace of the suite's own into the container;
        the namespace's name, for `ip netns exec`."""
        run("ip", "netns", "add", LINK_NAMESPACE)
        self.linked = True
        run("ip", "-n", LINK_NAMESPACE, "link", "add", "gmi-out", "type", "veth",
            "peer", "name", "gmi-in", "netns", str(self.pid))
        run("ip", "-n", LINK_NAMESPACE, "addr", "add", "198.18.0.1/24", "dev", "gmi-out")
        run("ip", "-n", LINK_NAMESPACE, "link", "set", "gmi-out", "up")
        self.in_network("ip", "addr", "add", "198.18.0.2/24", "dev", "gmi-in")
        self.in_network("ip", "link", "set", "gmi-in", "up")
        return LINK_NAMESPACE

    def power_off(self):
        """SIGTERM asks the container's systemd to halt; SIGKILL after 30 s.
        Deleting the suite's namespace deletes the veth."""
        self.nspawn.stop(timeout=30)
        if self.linked:
            subprocess.run(["ip", "netns", "del", LINK_NAMESPACE], check=False)


class SystemdDeployment(Deployment):
    """gmi-server@PORT and gmi-authz@PORT, enabled as the README says and
    started afresh; stopped with systemctl stop."""

    def __init__(self, systemd, port=60002):
        self.systemd, self.port = systemd, port
        self.server_unit = f"gmi-server@{port}"
        # Restarted, so that every run starts from fresh counts.
        systemd.run("systemctl", "enable", "--quiet", self.server_unit, f"gmi-authz@{port}")
        systemd.run("systemctl", "restart", self.server_unit, f"gmi-authz@{port}")
        self.invocation = systemd.unit(self.server_unit, "InvocationID")
        self.service, self.decisions = f"http://127.0.0.1:{port}", f"http://127.0.0.1:{port + 1}"
        self.curl, self.mint = systemd.curl, systemd.mint
        wait_until(lambda: self.curl("-sf", self.service + "/log"), 10, f"{self.server_unit} to answer")
        for unit in (self.server_unit, f"gmi-authz@{port}"):
            assert systemd.unit(unit, "ActiveState") == "active", f"{unit} not active"

    def stop(self):
        self.systemd.run("systemctl", "stop", self.server_unit)
        lines = self.systemd.journal(f"_SYSTEMD_INVOCATION_ID={self.invocation}")
        ended = [self.systemd.unit(self.server_unit, name)
                 for name in ("ExecMainCode", "ExecMainStatus", "Result")]
        # ExecMainCode 1 is CLD_EXITED: an exit, not a signal.
        return lines, 0 if ended == ["1", "0", "success"] else f"ended {ended}"
