"""Faults while thousands of copies are downloaded and run (each copy's information request
follows it), with the loader running beside the site as `velko-site load`:

- the database away for a while (PostgreSQL restarted; SQLite's file locked by another process
  for 10 s): every request is answered as if nothing happened, and once the loader has caught up
  every copy and every request is in the database, once;
- a worker killed with signal 9, and the loader killed again and again while it loads: every
  copy that arrived whole and every request answered is in the database once, and nothing else
  but what the killed worker's broken connections carried."""
import collections
import http.client
import os
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

import support
from support import velko_tag

PORT = 8000
CLIENTS = 16
URLS = {"demo": b"http://127.0.0.3/velko-demo.msi", "other": b"http://127.0.0.3/velko-other.msi"}
# Generous: only there so that a fault of the site cannot hang the test.
CATCH_UP_LIMIT = 120


def ask(host, target):
    """(status, body) of one request on a connection of its own; (None, None) when it broke."""
    try:
        with socket.create_connection((host, PORT), timeout=60) as s:
            s.sendall(b"GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % (target, host.encode()))
            reply = http.client.HTTPResponse(s, method="GET")
            reply.begin()
            return reply.status, reply.read()
    except (OSError, http.client.HTTPException):
        return None, None


class Outcomes:
    """What the clients got, under a lock: the identifiers of whole copies and of answered
    information requests, broken connections, and anything else."""

    def __init__(self):
        self.lock = threading.Lock()
        self.copies, self.answered, self.broken, self.other = [], [], 0, []

    @property
    def done(self):
        with self.lock:
            return len(self.copies) + len(self.answered) + self.broken + len(self.other)


class FaultCases:
    """The tests for one database; a subclass says how to make it and how to take it away."""
    host = None

    def database(self):
        raise NotImplementedError

    def take_database_away(self):
        """Makes the database unusable for a while and gives it back; returns once it is back."""
        raise NotImplementedError

    def setUp(self):
        self.work, self.stub = support.folder_with_stub(self.addCleanup)
        self.config = support.write_config(self.work, {
            "demo": (self.stub, URLS["demo"].decode(), "velko-demo-setup.exe"),
            "other": (self.stub, URLS["other"].decode(), "velko-other-setup.exe")}, database=self.database())
        self.site = support.start_site(self.addCleanup, self.config, self.host, PORT, workers=2)
        self.image = velko_tag.StubImage.load(self.stub)
        self.loader_log = open(os.path.join(self.work, "loader.log"), "ab")
        self.addCleanup(self.loader_log.close)
        self.loader = None
        self.start_loader()
        self.addCleanup(self.stop_loader)
        # Its first pass done (it says so in journal_hosts): the faults come while it runs.
        deadline = time.monotonic() + CATCH_UP_LIMIT
        while True:
            try:
                if support.Database(self.database()).rows("SELECT COUNT(*) FROM journal_hosts")[0][0]:
                    break
            except support.DatabaseError:
                pass  # no tables yet
            self.assertLess(time.monotonic(), deadline, "the loader did not start")
            time.sleep(0.1)

    def start_loader(self):
        self.loader = subprocess.Popen([support.SITE_COMMAND, "load", self.config], stdin=subprocess.DEVNULL,
                                       stdout=self.loader_log, stderr=self.loader_log)

    def stop_loader(self, sig=signal.SIGTERM):
        if self.loader is not None and self.loader.poll() is None:
            self.loader.send_signal(sig)
            self.loader.wait()

    def client(self, outcomes, stop, n):
        """Downloads copies of both products and asks for each copy's package, until `stop`."""
        while not stop.is_set():
            product = "other" if n % 2 else "demo"
            n += 1
            status, body = ask(self.host, b"/download/%s?campaign=c%d" % (product.encode(), n % 3))
            if status is None:
                with outcomes.lock:
                    outcomes.broken += 1
                continue
            tag = velko_tag.read_tag(body) if status == 200 else None
            if tag is None or body != b"".join(velko_tag.iter_copy(velko_tag.plan_copy(self.image, tag[1]))):
                with outcomes.lock:
                    outcomes.other.append(("download", status, body[:100]))
                continue
            ident = tag[1]
            with outcomes.lock:
                outcomes.copies.append(ident.decode())
            status, body = ask(self.host, b"/WebGetDSData.qdx?session=" + ident)
            with outcomes.lock:
                if status is None:
                    outcomes.broken += 1
                elif (status, body) == (200, b"<MSIURL>" + URLS[product] + b"</MSIURL>"):
                    outcomes.answered.append(ident.decode())
                else:
                    outcomes.other.append(("information", status, body[:100]))

    def run_clients(self, outcomes, stop):
        threads = [threading.Thread(target=self.client, args=(outcomes, stop, n)) for n in range(CLIENTS)]
        for t in threads:
            t.start()
        return threads

    def wait_for(self, outcomes, count):
        deadline = time.monotonic() + 300
        while outcomes.done < count:
            self.assertLess(time.monotonic(), deadline, "the requests stopped: %d done" % outcomes.done)
            time.sleep(0.05)

    def loaded(self):
        """(downloads: Counter of identifiers, requests: Counter of sessions, requests not known)
        as the database has them now (no loader pass of the test's own)."""
        db = support.Database(self.database())
        try:
            downloads = collections.Counter(r[0] for r in db.rows("SELECT ident FROM downloads"))
            requests = collections.Counter(r[0] for r in db.rows("SELECT session FROM info_requests"))
            unknown = db.rows("SELECT COUNT(*) FROM info_requests WHERE known = 0")[0][0]
            return downloads, requests, unknown
        finally:
            db.close()

    def test_database_away_during_downloads_and_requests(self):
        outcomes, stop = Outcomes(), threading.Event()
        threads = self.run_clients(outcomes, stop)
        try:
            self.wait_for(outcomes, 500)
            self.take_database_away()
            self.wait_for(outcomes, max(3000, outcomes.done + 500))
        finally:
            stop.set()
            for t in threads:
                t.join()
        self.assertEqual((outcomes.other, outcomes.broken), ([], 0))
        # The running loader catches up by itself.
        deadline = time.monotonic() + CATCH_UP_LIMIT
        while True:
            downloads, requests, unknown = self.loaded()
            if len(downloads) >= len(outcomes.copies) and sum(requests.values()) >= len(outcomes.answered):
                break
            self.assertLess(time.monotonic(), deadline, "the loader did not catch up: %d of %d copies"
                            % (len(downloads), len(outcomes.copies)))
            time.sleep(0.2)
        self.assertEqual(downloads, collections.Counter(outcomes.copies))
        self.assertEqual(requests, collections.Counter(outcomes.answered))
        self.assertEqual(unknown, 0)
        with open(os.path.join(self.work, "loader.log"), errors="replace") as f:
            log = f.read()
        self.assertIn("cannot be used", log, "the database was never away for the loader")
        print("\n%s: %d copies and %d information requests, all answered and loaded"
              % (type(self).__name__, len(outcomes.copies), len(outcomes.answered)), file=sys.stderr)

    def test_worker_and_loader_killed(self):
        outcomes, stop = Outcomes(), threading.Event()
        threads = self.run_clients(outcomes, stop)
        kills = 0
        try:
            self.wait_for(outcomes, 300)
            os.kill(self.site.worker_pids()[0], signal.SIGKILL)
            while outcomes.done < 3000:
                time.sleep(0.2 + 0.15 * (kills % 3))
                self.stop_loader(signal.SIGKILL)
                kills += 1
                self.start_loader()
        finally:
            stop.set()
            for t in threads:
                t.join()
        self.stop_loader(signal.SIGKILL)
        support.load(self.config)
        downloads, requests, _ = self.loaded()
        self.assertEqual(outcomes.other, [])
        self.assertEqual({i: n for i, n in downloads.items() if n > 1}, {})
        self.assertEqual({i: n for i, n in requests.items() if n > 1}, {})
        self.assertEqual([i for i in outcomes.copies if i not in downloads], [], "whole copies not loaded")
        self.assertEqual([i for i in outcomes.answered if i not in requests], [], "answered requests not loaded")
        # Anything more belongs to a request whose connection broke (the killed worker's).
        more = len(downloads) - len(outcomes.copies) + sum(requests.values()) - len(outcomes.answered)
        self.assertLessEqual(more, outcomes.broken)
        print("\n%s: %d copies, %d information requests, %d broken connections, the loader killed %d times"
              % (type(self).__name__, len(outcomes.copies), len(outcomes.answered), outcomes.broken, kills),
              file=sys.stderr)


class PostgresFaultTest(support.OnPostgres, FaultCases, unittest.TestCase):
    host = "127.0.0.24"

    def take_database_away(self):
        self.postgres.halt()  # every session ends; connections break
        time.sleep(3)
        self.postgres.start()


class SqliteFaultTest(FaultCases, unittest.TestCase):
    host = "127.0.0.25"

    def database(self):
        return os.path.join(self.work, "site.db")

    def take_database_away(self):
        # Another process holds the write lock for 10 s, longer than the loader waits for it.
        with support.sqlite_lock_holder(self.database(), 10) as holder:
            self.assertEqual(holder.wait(60), 0)


if __name__ == "__main__":
    unittest.main()
