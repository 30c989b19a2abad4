"""The operator's contract (harness/contract.py), wherever the service
runs: the installed package on this host, under a booted systemd, in the
image, in each pod of the Kubernetes manifests."""

import pytest

from harness.contract import check_operator_contract

PLACES = [pytest.param("host_deployment", marks=pytest.mark.package, id="package"),
          pytest.param("systemd_deployment", marks=pytest.mark.systemd, id="systemd"),
          pytest.param("image_deployment", marks=pytest.mark.image, id="image"),
          *[pytest.param(f"pod{index}_deployment", marks=pytest.mark.kubernetes, id=f"pod-{index}")
            for index in (0, 1)]]


@pytest.mark.parametrize("place", PLACES)
def test_a_minted_token_validates_the_companion_decides_and_a_stop_tears_down(request, place):
    check_operator_contract(request.getfixturevalue(place))
