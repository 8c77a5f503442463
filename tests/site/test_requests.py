"""Requests the site must answer without handing out a copy or touching a download: identifiers
that are long, binary, ours with more after them, or missing; product names with path characters;
bad campaigns and methods.  Everything goes through gunicorn, raw bytes included."""
import collections
import os
import shutil
import tempfile
import unittest
import urllib.parse

import support
from support import velko_tag

ADDRESS, PORT = "127.0.0.22", 8000
DEMO_URL = "http://127.0.0.3/velko-demo.msi?build=42&channel=stable"
OTHER_URL = "http://127.0.0.3/other.msi"
ELSEWHERE_ID = "0123ABCD-4567EF01-89ABCDEF-DEADBEEF-00C0FFEE"
INFO = "/WebGetDSData.qdx"


def msiurl(url):
    return b"<MSIURL>" + url.encode() + b"</MSIURL>"


class RequestsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="velko-site-")
        cls.addClassCleanup(shutil.rmtree, cls.work, True)
        # The stubs in a folder of their own; a perfectly good stub outside it, where a download
        # link with path characters would lead if its name were ever taken as a path.
        cls.stubs = os.path.join(cls.work, "stubs")
        os.mkdir(cls.stubs)
        for name in ("demo.exe", "other.exe"):
            shutil.copy(support.STUB_EXE, os.path.join(cls.stubs, name))
        cls.secret = os.path.join(cls.work, "secret.exe")
        shutil.copy(support.STUB_EXE, cls.secret)
        cls.database = os.path.join(cls.work, "site.db")
        config = support.write_config(cls.work, {
            "demo": ("stubs/demo.exe", DEMO_URL, "velko-demo-setup.exe"),
            "other": ("stubs/other.exe", OTHER_URL, "velko-other-setup.exe")})
        support.start_site(cls.addClassCleanup, config, ADDRESS, PORT)
        status, _, body = support.get(ADDRESS, PORT, "/download/other")
        assert status == 200, status
        cls.other_id = velko_tag.read_tag(body)[1].decode()

    def request(self, target, method=b"GET"):
        """(status, headers, body, the rows added to downloads, the rows added to info_requests)."""
        before = support.records(self.database)
        status, headers, body = support.get(ADDRESS, PORT, target, method=method)
        after = support.records(self.database)
        added = [list((collections.Counter(a) - collections.Counter(b)).elements()) for a, b in zip(after, before)]
        return status, headers, body, added[0], added[1]

    def test_information_requests(self):
        ours = self.other_id
        cases = [
            # label, query, the reply's URL, the row recorded (session as stored, length, known)
            ("a copy of ours", "?session=" + ours, OTHER_URL, (ours, len(ours), 1)),
            ("ours percent-encoded, after another parameter", "?x=%41&%73ession=" + ours.replace(".", "%2E"),
             OTHER_URL, (ours, len(ours), 1)),
            ("an identifier of the old form", "?session=" + ELSEWHERE_ID, DEMO_URL, (ELSEWHERE_ID, 44, 0)),
            ("ours in lower case", "?session=" + ours.lower(), DEMO_URL, (ours.lower(), len(ours), 0)),
            ("ours with more after it", "?session=" + ours + "A" * 2000, DEMO_URL,
             (ours + "A" * (99 - len(ours)), len(ours) + 2000, 0)),
            ("ours cut short", "?session=" + ours[:-1], DEMO_URL, (ours[:-1], len(ours) - 1, 0)),
            ("binary, percent-encoded", "?session=%00%FF%0D%0A%5C%20<x>", DEMO_URL,
             ("\\x00\\xff\\x0d\\x0a\\x5c\\x20<x>", 9, 0)),
            ("binary, raw bytes", b"?session=\xff\xfe\x01", DEMO_URL, ("\\xff\\xfe\\x01", 3, 0)),
            ("empty", "?session=", DEMO_URL, ("", 0, 0)),
            ("the first of two counts", "?session=%s&session=%s" % (ours, ELSEWHERE_ID), OTHER_URL,
             (ours, len(ours), 1)),
        ]
        for label, query, url, row in cases:
            with self.subTest(label):
                target = INFO.encode() + (query if isinstance(query, bytes) else query.encode())
                status, headers, body, downloads, requests = self.request(target)
                self.assertEqual((status, body), (200, msiurl(url)))
                self.assertEqual(headers["cache-control"], "no-store")
                self.assertEqual((downloads, requests), ([], [row]))

    def test_refusals_change_nothing(self):
        cases = [
            # label, target, method, status
            ("no session parameter", INFO, b"GET", 400),
            ("another parameter only", INFO + "?sessionx=" + self.other_id, b"GET", 400),
            ("information request by POST", INFO + "?session=" + self.other_id, b"POST", 405),
            ("unknown product", "/download/nosuch", b"GET", 404),
            ("product name with a slash after it", "/download/demo/", b"GET", 400),
            ("product's file name", "/download/demo.exe", b"GET", 400),
            ("NUL after the name", "/download/demo%00", b"GET", 400),
            ("backslash", "/download/..%5Csecret", b"GET", 400),
            ("binary campaign", "/download/demo?campaign=%00%FF", b"GET", 400),
            ("campaign with a blank", "/download/demo?campaign=a%20b", b"GET", 400),
            ("campaign longer than a link takes", "/download/demo?campaign=" + "x" * 65, b"GET", 400),
            ("PUT of a download", "/download/demo", b"PUT", 405),
            ("POST of a download", "/download/demo", b"POST", 405),
            ("unknown page", "/download", b"GET", 404),
        ] + [("path: %s" % target, target, b"GET", 400) for target in self.paths_to_secret()]
        for label, target, method, expected in cases:
            with self.subTest(label):
                status, headers, body, downloads, requests = self.request(target, method)
                self.assertEqual(status, expected, body)
                self.assertEqual(headers["content-type"], "text/plain; charset=us-ascii")
                if status == 405:
                    self.assertEqual(headers["allow"], "GET, HEAD")
                self.assertNotIn(b"MZ", body)
                self.assertEqual((downloads, requests), ([], []))

    def test_head_has_the_headers_of_get_and_changes_nothing(self):
        cases = [
            # label, target, status
            ("a download", "/download/other", 200),
            ("a download with a campaign", "/download/demo?campaign=spring", 200),
            ("an information request for a copy of ours", INFO + "?session=" + self.other_id, 200),
            ("an information request for a copy tagged elsewhere", INFO + "?session=" + ELSEWHERE_ID, 200),
            ("no session parameter", INFO, 400),
            ("unknown product", "/download/nosuch", 404),
            ("bad campaign", "/download/demo?campaign=a%20b", 400),
        ]
        for label, target, expected in cases:
            with self.subTest(label):
                before = support.records(self.database)
                status, headers, body = self.raw_head(target)
                self.assertEqual((status, body), (expected, b""))  # nothing after the headers
                self.assertEqual(support.records(self.database), before)  # no identifier, no record
                got_status, got_headers, got_body = support.get(ADDRESS, PORT, target)
                self.assertEqual(got_status, status)
                # GET's headers; Content-Length is the length of the body GET sends.
                for varying in ("date", "connection"):  # the moment's, and how each connection was asked for
                    headers.pop(varying, None), got_headers.pop(varying, None)
                self.assertEqual(headers, got_headers)
                self.assertEqual(int(headers["content-length"]), len(got_body))
                if target.startswith("/download/") and status == 200:
                    self.assertEqual(headers["accept-ranges"], "none")

    @staticmethod
    def raw_head(target):
        """(status, headers as a dict of lower-case names, every byte the server sent after the
        headers) of a HEAD request on a connection the server closes."""
        with support.socket.create_connection((ADDRESS, PORT), timeout=30) as s:
            s.sendall(b"HEAD %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % (target.encode(), ADDRESS.encode()))
            reply = b""
            while True:
                block = s.recv(65536)
                if not block:
                    break
                reply += block
        head, _, rest = reply.partition(b"\r\n\r\n")
        status_line, *lines = head.decode("latin-1").split("\r\n")
        headers = dict((name.lower(), value.strip()) for name, _, value in (line.partition(":") for line in lines))
        return int(status_line.split()[1]), headers, rest

    def paths_to_secret(self):
        """Download links whose product name, taken as a path below the stubs folder the way a
        careless lookup would (folder + name + ".exe"), opens the stub outside that folder: the
        control that shows each refusal guards a real file."""
        links = ["/download/../secret", "/download/..%2Fsecret", "/download/%2E%2E%2Fsecret",
                 "/download/" + self.secret[:-len(".exe")].replace("/", "%2F")]
        for link in links:
            # gunicorn gives the application the path percent-decoded, as WSGI wants.
            name = urllib.parse.unquote(link[len("/download/"):])
            with open(os.path.join(self.stubs, name + ".exe"), "rb") as f:
                self.assertEqual(f.read(2), b"MZ", link)
            self.assertEqual(os.path.realpath(os.path.join(self.stubs, name + ".exe")), self.secret, link)
        return links


if __name__ == "__main__":
    unittest.main()
