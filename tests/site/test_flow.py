"""The publisher's whole story end to end, with SQLite and with PostgreSQL: copies downloaded from
the site under gunicorn with curl, one of them run under Wine, which asks the site for its package,
downloads it and installs it (stand-in installer); then the records and the report."""
import os
import subprocess
import sys
import tempfile
import unittest

import support

sys.path.insert(0, os.path.join(support.ROOT, "tests", "e2e"))
import harness as h  # noqa: E402

PACKAGE_HOST = "127.0.0.3"
# The '&' must reach the stub as it stands: escaped (&amp;) the stub would ask for another file.
PACKAGE_TARGET = "/get?file=velko-demo.msi&v=1"
ELSEWHERE_ID = h.SAMPLE_ID.decode()  # a copy this site did not hand out


class FlowCases:
    def database(self):
        raise NotImplementedError

    def setUp(self):
        super().setUp()
        h.use_fake_msiexec(self)
        self.packages = self.serve([PACKAGE_HOST])
        self.packages.add_file(PACKAGE_TARGET, h.package(16 * 1024))
        self.config = support.write_config(self.work, {
            "demo": (h.STUB_EXE, "http://%s%s" % (PACKAGE_HOST, PACKAGE_TARGET), "velko-demo-setup.exe")},
            database=self.database())
        self.serve_site()

    def serve_site(self):
        support.start_site(self.addCleanup, self.config, h.INFO_HOST)

    def download(self, query="", *curl_options):
        """Downloads a copy with curl as a visitor's browser would, under the name the site gives."""
        folder = tempfile.mkdtemp(dir=self.work)
        subprocess.run(["curl", "-sSf", "--output-dir", folder, "-OJ", *curl_options,
                        "http://%s/download/demo%s" % (h.INFO_HOST, query)], check=True)
        return os.path.join(folder, "velko-demo-setup.exe")

    def test_a_downloaded_copy_is_run_installs_and_is_reported(self):
        copies = [self.download("?campaign=spring", "-e", "https://example.com/demo?a=1&b=2"),
                  self.download("?campaign=spring"), self.download()]
        ids = [support.velko_tag.read_file_tag(path)[1].decode() for path in copies]

        run = h.run_exe(copies[0])
        self.assertEqual((run.exit_code, run.boxes), (0, []))
        self.assertIsNotNone(h.fake_msiexec_run(), "the package was not installed")
        self.assertEqual([r.path for r in self.packages.requests], [PACKAGE_TARGET])
        # A copy tagged elsewhere gets the package too, and counts for no download of ours.
        status, _, body = support.get(h.INFO_HOST, 80, "/WebGetDSData.qdx?session=" + ELSEWHERE_ID)
        self.assertEqual((status, body), (200, b"<MSIURL>http://%s%s</MSIURL>" % (PACKAGE_HOST.encode(),
                                                                                 PACKAGE_TARGET.encode())))

        downloads, requests = support.records(self.database())
        self.assertEqual(downloads, sorted([(ids[0], "demo", "spring", "https://example.com/demo?a=1&b=2"),
                                            (ids[1], "demo", "spring", ""), (ids[2], "demo", "", "")]))
        # The stub sent the identifier of its own copy.
        self.assertEqual(requests, sorted([(ids[0], len(ids[0]), 1), (ELSEWHERE_ID, len(ELSEWHERE_ID), 0)]))
        # The run said how it ended, once, for its own copy: as the stub it is, in its version (the
        # one its user agent names) and architecture; the funnel counts the copy received and
        # installed.  (A stub that sends no such report leaves the two steps at 0.)
        reports = support.outcomes(self.database())
        if support.sends_outcome(h.STUB_EXE):
            version = self.packages.requests[0].header("User-Agent").split()[-1]
            self.assertEqual(reports, [(ids[0], len(ids[0]), 1, "installed", "", version,
                                        os.environ.get("VELKO_ARCH", "x86"))])
            funnel = ["1", "1"]
        else:
            self.assertEqual(reports, [])
            funnel = ["0", "0"]
        self.assertEqual(support.report(self.config), [["demo", "(none)", "1", "0", "0.0%", "0", "0"],
                                                       ["demo", "spring", "2", "1", "50.0%"] + funnel])


class SqliteFlowTest(FlowCases, h.StubTestCase):
    def database(self):
        return os.path.join(self.work, "site.db")


class PostgresFlowTest(FlowCases, h.StubTestCase):
    @classmethod
    def setUpClass(cls):
        cls.postgres = support.PostgresServer().start()

    @classmethod
    def tearDownClass(cls):
        cls.postgres.stop()

    def database(self):
        return self.postgres.url


class TwoHostsFlowTest(PostgresFlowTest):
    """The same story with two site instances on the one PostgreSQL (two machines) and nginx in
    front of both on the stub's information host, as the README's production example has it: the
    visitor's downloads and the stub's information request go through nginx, to either instance,
    and leave the same records."""

    def serve_site(self):
        self.nginx = support.start_two_hosts(self.addCleanup, self.config, ("127.0.0.33", "127.0.0.34"),
                                             "%s:80" % h.INFO_HOST)[-1]

    def test_a_downloaded_copy_is_run_installs_and_is_reported(self):
        super().test_a_downloaded_copy_is_run_installs_and_is_reported()
        passed = self.nginx.requests()
        self.assertEqual(sum(1 for line in passed if line.startswith("GET /download/demo")), 3, passed)
        self.assertEqual(sum(1 for line in passed if line.startswith("GET /WebGetDSData.qdx?session=")), 2, passed)


if __name__ == "__main__":
    unittest.main()
