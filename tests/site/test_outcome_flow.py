"""Each way a run ends, as the publisher sees it: copies downloaded from the site under gunicorn
(SQLite, and PostgreSQL), each in a campaign of its own, run under Wine against the site.  Once the loader has run,
the outcomes table holds exactly one row for each copy, with how its run ended, and the report counts
the copy where its funnel stopped and names its failure.

The stub reaches the site through nginx on its information host, which passes every request on,
except the information request while the test has a flag file in place: then nginx answers it with
404 itself (the site never does), and the outcome report still reaches the site."""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import support

sys.path.insert(0, os.path.join(support.ROOT, "tests", "e2e"))
import harness as h  # noqa: E402
from test_cancel import QUESTION, SLOW_PACKAGE, probe  # noqa: E402

SITE_HOST, SITE_PORT = "127.0.0.33", 8000
PACKAGE_TARGET = "/velko-demo.msi"
# Large enough that the slow download is still under way when the window is closed.
PACKAGE_SIZE = 3 << 20
NOT_PUBLISHED = h.failed("the package on the server is not the one published")


def failures(config):
    """The rows of the text report's failures, as lists of their words, without the heading."""
    support.report(config)  # the loaders catch up
    out = subprocess.run([support.SITE_COMMAND, "report", config], check=True, capture_output=True,
                         text=True).stdout
    return [line.split() for line in out.split("\n\n")[1].splitlines()[1:]]


class OutcomeFlowCases:
    def database(self):
        raise NotImplementedError

    def setUp(self):
        super().setUp()
        if not support.sends_outcome(h.STUB_EXE):
            self.skipTest("this stub sends no outcome report")
        h.use_fake_msiexec(self)
        self.addCleanup(h.reg_delete, r"Software\Brondelvik")
        self.package = h.package(PACKAGE_SIZE)
        self.packages = self.serve([h.PACKAGE_HOST])
        self.packages.add_file(PACKAGE_TARGET, self.package)
        package_file = os.path.join(self.work, "velko-demo.msi")
        with open(package_file, "wb") as f:
            f.write(self.package)
        pin = subprocess.run([support.SITE_COMMAND, "hash", package_file], check=True, capture_output=True,
                             text=True).stdout
        self.config = support.write_config(self.work, {
            "demo": (h.STUB_EXE, "http://%s%s" % (h.PACKAGE_HOST, PACKAGE_TARGET), "velko-demo-setup.exe")},
            database=self.database())
        with open(self.config, "a") as f:  # into the product's table, the last one
            f.write(pin)
        support.start_site(self.addCleanup, self.config, SITE_HOST, SITE_PORT)
        # nginx's workers run as nobody: the flag's folder must be open to them.
        flags = tempfile.mkdtemp(prefix="velko-flags-")
        os.chmod(flags, 0o755)
        self.addCleanup(shutil.rmtree, flags, True)
        self.info_404 = os.path.join(flags, "info-404")
        self.nginx = support.Nginx("%s:80" % h.INFO_HOST, ["%s:%d" % (SITE_HOST, SITE_PORT)], locations="""
        location = /WebGetDSData.qdx {
            if (-f %s) { return 404; }
            proxy_pass http://velko_site;
            proxy_set_header Host $host;
        }""" % self.info_404).start()
        self.addCleanup(self.nginx.stop)

    def download(self, campaign):
        folder = tempfile.mkdtemp(dir=self.work)
        subprocess.run(["curl", "-sSf", "--output-dir", folder, "-OJ",
                        "http://%s:%d/download/demo?campaign=%s" % (SITE_HOST, SITE_PORT, campaign)], check=True)
        return os.path.join(folder, "velko-demo-setup.exe")

    def exit_code(self, code):
        with open(h.fake_control_file("ExitCodeFile"), "w") as f:
            f.write(code)

    def other_bytes(self):
        """The package server serves bytes of the pinned length that are not the pinned package."""
        other = bytearray(self.package)
        other[-1] ^= 0xFF
        self.packages.add_file(PACKAGE_TARGET, bytes(other))

    def cancel_download(self):
        """The download is slow; the window is closed once it is under way, and the question
        answered Yes."""
        self.packages.set_behaviour(PACKAGE_TARGET, SLOW_PACKAGE)

        def on_start(proc):
            for _ in range(300):
                if self.packages.requests:
                    break
                time.sleep(0.1)
            self.assertTrue(self.packages.requests, "the download never started")
            time.sleep(0.5)
            self.assertEqual(probe("close"), 0, "could not close the window")

        def on_box(index, text):
            if text != QUESTION:
                return False
            self.assertEqual(probe("answer", "yes", "10"), 0, "could not answer the question")
            return True
        return {"on_start": on_start, "on_box": on_box}

    def answer_info_with_404(self):
        open(self.info_404, "w").close()

    def test_the_site_records_how_each_run_ended_once(self):
        arch = os.environ.get("VELKO_ARCH", "x86")
        cases = [
            # campaign, set-up (returns run_exe's callbacks or None), boxes, outcome, detail,
            # the copy's funnel: run, received, installed
            ("installed", lambda: None, [], "installed", "", 1, 1, 1),
            ("digest", self.other_bytes, [NOT_PUBLISHED], "not-published", "digest", 1, 0, 0),
            ("exit1603", lambda: self.exit_code("1603"), [], "installer-failed", "1603", 1, 1, 0),
            ("cancel", self.cancel_download, [QUESTION], "cancelled", "download", 1, 0, 0),
            ("info404", self.answer_info_with_404, [h.MSIURL_MISSING], "info-failed", "http-404", 0, 0, 0),
        ]
        version = None
        for campaign, prepare, boxes, outcome, detail, *_ in cases:
            with self.subTest(campaign):
                for path in (h.ID_FILE, h.PACKAGE_FILE, h.LOG_FILE, self.info_404):
                    if os.path.exists(path):
                        os.remove(path)
                h.reg_delete(r"Software\Brondelvik")
                h.forget_fake_msiexec_run()
                self.exit_code("0")
                self.packages.add_file(PACKAGE_TARGET, self.package)
                self.packages.clear_requests()
                copy = self.download(campaign)
                ident = support.velko_tag.read_file_tag(copy)[1].decode()
                run = h.run_exe(copy, timeout=90, **(prepare() or {}))
                self.assertEqual((run.exit_code, run.boxes), (0, boxes))
                self.assertEqual(h.run_folders(), [], "the run left its folder in the temp folder")
                if version is None:  # the one its user agent names
                    version = self.packages.requests[0].header("User-Agent").split()[-1]
                # The stub sent it once (the site and its loader could hide a second).
                sent = [line for line in self.nginx.requests()
                        if line.startswith("GET /outcome?") and line.endswith("&session=%s HTTP/1.1" % ident)]
                self.assertEqual(len(sent), 1, sent)
                rows = [r for r in support.outcomes(self.database()) if r[0] == ident]
                self.assertEqual(rows, [(ident, len(ident), 1, outcome, detail, version, arch)])

        # Once each, nothing else, and each copy counted in its own campaign's funnel and failures.
        self.assertEqual(len(support.outcomes(self.database())), len(cases))
        self.assertEqual(support.report(self.config), sorted(
            ["demo", campaign, "1", "%d" % ran, "%.1f%%" % (100.0 * ran), "%d" % received, "%d" % installed]
            for campaign, _, _, _, _, ran, received, installed in cases))
        self.assertEqual(failures(self.config), sorted(
            ["demo", campaign, outcome, detail or "(none)", "1"]
            for campaign, _, _, outcome, detail, *_ in cases if outcome != "installed"))


class SqliteOutcomeFlowTest(OutcomeFlowCases, h.StubTestCase):
    def database(self):
        return os.path.join(self.work, "site.db")


class PostgresOutcomeFlowTest(support.OnPostgres, OutcomeFlowCases, h.StubTestCase):
    pass


if __name__ == "__main__":
    unittest.main()
