"""The loader: puts the workers' journals (journal.py) of this host into the database.

    velko-site load CONFIG           loads for as long as it runs (velko-site serve starts one)
    velko-site load CONFIG --once    one pass: everything journaled so far, then exits
    velko-site backlog CONFIG        what is still to load on this host

Each pass reads every journal of the configuration's folder from the offset the database holds
for it (journal_offsets, per host and journal), and loads its whole lines in batches of at most
BATCH_LINES.  One transaction per batch inserts its rows, each by a key of its own (a download by
its identifier, an information request or an outcome report by its line id) with ON CONFLICT, and
moves the journal's offset past them: a loader stopped at any point, even killed in the middle of a
batch, has either loaded a batch and moved its offset or done neither, and a batch loaded twice
adds nothing.

A journal whose worker has gone (its lock can be taken) and that is loaded to its end is removed,
with its offset.  A last line without its line feed is then a torn tail (the worker died in the
middle of writing it, or the disk was full): it is never loaded.  A whole line whose CRC does not
match is skipped and counted in the log.

An information request or an outcome report with a verified identifier makes the identifier's
download row if it has none (the product, the campaign and the mint time are in the identifier): a
download line lost at a power cut still counts, so the copies run never exceed the copies
downloaded.  When the download's own line comes after, it adds its referrer and exact time to that
row.  An outcome report of an identifier the site did not hand out is kept with known = 0, counted
apart from every campaign.

Only one loader runs a pass on a folder at a time (an flock on `.loader.lock` in it); two hosts
over one database each load their own folder, under their own host name.
"""
import argparse
import fcntl
import io
import os
import sys
import time

from . import identifiers
from .db import Database, DatabaseError, utc_now
from .journal import SUFFIX, decode

BATCH_LINES = 2000
# Rows per INSERT statement.
ROWS_PER_STATEMENT = 500
# How often a loader that runs until stopped looks at the journals' sizes.
LOAD_INTERVAL = 0.25
# A pass is due once this many bytes were journaled since the last one began, or LOAD_WAIT seconds
# after it began when fewer were.  Each pass with lines costs the database its transactions and
# each commit the pages it touches, however few lines it loads: loading a quiet spell's lines a
# second at a time costs about half as much per row as four times a second (and a busy site's
# passes fill whole batches either way).  The price: a row reaches the database up to LOAD_WAIT
# after its line.
PASS_BYTES = 256 * 1024
LOAD_WAIT = 1.0
# The longest pause between tries while the database cannot be used.
MAX_BACKOFF = 5
# A pass with nothing to load still tells the database that the host is caught up, this often.
HEARTBEAT = 10
# How long one statement of the loader may take in PostgreSQL, in milliseconds.
STATEMENT_TIMEOUT_MS = 60000
# How long one batch's transaction may take as the loader sees it, in seconds: past that its
# connection is cut (db.DEADLINES), as for a server that stopped answering, and the loader tries
# again.  Room for a statement that runs into its time-out and the rest of the batch.
TRANSACTION_LIMIT = 2 * STATEMENT_TIMEOUT_MS // 1000
READ_BLOCK = 4 * 1024 * 1024
# How much nicer than the site's workers a loader that runs until stopped is: the processors go to
# answering visitors first, and the loader takes the time they leave.  In a busy spell its backlog
# grows (the journals hold it) and it catches up after.
NICENESS = 10


def log(text):
    print("velko-site: loader: %s" % text, file=sys.stderr, flush=True)


def journals(folder):
    """The names of the journals in `folder` (none when it is missing), sorted."""
    try:
        return sorted(name for name in os.listdir(folder) if name.endswith(SUFFIX))
    except FileNotFoundError:
        return []


def journal_sizes(folder):
    """{name: size in bytes} of the journals in `folder` (none when it is missing)."""
    sizes = {}
    for name in journals(folder):
        try:
            sizes[name] = os.stat(os.path.join(folder, name)).st_size
        except FileNotFoundError:
            pass
    return sizes


def writer_gone(fd):
    """Whether the journal open on `fd` has no writer any more: its writer's flock is gone.  Once
    taken, the lock stays with `fd` until it is closed (no writer reopens a journal)."""
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except BlockingIOError:
        return False


def derived_time(seconds):
    return time.strftime("%Y-%m-%dT%H:%M:%S.000000Z", time.gmtime(seconds))


def rows_of(lines):
    """(downloads, requests, derived, bad, reports) of whole lines: downloads [(ident, product,
    campaign, referrer, at)], requests [(line_id, session, length, form, at)], derived [(ident,
    product, campaign, '', minted at)] for the verified identifiers requests and reports name, how
    many lines were not loadable, and reports [(line_id, session, length, form, outcome, detail,
    version, arch, at)]."""
    downloads, requests, derived, bad, reports = [], [], {}, 0, []

    def derive(session):
        described = identifiers.describe(session.encode("ascii"))
        if described:
            product, campaign, minted = described
            derived.setdefault(session, (session, product, campaign, "", derived_time(minted)))

    for line in lines:
        fields = decode(line)
        if fields and fields[0] == "D" and len(fields) == 6:
            _, at, ident, product, campaign, referrer = fields
            downloads.append((ident, product, campaign, referrer, at))
        elif fields and fields[0] == "I" and len(fields) == 6 and fields[3] in ("v", "o", "u") \
                and fields[4].isdigit():
            _, at, line_id, form, length, session = fields
            requests.append((line_id, session, int(length), form, at))
            if form == "v" and session not in derived:
                derive(session)
        elif fields and fields[0] == "O" and len(fields) == 10 and fields[3] in ("v", "o", "u") \
                and fields[8].isdigit():
            _, at, line_id, form, outcome, detail, version, arch, length, session = fields
            reports.append((line_id, session, int(length), form, outcome, detail, version, arch, at))
            if form == "v" and session not in derived:
                derive(session)
        else:
            bad += 1
    return downloads, requests, list(derived.values()), bad, reports


def _insert(execute, head, width, rows, tail=""):
    for n in range(0, len(rows), ROWS_PER_STATEMENT):
        part = rows[n:n + ROWS_PER_STATEMENT]
        execute(head + " VALUES " + ", ".join(["(%s)" % ", ".join("?" * width)] * len(part)) + tail,
                [v for row in part for v in row])


# Where a PostgreSQL batch's rows wait for their INSERT: tables of the loader's own session, emptied
# by every commit (and by a rollback, with the rest).  Made by the first batch of each connection;
# the notice that they are there already is not asked for.
_STAGING = ("SET LOCAL client_min_messages = warning; "
            "CREATE TEMP TABLE IF NOT EXISTS staged_downloads (ident TEXT, product TEXT, campaign TEXT, "
            "referrer TEXT, downloaded_at TEXT, derived BOOLEAN) ON COMMIT DELETE ROWS; "
            "CREATE TEMP TABLE IF NOT EXISTS staged_requests (line_id TEXT, session TEXT, session_length INTEGER, "
            "known INTEGER, requested_at TEXT) ON COMMIT DELETE ROWS; "
            "CREATE TEMP TABLE IF NOT EXISTS staged_outcomes (line_id TEXT, session TEXT, session_length INTEGER, "
            "known INTEGER, outcome TEXT, detail TEXT, version TEXT, arch TEXT, reported_at TEXT) "
            "ON COMMIT DELETE ROWS")


def _copy(cursor, table, rows):
    """Copies `rows` (tuples of texts and integers) into `table` with one COPY: COPY's text form,
    whose only escape needed here is the backslash (the site's stored texts escape bytes as \\xNN)
    and a carriage return; no field holds a tab or a line feed (the journal's lines are split on
    them)."""
    text = "".join("\t".join(map(str, row)) + "\n" for row in rows)
    if "\\" in text or "\r" in text:
        text = text.replace("\\", "\\\\").replace("\r", "\\r")
    cursor.copy_expert("COPY %s FROM STDIN" % table, io.StringIO(text))


def _insert_staged(execute, downloads, derived, requests, reports):
    """PostgreSQL: the batch's rows copied into the staging tables, then one INSERT ... SELECT per
    table, with the same conflict rules as _insert_values: the server parses four statements per
    batch instead of one per ROWS_PER_STATEMENT rows, and the loader formats no literal."""
    cursor = execute(_STAGING)
    if downloads or derived:
        _copy(cursor, "staged_downloads", [row + ("f",) for row in downloads] + [row + ("t",) for row in derived])
        columns = "ident, product, campaign, referrer, downloaded_at"
        execute("INSERT INTO downloads (%s) SELECT %s FROM staged_downloads WHERE NOT derived "
                "ON CONFLICT (ident) DO UPDATE SET referrer = excluded.referrer, downloaded_at = excluded.downloaded_at "
                "WHERE downloads.referrer = '' AND excluded.referrer <> ''" % (columns, columns))
        execute("INSERT INTO downloads (%s) SELECT %s FROM staged_downloads WHERE derived "
                "ON CONFLICT (ident) DO NOTHING" % (columns, columns))
    if requests:
        _copy(cursor, "staged_requests", requests)
        execute("INSERT INTO info_requests (line_id, session, session_length, known, requested_at) "
                "SELECT * FROM staged_requests ON CONFLICT (line_id) DO NOTHING")
    if reports:
        _copy(cursor, "staged_outcomes", reports)
        execute("INSERT INTO outcomes (line_id, session, session_length, known, outcome, detail, version, arch, "
                "reported_at) SELECT * FROM staged_outcomes ON CONFLICT (line_id) DO NOTHING")


def _insert_values(execute, downloads, derived, requests, reports):
    """SQLite: the batch's rows in INSERT statements of up to ROWS_PER_STATEMENT rows each."""
    # A row made from an identifier (below, in an earlier batch or by another host) gets the
    # download's referrer and exact time when its own line comes.
    _insert(execute, "INSERT INTO downloads (ident, product, campaign, referrer, downloaded_at)", 5,
            downloads, " ON CONFLICT (ident) DO UPDATE SET referrer = excluded.referrer, "
            "downloaded_at = excluded.downloaded_at "
            "WHERE downloads.referrer = '' AND excluded.referrer <> ''")
    _insert(execute, "INSERT INTO downloads (ident, product, campaign, referrer, downloaded_at)", 5,
            derived, " ON CONFLICT (ident) DO NOTHING")
    _insert(execute, "INSERT INTO info_requests (line_id, session, session_length, known, requested_at)", 5,
            requests, " ON CONFLICT (line_id) DO NOTHING")
    _insert(execute, "INSERT INTO outcomes (line_id, session, session_length, known, outcome, detail, version, "
            "arch, reported_at)", 9, reports, " ON CONFLICT (line_id) DO NOTHING")


def load_batch(db, host, journal, offset, lines, status=None):
    """Loads `lines` (whole lines of `journal`) and sets its offset to `offset`, in one
    transaction; with status (loaded_until or None, backlog_lines, backlog_bytes,
    backlog_journals) the host's row too.  Returns how many lines were not loadable."""
    downloads, requests, derived, bad, reports = rows_of(lines)

    def work(execute):
        if db.postgres:
            execute("SET LOCAL statement_timeout = %d" % STATEMENT_TIMEOUT_MS)
        # The old form is known when its download is there (loaded now, or before).
        old = sorted({session for _, session, _, form, _ in requests if form == "o"}
                     | {report[1] for report in reports if report[3] == "o"})
        found = set()
        if old:
            # Its download may be in this very batch: looked up among the batch's downloads first.
            in_batch = {row[0] for row in downloads}
            found = {session for session in old if session in in_batch}
            old = [session for session in old if session not in found]
        for n in range(0, len(old), ROWS_PER_STATEMENT):
            part = old[n:n + ROWS_PER_STATEMENT]
            found.update(r[0] for r in execute("SELECT ident FROM downloads WHERE ident IN (%s)"
                                               % ", ".join("?" * len(part)), part).fetchall())
        # Reports of identifiers the site did not hand out are kept with known = 0: counted apart,
        # never joined to a download.
        (_insert_staged if db.postgres else _insert_values)(
            execute, downloads, derived,
            [(line_id, session, length, 1 if form == "v" or session in found else 0, at)
             for line_id, session, length, form, at in requests],
            [(line_id, session, length, 1 if form == "v" or session in found else 0, outcome, detail, version,
              arch, at) for line_id, session, length, form, outcome, detail, version, arch, at in reports])
        execute("INSERT INTO journal_offsets (host, journal, loaded_bytes) VALUES (?, ?, ?) "
                "ON CONFLICT (host, journal) DO UPDATE SET loaded_bytes = excluded.loaded_bytes",
                (host, journal, offset))
        if status is not None:
            write_status(execute, host, *status)
    db.transaction(work)
    return bad


def write_status(execute, host, loaded_until, backlog_lines, backlog_bytes, backlog_journals):
    """The host's row of journal_hosts; loaded_until None keeps the one there; backlog_lines None:
    not counted."""
    execute("INSERT INTO journal_hosts (host, loaded_until, checked_at, backlog_lines, backlog_bytes, "
            "backlog_journals) VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (host) DO UPDATE SET "
            "loaded_until = COALESCE(excluded.loaded_until, journal_hosts.loaded_until), "
            "checked_at = excluded.checked_at, backlog_lines = excluded.backlog_lines, "
            "backlog_bytes = excluded.backlog_bytes, backlog_journals = excluded.backlog_journals",
            (host, loaded_until, utc_now(), backlog_lines, backlog_bytes, backlog_journals))


def offsets(db, host):
    return dict(db.rows("SELECT journal, loaded_bytes FROM journal_offsets WHERE host = ?", (host,)))


def backlog(folder, loaded):
    """[(journal, writer gone, size, loaded bytes, whole lines still to load, bytes still to load)]
    of the journals in `folder`, given their offsets `loaded` ({journal: bytes})."""
    out = []
    for name in journals(folder):
        try:
            fd = os.open(os.path.join(folder, name), os.O_RDONLY)
        except FileNotFoundError:
            continue
        try:
            gone = writer_gone(fd)
            size = os.fstat(fd).st_size
            start = min(loaded.get(name[:-len(SUFFIX)], 0), size)
            os.lseek(fd, start, os.SEEK_SET)
            lines = 0
            while True:
                block = os.read(fd, READ_BLOCK)
                if not block:
                    break
                lines += block.count(b"\n")
            out.append((name, gone, size, start, lines, size - start))
        finally:
            os.close(fd)
    return out


class Pass:
    """What one pass did: lines loaded, lines not loadable, journals removed, torn tails found."""

    def __init__(self):
        self.loaded = self.bad = self.removed = self.torn = 0


def load_pass(config, db, state=None):
    """Loads everything journaled in the configuration's folder so far (see the module's text).
    Returns a Pass.  Raises DatabaseError when the database fails (what was committed stays).
    state: a dict the caller keeps between passes (when the host's row was last written)."""
    state = {} if state is None else state
    folder, host = config.journal, config.host_name
    done = Pass()
    os.makedirs(folder, 0o750, exist_ok=True)
    lock = os.open(os.path.join(folder, ".loader.lock"), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o640)
    try:
        fcntl.flock(lock, fcntl.LOCK_EX)
        started = utc_now()
        loaded = offsets(db, host)
        pending = {n[:-len(SUFFIX)]: size for n, size in journal_sizes(folder).items()}
        remaining = {k: max(size - loaded.get(k, 0), 0) for k, size in pending.items()}
        # Offsets of journals that were removed, after a loader stopped between removing a journal and its offset.
        for journal in set(loaded) - set(pending):
            db.transaction(lambda execute: execute("DELETE FROM journal_offsets WHERE host = ? AND journal = ?",
                                                   (host, journal)))
        for journal in sorted(pending):
            _load_journal(config, db, journal, loaded.get(journal, 0), remaining, done)
        if done.loaded or time.monotonic() - state.get("status_written", -HEARTBEAT) >= HEARTBEAT:
            left = [v for v in remaining.values() if v]
            db.transaction(lambda execute: write_status(execute, host, started, 0, sum(left), len(left)))
            state["status_written"] = time.monotonic()
    finally:
        os.close(lock)
    return done


def _load_journal(config, db, journal, start, remaining, done):
    folder, host = config.journal, config.host_name
    path = os.path.join(folder, journal + SUFFIX)
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except FileNotFoundError:
        return
    try:
        gone = writer_gone(fd)  # before the size: a writer gone then wrote its last line already
        size = os.fstat(fd).st_size
        # A power cut may have taken lines already loaded off the journal's end.
        offset = min(start, size)
        os.lseek(fd, offset, os.SEEK_SET)
        rest = b""
        while offset + len(rest) < size:
            block = os.read(fd, min(READ_BLOCK, size - offset - len(rest)))
            if not block:
                break
            data = rest + block
            lines, used = [], 0
            while True:
                end = data.find(b"\n", used)
                if end < 0:
                    break
                lines.append(data[used:end + 1])
                used = end + 1
                if len(lines) == BATCH_LINES:
                    offset = _commit(db, host, journal, offset, lines, remaining, done)
                    data, used, lines = data[used:], 0, []
            if lines:
                offset = _commit(db, host, journal, offset, lines, remaining, done)
            rest = data[used:]
        if gone:
            if rest:
                log("%s: a torn last line (%d bytes) is not loaded" % (journal, len(rest)))
                done.torn += 1
                offset = size
                db.transaction(lambda execute: execute(
                    "UPDATE journal_offsets SET loaded_bytes = ? WHERE host = ? AND journal = ?",
                    (offset, host, journal)))
            if offset >= size:
                os.unlink(path)
                db.transaction(lambda execute: execute(
                    "DELETE FROM journal_offsets WHERE host = ? AND journal = ?", (host, journal)))
                done.removed += 1
                remaining.pop(journal, None)
    finally:
        os.close(fd)


def _commit(db, host, journal, offset, lines, remaining, done):
    new_offset = offset + sum(len(line) for line in lines)
    remaining[journal] = max(remaining.get(journal, 0) - (new_offset - offset), 0)
    left = [v for v in remaining.values() if v]
    # The host's row says how much is left while a backlog is loaded (its lines are not counted).
    bad = load_batch(db, host, journal, new_offset, lines, (None, None, sum(left), len(left)))
    if bad:
        log("%s: %d damaged line(s) before byte %d skipped" % (journal, bad, new_offset))
    done.loaded += len(lines) - bad
    done.bad += bad
    return new_offset


def run(config, once=False, parent=None, interval=LOAD_INTERVAL, limit=TRANSACTION_LIMIT):
    """Loads until stopped (once: one pass).  parent: a process id; the loader stops, after a last
    pass, once that process has gone (velko-site serve's gunicorn).  limit: the longest a
    transaction may take (seconds) before its connection is cut.  Returns 0, or 2 when `once` and
    the database failed."""
    db = Database(config.database, limit=limit)
    try:
        return _run(config, db, once, parent, interval)
    finally:
        db.close()


def _run(config, db, once, parent, interval):
    state, failing, pause = {}, False, interval
    schema = False
    # The journals' sizes when the last pass began, and when it began (time.monotonic()).
    seen, began = {}, None
    while True:
        now, sizes = time.monotonic(), journal_sizes(config.journal)
        grown = sum(max(size - seen.get(name, 0), 0) for name, size in sizes.items())
        # A pass when enough was journaled, or when the oldest line has waited LOAD_WAIT; after a
        # failure (the pause then grows); and now and then with nothing new, to remove the journals
        # of workers that have gone and to tell the database that this host is caught up.
        if (once or failing or began is None or now - began >= HEARTBEAT / 2
                or grown >= PASS_BYTES or (grown and now - began >= LOAD_WAIT)):
            seen, began = sizes, now
            try:
                if not schema:
                    db.ensure_schema()
                    schema = True
                load_pass(config, db, state)
                if failing:
                    log("the database answers again; loading")
                failing, pause = False, interval
            except DatabaseError as e:
                if once:
                    log("the database cannot be used: %s" % e)
                    return 2
                if not failing:
                    log("the database cannot be used (%s): the journals keep the records; trying again" % e)
                failing, pause = True, min(max(pause * 2, 1), MAX_BACKOFF)
        if once:
            return 0
        if parent is not None and os.getppid() != parent:
            try:
                load_pass(config, db, state)
            except DatabaseError:
                pass
            return 0
        time.sleep(pause)


def yield_to_workers():
    """Makes this process NICENESS nicer, before it starts a thread (a thread made later inherits
    its priority; one already running keeps its own).  A system that refuses says nothing: the
    loader then loads at the priority it was given."""
    try:
        os.nice(NICENESS)
    except OSError:
        pass


def main(argv=None):
    """`python3 -m velko_site.loader CONFIG [--parent PID]`: what velko-site serve starts."""
    from .config import ConfigError, load_config
    p = argparse.ArgumentParser(prog="velko-site load")
    p.add_argument("config")
    p.add_argument("--once", action="store_true")
    p.add_argument("--parent", type=int)
    args = p.parse_args(argv)
    try:
        config = load_config(args.config)
    except ConfigError as e:
        print("velko-site: %s" % e, file=sys.stderr)
        return 2
    if not args.once:
        yield_to_workers()
    return run(config, once=args.once, parent=args.parent)


if __name__ == "__main__":
    sys.exit(main())
