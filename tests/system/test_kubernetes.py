"""The Kubernetes manifests: valid against the API's schema, and played with
`podman kube play`: both pods ready and confined as the security context
says; with the empty key the shipped Secret holds, no pod is ready."""

import pytest

from harness import podman
from harness.command import run
from harness.poll import wait_until

pytestmark = pytest.mark.kubernetes


def test_the_manifests_are_valid_and_run_this_version(project, image):
    run("make", "--no-print-directory", "validate-kubernetes", cwd=project, timeout=600)
    with open(f"{project}/deploy/kubernetes/deployment.yaml") as manifest:
        assert f"image: localhost/{image}\n" in manifest.read()


def test_both_pods_become_ready_with_both_processes_confined(image, play):
    for pod in podman.PODS:
        podman.ready_pod(pod, image, play)
        for pid in (podman.service_pid(f"{pod}-gmi-server"), podman.state(f"{pod}-gmi-authz", "Pid")):
            assert podman.confinement(pid) == podman.CONFINED, pod


def test_without_a_key_no_pod_becomes_ready(project, image, kube_conf, tmp_path):
    played = podman.Play(f"{project}/deploy/kubernetes/deployment.yaml", "", tmp_path)
    try:
        for pod in podman.PODS:
            wait_until(lambda: "InitAuth() failed" in podman.logs(f"{pod}-gmi-server"), 15,
                       f"{pod}'s service refusing the empty key")
            answer = podman.PodDeployment(pod, image, "").curl(
                "-s", "-o", "/dev/null", "-w", "%{http_code}", "http://127.0.0.1:60004/readyz")
            assert answer == "503"
    finally:
        played.remove()
