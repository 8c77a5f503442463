"""How the site uses its database beside others: the schema is created only where it is missing and
under a lock time-out, so that neither the report nor the loader's start waits for (or holds up)
the writers, and the report creates nothing; and with gunicorn --preload, where the master makes
the application, every worker's connection and journal are its own."""
import os
import subprocess
import threading
import unittest

import support
from velko_site.db import SCHEMA, DatabaseError
from velko_site.serve import Gunicorn

# Generous: a call that is refused instead of waiting ends within DB_TIMEOUT.
LIMIT = 60
PG_HOST = "127.0.0.37"
PG_PORT = 5432


class SchemaCases:
    """Each case runs against a database with the site's schema, and a writer of its own that
    holds a transaction open: a PostgreSQL session with an insert not yet committed, or another
    process holding SQLite's write lock."""

    def database(self):
        raise NotImplementedError

    def writer(self):
        """A context manager: a writer holding a transaction open while inside it."""
        raise NotImplementedError

    def setUp(self):
        self.work, self.stub = support.folder_with_stub(self.addCleanup)
        self.url = self.database()
        self.config = support.write_config(self.work, {
            "demo": (self.stub, "http://127.0.0.3/velko-demo.msi", "velko-demo-setup.exe")}, database=self.url)

    def db(self, serving=False):
        db = support.Database(self.url, serving=serving)
        self.addCleanup(db.close)
        return db

    def report(self):
        return subprocess.run([support.SITE_COMMAND, "report", self.config], capture_output=True, text=True,
                              timeout=LIMIT)

    def within_limit(self, call):
        """What call() returned or raised, once it has ended (the test fails if it waits on)."""
        outcome = []

        def run():
            try:
                outcome.append(call())
            except Exception as e:
                outcome.append(e)
        thread = threading.Thread(target=run, daemon=True)
        thread.start()
        thread.join(LIMIT)
        self.assertFalse(thread.is_alive(), "still waiting after %d s" % LIMIT)
        return outcome[0]

    def test_a_complete_schema_keeps_no_one_waiting(self):
        self.assertEqual(self.db().ensure_schema(), [name for name, _ in SCHEMA])
        with self.writer():
            # A worker starting: nothing asked of the database but a look at its catalog.
            self.assertEqual(self.within_limit(self.db(serving=True).ensure_schema), [])
            done = self.report()
            self.assertEqual((done.returncode, done.stderr), (0, ""))
            self.assertIn("(no downloads yet)", done.stdout)

    def test_a_missing_index_is_created_under_a_lock_time_out(self):
        db = self.db()
        db.ensure_schema()
        db.transaction(lambda execute: execute("DROP INDEX info_requests_session"))
        with self.writer():
            refused = self.within_limit(self.db(serving=True).ensure_schema)
            self.assertIsInstance(refused, DatabaseError)
        self.assertEqual(db.ensure_schema(), ["info_requests_session"])
        self.assertEqual(db.missing_schema(), [])

    def test_a_database_made_before_the_journal_gets_what_the_loader_needs(self):
        self.drop_everything()
        before = [("downloads", "CREATE TABLE downloads (ident TEXT PRIMARY KEY, product TEXT NOT NULL, campaign "
                   "TEXT NOT NULL, referrer TEXT NOT NULL, downloaded_at TEXT NOT NULL)"),
                  ("info_requests", "CREATE TABLE info_requests (session TEXT NOT NULL, session_length INTEGER "
                   "NOT NULL, known INTEGER NOT NULL, requested_at TEXT NOT NULL)"),
                  ("info_requests_session", "CREATE INDEX info_requests_session ON info_requests (session)")]
        db = self.db()
        db.transaction(lambda execute: [execute(statement) for _, statement in before] + [
            execute("INSERT INTO info_requests VALUES ('x', 1, 0, '2024-05-01T00:00:00.000000Z')")])
        self.assertEqual(db.ensure_schema(), ["info_requests.line_id"] + [
            name for name, _ in SCHEMA if name not in dict(before)])
        self.assertEqual(db.missing_schema(), [])
        self.assertEqual(db.rows("SELECT session, line_id FROM info_requests"), [("x", None)])

    def test_the_report_creates_nothing(self):
        self.drop_everything()
        done = self.report()
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertEqual(done.stdout.splitlines()[1:], ["(no downloads yet)", "", "no loader has reported yet"])
        self.assertEqual(self.db().missing_schema() if self.exists() else "no database", self.nothing)

    def test_a_database_older_than_the_outcome_reports_is_reported_as_it_is(self):
        """The site upgraded, the report run before the loader has made the new table: the copies
        are reported with nothing received or installed, and the table is still not made."""
        db = self.db()
        db.ensure_schema()
        db.transaction(lambda execute: [execute("DROP TABLE outcomes"), execute(
            "INSERT INTO downloads VALUES ('A1', 'demo', '', '', '2026-03-01T00:00:00.000000Z')")])
        done = self.report()
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertEqual(done.stdout.splitlines()[1].split(), ["demo", "(none)", "1", "0", "0.0%", "0", "0"])
        self.assertEqual(db.missing_schema(), ["outcomes"])


class PostgresSchemaTest(SchemaCases, unittest.TestCase):
    nothing = [name for name, _ in SCHEMA]

    @classmethod
    def setUpClass(cls):
        cls.postgres = support.PostgresServer().start()
        cls.addClassCleanup(cls.postgres.stop)

    def database(self):
        return self.postgres.url

    def setUp(self):
        super().setUp()
        self.drop_everything()

    def drop_everything(self):
        support.Database(self.url).transaction(
            lambda execute: [execute("DROP TABLE IF EXISTS %s" % name) for name, statement in SCHEMA
                             if statement.startswith("CREATE TABLE")])

    def exists(self):
        return True

    def writer(self):
        import contextlib
        import psycopg2

        @contextlib.contextmanager
        def holding():
            conn = psycopg2.connect(self.url)
            try:
                with conn.cursor() as cur:
                    cur.execute("INSERT INTO info_requests VALUES ('x', 1, 0, 't')")
                yield  # the insert's lock held, its transaction open
            finally:
                conn.rollback()
                conn.close()
        return holding()


class SqliteSchemaTest(SchemaCases, unittest.TestCase):
    nothing = "no database"

    def database(self):
        return os.path.join(self.work, "site.db")

    def drop_everything(self):
        if os.path.exists(self.url):
            os.unlink(self.url)

    def exists(self):
        return os.path.exists(self.url)

    def writer(self):
        return support.sqlite_lock_holder(self.url, LIMIT * 2)


def database_sockets(pids, port):
    """{socket inode: [the pids among `pids` that hold it]} for the TCP connections to `port`."""
    inodes = set()
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if int(fields[2].split(":")[1], 16) == port and fields[3] == "01":  # established
                inodes.add(fields[9])
    held = {inode: [] for inode in inodes}
    for pid in pids:
        folder = "/proc/%d/fd" % pid
        for fd in os.listdir(folder):
            try:
                target = os.readlink(os.path.join(folder, fd))
            except OSError:
                continue
            inode = target[len("socket:["):-1] if target.startswith("socket:[") else None
            if inode in held:
                held[inode].append(pid)
    return held


class PreloadTest(unittest.TestCase):
    def test_each_worker_connects_and_journals_on_its_own(self):
        postgres = support.PostgresServer(settings=("listen_addresses=%s" % PG_HOST,)).start()
        self.addCleanup(postgres.stop)
        work, stub = support.folder_with_stub(self.addCleanup)
        url = "postgresql://velko@%s:%d/postgres" % (PG_HOST, PG_PORT)
        # Two products: an identifier of the old form is then read from the database.
        config = support.write_config(work, {"demo": (stub, "http://127.0.0.3/velko-demo.msi", "velko-demo-setup.exe"),
                                             "other": (stub, "http://127.0.0.3/velko-other.msi", "velko-other-setup.exe")},
                                      database=url)
        support.Database(url).ensure_schema()
        site = Gunicorn(config, PG_HOST, 8000, os.path.join(work, "gunicorn.log"), workers=2, extra=("--preload",))
        site.workers = 1  # ready lines to wait for: the application is made once, in the master
        site.start()
        self.addCleanup(site.stop)
        master, workers = site.process.pid, site.worker_pids()
        # The master made the application and holds no connection.
        self.assertEqual(database_sockets([master, *workers], PG_PORT), {})
        for _ in range(20):
            self.assertEqual(support.get(PG_HOST, 8000, "/download/demo")[0], 200)
            self.assertEqual(support.get(PG_HOST, 8000, "/WebGetDSData.qdx?session=0123ABCD-4567EF01-89ABCDEF-"
                                         "DEADBEEF-00C0FFEE")[0], 200)
        workers = site.worker_pids()  # both forked by now (the second may not have been at start)
        self.assertEqual(len(workers), 2)
        held = database_sockets([master, *workers], PG_PORT)
        self.assertTrue(held)
        for inode, pids in held.items():
            self.assertEqual(len(pids), 1, "connection %s shared by %s (master %d)" % (inode, pids, master))
            self.assertIn(pids[0], workers)
        # Each journal is a worker's own.
        writers = {int(name[1:].split("-")[0]) for name in os.listdir(os.path.join(work, "journal"))
                   if name.endswith(".journal")}
        self.assertTrue(writers)
        self.assertLessEqual(writers, set(workers))
        support.load(config)
        downloads, requests = support.records(url)
        self.assertEqual((len(downloads), len(requests)), (20, 20))


if __name__ == "__main__":
    unittest.main()
