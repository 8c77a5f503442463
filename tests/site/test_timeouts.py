"""A database that cannot be reached does not hang the site: downloads get 503 and information
requests the default URL within a few seconds (db.DB_TIMEOUT per step), well before gunicorn's
worker time-out, and the worker that answered them lives on.

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
from velko_site.db import DB_TIMEOUT, SERVING_LIMIT

PORT = 8000
DEMO_URL = "http://127.0.0.3/velko-demo.msi"
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
        config = support.write_config(self.work, {"demo": (self.stub, DEMO_URL, "velko-demo-setup.exe")},
                                      database=self.database())
        return support.start_site(self.addCleanup, config, self.host, PORT, workers=1)

    def check_answers(self, site):
        worker = site.worker_pids()
        for target, expected in (("/download/demo", 503),
                                 ("/WebGetDSData.qdx?session=0123ABCD-4567EF01-89ABCDEF-DEADBEEF-00C0FFEE", 200)):
            with self.subTest(target):
                started = time.monotonic()
                status, headers, body = support.get(self.host, PORT, target)
                took = time.monotonic() - started
                self.assertEqual(status, expected, body)
                self.assertLess(took, ANSWER_LIMIT)
                if status == 200:
                    self.assertEqual(body, b"<MSIURL>" + DEMO_URL.encode() + b"</MSIURL>")
                else:
                    self.assertEqual(headers.get("retry-after"), "60")
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
    the connection after db.SERVING_LIMIT: the download waiting on it gets 503, and once the server
    answers again the same worker serves copies.  The control: a connection with libpq's settings
    and no client-side deadline is still waiting well after that."""
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

    def test_the_site_gives_up_on_a_stopped_server_and_recovers(self):
        config = support.write_config(self.work, {"demo": (self.stub, DEMO_URL, "velko-demo-setup.exe")},
                                      database=self.url)
        site = support.start_site(self.addCleanup, config, self.host, PORT, workers=1)
        worker = site.worker_pids()
        self.assertEqual(support.get(self.host, PORT, "/download/demo")[0], 200)  # the worker's connection open
        self.stop_backends()
        status, headers, body = support.get(self.host, PORT, "/download/demo")  # gives up after 30 s
        self.assertEqual((status, headers.get("retry-after")), (503, "60"), body)
        self.resume()
        self.assertEqual(support.get(self.host, PORT, "/download/demo")[0], 200)
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
