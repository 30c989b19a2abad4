"""A client that keeps sending invalid tokens from its own loopback address,
as fast as one connection goes, for the benchmark's line on what a refused
client costs the others. Prints its answers by status.

    python3 refused_client.py SOURCE PORT TOKEN SECONDS
"""

import http.client
import sys
import time

source, port, token, seconds = sys.argv[1], int(sys.argv[2]), sys.argv[3], float(sys.argv[4])
statuses = {}
end = time.monotonic() + seconds
connection = None
sent = 0
while time.monotonic() < end:
    if connection is None:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=5,
                                                source_address=(source, 0))
    sent += 1
    try:
        connection.request("GET", f"/login?userid=mallory&gmi={token}x{sent}")
        answer = connection.getresponse()
        answer.read()
        statuses[answer.status] = statuses.get(answer.status, 0) + 1
        if answer.getheader("Connection", "").lower() == "close":
            connection.close()
            connection = None
    except (OSError, http.client.HTTPException):
        connection.close()
        connection = None
print(" ".join(f"{status}: {count}" for status, count in sorted(statuses.items())))
