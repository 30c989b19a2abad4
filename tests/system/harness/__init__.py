"""What the system tests share: bounded waits, ports, processes, and the
environments the fixtures in conftest.py build (a booted systemd, the
image and its pods, the network-namespace cluster)."""
