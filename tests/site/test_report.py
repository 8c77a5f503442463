"""velko-site report --html: one page that needs nothing else (no script, nothing fetched), whose
charts agree with the text report's table and with the records they come from, bar by bar."""
import html.parser
import os
import re
import sqlite3
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
# What the charts must show: (product, campaign) -> {day: (downloaded, run)}, days without either
# included from the first to the last.
EXPECTED = {
    ("demo", ""): {"2026-03-01": (2, 1), "2026-03-02": (0, 1), "2026-03-03": (0, 0), "2026-03-04": (1, 0)},
    ("demo", "spring"): {"2026-03-02": (2, 0), "2026-03-03": (0, 0), "2026-03-04": (0, 1)},
    ("demo", "launch & co <b>"): {"2026-03-03": (1, 1)},
    ("tools", ""): {"2026-02-27": (1, 0), "2026-02-28": (0, 0), "2026-03-01": (0, 1)},
}


class Page(html.parser.HTMLParser):
    """What a reader of the page can see: the charts' bars, the table's rows, and every tag or
    attribute that would run a script or fetch anything."""

    def __init__(self):
        super().__init__()
        self.charts = {}         # (product, campaign) -> {"scale": float, "bars": [attrs]}
        self.rows, self.fetching = [], []
        self._section = self._row = None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag in ("script", "iframe", "object", "embed", "link", "img", "image", "use") or \
                any(name in ("src", "href", "xlink:href") or name.startswith("on") for name in a):
            self.fetching.append((tag, attrs))
        if tag == "section":
            self._section = (a["data-product"], a["data-campaign"])
        elif tag == "svg":
            self.charts[self._section] = {"scale": float(a["data-scale"]), "bars": []}
        elif tag == "rect" and a.get("class") in ("downloaded", "run"):
            self.charts[self._section]["bars"].append(a)
        elif tag == "tr":
            self._row = []

    def handle_data(self, data):
        if self._row is not None and data.strip():
            self._row.append(data.strip())

    def handle_endtag(self, tag):
        if tag == "tr":
            self.rows.append(self._row)
            self._row = None


class HtmlReportTest(unittest.TestCase):
    def setUp(self):
        self.work, stub = support.folder_with_stub(self.addCleanup)
        self.config = support.write_config(self.work, {
            "demo": (stub, "http://127.0.0.3/velko-demo.msi", "velko-demo-setup.exe"),
            "tools": (stub, "http://127.0.0.3/velko-tools.msi", "velko-tools-setup.exe")})
        self.database = os.path.join(self.work, "site.db")
        Database(self.database).ensure_schema()
        with sqlite3.connect(self.database) as conn:
            conn.executemany("INSERT INTO downloads VALUES (?, ?, ?, '', ?)", DOWNLOADS)
            conn.executemany("INSERT INTO info_requests (session, session_length, known, requested_at) "
                             "VALUES (?, 2, ?, ?)", REQUESTS)
        conn.close()

    def report(self, *options):
        return subprocess.run([support.SITE_COMMAND, "report", self.config, *options],
                              capture_output=True, text=True)

    def test_the_page_agrees_with_the_table_and_the_records(self):
        page_path = os.path.join(self.work, "report.html")
        done = self.report("--html", page_path)
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertEqual(done.stdout, self.report().stdout)  # the text report as it was
        # The table, then a blank line and how fresh the records are.
        text, freshness = done.stdout.split("\n\n")
        self.assertEqual(freshness, "no loader has reported yet\n")
        table = [["product", "campaign", "downloaded", "run", "ratio"],
                 ["demo", "(none)", "3", "2", "66.7%"], ["demo", "launch & co <b>", "1", "1", "100.0%"],
                 ["demo", "spring", "2", "1", "50.0%"], ["tools", "(none)", "1", "1", "100.0%"]]
        text_lines = text.splitlines()
        self.assertEqual(len(text_lines), len(table))
        for line, row in zip(text_lines, table):
            self.assertEqual(line.split(), " ".join(row).split())

        page = Page()
        with open(page_path, encoding="utf-8") as f:
            page_text = f.read()
        page.feed(page_text)
        self.assertEqual(page.fetching, [])
        self.assertIn('<p class="freshness">no loader has reported yet</p>', page_text)
        self.assertEqual(page.rows, table)  # the text report's rows, a value to each cell

        shown = {}
        for key, chart in page.charts.items():
            days = shown[key] = {}
            for bar in chart["bars"]:
                count = int(bar["data-count"])
                # The picture is the number: the bar's height is its count at the chart's scale.
                self.assertAlmostEqual(float(bar["height"]), count * chart["scale"], delta=0.01)
                days.setdefault(bar["data-day"], {})[bar["class"]] = count
            shown[key] = {day: (kinds["downloaded"], kinds["run"]) for day, kinds in days.items()}
        self.assertEqual(shown, EXPECTED)
        for product, campaign, downloaded, run, _ in table[1:]:
            days = shown[product, "" if campaign == "(none)" else campaign].values()
            self.assertEqual((sum(d for d, _ in days), sum(r for _, r in days)), (int(downloaded), int(run)))

    def test_a_page_that_cannot_be_written(self):
        """One line and status 2, as for any refusal; nothing left behind."""
        before = sorted(os.listdir(self.work))
        done = self.report("--html", os.path.join(self.work, "missing", "report.html"))
        self.assertEqual(done.returncode, 2)
        self.assertEqual(done.stderr.count("\n"), 1, done.stderr)
        self.assertTrue(done.stderr.startswith("velko-site: "), done.stderr)
        self.assertIn("missing", done.stderr)
        self.assertEqual(sorted(os.listdir(self.work)), before)


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
        line = out.split("\n\n")[1].strip()
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
