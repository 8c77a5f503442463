"""The site's records, in SQLite (a file path) or PostgreSQL (a postgresql:// URL): one schema and
one set of queries for both.  Queries are written with ? placeholders; for PostgreSQL they become
%s, psycopg2's form.  Times are UTC text (2024-05-01T12:00:00.000000Z): both databases store, sort
and compare it the same way.

    downloads       one row per copy handed out: its identifier, product, campaign ('' for
                    none), referrer ('' for none) and time
    info_requests   one row per information request: the identifier as received (the first
                    MAX_SESSION_BYTES bytes, escaped, see app.stored_text), its length in bytes,
                    whether it named a download (known = 1), the time, and the journal line's
                    own key (line_id; NULL for requests recorded before the journal)
    outcomes        one row per outcome report (outcomes.py): the journal line's key (line_id),
                    the identifier as received and its length (as for info_requests), whether it
                    named a download (known = 1), the outcome, its detail ('' for none), the stub's
                    version and architecture, the time
    journal_offsets per host and journal, how many of its bytes are loaded
    journal_hosts   per host, what its loader last said: every line written before loaded_until
                    is loaded; at checked_at backlog_bytes bytes (backlog_lines whole lines,
                    NULL while a backlog is loaded) in backlog_journals journals were still to load

A copy counts as run when an information request named it; the report counts it on the day of the
first such request.

The site's workers write no record: they journal them (journal.py), and the loader (loader.py)
puts them in here.  The workers only read, the product of an identifier of the old form.
"""
import collections
import contextlib
import datetime
import os
import socket
import sqlite3
import threading
import time

from . import outcomes as outcome_codes

# How long any one step with the database may take (connecting, waiting for SQLite's write lock,
# a statement, a send that the other side does not acknowledge), in seconds: well below gunicorn's
# worker time-out (30 s), so that a database that cannot be reached makes the site answer (503 to a
# download, the default URL to an information request) instead of leaving the worker to be killed.
DB_TIMEOUT = 5
# How long a PostgreSQL transaction may take, as the client sees it, before its connection is cut:
# a server that stops answering on an open connection (a stopped or wedged backend, a path that
# holds the connection but passes nothing on) is otherwise waited for for ever, since TCP keeps
# such a connection alive and statement_timeout is the server's own.  The site's (two of its
# statement time-outs) and the commands' (a report over a long history takes a while).
SERVING_LIMIT = 2 * DB_TIMEOUT
COMMAND_LIMIT = 600

# The tables and indexes, each with its name in the database's catalog, in the order they are made.
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
           requested_at TEXT NOT NULL,
           line_id TEXT)"""),
    ("info_requests_session", "CREATE INDEX IF NOT EXISTS info_requests_session ON info_requests (session)"),
    # What the journal's loader needs besides.
    ("info_requests_line", "CREATE UNIQUE INDEX IF NOT EXISTS info_requests_line ON info_requests (line_id)"),
    ("journal_offsets", """CREATE TABLE IF NOT EXISTS journal_offsets (
           host TEXT NOT NULL,
           journal TEXT NOT NULL,
           loaded_bytes BIGINT NOT NULL,
           PRIMARY KEY (host, journal))"""),
    ("journal_hosts", """CREATE TABLE IF NOT EXISTS journal_hosts (
           host TEXT PRIMARY KEY,
           loaded_until TEXT,
           checked_at TEXT NOT NULL,
           backlog_lines BIGINT,
           backlog_bytes BIGINT NOT NULL,
           backlog_journals INTEGER NOT NULL)"""),
    ("outcomes", """CREATE TABLE IF NOT EXISTS outcomes (
           line_id TEXT PRIMARY KEY,
           session TEXT NOT NULL,
           session_length INTEGER NOT NULL,
           known INTEGER NOT NULL,
           outcome TEXT NOT NULL,
           detail TEXT NOT NULL,
           version TEXT NOT NULL,
           arch TEXT NOT NULL,
           reported_at TEXT NOT NULL)"""),
]
# Columns added to a table made before them, each named <table>.<column>: missing (and added, before
# the indexes that need it) only where the table is there without it.  info_requests.line_id: a
# database made before the journal.
ADDED_COLUMNS = [
    ("info_requests.line_id", "ALTER TABLE info_requests ADD COLUMN line_id TEXT"),
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


def _listed(codes):
    return ", ".join("'%s'" % code for code in codes)


# Per product and campaign, the copies whose runs reported receiving their package and those that
# reported installing it: each copy once, however often it ran.  The outcome codes are the site's
# own constants (outcomes.py), written into the query as literals.
REPORT_FUNNEL = """
    SELECT d.product, d.campaign,
           COUNT(DISTINCT CASE WHEN o.outcome IN (%s) THEN o.session END),
           COUNT(DISTINCT CASE WHEN o.outcome IN (%s) THEN o.session END)
    FROM outcomes o JOIN downloads d ON d.ident = o.session
    WHERE o.known = 1
    GROUP BY d.product, d.campaign""" % (_listed(outcome_codes.RECEIVED), _listed(outcome_codes.INSTALLED))
# Per product and campaign, each failure (outcome and detail) and the copies that reported it.
REPORT_FAILURES = """
    SELECT d.product, d.campaign, o.outcome, o.detail, COUNT(DISTINCT o.session)
    FROM outcomes o JOIN downloads d ON d.ident = o.session
    WHERE o.known = 1 AND o.outcome IN (%s)
    GROUP BY d.product, d.campaign, o.outcome, o.detail""" % _listed(outcome_codes.FAILURES)
# The same of the identifiers the site did not hand out, all together: the identifiers that
# reported, those that received their package, those that installed; and their failures.
REPORT_UNKNOWN = """
    SELECT COUNT(DISTINCT session),
           COUNT(DISTINCT CASE WHEN outcome IN (%s) THEN session END),
           COUNT(DISTINCT CASE WHEN outcome IN (%s) THEN session END)
    FROM outcomes WHERE known = 0""" % (_listed(outcome_codes.RECEIVED), _listed(outcome_codes.INSTALLED))
REPORT_UNKNOWN_FAILURES = """
    SELECT outcome, detail, COUNT(DISTINCT session) FROM outcomes
    WHERE known = 0 AND outcome IN (%s)
    GROUP BY outcome, detail""" % _listed(outcome_codes.FAILURES)
# How many of a campaign's failures the report lists, the most common first.
TOP_FAILURES = 5


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
    site has it: one connection per process, which its callers use one at a time (product_of runs
    one lookup at a time), so a worker holds one connection however many threads it has; and
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
        self._reading = threading.Lock()

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
                # A worker only reads, one statement at a time: no transaction to begin and end.
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
        """The names of SCHEMA's tables and indexes, and of ADDED_COLUMNS, that the database lacks,
        in the order they are made (an added column right after its table): a read of the catalog,
        which keeps no writer waiting."""
        names = [name for name, _ in SCHEMA]

        def work(execute):
            if self.postgres:
                found = execute("SELECT relname FROM pg_catalog.pg_class WHERE relname = ANY(?) "
                                "AND pg_catalog.pg_table_is_visible(oid)", (names,))
            else:
                found = execute("SELECT name FROM sqlite_master WHERE name IN (%s)" % ", ".join("?" * len(names)),
                                names)
            present = {name for name, in found.fetchall()}
            for column, _ in ADDED_COLUMNS:
                table, name = column.split(".")
                if table not in present:
                    continue  # made with the column
                if self.postgres:
                    found = execute("SELECT attname FROM pg_catalog.pg_attribute WHERE attrelid = to_regclass(?) "
                                    "AND attname = ? AND NOT attisdropped", (table, name))
                else:
                    found = execute("SELECT name FROM pragma_table_info(?) WHERE name = ?", (table, name))
                if found.fetchall():
                    present.add(column)
            return present
        present = self.transaction(work, write=False)
        order = []
        for name in names:
            order.append(name)
            order += [column for column, _ in ADDED_COLUMNS if column.split(".")[0] == name]
        return [name for name in order if name not in present
                and not ("." in name and name.split(".")[0] not in present)]

    def ensure_schema(self):
        """Creates what is missing of the tables and indexes; returns the names it found missing.
        The catalog is read first and nothing is asked of a complete schema: CREATE ... IF NOT
        EXISTS takes its lock before it looks, and for an index that lock waits for every open
        writer of the table while the writers that come after wait behind it.  What is missing is
        created under a lock time-out of DB_TIMEOUT (PostgreSQL's lock_timeout; SQLite's wait for
        its write lock), so that a long writer fails the creation (DatabaseError) rather than stall
        the loader's inserts.  Loaders starting together (two hosts over one database) may race to
        create the same; PostgreSQL can then refuse the loser's statement, so a failure is retried
        once, for what is still missing."""
        statements = dict(SCHEMA + ADDED_COLUMNS)

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
        return self.report_all()[0]

    def report_outcomes(self):
        """What the copies' outcome reports say: an Outcomes.  Empty for a database without the
        tables (a site that never started, or one older than the reports), which is left as it is."""
        return self.report_all()[1]

    def report_all(self):
        """(report_days(), report_outcomes()), both read from one snapshot of the records: a
        loader's commit between the two cannot make the funnel count the outcomes of copies the
        days do not have."""
        if not self.postgres and not os.path.exists(self.url):
            return [], Outcomes()
        missing = set(self.missing_schema())
        if {"downloads", "info_requests"} & missing:
            return [], Outcomes()

        def work(execute):
            if self.postgres:
                # One snapshot for every statement (READ COMMITTED takes one per statement; SQLite's
                # read transaction keeps one already).
                execute("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ")
                # Room to group the requests in memory rather than in files (PostgreSQL's default is
                # 4 MB), and no compiling of a query that runs once: on a history of a million
                # downloads and three million requests 2.7 s instead of 4.2 s.
                execute("SET LOCAL work_mem = '64MB'")
                execute("SET LOCAL jit = off")
            days = execute(REPORT_DAYS).fetchall()
            if "outcomes" in missing:
                return days, None
            return days, (execute(REPORT_FUNNEL).fetchall(), execute(REPORT_FAILURES).fetchall(),
                          execute(REPORT_UNKNOWN).fetchone(), execute(REPORT_UNKNOWN_FAILURES).fetchall())
        days, reported = self.transaction(work, write=False)
        days = sorted((p, c, day, int(d), int(r)) for p, c, day, d, r in days)
        if reported is None:
            return days, Outcomes()
        funnel, failures, unknown, unknown_failures = reported
        return days, Outcomes({(p, c): (int(received), int(installed)) for p, c, received, installed in funnel},
                              [(p, c, o, d, int(n)) for p, c, o, d, n in failures],
                              tuple(int(n) for n in unknown),
                              [(None, None, o, d, int(n)) for o, d, n in unknown_failures])

    def product_of(self, ident):
        """The product of the download `ident` (text), or None when there is none; a read of its
        own, one at a time per Database.  Raises DatabaseError."""
        with self._reading:
            rows = self.rows("SELECT product FROM downloads WHERE ident = ?", (ident,))
        return rows[0][0] if rows else None

    def host_status(self):
        """[(host, loaded_until, checked_at, backlog_lines, backlog_bytes, backlog_journals)] of
        every host whose loader has reported, sorted by host; none for a database without the
        table (no loader has run), which is left as it is."""
        if not self.postgres and not os.path.exists(self.url):
            return []
        if "journal_hosts" in self.missing_schema():
            return []
        return sorted(self.rows("SELECT host, loaded_until, checked_at, backlog_lines, backlog_bytes, "
                                "backlog_journals FROM journal_hosts"))

    def report(self):
        """[(product, campaign, downloaded, run)], sorted by product and campaign."""
        return totals(self.report_days())


class Outcomes:
    """The outcome reports as the report shows them.

    funnel: {(product, campaign): (received, installed)}, copies counted once each;
    failures: [(product, campaign, outcome, detail, copies)];
    unknown: (identifiers that reported, received, installed) of the identifiers the site did
    not hand out, and unknown_failures their failures, as failures with product and campaign None."""

    def __init__(self, funnel=None, failures=(), unknown=(0, 0, 0), unknown_failures=()):
        self.funnel = funnel or {}
        self.failures = list(failures)
        self.unknown = unknown
        self.unknown_failures = list(unknown_failures)

    def most_common_failures(self, top=TOP_FAILURES):
        """{(product, campaign): [(outcome, detail, copies)]}, the `top` most common of each (most
        copies first, then by outcome and detail), the unknown identifiers' under (None, None)."""
        grouped = collections.defaultdict(list)
        for product, campaign, outcome, detail, copies in self.failures + self.unknown_failures:
            grouped[product, campaign].append((outcome, detail, copies))
        return {key: sorted(rows, key=lambda r: (-r[2], r[0], r[1]))[:top] for key, rows in grouped.items()}


def funnel_rows(day_rows, reported):
    """[(product, campaign, downloaded, run, received, installed)], sorted, from
    Database.report_days()'s rows and Database.report_outcomes()'s Outcomes."""
    return [(p, c, d, r) + reported.funnel.get((p, c), (0, 0)) for p, c, d, r in totals(day_rows)]


def totals(day_rows):
    """[(product, campaign, downloaded, run)], sorted, from Database.report_days()'s rows."""
    sums = collections.defaultdict(lambda: [0, 0])
    for product, campaign, _, downloaded, run in day_rows:
        sums[product, campaign][0] += downloaded
        sums[product, campaign][1] += run
    return [(p, c, d, r) for (p, c), (d, r) in sorted(sums.items())]
