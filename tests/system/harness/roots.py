"""Debian 12 roots made by mmdebstrap, cached between runs and keyed by
what they hold: a package added to a list makes a new root, and the old
one of that kind is removed. Made under a lock, in a directory renamed at
the end, so an interrupted run leaves no half root."""

import fcntl
import glob
import hashlib
import os
import shutil

from .command import run

CACHE = os.environ.get("GMI_CHECK_CACHE", "/var/cache/gmi-server-checks")


def cached_root(kind, packages, variant="apt", hooks=()):
    """hooks: shell commands mmdebstrap runs on the finished root, "$1"."""
    key = hashlib.sha256("\n".join(["bookworm", variant, *sorted(set(packages)), *hooks]).encode())
    root = f"{CACHE}/{kind}-root-{key.hexdigest()[:16]}"
    os.makedirs(CACHE, exist_ok=True)
    with open(f"{CACHE}/.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.isdir(root):
            for old in glob.glob(f"{CACHE}/{kind}-root-*"):
                shutil.rmtree(old)
            run("mmdebstrap", "--quiet", f"--variant={variant}",
                f"--include={','.join(sorted(set(packages)))}",
                *[f"--customize-hook={hook}" for hook in hooks], "bookworm", f"{root}.new",
                timeout=1200)
            os.rename(f"{root}.new", root)
    return root
