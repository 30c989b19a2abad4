"""How gmi-fleet reaches one instance's /bypass, /log and /quit: on the
instance's own port over plain HTTP, or through a front's admin listener
(HTTPS, GET /NAME/PATH, the operator's client certificate and the CA that
signed the listener's), so that one operator host drives the instances of
every host. ssl and http.client only, no curl."""

import http.client
import ssl

from .errors import Failed

TIMEOUT = 5


class Unanswered(Failed):
    """No HTTP answer at all: refused, reset, timed out."""


def _split(address):
    host, _, port = address.rpartition(":")
    if not host or not port.isdigit():
        raise Failed(f"FLEET_ADMIN: '{address}' is not HOST:PORT")
    return host.strip("[]"), int(port)


def get(connection, path, timeout):
    """The body of a 2xx answer to GET path; Unanswered without an answer,
    Failed with any other status."""
    connection.timeout = timeout
    try:
        connection.request("GET", path, headers={"Connection": "close"})
        answer = connection.getresponse()
        body = answer.read().decode(errors="replace")
    except (OSError, http.client.HTTPException) as error:
        reason = getattr(error, "strerror", None) or str(error) or error.__class__.__name__
        raise Unanswered(f"no answer: {reason}") from None
    finally:
        connection.close()
    if not 200 <= answer.status < 300:
        raise Failed(f"HTTP {answer.status} {body[:200]}".rstrip())
    return body


class Direct:
    """An instance on its own port."""

    def __init__(self, server):
        self.name, self.where = server.name, server.address
        self.host, self.port = server.host, server.port

    def url(self, path):
        return f"http://{self.where}{path}"

    def get(self, path, timeout=TIMEOUT):
        return get(http.client.HTTPConnection(self.host, self.port), path, timeout)


class Listener:
    """An instance through the admin listener at address (HOST:PORT)."""

    def __init__(self, server, address, context):
        self.name, self.where = server.name, f"https://{address}"
        self.host, self.port = _split(address)
        self.context = context

    def url(self, path):
        return f"{self.where}/{self.name}{path}"

    def get(self, path, timeout=TIMEOUT):
        connection = http.client.HTTPSConnection(self.host, self.port, context=self.context)
        return get(connection, f"/{self.name}{path}", timeout)


def listener_context(ca, client_certificate):
    """The TLS settings of every listener connection, read before any is
    made: a missing certificate fails the command before it acts."""
    try:
        context = ssl.create_default_context(cafile=ca)
    except (OSError, ssl.SSLError) as error:
        raise Failed(f"FLEET_CA {ca}: {error.strerror or error}") from None
    try:
        context.load_cert_chain(client_certificate)
    except (OSError, ssl.SSLError) as error:
        raise Failed(f"FLEET_CLIENT_CERT {client_certificate}: "
                     f"{error.strerror or error}") from None
    return context


def targets(servers, listeners, context):
    """Each instance directly, or each on every listener in turn."""
    if not listeners:
        return [Direct(server) for server in servers]
    return [Listener(server, address, context) for address in listeners for server in servers]


def answers(target):
    """None once the instance answers /log (a probe for steps.wait_until)."""
    try:
        target.get("/log", timeout=1)
        return None
    except Failed as failure:
        return str(failure)


def silent(target):
    """None once the instance gives no answer at all."""
    try:
        target.get("/log", timeout=1)
        return "it still answers /log"
    except Unanswered:
        return None
    except Failed as failure:
        return str(failure)
