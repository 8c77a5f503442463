"""Faults while thousands of copies are being downloaded at once: a worker killed with signal 9,
and the database away for a while (PostgreSQL restarted; SQLite's file locked by another process
for longer than the site waits).  Afterwards every copy that arrived whole reads back and has
exactly one record, the copies refused with 503 have none, and the site serves normally again."""
import http.client
import os
import signal
import socket
import sys
import threading
import time
import unittest

import support
from support import velko_tag

PORT = 8000
CLIENTS = 16
# Generous: only there so that a fault of the site cannot hang the test.
RECOVERY_LIMIT = 60


class Outcomes:
    """What the clients got, counted under a lock: whole copies (their identifiers), 503s, and
    connections that broke or ended short."""

    def __init__(self):
        self.lock = threading.Lock()
        self.whole, self.refused, self.broken, self.other = [], 0, 0, []
        self.last_whole = 0.0

    @property
    def done(self):
        with self.lock:
            return len(self.whole) + self.refused + self.broken + len(self.other)


def fetch(host, image):
    """One download: ('whole', identifier), ('refused', None), ('broken', None) or ('other', status)."""
    try:
        with socket.create_connection((host, PORT), timeout=60) as s:
            s.sendall(b"GET /download/demo HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % host.encode())
            reply = http.client.HTTPResponse(s, method="GET")
            reply.begin()
            body = reply.read()
    except (OSError, http.client.HTTPException):
        return "broken", None
    if reply.status == 503:
        return "refused", None
    if reply.status != 200:
        return "other", reply.status
    tag = velko_tag.read_tag(body)
    if tag is None:
        return "broken", None
    ident = tag[1]
    if body != b"".join(velko_tag.iter_copy(velko_tag.plan_copy(image, ident))):
        return "other", "a copy that is not the stub tagged with %s" % ident
    return "whole", ident.decode()


class FaultCases:
    """The test for one database; a subclass says how to make it and how to take it away."""
    host = None

    def database(self):
        raise NotImplementedError

    def take_database_away(self):
        """Makes the database unusable for a while and gives it back; returns once it is back."""
        raise NotImplementedError

    def setUp(self):
        self.work, self.stub = support.folder_with_stub(self.addCleanup)
        self.config = support.write_config(self.work, {
            "demo": (self.stub, "http://127.0.0.3/velko-demo.msi", "velko-demo-setup.exe")},
            database=self.database())
        self.site = support.start_site(self.addCleanup, self.config, self.host, PORT, workers=2)
        self.image = velko_tag.StubImage.load(self.stub)

    def run_clients(self, outcomes, stop):
        def client():
            while not stop.is_set():
                kind, value = fetch(self.host, self.image)
                with outcomes.lock:
                    if kind == "whole":
                        outcomes.whole.append(value)
                        outcomes.last_whole = time.monotonic()
                    elif kind == "refused":
                        outcomes.refused += 1
                    elif kind == "broken":
                        outcomes.broken += 1
                    else:
                        outcomes.other.append(value)
        threads = [threading.Thread(target=client) for _ in range(CLIENTS)]
        for t in threads:
            t.start()
        return threads

    def wait_for(self, outcomes, count):
        deadline = time.monotonic() + 300
        while outcomes.done < count:
            self.assertLess(time.monotonic(), deadline, "the downloads stopped: %d done" % outcomes.done)
            time.sleep(0.05)

    def test_worker_killed_and_database_away_during_downloads(self):
        outcomes, stop = Outcomes(), threading.Event()
        threads = self.run_clients(outcomes, stop)
        try:
            self.wait_for(outcomes, 500)
            os.kill(self.site.worker_pids()[0], signal.SIGKILL)
            self.wait_for(outcomes, 1000)
            self.take_database_away()
            back = time.monotonic()
            # Served normally again: whole copies come within seconds of the database's return.
            while outcomes.last_whole < back:
                self.assertLess(time.monotonic() - back, RECOVERY_LIMIT,
                                "no whole copy since the database came back:\n" + self.site.log_tail())
                time.sleep(0.05)
            self.wait_for(outcomes, max(3000, outcomes.done + 500))
        finally:
            stop.set()
            for t in threads:
                t.join()
        # Refused downloads whose commit may have taken effect are deleted once the database
        # answers: a few more downloads make sure every worker has had its next commit.
        for _ in range(40):
            self.assertEqual(fetch(self.host, self.image)[0], "whole")

        self.assertEqual(outcomes.other, [])
        recorded = [row[0] for row in support.records(self.database())[0]]
        counts = {}
        for ident in recorded:
            counts[ident] = counts.get(ident, 0) + 1
        self.assertEqual({i: n for i, n in counts.items() if n > 1}, {})
        missing = [ident for ident in outcomes.whole if ident not in counts]
        self.assertEqual(missing, [], "whole copies without a record")
        self.assertEqual(len(set(outcomes.whole)), len(outcomes.whole))
        # Every other record belongs to a copy whose connection broke (the killed worker's), never
        # to one refused with 503.
        others = len(recorded) - len(outcomes.whole) - 40
        self.assertLessEqual(others, outcomes.broken,
                             "%d records of copies that did not arrive, %d connections broke, %d refused"
                             % (others, outcomes.broken, outcomes.refused))
        print("\n%s: %d whole copies, %d refused (503), %d broken connections, %d records"
              % (type(self).__name__, len(outcomes.whole), outcomes.refused, outcomes.broken, len(recorded)),
              file=sys.stderr)


class PostgresFaultTest(FaultCases, unittest.TestCase):
    host = "127.0.0.24"

    @classmethod
    def setUpClass(cls):
        cls.postgres = support.PostgresServer().start()
        cls.addClassCleanup(cls.postgres.stop)

    def database(self):
        return self.postgres.url

    def take_database_away(self):
        self.postgres.halt()  # every session ends; connections break
        time.sleep(2)
        self.postgres.start()


class SqliteFaultTest(FaultCases, unittest.TestCase):
    host = "127.0.0.25"

    def database(self):
        return os.path.join(self.work, "site.db")

    def take_database_away(self):
        # Another process holds the write lock for longer than the site waits for it (db.DB_TIMEOUT).
        with support.sqlite_lock_holder(self.database(), 8) as holder:
            self.assertEqual(holder.wait(60), 0)


if __name__ == "__main__":
    unittest.main()
