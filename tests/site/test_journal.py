"""The journal and its loader on their own: what reaches the database from a journal with a torn
last line, a damaged line or a line still being written; a write that fails (the file may grow no
further) loses no line that was answered; and a loader killed in the middle of its batches again
and again neither loses nor doubles a line."""
import os
import signal
import subprocess
import sys
import time
import unittest

import support
from velko_site import journal, loader
from velko_site.config import load_config

DEMO_URL = "http://127.0.0.3/velko-demo.msi"
# Generous: only there so that a fault cannot hang the test.
LIMIT = 120
# How often the loader is killed in the middle of its batches.
KILLS = 8


def download_line(n):
    return ["D", "2026-01-01T00:00:00.000000Z", "ID-%06d" % n, "demo", "", "https://example.com/%d" % n]


def request_line(n):
    return ["I", "2026-01-01T00:00:01.000000Z", "line-%06d" % n, "o", "9", "ID-%06d" % n]


def outcome_line(n):
    return ["O", "2026-01-01T00:00:02.000000Z", "report-%06d" % n, "o", "installer-failed", "1603", "1.0", "x86",
            "9", "ID-%06d" % n]


class JournalCases:
    def database(self):
        raise NotImplementedError

    def setUp(self):
        self.work, stub = support.folder_with_stub(self.addCleanup)
        self.config_path = support.write_config(self.work, {"demo": (stub, DEMO_URL, "velko-demo-setup.exe")},
                                                database=self.database())
        self.config = load_config(self.config_path)

    def write_in_child(self, lines, size_limit=None, torn=b""):
        """Lines appended by a child process (which then ends, as a worker does), optionally
        under a limit on the size of the files it writes (RLIMIT_FSIZE, bytes), then `torn`
        written raw after them; returns what each append did: 'ok' or 'failed'."""
        script = """if True:
            import json, os, resource, sys
            sys.path.insert(0, %r)
            from velko_site.journal import Journal, JournalError
            if %r:
                resource.setrlimit(resource.RLIMIT_FSIZE, (%r, %r))
            j = Journal(%r)
            out = []
            for fields in json.load(sys.stdin):
                try:
                    j.append(fields)
                    out.append("ok")
                except JournalError:
                    out.append("failed")
            if %r:
                os.write(j._fd, %r)
            j.flush()
            print(json.dumps(out))
            """ % (support.SITE_DIR, size_limit, size_limit, size_limit, self.config.journal, torn, torn)
        import json
        done = subprocess.run([sys.executable, "-c", script], input=json.dumps(lines), capture_output=True,
                              text=True, check=True)
        return json.loads(done.stdout)

    def offset(self):
        """The bytes loaded of every journal, as the database has it now."""
        try:
            return support.Database(self.database()).rows("SELECT SUM(loaded_bytes) FROM journal_offsets")[0][0] or 0
        except support.DatabaseError:
            return 0  # no tables yet

    def load_pass(self):
        db = support.Database(self.database())
        db.ensure_schema()
        return loader.load_pass(self.config, db)

    def rows(self):
        downloads, requests = support.records(self.database())
        return [row[0] for row in downloads], [row[0] for row in requests]

    def test_torn_damaged_and_unfinished_lines(self):
        lines = [download_line(n) for n in range(5)] + [request_line(n) for n in range(5)]
        self.assertEqual(self.write_in_child(lines, torn=journal.encode(download_line(99))[:-7]), ["ok"] * 10)
        # A second journal with a damaged line in its middle (one byte changed after it was written).
        damaged = journal.encode(download_line(50))
        damaged = damaged[:20] + b"X" + damaged[21:]
        with open(os.path.join(self.config.journal, "w1-0000000000000000.journal"), "wb") as f:
            f.write(journal.encode(download_line(49)) + damaged + journal.encode(download_line(51)))
        # A third that is being written: its writer lives (holds the lock) and its last line is
        # not whole yet.
        live = journal.Journal(self.config.journal)
        live.append(download_line(60))
        partial = journal.encode(download_line(61))
        os.write(live._fd, partial[:30])

        done = self.load_pass()
        self.assertEqual((done.loaded, done.bad, done.torn, done.removed), (13, 1, 1, 2))
        downloads, requests = self.rows()
        self.assertEqual(downloads, ["ID-%06d" % n for n in (*range(5), 49, 51, 60)])
        self.assertEqual(requests, ["ID-%06d" % n for n in range(5)])
        self.assertEqual(sorted(os.listdir(self.config.journal)), [".loader.lock", live._name + ".journal"])

        # The rest of the line comes: it is loaded, once.
        os.write(live._fd, partial[30:])
        self.load_pass()
        self.load_pass()
        self.assertEqual(self.rows()[0], ["ID-%06d" % n for n in (*range(5), 49, 51, 60, 61)])
        backlog = loader.backlog(self.config.journal, loader.offsets(support.Database(self.database()),
                                                                     self.config.host_name))
        self.assertEqual([(gone, left) for _, gone, _, _, _, left in backlog], [(False, 0)])

    def test_a_write_that_fails_loses_no_answered_line(self):
        # Files of at most 4 KB: every twentieth line or so fails, partly written or not at all,
        # and the next one goes to a new journal.
        outcomes = self.write_in_child([download_line(n) for n in range(200)], size_limit=4096)
        self.assertIn("failed", outcomes)
        self.assertGreater(outcomes.count("ok"), 150)
        self.assertGreater(len(os.listdir(self.config.journal)), 3)
        support.load(self.config_path)
        self.assertEqual(self.rows()[0], ["ID-%06d" % n for n, outcome in enumerate(outcomes) if outcome == "ok"])
        self.assertEqual(os.listdir(self.config.journal), [".loader.lock"])

    def test_stored_texts_arrive_as_written(self):
        # The site's stored texts escape bytes as \xNN: a backslash and whatever follows it are
        # data, in every field, however the loader hands the rows to the database.
        odd = "\\x00\\x5c\\x0d\\x0a\\N\\t\\\\r"
        lines = [["D", "2026-01-01T00:00:00.000000Z", "ID-1", "demo", "c.x", "https://e.com/" + odd],
                 ["I", "2026-01-01T00:00:01.000000Z", "line-1", "u", "7", odd],
                 ["O", "2026-01-01T00:00:02.000000Z", "report-1", "u", "installer-failed", "1603", "1.0", "x86",
                  "7", odd]]
        self.assertEqual(self.write_in_child(lines), ["ok"] * 3)
        self.load_pass()
        self.assertEqual(support.records(self.database()),
                         ([("ID-1", "demo", "c.x", "https://e.com/" + odd)], [(odd, 7, 0)]))
        self.assertEqual(support.outcomes(self.database()),
                         [(odd, 7, 0, "installer-failed", "1603", "1.0", "x86")])

    def test_loader_killed_in_its_batches_neither_loses_nor_doubles(self):
        count = 40_000
        lines = []
        for n in range(count):
            lines += [download_line(n), request_line(n)] + ([outcome_line(n)] if n % 4 == 0 else [])
        self.assertEqual(set(self.write_in_child(lines)), {"ok"})
        kills, loaded = 0, 0
        deadline = time.monotonic() + LIMIT
        while True:
            loading = subprocess.Popen([support.SITE_COMMAND, "load", "--once", self.config_path],
                                       stderr=subprocess.PIPE)
            # Killed once it has committed a batch more, a moment later: in the middle of the next.
            while loading.poll() is None and self.offset() <= loaded:
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.005)
            time.sleep(0.01 * (kills % 5))
            if loading.poll() is not None or kills == KILLS:
                # The last one runs to its end.
                self.assertEqual(loading.wait(LIMIT), 0, loading.stderr.read())
                loading.stderr.close()
                break
            loading.send_signal(signal.SIGKILL)
            loading.wait()
            loading.stderr.close()
            loaded = self.offset()
            kills += 1
        self.assertEqual(kills, KILLS, "the loader ended before it was killed enough")
        counts = support.Database(self.database()).rows(
            "SELECT (SELECT COUNT(*) FROM downloads), (SELECT COUNT(*) FROM info_requests), "
            "(SELECT SUM(known) FROM info_requests), (SELECT COUNT(*) FROM outcomes), "
            "(SELECT SUM(known) FROM outcomes)")[0]
        self.assertEqual(tuple(int(c) for c in counts), (count, count, count, count // 4, count // 4))
        print("\n%s: the loader killed %d times while loading %d lines" % (type(self).__name__, kills, len(lines)),
              file=sys.stderr)


class SqliteJournalTest(JournalCases, unittest.TestCase):
    def database(self):
        return os.path.join(self.work, "site.db")


class PostgresJournalTest(support.OnPostgres, JournalCases, unittest.TestCase):
    pass


def cmdline(pid):
    """The command line of process `pid` (empty once it has ended)."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read()
    except OSError:
        return b""


class ServeStartsTheLoaderTest(unittest.TestCase):
    """velko-site serve runs a loader beside gunicorn, nicer than the workers: a copy's row reaches
    the database with nothing else running, and the loader ends once gunicorn has."""

    def test_serve_loads_and_the_loader_ends_with_gunicorn(self):
        work, stub = support.folder_with_stub(self.addCleanup)
        config = support.write_config(work, {"demo": (stub, DEMO_URL, "velko-demo-setup.exe")})
        with open(os.path.join(work, "serve.log"), "ab") as log:
            serve = subprocess.Popen([support.SITE_COMMAND, "serve", config, "--bind", "127.0.0.28:8000",
                                      "--workers", "1"], stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        self.addCleanup(lambda: serve.poll() is None and (serve.kill(), serve.wait()))
        deadline = time.monotonic() + LIMIT
        while True:
            try:
                status, _, body = support.get("127.0.0.28", 8000, "/download/demo")
                break
            except OSError:
                self.assertLess(time.monotonic(), deadline, "velko-site serve did not answer")
                time.sleep(0.2)
        self.assertEqual(status, 200)
        ident = support.velko_tag.read_tag(body)[1].decode()
        database = os.path.join(work, "site.db")
        while True:
            try:
                if support.Database(database).rows("SELECT ident FROM downloads") == [(ident,)]:
                    break
            except support.DatabaseError:
                pass  # no tables yet
            self.assertLess(time.monotonic(), deadline, "the copy's row did not come")
            time.sleep(0.1)
        with open("/proc/%d/task/%d/children" % (serve.pid, serve.pid)) as f:
            children = [int(pid) for pid in f.read().split()]
        loaders = [pid for pid in children if b"velko_site.loader" in cmdline(pid)]
        self.assertEqual(len(loaders), 1, children)
        # It yields the processors to gunicorn's workers, every thread of it.
        nicer = min(os.getpriority(os.PRIO_PROCESS, serve.pid) + loader.NICENESS, 19)
        for task in os.listdir("/proc/%d/task" % loaders[0]):
            self.assertEqual(os.getpriority(os.PRIO_PROCESS, int(task)), nicer, task)
        for worker in set(children) - set(loaders):
            self.assertEqual(os.getpriority(os.PRIO_PROCESS, worker), os.getpriority(os.PRIO_PROCESS, serve.pid))
        serve.terminate()
        serve.wait(LIMIT)
        while b"velko_site.loader" in cmdline(loaders[0]):
            self.assertLess(time.monotonic(), deadline, "the loader outlived gunicorn")
            time.sleep(0.1)


if __name__ == "__main__":
    unittest.main()
