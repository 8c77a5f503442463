"""A database that cannot be reached does not hang the site: downloads and information requests
for the identifiers it hands out never touch it (200 at once), and an identifier of the old form,
which is looked up there, gets 503 within a few seconds (db.DB_TIMEOUT per step), well before
gunicorn's worker time-out, and the worker that answered them lives on.

The unreachable PostgreSQL is an address whose connection attempts are dropped: a listening
socket whose one-place queue of connections is already full, so that the kernel ignores every
further SYN as a host that drops packets would.  The control shows such an address hanging a
connection made without a time-out.  A server that stops answering on a connection already open is
given up on as well."""
import os
import signal
import socket
import threading
import time
import unittest

import support
from velko_site import loader
from velko_site.config import load_config
from velko_site.db import DB_TIMEOUT, SCHEMA, SERVING_LIMIT, DatabaseError

PORT = 8000
DEMO_URL = "http://127.0.0.3/velko-demo.msi"
OTHER_URL = "http://127.0.0.3/velko-other.msi"
OLD_ID = "0123ABCD-4567EF01-89ABCDEF-DEADBEEF-00C0FFEE"
# The loader's limit on a transaction in these tests (its own is minutes).
LOADER_LIMIT = 3
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
                ("/WebGetDSData.qdx?session=" + OLD_ID, 503, None)):
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


def msiurl(url):
    return b"<MSIURL>" + url.encode() + b"</MSIURL>"


def client_backends(server_url):
    """The process ids of the PostgreSQL server's client sessions but the one asking."""
    db = support.Database(server_url)
    try:
        return [pid for pid, in db.rows("SELECT pid FROM pg_stat_activity "
                                        "WHERE backend_type = 'client backend' AND pid <> pg_backend_pid()")]
    finally:
        db.close()


class PostgresStopsAnsweringTest(unittest.TestCase):
    """A server that stops answering on a connection already open: its backends stopped (SIGSTOP),
    over TCP, where the kernel still acknowledges every packet, so that neither TCP's time-outs nor
    keep-alives end the wait, and statement_timeout, the server's own, never comes.  The site cuts
    the connection of its read of an identifier of the old form after db.SERVING_LIMIT: that
    request gets 503, the identifiers that name their product are answered all along, and once the
    server answers again the same worker reads.  The loader's transaction is cut the same way (after
    a short limit here) and loads once the server answers.  The control: a connection with libpq's
    settings and no client-side deadline is still waiting well after that."""
    host = "127.0.0.36"

    def setUp(self):
        self.work, self.stub = support.folder_with_stub(self.addCleanup)
        self.postgres = support.PostgresServer(settings=("listen_addresses=%s" % self.host,)).start()
        self.addCleanup(self.postgres.stop)
        self.url = "postgresql://velko@%s/postgres" % self.host
        self.stopped = []
        self.addCleanup(self.resume)

    def stop_backends(self):
        self.stopped = client_backends(self.url)
        self.assertTrue(self.stopped)
        for pid in self.stopped:
            os.kill(pid, signal.SIGSTOP)

    def resume(self):
        for pid in self.stopped:
            os.kill(pid, signal.SIGCONT)
        self.stopped = []

    def test_the_site_and_the_loader_give_up_on_a_stopped_server_and_recover(self):
        config = support.write_config(self.work, {"demo": (self.stub, DEMO_URL, "velko-demo-setup.exe"),
                                                  "other": (self.stub, OTHER_URL, "velko-other-setup.exe")},
                                      database=self.url)
        support.Database(self.url).transaction(lambda execute: [execute(statement) for _, statement in SCHEMA] + [
            execute("INSERT INTO downloads VALUES (?, 'other', '', '', '2024-05-01T00:00:00.000000Z')", (OLD_ID,))])
        site = support.start_site(self.addCleanup, config, self.host, PORT, workers=1)
        worker = site.worker_pids()
        old = "/WebGetDSData.qdx?session=" + OLD_ID
        self.assertEqual(support.get(self.host, PORT, old)[2], msiurl(OTHER_URL))  # the worker's connection open
        loading = support.Database(self.url, limit=LOADER_LIMIT)
        self.addCleanup(loading.close)
        settings = load_config(config)
        loader.load_pass(settings, loading)  # the loader's connection open
        ident = support.velko_tag.read_tag(support.get(self.host, PORT, "/download/other")[2])[1].decode()

        self.stop_backends()
        status, _, body = support.get(self.host, PORT, "/WebGetDSData.qdx?session=" + ident)
        self.assertEqual((status, body), (200, msiurl(OTHER_URL)))
        status, headers, body = support.get(self.host, PORT, old)  # gives up after SERVING_LIMIT
        self.assertEqual((status, headers.get("retry-after")), (503, "30"), body)
        with self.assertRaisesRegex(DatabaseError, "no answer from the database within %d s" % LOADER_LIMIT):
            loader.load_pass(settings, loading)

        self.resume()
        self.assertEqual(support.get(self.host, PORT, old)[2], msiurl(OTHER_URL))
        loader.load_pass(settings, loading)
        self.assertEqual(loading.rows("SELECT ident, product FROM downloads WHERE ident = ?", (ident,)),
                         [(ident, "other")])
        self.assertEqual(site.worker_pids(), worker, "the worker was replaced")
        self.assertIn("no answer from the database within %d s" % SERVING_LIMIT, site.log_tail())

    def test_control_libpq_settings_alone_wait_for_ever(self):
        import psycopg2
        conn = psycopg2.connect(self.url, connect_timeout=DB_TIMEOUT, tcp_user_timeout=DB_TIMEOUT * 1000,
                                keepalives_idle=DB_TIMEOUT, keepalives_interval=1, keepalives_count=DB_TIMEOUT)
        self.addCleanup(conn.close)
        conn.autocommit = True
        with conn.cursor() as cur:
            cur.execute("SET statement_timeout = %s", (DB_TIMEOUT * 1000,))
        self.stop_backends()
        outcome = []

        def query():
            try:
                with conn.cursor() as cur:
                    cur.execute("SELECT 1")
                    outcome.append(cur.fetchall())
            except psycopg2.Error as e:
                outcome.append(e)
        waiting = threading.Thread(target=query, daemon=True)
        waiting.start()
        waiting.join(SERVING_LIMIT + 5)
        self.assertTrue(waiting.is_alive(), "the query ended: %s" % outcome)
        self.resume()
        waiting.join(30)
        self.assertEqual(outcome, [[(1,)]])


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
