"""The image and its pods under rootful podman, as these machines allow it:
runc (crun refuses their mixed cgroups) and explicit nofile and nproc
limits, not above the host's hard limits. podman run takes them as options;
podman kube play takes none, so they also go in a containers.conf of the
suite's own, named by CONTAINERS_CONF."""

import base64
import os
import resource
import subprocess

from .command import run
from .contract import Deployment
from .poll import wait_until

LIMITS = {name: min(resource.getrlimit(which)[1], 4096)
          for name, which in (("nofile", resource.RLIMIT_NOFILE), ("nproc", resource.RLIMIT_NPROC))}
RUN_OPTIONS = ["--runtime", "runc", *[option for name, limit in LIMITS.items()
                                      for option in ("--ulimit", f"{name}={limit}:{limit}")]]
HARDENING = ["--read-only", "--cap-drop", "all", "--security-opt", "no-new-privileges"]
PODS = ("gmi-server-pod-0", "gmi-server-pod-1")


def podman(*arguments, check=True):
    return run("podman", *arguments, check=check).strip()


def use_own_containers_conf(path):
    limits = ", ".join(f'"{name}={limit}:{limit}"' for name, limit in LIMITS.items())
    with open(path, "w") as conf:
        conf.write(f'[containers]\ndefault_ulimits = [{limits}]\n[engine]\nruntime = "runc"\n')
    os.environ["CONTAINERS_CONF"] = str(path)


def new_key():
    return "1:" + os.urandom(32).hex()


def mint(image, key, user):
    """A token minted by the image's own gmi-token with the key given."""
    return podman("run", "--rm", *RUN_OPTIONS, "--read-only", "--network", "none",
                  "--env", f"AUTHSRV_KEYS={key}", "--entrypoint", "/usr/bin/gmi-token",
                  image, "--user", user)


def state(container, field):
    """An integer of the container's state: Pid, ExitCode."""
    return int(podman("inspect", "--format", f"{{{{.State.{field}}}}}", container))


def service_pid(container):
    """The process the image's init started: the service itself."""
    init = state(container, "Pid")
    with open(f"/proc/{init}/task/{init}/children") as children:
        return int(children.read().split()[0])


def confinement(pid):
    """What the restricted security context should leave a process with."""
    with open(f"/proc/{pid}/status") as status:
        fields = dict(line.rstrip("\n").split(":\t", 1) for line in status)
    with open(f"/proc/{pid}/mountinfo") as mounts:
        root = next(line.split()[5] for line in mounts if line.split()[4] == "/")
    return {name: fields[name] for name in ("Uid", "CapEff", "CapBnd", "NoNewPrivs", "Seccomp")} | \
        {"root": root.split(",")[0]}


CONFINED = {"Uid": "10001\t10001\t10001\t10001", "CapEff": "0000000000000000",
            "CapBnd": "0000000000000000", "NoNewPrivs": "1", "Seccomp": "2", "root": "ro"}


def logs(container):
    """What the container wrote, both streams."""
    return subprocess.run(["podman", "logs", container], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, check=True).stdout.splitlines()


class ImageDeployment(Deployment):
    """The service and, in its network namespace, the companion, run as the
    README runs them, with a key given as a mounted secret file; published
    on this host's loopback."""

    NAME = "gmi-image-check"

    def __init__(self, image, port):
        self.image, self.key = image, new_key()
        self.remove()
        run("podman", "secret", "create", f"{self.NAME}-keys", "-", input=self.key)
        podman("run", "-d", "--name", self.NAME, *RUN_OPTIONS, *HARDENING,
               "--secret", f"{self.NAME}-keys,target=/etc/gmi-server/keys",
               "--env", "AUTHSRV_KEYS_FILE=/etc/gmi-server/keys",
               "-p", f"127.0.0.1:{port}:60002", "-p", f"127.0.0.1:{port + 1}:60003", image)
        podman("run", "-d", "--name", f"{self.NAME}-authz", *RUN_OPTIONS, *HARDENING,
               "--network", f"container:{self.NAME}", "--entrypoint", "/usr/sbin/gmi-authz",
               image, "--listen", "0.0.0.0:60003")
        self.service, self.decisions = f"http://127.0.0.1:{port}", f"http://127.0.0.1:{port + 1}"
        # Any answer will do: the companion answers 401 to a bare request.
        for url in (self.service, self.decisions):
            wait_until(lambda: run("curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", url,
                                   check=False) != "000", 10, f"{url} answering")

    def mint(self, user):
        return mint(self.image, self.key, user)

    def stop(self):
        # The companion first: it shares the service's network namespace.
        podman("stop", f"{self.NAME}-authz")
        podman("stop", self.NAME)
        return logs(self.NAME), state(self.NAME, "ExitCode")

    def remove(self):
        podman("rm", "--force", "--ignore", "--time", "0", f"{self.NAME}-authz")
        podman("rm", "--force", "--ignore", "--time", "0", self.NAME)
        podman("secret", "rm", f"{self.NAME}-keys", check=False)


class PodDeployment(Deployment):
    """One pod of the played Deployment, reached through its network
    namespace: the pods have no network but their own loopback."""

    def __init__(self, pod, image, key):
        self.pod, self.image, self.key = pod, image, key
        self.service, self.decisions = "http://127.0.0.1:60002", "http://127.0.0.1:60003"

    def curl(self, *arguments):
        infra = podman("pod", "inspect", "--format", "{{.InfraContainerID}}", self.pod)
        return run("nsenter", "-t", str(state(infra, "Pid")), "-n", "curl", *arguments)

    def mint(self, user):
        return mint(self.image, self.key, user)

    def stop(self):
        """What a pod deletion does, less the preStop hook, which podman does
        not run: SIGTERM to every container, SIGKILL after the grace period."""
        podman("pod", "stop", "--time", "20", self.pod)
        assert state(f"{self.pod}-gmi-authz", "ExitCode") == 0
        return logs(f"{self.pod}-gmi-server"), state(f"{self.pod}-gmi-server", "ExitCode")


def ready_pod(pod, image, key):
    """The pod, once its companion's /readyz answers: podman 4.3 runs no
    readiness probe itself."""
    deployment = PodDeployment(pod, image, key)
    wait_until(lambda: deployment.curl("-sf", "http://127.0.0.1:60004/readyz"), 15, f"{pod} ready")
    return deployment


class Play:
    """The Deployment played by `podman kube play`, its key in a podman
    secret of the Secret's name (podman 4.3 reads a secretKeyRef from one
    holding a JSON object of base64 values)."""

    SECRET = "gmi-server-keys"

    def __init__(self, manifest, key, scratch):
        self.manifest = manifest
        self.remove()
        secret = scratch / "secret.json"
        secret.write_text('{"AUTHSRV_KEYS":"%s"}' % base64.b64encode(key.encode()).decode())
        podman("secret", "create", self.SECRET, str(secret))
        podman("kube", "play", "--network", "none", manifest)

    def remove(self):
        """Removed by name too: without a key the service exits and podman
        starts it again and again, and a removal that meets a restart
        half-done fails in podman 4.3 ("shm: device or resource busy"),
        leaving its pod; once the restart is through, it goes."""
        run("podman", "kube", "down", self.manifest, check=False)

        def removed():
            run("podman", "pod", "rm", "--force", "--ignore", *PODS, check=False)
            return not [pod for pod in PODS
                        if subprocess.run(["podman", "pod", "exists", pod]).returncode == 0]
        wait_until(removed, 10, "the pods removed")
        podman("secret", "rm", self.SECRET, check=False)
