"""velko-site report, text and --html, with SQLite and with PostgreSQL: the funnel (downloaded,
run, received, installed) and the most common failures from records whose counts are known; one
page that needs nothing else (no script, nothing fetched), whose daily charts and funnels agree with
the text report's tables and with the records they come from, bar by bar."""
import html.parser
import os
import re
import subprocess
import unittest

import support
from velko_site.config import load_config
from velko_site.db import Database, utc_now
from velko_site.journal import Journal

# (ident, product, campaign, downloaded_at) and (session, known, requested_at): three products
# and campaigns over a few days, copies run on a later day than they were downloaded, run twice,
# never run, and requests for identifiers never handed out.
DOWNLOADS = [
    ("A1", "demo", "", "2026-03-01T08:00:00.000000Z"),
    ("A2", "demo", "", "2026-03-01T23:59:59.999999Z"),
    ("A3", "demo", "", "2026-03-04T00:00:00.000000Z"),
    ("B1", "demo", "spring", "2026-03-02T10:00:00.000000Z"),
    ("B2", "demo", "spring", "2026-03-02T11:00:00.000000Z"),
    ("C1", "tools", "", "2026-02-27T12:00:00.000000Z"),
    # A campaign recorded with blanks and markup (the site refuses such names today; the records
    # may hold them): it stays in its own cell, as text.
    ("D1", "demo", "launch & co <b>", "2026-03-03T10:00:00.000000Z"),
]
REQUESTS = [
    ("A1", 1, "2026-03-01T08:05:00.000000Z"),
    ("A1", 1, "2026-03-03T09:00:00.000000Z"),   # run again: still the first day that counts
    ("A2", 1, "2026-03-02T00:00:01.000000Z"),   # run the day after
    ("B2", 1, "2026-03-04T10:00:00.000000Z"),
    ("C1", 1, "2026-03-01T12:00:00.000000Z"),
    ("D1", 1, "2026-03-03T10:01:00.000000Z"),
    ("ZZ", 0, "2026-03-01T12:00:00.000000Z"),   # not ours
]
# (session, known, outcome, detail): copies that ran more than once, failures shared by several
# copies and reported twice by one, a campaign with more kinds of failure than the report lists,
# and identifiers the site did not hand out, one of them spelled as a copy of ours (its key since
# removed, say): counted apart, never for that copy's campaign.
OUTCOMES = [
    ("A1", 1, "installer-failed", "1603"),
    ("A1", 1, "installed", ""),                   # the same copy again: received and installed, once
    ("A2", 1, "download-failed", "http-404"),
    ("A3", 1, "download-failed", "http-404"),
    ("A3", 1, "download-failed", "http-404"),     # one copy twice: still two copies with that failure
    ("B2", 1, "installed-restart-needed", "3010"),
    ("D1", 1, "installer-failed", "1603"),
    ("C1", 1, "no-package-url", "missing"),       # six kinds: the five first (by copies, then name) listed
    ("C1", 1, "info-failed", "proxy"),
    ("C1", 1, "file-error", "temp-folder"),
    ("C1", 1, "cancelled", "waiting"),
    ("C1", 1, "cancelled", "info"),
    ("C1", 1, "cancelled", "download"),
    ("ZZ", 0, "installed", ""),
    ("B1", 0, "installer-failed", "1603"),
    ("YY", 0, "not-published", "size"),
]
TABLE = [["product", "campaign", "downloaded", "run", "ratio", "received", "installed"],
         ["demo", "(none)", "3", "2", "66.7%", "1", "1"],
         ["demo", "launch & co <b>", "1", "1", "100.0%", "1", "0"],
         ["demo", "spring", "2", "1", "50.0%", "1", "1"],
         ["tools", "(none)", "1", "1", "100.0%", "0", "0"],
         ["(unknown identifiers)", "", "-", "3", "-", "2", "1"]]
FAILURES = [["product", "campaign", "failure", "detail", "copies"],
            ["demo", "(none)", "download-failed", "http-404", "2"],
            ["demo", "(none)", "installer-failed", "1603", "1"],
            ["demo", "launch & co <b>", "installer-failed", "1603", "1"],
            ["tools", "(none)", "cancelled", "download", "1"],
            ["tools", "(none)", "cancelled", "info", "1"],
            ["tools", "(none)", "cancelled", "waiting", "1"],
            ["tools", "(none)", "file-error", "temp-folder", "1"],
            ["tools", "(none)", "info-failed", "proxy", "1"],
            ["(unknown identifiers)", "", "installer-failed", "1603", "1"],
            ["(unknown identifiers)", "", "not-published", "size", "1"]]
# What the charts must show: (product, campaign) -> {day: (downloaded, run)}, days without either
# included from the first to the last.
EXPECTED = {
    ("demo", ""): {"2026-03-01": (2, 1), "2026-03-02": (0, 1), "2026-03-03": (0, 0), "2026-03-04": (1, 0)},
    ("demo", "spring"): {"2026-03-02": (2, 0), "2026-03-03": (0, 0), "2026-03-04": (0, 1)},
    ("demo", "launch & co <b>"): {"2026-03-03": (1, 1)},
    ("tools", ""): {"2026-02-27": (1, 0), "2026-02-28": (0, 0), "2026-03-01": (0, 1)},
}


class Page(html.parser.HTMLParser):
    """What a reader of the page can see: the charts' bars, the tables' rows, and every tag or
    attribute that would run a script or fetch anything."""

    def __init__(self):
        super().__init__()
        # (product, campaign), or "unknown" -> {"chart" or "funnel": {"scale": float, "bars": [attrs]}}
        self.charts = {}
        # (section or None, table class) -> rows, each a list of its cells' texts
        self.tables = {}
        self.fetching = []
        self._section = self._chart = self._table = self._row = self._cell = None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag in ("script", "iframe", "object", "embed", "link", "img", "image", "use") or \
                any(name in ("src", "href", "xlink:href") or name.startswith("on") for name in a):
            self.fetching.append((tag, attrs))
        if tag == "section":
            self._section = "unknown" if a["class"] == "unknown" else (a["data-product"], a["data-campaign"])
        elif tag == "svg":
            self._chart = self.charts.setdefault(self._section, {})[a["class"]] = {
                "scale": float(a["data-scale"]), "bars": []}
        elif tag == "rect" and "data-count" in a:
            self._chart["bars"].append(a)
        elif tag == "table":
            self._table = self.tables.setdefault((self._section, a["class"]), [])
        elif tag == "tr":
            self._row = []
        elif tag in ("td", "th"):
            self._cell = ""

    def handle_data(self, data):
        if self._cell is not None:
            self._cell += data

    def handle_endtag(self, tag):
        if tag in ("td", "th"):
            self._row.append(self._cell)
            self._cell = None
        elif tag == "tr":
            self._table.append(self._row)
            self._row = None
        elif tag == "section":
            self._section = None


class ReportCases:
    def database(self):
        return os.path.join(self.work, "site.db")

    def setUp(self):
        super().setUp()
        self.work, stub = support.folder_with_stub(self.addCleanup)
        self.config = support.write_config(self.work, {
            "demo": (stub, "http://127.0.0.3/velko-demo.msi", "velko-demo-setup.exe"),
            "tools": (stub, "http://127.0.0.3/velko-tools.msi", "velko-tools-setup.exe")},
            database=self.database())
        db = Database(self.database())
        db.ensure_schema()

        def insert(execute):
            for row in DOWNLOADS:
                execute("INSERT INTO downloads VALUES (?, ?, ?, '', ?)", row)
            for row in REQUESTS:
                execute("INSERT INTO info_requests (session, session_length, known, requested_at) "
                        "VALUES (?, 2, ?, ?)", row)
            for n, (session, known, outcome, detail) in enumerate(OUTCOMES):
                execute("INSERT INTO outcomes VALUES (?, ?, 2, ?, ?, ?, '1.0', 'x86', '2026-03-05T00:00:00.000000Z')",
                        ("line-%d" % n, session, known, outcome, detail))
        db.transaction(insert)
        db.close()

    def report(self, *options):
        return subprocess.run([support.SITE_COMMAND, "report", self.config, *options],
                              capture_output=True, text=True)

    def test_the_text_and_the_page_agree_with_the_records(self):
        page_path = os.path.join(self.work, "report.html")
        done = self.report("--html", page_path)
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertEqual(done.stdout, self.report().stdout)  # the text report as it was
        # The funnel, the failures, then how fresh the records are, each after a blank line.
        text, failures, freshness = done.stdout.split("\n\n")
        self.assertEqual(freshness, "no loader has reported yet\n")
        for block, rows in ((text, TABLE), (failures, FAILURES)):
            lines = block.splitlines()
            self.assertEqual(len(lines), len(rows), block)
            for line, row in zip(lines, rows):
                self.assertEqual(line.split(), " ".join(row).split())

        page = Page()
        with open(page_path, encoding="utf-8") as f:
            page_text = f.read()
        page.feed(page_text)
        self.assertEqual(page.fetching, [])
        self.assertIn('<p class="freshness">no loader has reported yet</p>', page_text)
        # The text report's rows, a value to each cell: the campaign's markup stays in its cell.
        self.assertEqual(page.tables[None, "report"], TABLE)
        self.assertEqual(page.tables[None, "report-failures"], FAILURES)

        shown = {}
        for key, charts in page.charts.items():
            for kind, chart in charts.items():
                for bar in chart["bars"]:
                    # The picture is the number: the bar's height is its count at the chart's scale.
                    self.assertAlmostEqual(float(bar["height"]), int(bar["data-count"]) * chart["scale"],
                                           delta=0.01)
            days = {}
            for bar in charts["chart"]["bars"]:
                days.setdefault(bar["data-day"], {})[bar["class"]] = int(bar["data-count"])
            shown[key] = {day: (kinds["downloaded"], kinds["run"]) for day, kinds in days.items()}
            # The funnel's bars are the table's row, step by step.
            steps = [(bar["data-step"], bar["class"], int(bar["data-count"])) for bar in charts["funnel"]["bars"]]
            row = next(r for r in TABLE if (r[0], "" if r[1] == "(none)" else r[1]) == key)
            self.assertEqual(steps, [(step, step, int(row[n])) for step, n in
                                     (("downloaded", 2), ("run", 3), ("received", 5), ("installed", 6))])
            # Beside them, the campaign's own failures as the failures table has them.
            self.assertEqual(page.tables.get((key, "failures"), [FAILURES[0][2:]])[1:],
                             [r[2:] for r in FAILURES if r[:2] == row[:2]])
        self.assertEqual(shown, EXPECTED)
        for product, campaign, downloaded, run, *_ in TABLE[1:-1]:
            days = shown[product, "" if campaign == "(none)" else campaign].values()
            self.assertEqual((sum(d for d, _ in days), sum(r for _, r in days)), (int(downloaded), int(run)))
        # The unknown identifiers: a section of their own, with their failures, and no chart.
        self.assertEqual(page.tables["unknown", "failures"][1:], [r[2:] for r in FAILURES if r[0] == TABLE[-1][0]])
        self.assertNotIn("unknown", page.charts)

    def test_a_page_that_cannot_be_written(self):
        """One line and status 2, as for any refusal; nothing left behind."""
        before = sorted(os.listdir(self.work))
        done = self.report("--html", os.path.join(self.work, "missing", "report.html"))
        self.assertEqual(done.returncode, 2)
        self.assertEqual(done.stderr.count("\n"), 1, done.stderr)
        self.assertTrue(done.stderr.startswith("velko-site: "), done.stderr)
        self.assertIn("missing", done.stderr)
        self.assertEqual(sorted(os.listdir(self.work)), before)


class SqliteReportTest(ReportCases, unittest.TestCase):
    pass


class PostgresReportTest(support.OnPostgres, ReportCases, unittest.TestCase):
    pass


class FreshnessTest(unittest.TestCase):
    """The report's last lines: per host, up to when its journals are loaded and what was left;
    and velko-site backlog, which counts what is still to load on this host."""

    def test_loaded_up_to_and_backlog(self):
        work, stub = support.folder_with_stub(self.addCleanup)
        config = support.write_config(work, {"demo": (stub, "http://127.0.0.3/velko-demo.msi", "velko-demo-setup.exe")},
                                      extra=['host_name = "web7"'])
        writer = Journal(load_config(config).journal)
        for n in range(3):
            writer.append(["D", "2026-01-01T00:00:00.000000Z", "ID-%d" % n, "demo", "", ""])
        before = utc_now()
        support.load(config)
        out = subprocess.run([support.SITE_COMMAND, "report", config], check=True, capture_output=True,
                             text=True).stdout
        line = out.split("\n\n")[-1].strip()
        loaded_until = re.fullmatch(r"host web7: loaded up to (\S+); no backlog at (\S+)", line)
        self.assertIsNotNone(loaded_until, line)
        self.assertGreaterEqual(loaded_until.group(1), before)

        # Two lines more, not loaded yet.
        for n in range(3, 5):
            writer.append(["D", "2026-01-01T00:00:00.000000Z", "ID-%d" % n, "demo", "", ""])
        out = subprocess.run([support.SITE_COMMAND, "backlog", config], check=True, capture_output=True,
                             text=True).stdout
        self.assertRegex(out.splitlines()[-1], r"^host web7: 2 line\(s\), \d+ byte\(s\) to load in 1 journal\(s\)$")

        # A loader that has not reported for an hour is pointed out.
        Database(os.path.join(work, "site.db")).transaction(lambda execute: execute(
            "UPDATE journal_hosts SET checked_at = '2000-01-01T00:00:00.000000Z'"))
        out = subprocess.run([support.SITE_COMMAND, "report", config], check=True, capture_output=True,
                             text=True).stdout
        self.assertIn("(its loader has not reported for", out)


if __name__ == "__main__":
    unittest.main()
