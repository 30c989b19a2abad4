"""Commands the tests run, in the foreground or in the background."""

import os
import signal
import subprocess


def run(*argv, check=True, input=None, timeout=300, **options):
    """A command's standard output; with check, a non-zero status fails,
    showing what the command wrote."""
    result = subprocess.run(argv, input=input, capture_output=True, text=True, timeout=timeout,
                            **options)
    if check and result.returncode != 0:
        raise AssertionError(f"{' '.join(argv)} exited {result.returncode}:\n"
                             f"{result.stdout[-3000:]}{result.stderr[-3000:]}")
    return result.stdout


class Background:
    """A process started in a session of its own, its output in a log file.
    Only it is ever signalled, by its own pid."""

    def __init__(self, argv, log, **options):
        self.log_path = log
        with open(log, "ab") as output:
            self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=output,
                                            stderr=subprocess.STDOUT, start_new_session=True,
                                            **options)
        self.pid = self.process.pid

    def log(self):
        with open(self.log_path, errors="replace") as text:
            return text.read()

    def running(self):
        return self.process.poll() is None

    def signal(self, number):
        if self.running():
            os.kill(self.pid, number)

    def wait(self, timeout):
        """The exit status, once it has exited within timeout seconds."""
        return self.process.wait(timeout)

    def stop(self, timeout=5):
        """SIGTERM, then SIGKILL after timeout seconds; the exit status."""
        self.signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return self.process.wait()
