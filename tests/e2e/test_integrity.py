"""What is installed is what the publisher published: the information reply may pin the package
with its SHA-256 (<MSISHA256>) and its length (<MSISIZE>), and the stub checks both before anything
runs. Each case checks the boxes, whether the installer ran (and on which bytes), what the package
server saw, and that the run left nothing behind."""
import hashlib
import os
import shutil
import subprocess
import tempfile
import time
import unittest

import harness as h

NOT_PUBLISHED = h.failed("the package on the server is not the one published")
DAMAGED = "The download information is damaged"
DEMO_MSI = os.path.join(os.environ.get("VELKO_BUILD", ""), "tests", "demo-package", "velko-demo.msi")
DEMO_SOURCES = os.path.join(h.ROOT, "tools", "demo-package")


def reply(url=h.PACKAGE_URL, digest=None, size=None):
    """An information reply naming `url`, with the digest and the length as given (str or None)."""
    body = "<DSData><MSIURL>%s</MSIURL>" % url
    if digest is not None:
        body += "<MSISHA256>%s</MSISHA256>" % digest
    if size is not None:
        body += "<MSISIZE>%s</MSISIZE>" % size
    return (body + "</DSData>").encode()


@unittest.skipUnless(os.path.exists(DEMO_MSI) and shutil.which("wixl"), "demo package not built (wixl missing)")
class IntegrityTest(h.DownloadTestCase):
    @classmethod
    def setUpClass(cls):
        # Two valid installer packages of one length: wixl gives every build of the demo a new
        # product code, so a second build of the same source differs in its bytes only.
        with open(DEMO_MSI, "rb") as f:
            cls.published = f.read()
        folder = tempfile.mkdtemp(prefix="velko-other-msi-")
        try:
            for name in ("velko-demo.exe", "readme.txt", "media.bin"):
                shutil.copy(os.path.join(os.path.dirname(DEMO_MSI), name), folder)
            subprocess.run(["wixl", "-a", "x86", "-o", "other.msi", os.path.join(DEMO_SOURCES, "velko-demo.wxs")],
                           cwd=folder, check=True, capture_output=True)
            with open(os.path.join(folder, "other.msi"), "rb") as f:
                cls.other = f.read()
        finally:
            shutil.rmtree(folder, True)
        assert len(cls.other) == len(cls.published) and cls.other != cls.published, "no same-length other package"
        cls.digest = hashlib.sha256(cls.published).hexdigest()

    def installed(self):
        """The SHA-256 of the package the installer was started on, or None when it never ran."""
        run = h.fake_msiexec_run()
        return run and run["package-sha256"]

    def test_published_digest_and_length(self):
        cases = [
            # name, reply's digest, reply's length, the body served, what the installer gets
            ("both right", self.digest, str(len(self.published)), self.published, self.digest),
            ("digest in capitals, length with leading zeros", self.digest.upper(), "000" + str(len(self.published)),
             self.published, self.digest),
            ("neither published: as before", None, None, self.published, self.digest),
            ("swapped for another package of the same length", self.digest, str(len(self.published)), self.other,
             None),
            ("swapped, and only the digest published", self.digest, None, self.other, None),
        ]
        for name, digest, size, body, installed in cases:
            with self.subTest(name):
                h.forget_fake_msiexec_run()
                self.server.set_info_reply(reply(digest=digest, size=size))
                self.server.add_file("/velko.msi", body)
                run = self.run_stub()
                self.assertEqual(run.boxes, [] if installed else [NOT_PUBLISHED])
                self.assertEqual(self.installed(), installed)

    def test_length_other_than_published_ends_at_the_headers(self):
        big = h.package(16 << 20)
        self.server.set_info_reply(reply(digest=hashlib.sha256(big).hexdigest(), size=str(len(big) - 512)))
        self.server.add_file("/velko.msi", big)
        run = self.run_stub()
        self.assertEqual(run.boxes, [NOT_PUBLISHED])
        self.assertIsNone(self.installed())
        requests = self.package_requests()
        self.assertEqual(len(requests), 1)  # a permanent failure: no second attempt
        # The stub stopped at the headers: what the server got out is what the sockets' buffers took,
        # far from the whole body.
        self.assertLess(requests[0].bytes_sent, len(big) // 2)

    def test_package_of_4_gib_or_more_is_refused_at_the_headers(self):
        # A sparse file on the server's side: 5 GB announced in the Content-Length, none of it on disk.
        path = os.path.join(self.work, "huge.msi")
        with open(path, "wb") as f:
            f.truncate(5000000000)
        self.server.add_file("/velko.msi", path)
        run = self.run_stub()
        self.assertEqual(run.boxes, [h.failed("the package is 4 GiB or larger")])
        self.assertIsNone(self.installed())
        self.assertLess(self.package_requests()[0].bytes_sent, 1 << 30)

    def test_damaged_pin_asks_for_no_package(self):
        cases = [
            ("digest one digit short", self.digest[1:], None),
            ("digest with a letter that is no hex digit", "x" + self.digest[1:], None),
            ("length that is not a plain number", None, "115,200"),
            ("length beyond 64 bits", None, "18446744073709551616"),
        ]
        self.server.add_file("/velko.msi", self.published)
        for name, digest, size in cases:
            with self.subTest(name):
                h.forget_fake_msiexec_run()
                self.server.clear_requests()
                self.server.set_info_reply(reply(digest=digest, size=size))
                run = self.run_stub()
                self.assertEqual(run.boxes, [DAMAGED])
                self.assertEqual(self.package_requests(), [])
                self.assertIsNone(self.installed())

    def test_dropped_resumed_and_checked(self):
        # The digest is taken as the bytes are written: it must cover exactly the file's bytes, the
        # part kept from the dropped attempt and the resumed rest. A server that changes the package
        # between the attempts without changing its validator (a mirror updated in place) gives a
        # file of old and new bytes: caught by the digest, and not installed.
        cases = [
            # name, the body the resumed request is answered from, what the installer gets
            ("the same package: installed", self.published, self.digest),
            ("another package's rest: refused", self.other, None),
        ]
        for name, rest, installed in cases:
            with self.subTest(name):
                h.forget_fake_msiexec_run()
                self.server.clear_requests()
                self.server.set_info_reply(reply(digest=self.digest, size=str(len(self.published))))
                self.server.add_file("/velko.msi", self.published, "reset:1000000")

                def swap_after_the_first_request(process):
                    deadline = time.time() + 30
                    while time.time() < deadline and not self.package_requests():
                        time.sleep(0.02)
                    # Same ETag and date as before: the resumed range is taken.
                    self.server.add_file("/velko.msi", rest, "ok")

                run = self.run_stub(on_start=swap_after_the_first_request)
                self.assertEqual(run.boxes, [] if installed else [NOT_PUBLISHED])
                self.assertEqual(self.installed(), installed)
                ranges = [r.header("Range") for r in self.package_requests()]
                self.assertEqual(len(ranges), 2)
                self.assertIsNone(ranges[0])
                self.assertRegex(ranges[1] or "", r"^bytes=[1-9]\d*-$")

    def test_control_unchecked_swap_is_installed(self):
        # Without a published digest the same swap goes through to the installer: the check above
        # is what stops it.
        self.server.set_info_reply(reply(size=str(len(self.published))))
        self.server.add_file("/velko.msi", self.other)
        run = self.run_stub()
        self.assertEqual(run.boxes, [])
        self.assertEqual(self.installed(), hashlib.sha256(self.other).hexdigest())


if __name__ == "__main__":
    unittest.main()
