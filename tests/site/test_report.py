"""velko-site report --html: one page that needs nothing else (no script, nothing fetched), whose
charts agree with the text report's table and with the records they come from, bar by bar."""
import html.parser
import os
import sqlite3
import subprocess
import unittest

import support
from velko_site.db import Database

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
            conn.executemany("INSERT INTO info_requests VALUES (?, 2, ?, ?)", REQUESTS)
        conn.close()

    def report(self, *options):
        return subprocess.run([support.SITE_COMMAND, "report", self.config, *options],
                              capture_output=True, text=True)

    def test_the_page_agrees_with_the_table_and_the_records(self):
        page_path = os.path.join(self.work, "report.html")
        done = self.report("--html", page_path)
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertEqual(done.stdout, self.report().stdout)  # the text report as it was
        table = [["product", "campaign", "downloaded", "run", "ratio"],
                 ["demo", "(none)", "3", "2", "66.7%"], ["demo", "launch & co <b>", "1", "1", "100.0%"],
                 ["demo", "spring", "2", "1", "50.0%"], ["tools", "(none)", "1", "1", "100.0%"]]
        text_lines = done.stdout.splitlines()
        self.assertEqual(len(text_lines), len(table))
        for line, row in zip(text_lines, table):
            self.assertEqual(line.split(), " ".join(row).split())

        page = Page()
        with open(page_path, encoding="utf-8") as f:
            page.feed(f.read())
        self.assertEqual(page.fetching, [])
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


if __name__ == "__main__":
    unittest.main()
