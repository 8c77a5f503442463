"""The site's records, in SQLite (a file path) or PostgreSQL (a postgresql:// URL): one schema and
one set of queries for both.  Queries are written with ? placeholders; for PostgreSQL they become
%s, psycopg2's form.  Times are UTC text (2024-05-01T12:00:00.000000Z): both databases store, sort
and compare it the same way.

    downloads       one row per copy handed out: its identifier, product, campaign ('' for
                    none), referrer ('' for none) and time
    info_requests   one row per information request: the identifier as received (the first
                    MAX_SESSION_BYTES bytes, escaped, see app.stored_text), its length in bytes,
                    whether it named a download (known = 1) and the time

A copy counts as run when an information request named it.
"""
import datetime
import os
import sqlite3
import threading

SCHEMA = [
    """CREATE TABLE IF NOT EXISTS downloads (
           ident TEXT PRIMARY KEY,
           product TEXT NOT NULL,
           campaign TEXT NOT NULL,
           referrer TEXT NOT NULL,
           downloaded_at TEXT NOT NULL)""",
    """CREATE TABLE IF NOT EXISTS info_requests (
           session TEXT NOT NULL,
           session_length INTEGER NOT NULL,
           known INTEGER NOT NULL,
           requested_at TEXT NOT NULL)""",
    "CREATE INDEX IF NOT EXISTS info_requests_session ON info_requests (session)",
]

REPORT = """
    SELECT d.product, d.campaign, COUNT(*),
           SUM(CASE WHEN EXISTS (SELECT 1 FROM info_requests r
                                 WHERE r.known = 1 AND r.session = d.ident) THEN 1 ELSE 0 END)
    FROM downloads d
    GROUP BY d.product, d.campaign"""


class DatabaseError(Exception):
    """The database could not do what was asked (unreachable, locked too long, ...)."""


def utc_now():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


class Database:
    """The records behind `url` (a postgresql:// URL, or the path of the SQLite file).

    Each thread of each process has a connection of its own, opened on first use: gunicorn forks
    its workers after the application is made, and neither driver's connections may cross a fork,
    nor (SQLite's) a thread.  A connection that failed is dropped; the next call opens a new one."""

    def __init__(self, url):
        self.url = url
        self.postgres = url.startswith("postgresql://")
        self._local = threading.local()

    def _connect(self):
        if self.postgres:
            import psycopg2  # only needed, and only installed, where PostgreSQL is used
            return psycopg2.connect(self.url)
        # Several worker processes write to one file: wait for each other's short transactions
        # rather than fail, keep readers out of the writers' way (WAL), and let a commit return
        # without waiting for the disk (NORMAL: in WAL mode the database stays consistent; a power
        # cut may lose the last commits, never corrupt the file).
        conn = sqlite3.connect(self.url, timeout=30)
        conn.execute("PRAGMA journal_mode=WAL")
        conn.execute("PRAGMA synchronous=NORMAL")
        return conn

    def _connection(self):
        held = getattr(self._local, "held", None)
        if held is None or held[0] != os.getpid():
            held = self._local.held = (os.getpid(), self._connect())
        return held[1]

    def _errors(self):
        if self.postgres:
            import psycopg2
            return (sqlite3.Error, psycopg2.Error)
        return (sqlite3.Error,)

    def transaction(self, work):
        """Runs work(execute) in one transaction, where execute(sql, params=()) runs a query and
        returns its cursor, and commits; returns what work returned.  Raises DatabaseError (after
        rolling back and dropping the connection) when the database fails."""
        try:
            conn = self._connection()
            cur = conn.cursor()

            def execute(sql, params=()):
                cur.execute(sql.replace("?", "%s") if self.postgres else sql, params)
                return cur

            result = work(execute)
            conn.commit()
            return result
        except self._errors() as e:
            self.close()
            raise DatabaseError(str(e).strip() or type(e).__name__) from e

    def close(self):
        held = getattr(self._local, "held", None)
        self._local.held = None
        if held is not None and held[0] == os.getpid():
            try:
                held[1].close()
            except self._errors():
                pass

    def rows(self, sql, params=()):
        """All rows of one query, as a list of tuples."""
        return self.transaction(lambda execute: execute(sql, params).fetchall())

    def ensure_schema(self):
        """Creates the tables and the index unless they exist.  Workers starting together may race
        to create them; PostgreSQL can then refuse the loser's CREATE ... IF NOT EXISTS, so a
        failure is retried once, when the winner's tables are there."""
        def create(execute):
            for statement in SCHEMA:
                execute(statement)
        try:
            self.transaction(create)
        except DatabaseError:
            self.transaction(create)

    def record_download(self, ident, product, campaign, referrer):
        self.transaction(lambda execute: execute(
            "INSERT INTO downloads (ident, product, campaign, referrer, downloaded_at) "
            "VALUES (?, ?, ?, ?, ?)", (ident, product, campaign, referrer, utc_now())))

    def record_info_request(self, ident, session, session_length):
        """Records an information request and returns the product of the download it names, or
        None.  ident: the identifier when it has the form of one we hand out, else None (it is
        then not looked up); session: the identifier as it is to be stored."""
        def work(execute):
            found = None
            if ident is not None:
                found = execute("SELECT product FROM downloads WHERE ident = ?", (ident,)).fetchone()
            execute("INSERT INTO info_requests (session, session_length, known, requested_at) "
                    "VALUES (?, ?, ?, ?)", (session, session_length, 1 if found else 0, utc_now()))
            return found[0] if found else None
        return self.transaction(work)

    def report(self):
        """[(product, campaign, downloaded, run)], sorted by product and campaign."""
        return sorted((p, c, int(d), int(r)) for p, c, d, r in self.rows(REPORT))
