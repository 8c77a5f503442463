"""Two site instances on one PostgreSQL, standing for two machines (two gunicorn masters on two
addresses, each with its own journals and host name), with Debian's nginx in front of both as the
README's production example has it: identifiers stay unique and each download is recorded once, an
information request answered by either instance names the product of a copy handed out by the
other, even before that one's loader ran, the report counts both, and requests that go through
nginx leave the same records as direct ones."""
import concurrent.futures
import unittest

import support
from support import velko_tag

HOSTS = ("127.0.0.31", "127.0.0.32")
PROXY = "127.0.0.30"
PORT = 8000
DEMO_URL = "http://127.0.0.3/velko-demo.msi"
OTHER_URL = "http://127.0.0.3/velko-other.msi?a=1&b=2"
INFO = "/WebGetDSData.qdx?session="


def msiurl(url):
    return b"<MSIURL>" + url.encode() + b"</MSIURL>"


class TwoHostsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.postgres = support.PostgresServer().start()
        cls.addClassCleanup(cls.postgres.stop)

    def setUp(self):
        self.work, self.stub = support.folder_with_stub(self.addCleanup)
        self.config = support.write_config(self.work, {
            "demo": (self.stub, DEMO_URL, "velko-demo-setup.exe"),
            "other": (self.stub, OTHER_URL, "velko-other-setup.exe")}, database=self.postgres.url)
        self.postgres.drop_site_tables()
        # As the hosts' loaders make it when they start.
        support.Database(self.postgres.url).ensure_schema()
        *self.sites, self.nginx = support.start_two_hosts(self.addCleanup, self.config, HOSTS, "%s:80" % PROXY)
        self.image = velko_tag.StubImage.load(self.stub)

    def download(self, host, port, target):
        status, headers, body = support.get(host, port, target, b"Referer: https://example.com/p?x=1&y=2\r\n")
        self.assertEqual(status, 200, body[:200])
        self.assertEqual(int(headers["content-length"]), len(body))
        ident = velko_tag.read_tag(body)[1]
        self.assertTrue(body == b"".join(velko_tag.iter_copy(velko_tag.plan_copy(self.image, ident))),
                        "the copy of %s is not the stub tagged with it" % ident)
        return ident.decode()

    def test_downloads_on_both_hosts_and_through_nginx(self):
        where = [(HOSTS[0], PORT), (HOSTS[1], PORT), (PROXY, 80)]
        jobs = [(where[n % 3], "/download/%s?campaign=c%d" % ("other" if n % 2 else "demo", n % 3))
                for n in range(300)]
        with concurrent.futures.ThreadPoolExecutor(24) as pool:
            ids = list(pool.map(lambda job: self.download(*job[0], job[1]), jobs))
        self.assertEqual(len(set(ids)), len(ids))
        downloads, _ = support.records(self.postgres.url)
        self.assertEqual(sorted(downloads), sorted(
            (ident, "other" if n % 2 else "demo", "c%d" % (n % 3), "https://example.com/p?x=1&y=2")
            for n, ident in enumerate(ids)))
        # One connection per worker however many of its threads commit: 2 instances of 2 workers,
        # besides the one that asks.
        connections = support.Database(self.postgres.url).rows(
            "SELECT COUNT(*) FROM pg_stat_activity WHERE backend_type = 'client backend'")[0][0]
        self.assertLessEqual(connections, 2 * 2 + 1)
        # nginx took its share to each instance in turn.
        self.assertEqual(sum(1 for line in self.nginx.requests() if line.startswith("GET /download/")), 100)

        # Each download asked about on the host that did not hand it out; those through nginx, through it.
        for n, ident in enumerate(ids[:60]):
            host, port = where[(1, 0, 2)[n % 3]]
            status, _, body = support.get(host, port, INFO + ident)
            self.assertEqual((status, body), (200, msiurl(OTHER_URL if n % 2 else DEMO_URL)), (host, ident))
        _, requests = support.records(self.postgres.url)
        self.assertEqual(requests, sorted((ident, len(ident), 1) for ident in ids[:60]))

        rows = support.report(self.config)
        for product in ("demo", "other"):
            for c in range(3):
                count = sum(1 for n in range(300) if (n % 2 == 1) == (product == "other") and n % 3 == c)
                run = sum(1 for n in range(60) if (n % 2 == 1) == (product == "other") and n % 3 == c)
                self.assertIn([product, "c%d" % c, str(count), str(run), "%.1f%%" % (100.0 * run / count), "0", "0"],
                              rows)

    def test_the_same_records_through_nginx_as_directly(self):
        direct = self.download(HOSTS[0], PORT, "/download/other?campaign=spring")
        proxied = self.download(PROXY, 80, "/download/other?campaign=spring")
        for host, port in ((HOSTS[1], PORT), (PROXY, 80)):
            for session in (direct, proxied, "%00%FFx", "0123ABCD-4567EF01-89ABCDEF-DEADBEEF-00C0FFEE"):
                status, _, body = support.get(host, port, INFO + session)
                self.assertEqual(status, 200)
        downloads, requests = support.records(self.postgres.url)
        referrer = "https://example.com/p?x=1&y=2"
        self.assertEqual(downloads, sorted([(direct, "other", "spring", referrer), (proxied, "other", "spring", referrer)]))
        # Each request twice, once per way: nginx passed the identifiers' bytes on unchanged.
        once = [(direct, len(direct), 1), (proxied, len(proxied), 1), ("\\x00\\xffx", 3, 0),
                ("0123ABCD-4567EF01-89ABCDEF-DEADBEEF-00C0FFEE", 44, 0)]
        self.assertEqual(requests, sorted(once * 2))


    def test_host_b_answers_for_a_copy_of_host_a_before_a_loaded_it(self):
        ident = self.download(HOSTS[0], PORT, "/download/other?campaign=spring")
        status, _, body = support.get(HOSTS[1], PORT, INFO + ident)
        self.assertEqual((status, body), (200, msiurl(OTHER_URL)))
        # Nothing was loaded yet: the answer came from the identifier alone.
        db = support.Database(self.postgres.url)
        self.assertEqual(db.rows("SELECT COUNT(*) FROM downloads")[0][0], 0)
        # Host B's loader first: it makes the download's row from the identifier; host A's then
        # adds the referrer.
        support.load(self.sites[1].config_path)
        self.assertEqual(db.rows("SELECT ident, product, campaign, referrer FROM downloads"),
                         [(ident, "other", "spring", "")])
        support.load(self.sites[0].config_path)
        downloads, requests = support.records(self.postgres.url)
        self.assertEqual(downloads, [(ident, "other", "spring", "https://example.com/p?x=1&y=2")])
        self.assertEqual(requests, [(ident, len(ident), 1)])
        rows = support.report(self.config)
        self.assertEqual(rows, [["other", "spring", "1", "1", "100.0%", "0", "0"]])
        # Each host's loader says how far it got.
        out = support.subprocess.run([support.SITE_COMMAND, "report", self.config], check=True,
                                     capture_output=True, text=True).stdout
        self.assertEqual([line.split(":")[0] for line in out.split("\n\n")[-1].splitlines()],
                         ["host host0", "host host1"])


if __name__ == "__main__":
    unittest.main()
