"""What the system tests share: bounded waits, ports, processes, and the
environments the fixtures in conftest.py build (a booted systemd, the
image and its pods, the network-namespace cluster).

HAProxy's runtime API is read through gmi-fleet's own client (fleet/), so
that the front's tables are parsed by one reader, the one operators run."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "..", "fleet"))
