#!/usr/bin/python3
"""A webhook receiver for Alertmanager: records every notification it is
sent, one JSON line each, {"at": MONOTONIC, "path": PATH, "body": BODY},
flushed as it arrives, and answers 200. Runs until SIGTERM.

Usage: receiver.py HOST PORT RECORD_FILE
"""

import http.server
import json
import signal
import sys
import threading
import time


def main(host, port, record):
    lock = threading.Lock()  # Alertmanager sends each group's notifications at once
    with open(record, "a") as lines:
        class Receiver(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                # CLOCK_MONOTONIC is the machine's, whatever the namespace:
                # the test reads the same clock when it causes a fault.
                line = json.dumps({"at": time.monotonic(), "path": self.path,
                                   "body": json.loads(body)})
                with lock:
                    lines.write(line + "\n")
                    lines.flush()
                self.send_response(200)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *_):
                pass

        server = http.server.ThreadingHTTPServer((host, int(port)), Receiver)
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
        server.serve_forever()


if __name__ == "__main__":
    main(*sys.argv[1:4])
