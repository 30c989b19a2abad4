"""The instance list (the front's gmi-instances backend) and the host list
(the edges' gmi-nodes backend): HAProxy files whose "server NAME HOST:PORT"
lines name what gmi-fleet acts on, so that each instance or host is named
in one place only. A server line gmi-fleet cannot read is an error, never
skipped: an instance left out of a restart would keep its old build."""

from dataclasses import dataclass

from .errors import Failed


@dataclass(frozen=True)
class Server:
    name: str
    host: str
    port: int

    @property
    def address(self):
        return f"[{self.host}]:{self.port}" if ":" in self.host else f"{self.host}:{self.port}"


def read_servers(path):
    """Every server of the file, in its order."""
    try:
        with open(path) as text:
            lines = text.read().splitlines()
    except OSError as error:
        raise Failed(f"cannot read {path}: {error.strerror}") from None
    servers = []
    for number, line in enumerate(lines, 1):
        words = line.split("#", 1)[0].split()
        if not words or words[0] != "server":
            continue
        host, _, port = words[2].rpartition(":") if len(words) > 2 else ("", "", "")
        if not host or not port.isdigit():
            raise Failed(f"{path}:{number}: not 'server NAME HOST:PORT': {line.strip()}")
        servers.append(Server(words[1], host.strip("[]"), int(port)))
    if not servers:
        raise Failed(f"{path} lists no server")
    names = [server.name for server in servers]
    if len(set(names)) != len(names):
        raise Failed(f"{path} names a server twice")
    return servers
