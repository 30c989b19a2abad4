"""The environments the system tests run in, each built once and handed to
the tests as a fixture; each fixture tears down only what it started, also
when a test fails."""

import os

import pytest

from harness import package, podman
from harness.cluster import VIP, Cluster, report as cluster_report
from harness.command import run
from harness.front import LoopbackFront
from harness.monitor import INTERVAL, SCALE, Monitoring, report as alerts_report
from harness.ports import PortBlock
from harness.roots import cached_root
from harness.systemd import BootedSystemd, SystemdDeployment

PROJECT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def pytest_sessionstart(session):
    if os.geteuid() != 0:
        pytest.exit("the system suite runs as root: it installs packages, boots "
                    "containers and makes network namespaces", returncode=2)


@pytest.fixture(scope="session")
def project():
    return PROJECT


@pytest.fixture(scope="session")
def build():
    """The build tree the make target built (BUILD, as make takes it)."""
    return os.path.join(PROJECT, os.environ.get("BUILD", "build"))


@pytest.fixture(scope="session")
def ports():
    return PortBlock()


@pytest.fixture(scope="session")
def deb():
    """The package, built by `make deb`; its path."""
    output = run("make", "--no-print-directory", "deb", cwd=PROJECT, timeout=1800)
    path = os.path.join(PROJECT, output.splitlines()[-1])
    assert os.path.isfile(path), f"make deb left no package: {output[-500:]}"
    return path


@pytest.fixture(scope="session")
def certificates(tmp_path_factory):
    """Development certificates (scripts/dev-certs.sh): the package ships none."""
    folder = tmp_path_factory.mktemp("tls")
    run(f"{PROJECT}/scripts/dev-certs.sh", str(folder))
    return folder


@pytest.fixture(scope="session")
def host_package(deb):
    """The package installed on this host, with a key file of its own making."""
    if package.installed():
        package.purge()
    if os.path.exists("/etc/default/gmi-server"):
        os.remove("/etc/default/gmi-server")
    package.install(deb)
    yield
    package.purge()


@pytest.fixture
def host_deployment(host_package, ports, tmp_path):
    port = ports.take(3)  # gmi-authz@PORT takes PORT+1 and PORT+2
    deployment = package.HostDeployment(port, tmp_path)
    yield deployment
    deployment.server.stop()
    deployment.authz.stop()


# What the booted container holds besides the package's own dependencies:
# systemd to boot, curl for the checks, Debian's haproxy for the front, and
# sudo, so that the guides' commands run as written.
CONTAINER_PACKAGES = ["systemd", "systemd-sysv", "dbus", "curl", "haproxy", "sudo"]


def package_dependencies(deb):
    """The package's run-time dependencies, first alternatives, no versions."""
    depends = run("dpkg-deb", "-f", deb, "Depends")
    return [alternatives.split("|")[0].split("(")[0].strip()
            for alternatives in depends.split(",") if alternatives.strip()]


@pytest.fixture(scope="session")
def systemd(deb, tmp_path_factory):
    """A booted systemd with the package installed."""
    root = cached_root("systemd", CONTAINER_PACKAGES + package_dependencies(deb))
    container = BootedSystemd(root, tmp_path_factory.mktemp("systemd") / "nspawn.log")
    try:
        container.copy_in(deb, "/root/gmi-server.deb")
        container.run("dpkg", "-i", "/root/gmi-server.deb")
        yield container
    finally:
        container.power_off()


@pytest.fixture
def systemd_deployment(systemd):
    deployment = SystemdDeployment(systemd)
    yield deployment
    systemd.run("systemctl", "stop", "gmi-authz@60002", "gmi-server@60002")


@pytest.fixture(scope="session")
def image():
    """The OCI image `make image` builds, by name."""
    run("make", "--no-print-directory", "image", cwd=PROJECT, timeout=1800)
    with open(f"{PROJECT}/debian/changelog") as changelog:
        version = changelog.readline().split("(")[1].split(")")[0]
    return f"gmi-server:{version}"


@pytest.fixture
def image_deployment(image, ports):
    deployment = podman.ImageDeployment(image, ports.take(2))
    yield deployment
    deployment.remove()


@pytest.fixture(scope="session")
def kube_conf(tmp_path_factory):
    podman.use_own_containers_conf(tmp_path_factory.mktemp("podman") / "containers.conf")


@pytest.fixture
def play(image, kube_conf, tmp_path):
    """The Deployment played with a fresh key; the key."""
    key = podman.new_key()
    played = podman.Play(f"{PROJECT}/deploy/kubernetes/deployment.yaml", key, tmp_path)
    yield key
    played.remove()


@pytest.fixture
def pod0_deployment(image, play):
    return podman.ready_pod(podman.PODS[0], image, play)


@pytest.fixture
def pod1_deployment(image, play):
    return podman.ready_pod(podman.PODS[1], image, play)


@pytest.fixture
def front(project, build, ports, tmp_path):
    """The front on loopback before two instances of its own."""
    started = LoopbackFront(project, build, tmp_path, ports)
    yield started
    started.stop()


@pytest.fixture(scope="session")
def cluster(build, tmp_path_factory):
    """make cluster's hosts, edges and virtual address, up and settled; the
    fronts' and companions' metrics on each node's address, for the
    monitor host."""
    started = Cluster(build, tmp_path_factory.mktemp("cluster"), metrics_on_lan=True)
    try:
        started.up()
        yield started
    finally:
        started.down()


@pytest.fixture(scope="session")
def monitoring(cluster, tmp_path_factory):
    """Prometheus and Alertmanager on the cluster's monitor host, with the
    shipped rules and routes, their time spans scaled down."""
    started = Monitoring(cluster, tmp_path_factory.mktemp("monitoring"))
    yield started
    started.stop()


@pytest.fixture(scope="session")
def token(build):
    """alice's, signed with the development key."""
    return run(f"{build}/gmi-token", "--user", "alice", "--ttl", "3600",
               env={"AUTHSRV_KEYS": "development"}).strip()


def pytest_terminal_summary(terminalreporter):
    for title, lines in (
            (f"the cluster's faults: 32 connections, 10 requests/s each, through {VIP} over TLS",
             cluster_report()),
            (f"alerts from the cluster's faults: every span of the rules and routes divided by "
             f"{SCALE}, scrapes and evaluations every {INTERVAL}; the last column under the "
             "shipped spans", alerts_report())):
        if lines:
            terminalreporter.section(title)
            for line in lines:
                terminalreporter.write_line(line)
