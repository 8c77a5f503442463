"""Group commit (db.GroupCommit) on its own, against SQLite: records queued while a commit runs
share the next one, a commit that fails fails every request in it, and a download whose commit
failed after it took effect (the connection broke during COMMIT) does not stay recorded."""
import concurrent.futures
import os
import threading
import time
import unittest

import support
from velko_site.db import Database, DatabaseError, GroupCommit

# Generous: only there so that a fault cannot hang the test.
LIMIT = 60


class ControlledDatabase(Database):
    """A Database whose transactions a test can hold back and make fail, by their number (1 for
    the first): holds {n: Event to wait for first}, fails {n: "before" (nothing written) or
    "after" (the transaction took effect, then the error came)}.  Making the schema is not
    counted."""

    def __init__(self, url):
        super().__init__(url)
        self.holds, self.fails = {}, {}
        self.calls = 0
        self.counting = True

    def ensure_schema(self):
        self.counting = False
        try:
            super().ensure_schema()
        finally:
            self.counting = True

    def transaction(self, work, **options):
        if not self.counting:
            return super().transaction(work, **options)
        self.calls += 1
        n = self.calls
        if n in self.holds:
            self.holds[n].wait(LIMIT)
        if self.fails.get(n) == "before":
            raise DatabaseError("server closed the connection unexpectedly")
        result = super().transaction(work, **options)
        if self.fails.get(n) == "after":
            raise DatabaseError("server closed the connection unexpectedly (during COMMIT)")
        return result


class GroupCommitTest(unittest.TestCase):
    def setUp(self):
        self.work, _ = support.folder_with_stub(self.addCleanup)
        self.path = os.path.join(self.work, "site.db")
        self.db = ControlledDatabase(self.path)
        self.db.ensure_schema()
        self.records = GroupCommit(self.db)

    def downloads(self):
        return support.records(self.path)[0]

    def test_concurrent_records_each_once_and_answered(self):
        def one(n):
            ident = "ID-%04d" % n
            self.records.record_download(ident, "demo", "", "")
            return self.records.record_info_request(ident, ident, len(ident))
        with concurrent.futures.ThreadPoolExecutor(16) as pool:
            products = list(pool.map(one, range(400)))
        self.assertEqual(products, ["demo"] * 400)
        self.assertEqual(len(self.downloads()), 400)
        self.assertEqual(self.records.records, 800)
        self.assertLessEqual(self.records.batches, 800)

    def test_a_failed_commit_fails_every_request_in_it(self):
        release = threading.Event()
        self.db.holds[1] = release  # the first commit waits until the others have queued
        self.db.fails[2] = "before"
        deadline = time.monotonic() + LIMIT
        with concurrent.futures.ThreadPoolExecutor(6) as pool:
            first = pool.submit(self.records.record_download, "FIRST", "demo", "", "")
            while self.db.calls < 1:
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.01)
            rest = [pool.submit(self.records.record_download, "REST-%d" % n, "demo", "", "") for n in range(5)]
            while len(self.records._queued) < 5:
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.01)
            release.set()
            first.result(LIMIT)
            outcomes = []
            for future in rest:
                try:
                    future.result(LIMIT)
                    outcomes.append("recorded")
                except DatabaseError:
                    outcomes.append("refused")
        self.assertEqual(outcomes, ["refused"] * 5)
        self.assertEqual(self.db.calls, 2, "the five did not share one commit")
        self.assertEqual([row[0] for row in self.downloads()], ["FIRST"])

    def test_a_commit_that_took_effect_but_failed_leaves_no_record(self):
        self.db.fails[1] = "after"
        with self.assertRaises(DatabaseError):
            self.records.record_download("LOST", "demo", "", "")
        # The control: the commit did take effect, so the record is there for now.
        self.assertIn("LOST", [row[0] for row in self.downloads()])
        deadline = time.monotonic() + LIMIT
        while "LOST" in [row[0] for row in self.downloads()]:
            self.assertLess(time.monotonic(), deadline, "the refused download's record stayed")
            time.sleep(0.1)
        self.records.record_download("NEXT", "demo", "", "")
        self.assertEqual([row[0] for row in self.downloads()], ["NEXT"])


if __name__ == "__main__":
    unittest.main()
