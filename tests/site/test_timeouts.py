"""A database that cannot be reached does not hang the site: downloads and information requests
for the identifiers it hands out never touch it (200 at once), and an identifier of the old form,
which is looked up there, gets 503 within a few seconds (db.DB_TIMEOUT per step), well before
gunicorn's worker time-out, and the worker that answered them lives on.

The unreachable PostgreSQL is an address whose connection attempts are dropped: a listening
socket whose one-place queue of connections is already full, so that the kernel ignores every
further SYN as a host that drops packets would.  The control shows such an address hanging a
connection made without a time-out."""
import os
import socket
import threading
import time
import unittest

import support
from velko_site.db import DB_TIMEOUT

PORT = 8000
DEMO_URL = "http://127.0.0.3/velko-demo.msi"
OTHER_URL = "http://127.0.0.3/velko-other.msi"
# Generous: a download must be answered well before gunicorn's worker time-out (30 s).
ANSWER_LIMIT = 25


def dropping_address(add_cleanup, host):
    """A port on `host` that drops every connection attempt; returns it."""
    listener = socket.socket()
    listener.bind((host, 0))
    listener.listen(0)
    port = listener.getsockname()[1]
    queued = socket.create_connection((host, port), timeout=5)  # fills the queue: nobody accepts
    add_cleanup(queued.close)
    add_cleanup(listener.close)  # the closed port then refuses, and any hung attempt ends
    probe = socket.socket()
    probe.settimeout(1)
    try:
        probe.connect((host, port))
        raise AssertionError("the port meant to drop connection attempts accepted one")
    except socket.timeout:
        pass
    finally:
        probe.close()
    return port


class UnreachableDatabaseCases:
    host = None

    def database(self):
        raise NotImplementedError

    def setUp(self):
        self.work, self.stub = support.folder_with_stub(self.addCleanup)

    def start(self):
        # Two products: an identifier of the old form must then be looked up.
        config = support.write_config(self.work, {"demo": (self.stub, DEMO_URL, "velko-demo-setup.exe"),
                                                  "other": (self.stub, OTHER_URL, "velko-other-setup.exe")},
                                      database=self.database())
        return support.start_site(self.addCleanup, config, self.host, PORT, workers=1)

    def check_answers(self, site):
        worker = site.worker_pids()
        status, _, body = support.get(self.host, PORT, "/download/other")
        self.assertEqual(status, 200)
        ident = support.velko_tag.read_tag(body)[1].decode()
        for target, expected, reply in (
                ("/WebGetDSData.qdx?session=" + ident, 200, b"<MSIURL>" + OTHER_URL.encode() + b"</MSIURL>"),
                ("/WebGetDSData.qdx?session=0123ABCD-4567EF01-89ABCDEF-DEADBEEF-00C0FFEE", 503, None)):
            with self.subTest(target):
                started = time.monotonic()
                status, headers, body = support.get(self.host, PORT, target)
                took = time.monotonic() - started
                self.assertEqual(status, expected, body)
                self.assertLess(took, ANSWER_LIMIT)
                if status == 200:
                    self.assertEqual(body, reply)
                else:
                    self.assertEqual(headers.get("retry-after"), "30")
        self.assertEqual(site.worker_pids(), worker, "the worker was replaced")


class PostgresUnreachableTest(UnreachableDatabaseCases, unittest.TestCase):
    host = "127.0.0.26"

    def setUp(self):
        super().setUp()
        self.port = dropping_address(self.addCleanup, self.host)

    def database(self):
        return "postgresql://velko@%s:%d/velko_site" % (self.host, self.port)

    def test_answers_come_within_seconds(self):
        self.check_answers(self.start())

    def test_control_a_connection_without_time_out_hangs(self):
        import psycopg2
        outcome = []
        attempt = threading.Thread(target=lambda: outcome.append(self.connect_without_time_out(psycopg2)),
                                   daemon=True)
        attempt.start()
        attempt.join(DB_TIMEOUT + 3)
        self.assertTrue(attempt.is_alive(), "the connection attempt ended: %s" % outcome)

    def connect_without_time_out(self, psycopg2):
        try:
            psycopg2.connect(self.database()).close()
            return "connected"
        except psycopg2.Error as e:
            return str(e)


class SqliteLockedTest(UnreachableDatabaseCases, unittest.TestCase):
    host = "127.0.0.27"

    def database(self):
        return os.path.join(self.work, "site.db")

    def test_answers_come_within_seconds(self):
        site = self.start()
        # Locked for longer than gunicorn's worker time-out.
        with support.sqlite_lock_holder(self.database(), 40):
            self.check_answers(site)


if __name__ == "__main__":
    unittest.main()
