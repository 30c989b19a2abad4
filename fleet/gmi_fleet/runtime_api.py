"""HAProxy's runtime API over its UNIX socket (no socat), and its tables
read by their header's column names: `show stat` opens with "# pxname,
svname,...", `show servers state` names its columns on its second line. A
row or column that is not there, or an answer other than the one expected,
is an error that names it, never a pass: a misspelt server must not read
as "up".

One connection per command: the API answers and closes."""

import socket

from .errors import Failed

TIMEOUT = 5

# srv_admin_state bits of `show servers state` (HAProxy's SRV_ADMF_*): set
# by `set server ... state maint` and `state drain`, both cleared by
# `state ready`.
FORCED_MAINT, FORCED_DRAIN = 0x01, 0x08
# srv_op_state 2: running, its health checks passing.
RUNNING = 2


class ApiError(Failed):
    pass


class Table:
    """The rows of one answer, as dicts keyed by the header's names."""

    def __init__(self, command, answer):
        self.command = command
        lines = [line for line in answer.splitlines() if line.strip()]
        header = next((i for i, line in enumerate(lines) if line.startswith("# ")), None)
        if header is None:
            raise ApiError(f"'{command}' answered no table: {_quoted(answer)}")
        separator = "," if command.startswith("show stat") else " "
        self.columns = lines[header][2:].split(separator)
        self.rows = [dict(zip(self.columns, line.split(separator))) for line in lines[header + 1:]]

    def row(self, **match):
        """The one row whose columns hold these values."""
        rows = [row for row in self.rows if all(row.get(k) == v for k, v in match.items())]
        if len(rows) != 1:
            which = " ".join(f"{k}={v}" for k, v in match.items())
            raise ApiError(f"'{self.command}' has {'no' if not rows else len(rows)} "
                           f"row{'s' if rows else ''} with {which}")
        return rows[0]

    def field(self, column, **match):
        row = self.row(**match)
        if column not in row:
            raise ApiError(f"'{self.command}' has no column {column}")
        return row[column]

    def number(self, column, **match):
        value = self.field(column, **match)
        try:
            return int(value)
        except ValueError:
            raise ApiError(f"'{self.command}': {column} is '{value}', not a number") from None


class RuntimeApi:
    def __init__(self, path):
        self.path = path

    def command(self, line, payload=None):
        """The whole answer to one command (with payload, the "<<" form:
        the payload follows the command, up to an empty line)."""
        request = line + "\n" if payload is None else f"{line} <<\n{payload}\n\n"
        try:
            with socket.socket(socket.AF_UNIX) as connection:
                connection.settimeout(TIMEOUT)
                connection.connect(self.path)
                connection.sendall(request.encode())
                answer = b""
                while chunk := connection.recv(65536):
                    answer += chunk
        except socket.timeout:
            raise ApiError(f"the runtime API at {self.path} did not answer "
                           f"'{line}' within {TIMEOUT} s") from None
        except OSError as error:
            raise ApiError(f"cannot reach the runtime API at {self.path}: "
                           f"{error.strerror or error}") from None
        return answer.decode(errors="replace")

    def act(self, line):
        """A command that answers nothing when it did what it was asked:
        any answer is a refusal, named."""
        answer = self.command(line)
        if answer.strip():
            raise ApiError(f"the runtime API refused '{line}': {_quoted(answer)}")

    def table(self, command):
        return Table(command, self.command(command))

    def field(self, command, column, **match):
        return self.table(command).field(column, **match)

    def servers(self, backend):
        return self.table(f"show servers state {backend}")

    def server_up(self, backend, server):
        """Running with its checks passing (whatever an operator set: the
        restarts read that back when they set it)."""
        return self.servers(backend).number("srv_op_state", be_name=backend,
                                            srv_name=server) == RUNNING

    def connections(self, proxy, server):
        """Connections the proxy holds to a server (or BACKEND) now."""
        return self.table("show stat").number("scur", pxname=proxy, svname=server)

    def set_state(self, backend, server, state):
        """set server BACKEND/SERVER state drain|maint|ready, its refusal an
        error, and read back: the flag asked for must be what the front now
        holds."""
        self.act(f"set server {backend}/{server} state {state}")
        admin = self.servers(backend).number("srv_admin_state", be_name=backend, srv_name=server)
        held = {"drain": admin & FORCED_DRAIN, "maint": admin & FORCED_MAINT,
                "ready": not admin & (FORCED_DRAIN | FORCED_MAINT)}[state]
        if not held:
            raise ApiError(f"the front took 'state {state}' but holds srv_admin_state {admin}")

    def loaded_certificates(self):
        """The file names of the certificates the front loaded, as it knows
        them (`show ssl cert`; a name under an open transaction starts
        with "*" and is listed twice)."""
        answer = self.command("show ssl cert")
        if not answer.startswith("# "):
            raise ApiError(f"'show ssl cert' answered {_quoted(answer)}")
        names = [line.lstrip("*") for line in answer.splitlines() if line and line[0] != "#"]
        return list(dict.fromkeys(names))


def _quoted(answer):
    """An answer on one line, shortened."""
    text = " ".join(answer.split())
    return f"'{text[:200]}{'...' if len(text) > 200 else ''}'" if text else "nothing"
