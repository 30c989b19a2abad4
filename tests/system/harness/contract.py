"""What an operator relies on wherever the service runs: a token minted
with the deployment's key validates with the exact body and is refused for
another user; the companion answers 200 for it and 401 for the other user;
and a stop ends the service through its teardown, with status 0.

Each place the service runs (the package on this host, under a booted
systemd, the image, a pod) is a Deployment with: service and decisions,
the service's and the companion's base URLs as seen where its curl runs;
curl(*arguments); mint(user), a token for user signed with its key; and
stop(), which returns the console lines the service wrote and its exit
status."""

from .command import run

VALID = '{"is_valid":true,"reason":""}'
MISMATCH = '{"is_valid":false,"reason":"ERROR_UID_MISMATCH"}'
TEARDOWN = ["[Server] Stopped", "[Server] CleanupAuth()", "[Server] Exit"]


class Deployment:
    def curl(self, *arguments):
        """curl's output; unless a deployment says otherwise, run on this host."""
        return run("curl", *arguments)

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
