"""The README's promise: on a fresh Debian 12 holding only git, make, curl
and ca-certificates, the project cloned into it, `make run` answers a
minted token and `make test` passes. Both run in one container, one after
the other, as a new user would type them; everything else they need they
install themselves."""

import os

import pytest

from harness.command import Background, run
from harness.contract import VALID
from harness.poll import wait_until
from harness.ports import LOCK_DIR
from harness.roots import CACHE, cached_root
from harness.systemd import container_init

pytestmark = pytest.mark.readme


def test_make_run_then_make_test_on_a_fresh_debian_12(project, ports, tmp_path):
    # The /etc/hosts Debian's installer writes, which no package holds:
    # without it, nothing here resolves localhost.
    root = cached_root("readme", ["git", "make", "curl", "ca-certificates"], hooks=[
        "printf '127.0.0.1\\tlocalhost\\n::1\\tlocalhost ip6-localhost ip6-loopback\\n' "
        '>"$1/etc/hosts"'])
    clone = tmp_path / "gmi-server"
    run("git", "clone", "--quiet", project, str(clone))
    archives = f"{CACHE}/readme-apt-archives"  # downloads only: nothing installed is kept
    os.makedirs(f"{archives}/partial", exist_ok=True)
    port = ports.take()
    # The host's network, so that apt reaches Debian's mirrors; the host's
    # port blocks, so that the suite inside never takes a port in use here.
    # /etc/localtime left as the root has it: bound to the host's, as nspawn
    # does by default, tzdata could not install.
    container = Background(
        ["systemd-nspawn", "--quiet", "--register=no", "--keep-unit", "--volatile=overlay",
         "--timezone=off",
         f"--directory={root}", f"--bind={clone}:/root/gmi-server", f"--bind={LOCK_DIR}",
         f"--bind={archives}:/var/cache/apt/archives", "--chdir=/root/gmi-server",
         "--setenv=DEBIAN_FRONTEND=noninteractive",
         "sh", "-c", f"PORT={port} make run && make test"], tmp_path / "container.log")
    try:
        wait_until(lambda: run("curl", "-sf", f"http://127.0.0.1:{port}/log", check=False)
                   or not container.running(), 1800, "make run serving")
        assert container.running(), container.log()[-3000:]
        token = run("nsenter", "-t", str(container_init(container.pid)), "-a", "env",
                    "AUTHSRV_KEYS=development", "/root/gmi-server/build/gmi-token",
                    "--user", "alice", "--ttl", "3600").strip()
        assert run("curl", "-sS", f"http://127.0.0.1:{port}/login?userid=alice&gmi={token}") == VALID
        run("curl", "-sS", f"http://127.0.0.1:{port}/quit")
        status = container.wait(2400)
    finally:
        container.stop(timeout=30)
    assert status == 0, failures(container.log())
    assert "100% tests passed" in container.log()


def failures(log):
    """What a failed run shows: each failed case's output, else the end."""
    lines = log.splitlines()
    failed = [i for i, line in enumerate(lines) if "***" in line]
    return "\n".join("\n".join(lines[i:i + 40]) for i in failed) or log[-5000:]
