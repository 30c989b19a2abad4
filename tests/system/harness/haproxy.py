"""HAProxy's runtime API over its UNIX socket, and its tables read by their
header's column names: a row or column that is not there is an error that
names it, never a pass."""

import socket


class RuntimeApi:
    def __init__(self, path):
        self.path = path

    def command(self, line):
        with socket.socket(socket.AF_UNIX) as connection:
            connection.settimeout(5)
            connection.connect(self.path)
            connection.sendall(line.encode() + b"\n")
            answer = b""
            while chunk := connection.recv(65536):
                answer += chunk
        return answer.decode()

    def table(self, command):
        """The rows of `show stat` (CSV) or `show servers state` (a version
        line, then space-separated), as dicts keyed by the header's names."""
        lines = [line for line in self.command(command).splitlines() if line]
        header_at = next((i for i, line in enumerate(lines) if line.startswith("# ")), None)
        assert header_at is not None, f"'{command}' answered no table: {lines[:3]}"
        separator = "," if command.startswith("show stat") else " "
        names = lines[header_at][2:].split(separator)
        return [dict(zip(names, line.split(separator))) for line in lines[header_at + 1:]]

    def row(self, command, **match):
        """The one row whose columns hold these values."""
        rows = [row for row in self.table(command)
                if all(row.get(name) == value for name, value in match.items())]
        assert len(rows) == 1, f"'{command}': {len(rows)} rows with {match}"
        return rows[0]

    def field(self, command, column, **match):
        row = self.row(command, **match)
        assert column in row, f"'{command}' has no column {column}"
        return row[column]

    def server_up(self, backend, server):
        """Operational state 2: up, its checks passing."""
        return self.field(f"show servers state {backend}", "srv_op_state",
                          be_name=backend, srv_name=server) == "2"

    def connections(self, proxy, server):
        """Connections the proxy holds to a server (or BACKEND) now."""
        return int(self.field("show stat", "scur", pxname=proxy, svname=server))
