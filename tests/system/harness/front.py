"""The front on this host's loopback: HAProxy running the shipped
deploy/haproxy/gmi-server.cfg before real gmi-server instances, each on a
port of the suite's block, all in one scratch directory with the stand-in
library and development certificates."""

import os

from gmi_fleet.runtime_api import RuntimeApi

from .command import Background, run
from .poll import wait_until

BACKEND = "gmi-instances"


class Instance:
    def __init__(self, build, folder, port):
        self.port, self.name = port, f"gmi-{port}"
        self.url = f"http://127.0.0.1:{port}"
        self.process = Background([f"{build}/gmi-server", str(port)], f"{folder}/console-{port}.log",
                                  cwd=folder, env={**os.environ, "AUTHSRV_KEYS": "development"})

    def answers(self):
        return run("curl", "-sf", "-m", "1", self.url + "/log", check=False)


class LoopbackFront:
    """environment: settings of the shipped configuration to change, such
    as FRONT_THROTTLE_BAN. HAProxy's standard output, the access log, and
    its own messages (each opening with "[") go to log_path."""

    def __init__(self, project, build, folder, ports, instances=2, extra_configs=(),
                 environment=None):
        self.project, self.build, self.folder = project, build, folder
        run(f"{project}/scripts/dev-certs.sh", f"{folder}/tls")
        run("cp", f"{build}/libAuthSrv.so", str(folder))
        # Every port before any process: a block used up then leaves
        # nothing running.
        instance_ports = [ports.take() for _ in range(instances)]
        self.port, self.tls_port, self.admin_port, self.metrics_port, self.edge_port = \
            (ports.take() for _ in range(5))
        self.instances, self.haproxy = [], None
        try:
            self.start(project, build, folder, instance_ports, extra_configs, environment or {})
        except BaseException:
            # The fixture never gets a front that failed to come up, so it
            # could not stop what was started.
            self.stop()
            raise

    def start(self, project, build, folder, instance_ports, extra_configs, environment):
        self.instances = [Instance(build, folder, port) for port in instance_ports]
        self.instance_list = f"{folder}/gmi-instances.cfg"
        with open(self.instance_list, "w") as listing:
            listing.write(f"backend {BACKEND} from gmi\n" + "".join(
                f"    server {i.name} 127.0.0.1:{i.port}\n" for i in self.instances))
        self.environment = {
            **os.environ, "FRONT_PORT": str(self.port), "FRONT_TLS_ADDR": "127.0.0.1",
            "FRONT_TLS_PORT": str(self.tls_port), "FRONT_ADMIN_ADDR": "127.0.0.1",
            "FRONT_ADMIN_PORT": str(self.admin_port), "FRONT_METRICS_PORT": str(self.metrics_port),
            "FRONT_EDGE_PORT": str(self.edge_port), "FRONT_CERT": f"{folder}/tls/server.pem",
            "FRONT_ADMIN_CA": f"{folder}/tls/ca.pem",
            "FRONT_LUA": f"{project}/deploy/haproxy/gmi-instance-address.lua",
            "FRONT_ADMIN_SOCKET": f"{folder}/admin.sock", **environment}
        self.log_path = f"{folder}/haproxy.log"
        # Further -f files (a test's own additions) are read after the shipped two.
        files = [f"{project}/deploy/haproxy/gmi-server.cfg", self.instance_list, *extra_configs]
        self.haproxy = Background(["haproxy", *(f for path in files for f in ("-f", str(path)))],
                                  self.log_path, env=self.environment)
        self.api = RuntimeApi(f"{folder}/admin.sock")
        self.url = f"http://127.0.0.1:{self.port}"
        self.wait_all_up()

    def wait_all_up(self):
        def all_up():
            assert self.haproxy.running(), self.haproxy.log()[-2000:]
            return all(self.api.server_up(BACKEND, i.name) for i in self.instances)
        wait_until(all_up, 10, "every instance up at the front")

    def fleet_environment(self):
        """What gmi-fleet needs to act on this front and its instances."""
        return {**os.environ, "GMI_INSTANCES": self.instance_list,
                "FRONT_ADMIN_SOCKET": f"{self.folder}/admin.sock",
                "FLEET_CA": f"{self.folder}/tls/ca.pem",
                "FLEET_CLIENT_CERT": f"{self.folder}/tls/operator.pem",
                "FRONT_CERT": f"{self.folder}/tls/server.pem"}

    def stop(self):
        """HAProxy first: its kept-alive connections would hold each stopping
        instance for up to 5 s. Then every instance through /quit."""
        if self.haproxy:
            self.haproxy.stop()
        for instance in self.instances:
            run("curl", "-s", "-m", "5", instance.url + "/quit", check=False)
        for instance in self.instances:
            instance.process.stop(timeout=10)
