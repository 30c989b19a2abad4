"""The OCI image run as the README runs it: small, keyless, confined, and
refusing to start without a key or with keys given two ways."""

import pytest

from harness import podman
from harness.command import run

pytestmark = pytest.mark.image


def test_the_image_is_small_and_carries_no_key(image):
    assert int(podman.podman("image", "inspect", "--format", "{{.Size}}", image)) < 40 * 1024 * 1024
    assert "AUTHSRV" not in podman.podman("image", "inspect", "--format", "{{.Config.Env}}", image)


def test_the_service_runs_confined(image_deployment):
    assert podman.confinement(podman.service_pid(image_deployment.NAME)) == podman.CONFINED


@pytest.mark.parametrize("keys, status", [
    ([], 245),                                      # none
    (["--env", "AUTHSRV_KEYS="], 245),              # an unset Secret value
    (["--env", "AUTHSRV_KEYS=1:00", "--env", "AUTHSRV_KEYS_FILE=/etc/gmi-server/keys"], 2),
], ids=["no key", "empty key", "keys given twice"])
def test_a_container_without_one_key_exits_at_once(image, keys, status):
    name = "gmi-image-check-nokey"
    podman.podman("rm", "--force", "--ignore", name)
    try:
        podman.podman("run", "-d", "--name", name, *podman.RUN_OPTIONS, *podman.HARDENING,
                      "--network", "none", *keys, image)
        assert int(run("timeout", "10", "podman", "wait", name)) == status
        if status == 245:
            assert "InitAuth() failed" in podman.logs(name)
    finally:
        podman.podman("rm", "--force", "--ignore", name)
