"""The site's records, in SQLite (a file path) or PostgreSQL (a postgresql:// URL): one schema and
one set of queries for both.  Queries are written with ? placeholders; for PostgreSQL they become
%s, psycopg2's form.  Times are UTC text (2024-05-01T12:00:00.000000Z): both databases store, sort
and compare it the same way.

    downloads       one row per copy handed out: its identifier, product, campaign ('' for
                    none), referrer ('' for none) and time
    info_requests   one row per information request: the identifier as received (the first
                    MAX_SESSION_BYTES bytes, escaped, see app.stored_text), its length in bytes,
                    whether it named a download (known = 1) and the time

A copy counts as run when an information request named it; the report counts it on the day of the
first such request.

Records are written by a GroupCommit: one writer thread per process takes every record queued up
while its previous commit ran and commits them all in one transaction (see GroupCommit).
"""
import collections
import contextlib
import datetime
import os
import queue
import socket
import sqlite3
import threading
import time

# How long any one step with the database may take (connecting, waiting for SQLite's write lock,
# a statement, a send that the other side does not acknowledge), in seconds: well below gunicorn's
# worker time-out (30 s), so that a database that cannot be reached makes the site answer (503 to a
# download, the default URL to an information request) instead of leaving the worker to be killed.
DB_TIMEOUT = 5
# How long a request waits for the commit that holds its record before it answers as if the
# commit had failed: room for a reconnection and a commit, each bounded by DB_TIMEOUT.
RECORD_WAIT_LIMIT = 4 * DB_TIMEOUT
# How long a PostgreSQL transaction may take, as the client sees it, before its connection is cut:
# a server that stops answering on an open connection (a stopped or wedged backend, a path that
# holds the connection but passes nothing on) is otherwise waited for for ever, since TCP keeps
# such a connection alive and statement_timeout is the server's own.  The site's (two of its
# statement time-outs) and the commands' (a report over a long history takes a while).
SERVING_LIMIT = 2 * DB_TIMEOUT
COMMAND_LIMIT = 600
# The most records in one transaction: a commit stays short whatever piles up behind a slow one.
MAX_BATCH = 500

# The tables and indexes, each with its name in the database's catalog.
SCHEMA = [
    ("downloads", """CREATE TABLE IF NOT EXISTS downloads (
           ident TEXT PRIMARY KEY,
           product TEXT NOT NULL,
           campaign TEXT NOT NULL,
           referrer TEXT NOT NULL,
           downloaded_at TEXT NOT NULL)"""),
    ("info_requests", """CREATE TABLE IF NOT EXISTS info_requests (
           session TEXT NOT NULL,
           session_length INTEGER NOT NULL,
           known INTEGER NOT NULL,
           requested_at TEXT NOT NULL)"""),
    ("info_requests_session", "CREATE INDEX IF NOT EXISTS info_requests_session ON info_requests (session)"),
]

# The first information request that named each download: one pass over the requests, grouped,
# joined to the downloads by their key.  (A correlated lookup per download is one index probe per
# row of the history.)
FIRST_RUNS = """
    SELECT session, MIN(requested_at) AS first_run FROM info_requests WHERE known = 1 GROUP BY session"""

# Per product, campaign and day (YYYY-MM-DD, UTC): the copies downloaded that day, and the copies
# first run that day.
REPORT_DAYS = """
    SELECT product, campaign, day, SUM(downloaded), SUM(run) FROM (
        SELECT product, campaign, SUBSTR(downloaded_at, 1, 10) AS day, 1 AS downloaded, 0 AS run
        FROM downloads
        UNION ALL
        SELECT d.product, d.campaign, SUBSTR(r.first_run, 1, 10), 0, 1
        FROM downloads d JOIN (%s) r ON r.session = d.ident
    ) AS events
    GROUP BY product, campaign, day""" % FIRST_RUNS


class DatabaseError(Exception):
    """The database could not do what was asked (unreachable, locked too long, ...)."""


def utc_now():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


class _Deadlines:
    """Cuts the connections whose calls run past their deadline: one thread per process shuts
    down the socket of such a connection, and libpq, seeing it end, fails the call.

        with DEADLINES.bound(conn.fileno(), seconds) as watch: ... (watch.fired: it was cut)

    A connection is only shut down while its call is inside bound(): the caller closes it after."""

    class Watch:
        __slots__ = ("due", "fd", "fired")

        def __init__(self, due, fd):
            self.due, self.fd, self.fired = due, fd, False

    def __init__(self):
        self._forget()
        os.register_at_fork(after_in_child=self._forget)

    def _forget(self):
        # A forked process has none of its parent's threads, and a lock the thread held stays held.
        self._cond = threading.Condition()
        self._watches = set()
        self._running = False

    @contextlib.contextmanager
    def bound(self, fd, seconds):
        watch = self.Watch(time.monotonic() + seconds, fd)
        with self._cond:
            if not self._running:
                threading.Thread(target=self._run, args=(self._cond,), name="velko-site deadlines",
                                 daemon=True).start()
                self._running = True
            self._watches.add(watch)
            self._cond.notify()
        try:
            yield watch
        finally:
            with self._cond:
                self._watches.discard(watch)

    def _run(self, cond):
        with cond:
            while cond is self._cond:
                now = time.monotonic()
                for watch in [w for w in self._watches if w.due <= now]:
                    self._watches.discard(watch)
                    watch.fired = True
                    try:
                        # The same socket through a descriptor of our own: shutdown() ends the
                        # connection for every descriptor of it, close() only ours.
                        with socket.socket(fileno=os.dup(watch.fd)) as cut:
                            cut.shutdown(socket.SHUT_RDWR)
                    except OSError:
                        pass
                cond.wait(min((w.due for w in self._watches), default=now + 60) - now)


DEADLINES = _Deadlines()


class _Shared:
    """Where a serving Database keeps its connection: one place for all threads."""
    held = None


class Database:
    """The records behind `url` (a postgresql:// URL, or the path of the SQLite file).

    Each process has connections of its own, opened on first use: gunicorn forks its workers after
    the application is made, and neither driver's connections may cross a fork.  `serving`, as the
    site has it: one connection per process, which its callers use one at a time (GroupCommit runs
    one commit at a time), so a worker holds one connection however many threads it has; and
    PostgreSQL's statements are bounded by DB_TIMEOUT (the report's may take longer).  Otherwise
    each thread has a connection of its own.  A connection that failed is dropped; the next call
    opens a new one.  Connecting and waiting for SQLite's write lock are bounded by DB_TIMEOUT, and
    a PostgreSQL transaction by `limit` seconds as the client sees it (SERVING_LIMIT when serving,
    COMMAND_LIMIT otherwise): past that its connection is cut (DEADLINES) and dropped."""

    def __init__(self, url, serving=False, limit=None):
        self.url = url
        self.postgres = url.startswith("postgresql://")
        self.serving = serving
        # How long a PostgreSQL transaction may take before its connection is cut (DEADLINES).
        self.limit = limit or (SERVING_LIMIT if serving else COMMAND_LIMIT)
        self._local = _Shared() if serving else threading.local()

    def _connect(self):
        if self.postgres:
            import psycopg2  # only needed, and only installed, where PostgreSQL is used
            # connect_timeout: libpq waits for ever for a host that drops packets.
            # tcp_user_timeout: a connection whose packets go unacknowledged (the host went away)
            # fails instead of waiting for TCP's retransmissions, about 15 minutes.  Both have no
            # effect on a Unix socket.
            conn = psycopg2.connect(self.url, connect_timeout=DB_TIMEOUT,
                                    tcp_user_timeout=DB_TIMEOUT * 1000, keepalives_idle=DB_TIMEOUT,
                                    keepalives_interval=1, keepalives_count=DB_TIMEOUT)
            if self.serving:
                # GroupCommit sends each commit's statements, BEGIN and COMMIT among them, at once.
                conn.autocommit = True
                try:
                    with DEADLINES.bound(conn.fileno(), self.limit), conn.cursor() as cur:
                        cur.execute("SET statement_timeout = %s", (DB_TIMEOUT * 1000,))
                except psycopg2.Error:
                    conn.close()
                    raise
            return conn
        # Several worker processes write to one file: wait a while for each other's short
        # transactions rather than fail, keep readers out of the writers' way (WAL), and let a
        # commit return without waiting for the disk (NORMAL: in WAL mode the database stays
        # consistent; a power cut may lose the last commits, never corrupt the file).  Transactions
        # are begun explicitly (isolation_level None), taking the write lock at once (IMMEDIATE):
        # a transaction that first reads and then writes could otherwise fail on the lock without
        # waiting for it.
        conn = sqlite3.connect(self.url, timeout=DB_TIMEOUT, isolation_level=None,
                               check_same_thread=not self.serving)
        conn.execute("PRAGMA journal_mode=WAL")
        conn.execute("PRAGMA synchronous=NORMAL")
        # The write lock is waited for by _begin_sqlite, not by SQLite's own handler, which sleeps
        # a whole millisecond and more between tries while another worker's commit takes a tenth.
        conn.execute("PRAGMA busy_timeout = 0")
        return conn

    @staticmethod
    def _begin_sqlite(cur):
        """Begins a transaction holding SQLite's write lock, waiting for it up to DB_TIMEOUT:
        tries again after 0.1 ms, doubling the pause up to 2 ms."""
        deadline = time.monotonic() + DB_TIMEOUT
        pause = 0.0001
        while True:
            try:
                cur.execute("BEGIN IMMEDIATE")
                return
            except sqlite3.OperationalError as e:
                if "locked" not in str(e) and "busy" not in str(e) or time.monotonic() > deadline:
                    raise
            time.sleep(pause)
            pause = min(2 * pause, 0.002)

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

    def transaction(self, work, write=True):
        """Runs work(execute) in one transaction, where execute(sql, params=()) runs a query and
        returns its cursor, and commits; returns what work returned.  Raises DatabaseError (after
        rolling back and dropping the connection) when the database fails or, PostgreSQL's, does
        not answer within self.limit seconds.  write=False: work only reads, and in SQLite then
        keeps no writer waiting."""
        watch = None
        try:
            conn = self._connection()
            cur = conn.cursor()

            def execute(sql, params=()):
                cur.execute(sql.replace("?", "%s") if self.postgres else sql, params)
                return cur

            if not self.postgres:
                self._begin_sqlite(cur) if write else cur.execute("BEGIN")
                result = work(execute)
                cur.execute("COMMIT")
                return result
            try:
                with DEADLINES.bound(conn.fileno(), self.limit) as watch:
                    result = work(execute)
                    conn.commit()
            finally:
                if watch is not None and watch.fired:  # cut, whether or not the call had ended
                    self.close()
            return result
        except self._errors() as e:
            self.close()
            if watch is not None and watch.fired:
                raise DatabaseError("no answer from the database within %d s" % self.limit) from e
            raise DatabaseError(str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__) from e

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
        return self.transaction(lambda execute: execute(sql, params).fetchall(), write=False)

    def missing_schema(self):
        """The names of SCHEMA's tables and indexes that the database lacks, in SCHEMA's order:
        a read of the catalog, which keeps no writer waiting."""
        names = [name for name, _ in SCHEMA]

        def work(execute):
            if self.postgres:
                found = execute("SELECT relname FROM pg_catalog.pg_class WHERE relname = ANY(?) "
                                "AND pg_catalog.pg_table_is_visible(oid)", (names,))
            else:
                found = execute("SELECT name FROM sqlite_master WHERE name IN (%s)" % ", ".join("?" * len(names)),
                                names)
            return {name for name, in found.fetchall()}
        present = self.transaction(work, write=False)
        return [name for name in names if name not in present]

    def ensure_schema(self):
        """Creates what is missing of the tables and indexes; returns the names it found missing.
        The catalog is read first and nothing is asked of a complete schema: CREATE ... IF NOT
        EXISTS takes its lock before it looks, and for an index that lock waits for every open
        writer of the table while the writers that come after wait behind it.  What is missing is
        created under a lock time-out of DB_TIMEOUT (PostgreSQL's lock_timeout; SQLite's wait for
        its write lock), so that a long writer fails the creation (DatabaseError) rather than stall
        the site's inserts.  Workers starting together may race to create the same; PostgreSQL can
        then refuse the loser's statement, so a failure is retried once, for what is still missing."""
        statements = dict(SCHEMA)

        def create(missing):
            def work(execute):
                if self.postgres:
                    execute("SET lock_timeout = %d" % (DB_TIMEOUT * 1000))
                for name in missing:
                    execute(statements[name])
                if self.postgres:
                    execute("RESET lock_timeout")
            self.transaction(work)

        missing = self.missing_schema()
        if missing:
            try:
                create(missing)
            except DatabaseError:
                create(self.missing_schema())
        return missing

    def report_days(self):
        """[(product, campaign, day, downloaded, run)], sorted: per day (YYYY-MM-DD, UTC), the
        copies downloaded and the copies first run that day; none for a database without the
        tables (a site that never started), which is left as it is."""
        if not self.postgres and not os.path.exists(self.url):
            return []
        if {"downloads", "info_requests"} & set(self.missing_schema()):
            return []
        def work(execute):
            if self.postgres:
                # Room to group the requests in memory rather than in files (PostgreSQL's default is
                # 4 MB), and no compiling of a query that runs once: on a history of a million
                # downloads and three million requests 2.7 s instead of 4.2 s.
                execute("SET LOCAL work_mem = '64MB'")
                execute("SET LOCAL jit = off")
            return execute(REPORT_DAYS).fetchall()
        return sorted((p, c, day, int(d), int(r)) for p, c, day, d, r in self.transaction(work, write=False))

    def report(self):
        """[(product, campaign, downloaded, run)], sorted by product and campaign."""
        return totals(self.report_days())


def totals(day_rows):
    """[(product, campaign, downloaded, run)], sorted, from Database.report_days()'s rows."""
    sums = collections.defaultdict(lambda: [0, 0])
    for product, campaign, _, downloaded, run in day_rows:
        sums[product, campaign][0] += downloaded
        sums[product, campaign][1] += run
    return [(p, c, d, r) for (p, c), (d, r) in sorted(sums.items())]


class _Record:
    """One record waiting for its commit: a download (args: ident, product, campaign, referrer,
    time) or an information request (args: ident or None, session, session_length, time).
    woken: set when the record's commit has ended (result or error set) or, with lead set, when
    its thread is to commit next."""

    __slots__ = ("kind", "args", "queued", "woken", "lead", "finished", "result", "error", "abandoned")

    def __init__(self, kind, args):
        self.kind, self.args = kind, args
        self.queued = time.monotonic()
        self.woken = threading.Event()
        self.lead = self.finished = self.abandoned = False
        self.result = self.error = None


class GroupCommit:
    """The records of a process, committed in groups: every record queued while a commit runs goes
    into the next one, in one transaction.  A request waits until the commit that holds its record
    has returned (or failed: DatabaseError), so nothing is sent unrecorded, and one commit serves
    every request that arrived meanwhile instead of each paying for its own.

    The writer is the thread of a waiting request: one that finds no commit running commits at
    once (alone, it pays no hand-over between threads); the others queue, and when a commit ends
    its writer wakes them and hands the writing on to the first one still queued, whose commit
    takes everything queued by then.  No writer waits for more records to come: a request waits
    for at most the commit running and its own, each bounded by DB_TIMEOUT, and gives up after
    RECORD_WAIT_LIMIT.

    A commit that fails, or whose end is not known (the connection broke during it), fails every
    request in it; the downloads among them (answered 503, never sent) are deleted by the next
    commit, before anything else is written, in case the commit did take effect: a commit of
    nothing else is tried every second until they are.  So are the downloads whose requests gave
    up waiting while their commit ran.

    waits: the last commit waits in seconds (from queueing to the commit's end), for the
    benchmark; batches, records: how many commits and records so far."""

    def __init__(self, db):
        self.db = db
        self._pid = None
        self._lock = threading.Lock()
        self.waits = collections.deque(maxlen=1_000_000)
        self.batches = self.records = 0

    def _submit(self, kind, args):
        record = _Record(kind, args)
        with self._lock:
            if self._pid != os.getpid():  # a worker forked from the process that made this
                self._pid = os.getpid()
                self._queued, self._committing = [], False
                self._undo = []  # identifiers of downloads that were refused, still to delete
                self._purging = False
                self._schema_ready = False
                self.waits.clear()
                self.batches = self.records = 0
            self._queued.append(record)
            if not self._committing:
                self._committing = record.lead = True
        if not record.lead:
            if not record.woken.wait(RECORD_WAIT_LIMIT):
                with self._lock:
                    if not record.woken.is_set():
                        if record in self._queued:  # never taken: no commit will hold it
                            self._queued.remove(record)
                        else:
                            record.abandoned = True
                        raise DatabaseError("no commit within %d s" % RECORD_WAIT_LIMIT)
        if record.lead:
            self._lead()
        if record.error is not None:
            raise record.error
        return record.result

    def _lead(self):
        """Commits everything queued (this thread's record among it), then wakes the records'
        threads and hands the writing on to the first record queued meanwhile."""
        with self._lock:
            batch, self._queued = self._queued[:MAX_BATCH], self._queued[MAX_BATCH:]
            undo = list(self._undo)
        error = None
        try:
            if not self._schema_ready:
                self.db.ensure_schema()
                self._schema_ready = True
            work = self._work_postgres if self.db.postgres else self._work
            results = self.db.transaction(lambda execute: work(execute, batch, undo))
        except DatabaseError as e:
            error, results = e, None
        except Exception as e:  # a fault of ours: the requests fail rather than wait for ever
            error, results = DatabaseError("%s: %s" % (type(e).__name__, e)), None
        end = time.monotonic()
        with self._lock:
            if error is None:
                del self._undo[:len(undo)]
                self.batches += 1
                self.records += len(batch)
            for n, record in enumerate(batch):
                if error is None:
                    record.result = results[n]
                    self.waits.append(end - record.queued)
                else:
                    record.error = error
                if record.kind == "download" and (error is not None or record.abandoned):
                    self._undo.append(record.args[0])
                record.finished = True
                record.lead = False
                record.woken.set()
            if self._undo and not self._purging:
                self._purging = True
                threading.Thread(target=self._purge, name="velko-site purge", daemon=True).start()
            if self._queued:
                following = self._queued[0]
                following.lead = True
                following.woken.set()
            else:
                self._committing = False

    def _purge(self):
        """While refused downloads are still to be deleted, a commit of nothing else every second,
        so that they go as soon as the database answers, whether or not requests come."""
        while True:
            time.sleep(1)
            with self._lock:
                if not self._undo:
                    self._purging = False
                    return
            try:
                self._submit("purge", ())
            except DatabaseError:
                pass

    def record_download(self, ident, product, campaign, referrer):
        """Records a download; returns once it is committed.  Raises DatabaseError."""
        self._submit("download", (ident, product, campaign, referrer, utc_now()))

    def record_info_request(self, ident, session, session_length):
        """Records an information request and returns the product of the download it names, or
        None.  ident: the identifier when it has the form of one we hand out, else None (it is
        then not looked up); session: the identifier as it is to be stored.  Raises DatabaseError."""
        return self._submit("info", (ident, session, session_length, utc_now()))

    @staticmethod
    def _work(execute, batch, undo):
        """The batch's statements: the deletions first, then the downloads in one statement, then
        the information requests (after the downloads: one may name a download of this batch).
        Returns each record's result, in order."""
        for n in range(0, len(undo), 100):
            part = undo[n:n + 100]
            execute("DELETE FROM downloads WHERE ident IN (%s)" % ", ".join("?" * len(part)), part)
        downloads = [r.args for r in batch if r.kind == "download"]
        if downloads:
            execute("INSERT INTO downloads (ident, product, campaign, referrer, downloaded_at) VALUES "
                    + ", ".join(["(?, ?, ?, ?, ?)"] * len(downloads)), [v for row in downloads for v in row])
        infos = [r.args for r in batch if r.kind == "info"]
        products = {}
        wanted = sorted({ident for ident, *_ in infos if ident is not None})
        for n in range(0, len(wanted), 100):
            part = wanted[n:n + 100]
            products.update(execute("SELECT ident, product FROM downloads WHERE ident IN (%s)"
                                    % ", ".join("?" * len(part)), part).fetchall())
        if infos:
            execute("INSERT INTO info_requests (session, session_length, known, requested_at) VALUES "
                    + ", ".join(["(?, ?, ?, ?)"] * len(infos)),
                    [v for ident, session, length, at in infos
                     for v in (session, length, 1 if ident in products else 0, at)])
        return [products.get(r.args[0]) if r.kind == "info" else None for r in batch]

    @staticmethod
    def _work_postgres(execute, batch, undo):
        """What _work does, as one string of statements sent at once: one round trip to the
        server for the whole commit instead of one for BEGIN, each statement and COMMIT.  Each
        information request's `known` comes from a join with the downloads; the products of the
        downloads named are read after the COMMIT, by the last statement, whose rows are what
        the string returns."""
        sql, params = ["BEGIN"], []
        if undo:
            sql.append("DELETE FROM downloads WHERE ident IN (%s)" % ", ".join("?" * len(undo)))
            params += undo
        downloads = [r.args for r in batch if r.kind == "download"]
        if downloads:
            sql.append("INSERT INTO downloads (ident, product, campaign, referrer, downloaded_at) VALUES "
                       + ", ".join(["(?, ?, ?, ?, ?)"] * len(downloads)))
            params += [v for row in downloads for v in row]
        infos = [r.args for r in batch if r.kind == "info"]
        if infos:
            sql.append("INSERT INTO info_requests (session, session_length, known, requested_at) "
                       "SELECT v.session, v.length, CASE WHEN d.ident IS NULL THEN 0 ELSE 1 END, v.at "
                       "FROM (VALUES %s) AS v (ident, session, length, at) "
                       "LEFT JOIN downloads d ON d.ident = v.ident"
                       % ", ".join(["(?::text, ?::text, ?::integer, ?::text)"] * len(infos)))
            params += [v for row in infos for v in row]
        sql.append("COMMIT")
        wanted = sorted({ident for ident, *_ in infos if ident is not None})
        if wanted:
            sql.append("SELECT ident, product FROM downloads WHERE ident IN (%s)" % ", ".join("?" * len(wanted)))
            params += wanted
        cur = execute("; ".join(sql), params)
        products = dict(cur.fetchall()) if wanted else {}
        return [products.get(r.args[0]) if r.kind == "info" else None for r in batch]
