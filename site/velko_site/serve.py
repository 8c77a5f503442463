"""Running the site under gunicorn: the command line (velko-site serve execs it), and a started
gunicorn for the tests, the demo and the benchmark."""
import http.client
import json
import os
import signal
import subprocess
import sys
import time

SITE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SITE_APP = "velko_site:create_app(%s)"


# Threads per worker: a worker serves several requests at once (gunicorn's gthread workers), which
# share its journal.
THREADS = 8


def gunicorn_command(config_path, bind, workers=2, extra=(), app=SITE_APP, paths=(), threads=THREADS):
    """gunicorn's command line for the site of `config_path` on `bind` (HOST:PORT), with `workers`
    gthread workers of `threads` threads each.  `app` names the application with %s standing for
    the configuration's path as a string literal (gunicorn reads the call's arguments as Python
    literals; a JSON string is one); `paths` are folders to import from besides site/.  gunicorn
    is run by this Python (python -m gunicorn): the one velko-site is installed for, a virtual
    environment's among them, whatever gunicorn comes first on the PATH."""
    return [sys.executable, "-m", "gunicorn", "--bind", bind, "--workers", str(workers), "--worker-class", "gthread",
            "--threads", str(threads), "--pythonpath", ",".join([SITE_DIR, *paths]),
            *extra, app % json.dumps(os.path.abspath(config_path))]


class Gunicorn:
    """gunicorn serving the site, started and stopped by a test, the demo or the benchmark.

        with Gunicorn(config, "127.0.0.1", 80, log_path) as server: ...

    start() returns once every worker has made the application (configuration, stubs, schema) and
    one has answered a request; it raises RuntimeError with the log's end if gunicorn exits first
    or takes longer than `timeout` seconds.  The log (gunicorn's and the site's messages) goes to
    `log_path`."""

    def __init__(self, config_path, host, port, log_path, workers=2, app=SITE_APP, paths=(), threads=THREADS,
                 extra=()):
        self.host, self.port, self.log_path = host, port, log_path
        self.config_path = config_path
        self.workers = workers
        self.command = gunicorn_command(config_path, "%s:%d" % (host, port), workers, extra, app=app, paths=paths,
                                        threads=threads)
        self.process = None

    def start(self, timeout=30):
        with open(self.log_path, "ab") as log:
            start = log.tell()
            self.process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        deadline = time.monotonic() + timeout
        while True:
            if self.process.poll() is not None:
                raise RuntimeError("gunicorn ended (status %d):\n%s" % (self.process.returncode, self.log_tail()))
            if self._ready(start) >= self.workers and self._answers():
                return self
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("gunicorn did not answer within %d s:\n%s" % (timeout, self.log_tail()))
            time.sleep(0.1)

    def _ready(self, start):
        """How many workers have written that their application is made, since `start` in the log."""
        from .app import READY
        with open(self.log_path, "rb") as f:
            f.seek(start)
            return f.read().count(READY.encode())

    def _answers(self):
        connection = http.client.HTTPConnection(self.host, self.port, timeout=2)
        try:
            connection.request("GET", "/")
            return connection.getresponse().status == 404  # the site's answer to a page it has not
        except OSError:
            return False
        finally:
            connection.close()

    def worker_pids(self):
        """The process ids of gunicorn's workers (the master's children)."""
        with open("/proc/%d/task/%d/children" % (self.process.pid, self.process.pid)) as f:
            return [int(pid) for pid in f.read().split()]

    def log_tail(self, lines=40):
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return ""

    def stop(self):
        """Stops gunicorn (gracefully, then by force); safe to call twice."""
        if self.process is None or self.process.poll() is not None:
            return
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
