"""What an operator relies on wherever the service runs: a token minted
with the deployment's key validates with the exact body and is refused for
another user; the companion answers 200 for it and 401 for the other user;
and a stop ends the service through its teardown, with status 0.

Each place the service runs (the package on this host, under a booted
systemd, the image, a pod) is a Deployment: where to reach the service and
the companion, how to run curl there, how to mint a token with its key, and
how to stop it."""

VALID = '{"is_valid":true,"reason":""}'
MISMATCH = '{"is_valid":false,"reason":"ERROR_UID_MISMATCH"}'
TEARDOWN = ["[Server] Stopped", "[Server] CleanupAuth()", "[Server] Exit"]


class Deployment:
    service = ""    # the service's base URL where curl runs
    decisions = ""  # the companion's decisions' base URL

    def curl(self, *arguments):
        """curl's output, run where the deployment's loopback is."""
        raise NotImplementedError

    def mint(self, user):
        raise NotImplementedError

    def stop(self):
        """(the console lines the service wrote, its exit status)."""
        raise NotImplementedError

    def body(self, path):
        return self.curl("-sS", "-m", "5", self.service + path)

    def decision(self, token, user):
        return decision(self.curl, self.decisions, token, user)


def decision(curl, url, token, user):
    """"STATUS USER-OR-REASON" of a companion's decision, asked with curl."""
    return curl("-sS", "-m", "5", "-o", "/dev/null", "-w",
                "%{http_code} %header{x-gmi-user}%header{x-gmi-reason}",
                "-H", f"Authorization: Bearer {token}", "-H", f"X-GMI-User: {user}", url + "/")


def check_operator_contract(deployment):
    token = deployment.mint("alice")
    assert deployment.body(f"/login?userid=alice&gmi={token}") == VALID
    assert deployment.body(f"/login?userid=bob&gmi={token}") == MISMATCH
    assert deployment.decision(token, "alice") == "200 alice"
    assert deployment.decision(token, "bob") == "401 ERROR_UID_MISMATCH"
    lines, status = deployment.stop()
    assert [line for line in lines if line.startswith("[Server]")][-3:] == TEARDOWN, lines[-6:]
    assert status == 0
