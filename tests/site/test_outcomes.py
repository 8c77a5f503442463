"""The report a stub sends when its run ends (/outcome): answered 204 and recorded once, under gunicorn
and its loader, with SQLite and with PostgreSQL; a copy the site handed out counts for its campaign,
any other identifier (forged, of another key, tagged elsewhere) is recorded and counted apart; a
malformed report is refused (400) and records nothing; a report line loaded twice is one row."""
import collections
import os
import tempfile
import unittest

import support
from velko_site import app, identifiers, journal, loader
from velko_site.config import load_config
from velko_site.journal import JournalError

PORTS = {"sqlite": ("127.0.0.41", 8000), "postgresql": ("127.0.0.42", 8000)}
DEMO_URL = "http://127.0.0.3/velko-demo.msi"
OLD_OURS = "00000001-00000002-00000003-00000004-00000005"      # old form, handed out here
ELSEWHERE_ID = "0123ABCD-4567EF01-89ABCDEF-DEADBEEF-00C0FFEE"  # old form, never handed out here
AT = "2026-03-01T08:00:00.000000Z"


def outcome_target(outcome="installed", detail="", version="1.0", arch="x64", session="", drop=()):
    """/outcome with the parameters in the stub's order, the session last as it stands; parameters
    named in `drop` left out."""
    values = [("outcome", outcome), ("detail", detail), ("version", version), ("arch", arch), ("session", session)]
    return "/outcome?" + "&".join("%s=%s" % pair for pair in values if pair[0] not in drop)


class OutcomeCases:
    kind = None

    def database(self):
        return os.path.join(self.work, "site.db")

    def setUp(self):
        super().setUp()
        self.work, stub = support.folder_with_stub(self.addCleanup)
        self.config = support.write_config(self.work, {"demo": (stub, DEMO_URL, "velko-demo-setup.exe")},
                                           database=self.database())
        self.address, self.port = PORTS[self.kind]
        support.start_site(self.addCleanup, self.config, self.address, self.port)
        status, _, body = support.get(self.address, self.port, "/download/demo?campaign=spring")
        self.assertEqual(status, 200)
        self.ident = support.velko_tag.read_tag(body)[1].decode()

    def send(self, target, method=b"GET"):
        """(status, headers, body, the outcome rows the request added)."""
        before = support.outcomes(self.database())
        status, headers, body = support.get(self.address, self.port, target, method=method)
        added = collections.Counter(support.outcomes(self.database())) - collections.Counter(before)
        return status, headers, body, list(added.elements())

    def test_reports_of_copies_known_and_unknown(self):
        # An old-form identifier the site handed out before identifiers named their product.
        db = support.Database(self.database())
        db.ensure_schema()
        db.transaction(lambda execute: execute("INSERT INTO downloads VALUES (?, 'demo', '', '', ?)", (OLD_OURS, AT)))
        other_keys = os.path.join(tempfile.mkdtemp(dir=self.work), "keys.toml")
        identifiers.add_key(other_keys)
        of_another_key = identifiers.mint(identifiers.load_keys(other_keys), "demo", "spring").decode()
        forged = self.ident[:-1] + ("A" if self.ident[-1] != "A" else "B")
        cases = [
            # label, session as sent, outcome, detail, arch, (session as stored, its length, known)
            ("a copy of ours", self.ident, "installer-failed", "1603", "x86", (self.ident, len(self.ident), 1)),
            ("the same copy run again", self.ident, "installed", "", "x86", (self.ident, len(self.ident), 1)),
            ("ours with its MAC changed", forged, "installed", "", "x64", (forged, len(forged), 0)),
            ("ours in lower case", self.ident.lower(), "cancelled", "download", "x64",
             (self.ident.lower(), len(self.ident), 0)),
            ("made with a key the site does not have", of_another_key, "installed-restart-needed", "3010", "x64",
             (of_another_key, len(of_another_key), 0)),
            ("the old form, handed out here", OLD_OURS, "download-failed", "http-404", "x86", (OLD_OURS, 44, 1)),
            ("the old form, tagged elsewhere", ELSEWHERE_ID, "not-published", "digest", "x86", (ELSEWHERE_ID, 44, 0)),
            ("binary, percent-encoded", "%00%FF", "another-installation", "d" * 24, "x64", ("\\x00\\xff", 2, 0)),
        ]
        for label, session, outcome, detail, arch, (stored, length, known) in cases:
            with self.subTest(label):
                status, headers, body, added = self.send(outcome_target(outcome, detail, "1.0", arch, session))
                self.assertEqual((status, body), (204, b""))
                self.assertNotIn("content-type", headers)
                self.assertEqual(added, [(stored, length, known, outcome, detail, "1.0", arch)])

        # The campaign counts its own copy once (received and installed although it ran twice); the
        # old form's counts for its download; the five others only in their own row.
        rows = support.report(self.config)
        self.assertEqual(rows, [["demo", "(none)", "1", "0", "0.0%", "0", "0"],
                                ["demo", "spring", "1", "0", "0.0%", "1", "1"],
                                ["(unknown", "identifiers)", "-", "5", "-", "3", "2"]])

    def test_malformed_reports_record_nothing(self):
        good = dict(outcome="installed", detail="", version="1.0", arch="x64", session=self.ident)
        cases = [
            # label, changes to the good report
            ("no outcome", dict(drop=("outcome",))),
            ("no detail", dict(drop=("detail",))),
            ("no version", dict(drop=("version",))),
            ("no arch", dict(drop=("arch",))),
            ("no session", dict(drop=("session",))),
            ("an empty session", dict(session="")),
            ("an unknown outcome", dict(outcome="crashed")),
            ("an outcome in upper case", dict(outcome="INSTALLED")),
            ("an outcome with a NUL after it", dict(outcome="installed%00")),
            ("a detail in upper case", dict(outcome="download-failed", detail="HTTP-404")),
            ("a detail with a blank", dict(outcome="download-failed", detail="http%20404")),
            ("a detail of 25 characters", dict(outcome="cancelled", detail="d" * 25)),
            ("an empty version", dict(version="")),
            ("a version with a slash", dict(version="1.0/x")),
            ("an unknown arch", dict(arch="arm64")),
        ]
        for label, changes in cases:
            with self.subTest(label):
                status, headers, body, added = self.send(outcome_target(**dict(good, **changes)))
                self.assertEqual(status, 400, body)
                self.assertEqual(headers["content-type"], "text/plain; charset=us-ascii")
                self.assertEqual(added, [])
        for label, target, method, expected in [
                ("HEAD of a good report", outcome_target(**good), b"HEAD", 204),
                ("HEAD of a bad one", outcome_target(**dict(good, arch="arm64")), b"HEAD", 400),
                ("POST", outcome_target(**good), b"POST", 405)]:
            with self.subTest(label):
                status, _, body, added = self.send(target, method)
                self.assertEqual((status, added), (expected, []))
                if method == b"HEAD":
                    self.assertEqual(body, b"")

    def test_a_report_line_loaded_twice_is_one_row(self):
        """A batch loaded again (a loader killed after its commit, before it knew) adds nothing; a
        copy whose download line was lost still gets its download row, from its identifier."""
        minted = identifiers.mint(load_config(self.config).keys, "demo", "autumn").decode()
        lines = [journal.encode(["O", AT, "w1-0000000000000000.1", "v", "installed", "", "1.0", "x64",
                                 str(len(minted)), minted])]
        db = support.Database(self.database())
        db.ensure_schema()
        for _ in range(2):
            self.assertEqual(loader.load_batch(db, "web1", "w1-0000000000000000", len(lines[0]), lines), 0)
        self.assertEqual(db.rows("SELECT session, known, outcome FROM outcomes"), [(minted, 1, "installed")])
        self.assertEqual(db.rows("SELECT product, campaign FROM downloads WHERE ident = ?", (minted,)),
                         [("demo", "autumn")])


class SqliteOutcomeTest(OutcomeCases, unittest.TestCase):
    kind = "sqlite"


class PostgresOutcomeTest(support.OnPostgres, OutcomeCases, unittest.TestCase):
    kind = "postgresql"


class JournalFailureTest(unittest.TestCase):
    """A report whose line cannot be written is answered 503, as a download or an information
    request is, and the next one is recorded."""

    def test_503_when_the_line_cannot_be_written(self):
        work, stub = support.folder_with_stub(self.addCleanup)
        config = support.write_config(work, {"demo": (stub, DEMO_URL, "velko-demo-setup.exe")})
        site = app.Site(load_config(config))
        appended = []

        def full_disk(line):
            raise JournalError("w1: wrote 10 of a line's 120 bytes (is the disk full?)")

        def call(target):
            path, _, query = target.partition("?")
            answered = []
            errors = tempfile.TemporaryFile("w+")
            self.addCleanup(errors.close)
            body = site({"PATH_INFO": path, "QUERY_STRING": query, "REQUEST_METHOD": "GET", "wsgi.errors": errors},
                        lambda status, headers: answered.append(status))
            return answered[0], b"".join(body)

        # Every line goes through the journal's one write.
        site.journal._write = full_disk
        status, _ = call(outcome_target(session=ELSEWHERE_ID))
        self.assertEqual(status, "503 Service Unavailable")
        site.journal._write = appended.append
        self.assertEqual(call(outcome_target(session=ELSEWHERE_ID)), ("204 No Content", b""))
        self.assertEqual([journal.decode(line)[0] for line in appended], ["O"])


if __name__ == "__main__":
    unittest.main()
