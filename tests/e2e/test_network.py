"""The information request and the package download end to end, against a local server that can
misbehave: which boxes the user sees, whether the installer is started, and that every run ends."""
import os
import unittest

import harness as h

PACKAGE_HOST = "127.0.0.3"
PACKAGE_URL = "http://%s/velko.msi" % PACKAGE_HOST
PACKAGE = bytes(range(256)) * 4096  # 1 MiB


def failed(reason):
    return "The download failed (technical reason: %s)" % reason


class NetworkTest(h.StubTestCase):
    def setUp(self):
        super().setUp()
        h.use_fake_msiexec(self)
        self.addCleanup(h.reg_delete, r"Software\Brondelvik")
        self.server = self.serve([h.INFO_HOST, PACKAGE_HOST])
        self.server.set_msiurl(PACKAGE_URL)
        self.server.add_file("/velko.msi", PACKAGE)
        self.exe = self.tagged_stub()

    def run_stub(self, timeout=120):
        run = h.run_exe(self.exe, timeout=timeout)
        self.assertEqual(run.exit_code, 0)
        return run

    def package_requests(self):
        return [r for r in self.server.requests if r.address == PACKAGE_HOST]

    def test_well_behaved_servers_lead_to_the_install(self):
        run = self.run_stub()
        self.assertEqual(run.boxes, [])
        installer = h.fake_msiexec_run()
        self.assertIsNotNone(installer, "the installer was not started")
        self.assertEqual(installer.get("package-exists"), "1")
        self.assertEqual([r.path for r in self.package_requests()], ["/velko.msi"])
        req = self.package_requests()[0]
        self.assertEqual(req.header("User-Agent"), "Brondelvik Downloader 1.0")
        self.assertEqual(req.header("Accept"), "*/*")

    def test_information_reply_failures(self):
        cases = [
            # name, info reply (None: no information server at all), boxes
            ("no MSIURL element", b"<DSData><URL>http://x/</URL></DSData>", [h.MSIURL_MISSING]),
            ("error page without the element", ("status:500", b""), [h.MSIURL_MISSING]),
            ("empty MSIURL", b"<MSIURL></MSIURL>", ["The download URL was incorrect ()"]),
            ("URL without a scheme", b"<MSIURL>127.0.0.3/velko.msi</MSIURL>",
             ["The download URL was incorrect (127.0.0.3/velko.msi)"]),
            ("host without a path", b"<MSIURL>http://127.0.0.3</MSIURL>",
             ["The download URL was incorrect (http://127.0.0.3)"]),
            ("server cannot be reached", None, [h.SEND_FAILED, h.MSIURL_MISSING]),
        ]
        for name, reply, boxes in cases:
            with self.subTest(name):
                self.server.stop()
                self.server = self.serve([PACKAGE_HOST] if reply is None else [h.INFO_HOST, PACKAGE_HOST])
                self.server.add_file("/velko.msi", PACKAGE)
                if isinstance(reply, tuple):
                    self.server.set_info_reply(b"<html>Internal error</html>", behaviour=reply[0])
                elif reply is not None:
                    self.server.set_info_reply(reply)
                run = self.run_stub()
                self.assertEqual(run.boxes, boxes)
                self.assertEqual(self.package_requests(), [])
                self.assertIsNone(h.fake_msiexec_run())

    def test_package_server_misbehaviour(self):
        size = len(PACKAGE)
        cases = [
            # name, behaviour, boxes, whether the installer starts
            ("connection reset mid-body", "reset", [failed("error 10054")], False),
            ("chunked without Content-Length", "chunked", [failed("no Content-Length")], False),
            ("HTTP error status", "status:404", [failed("HTTP status 404")], False),
            ("body shorter than Content-Length", "short",
             [failed("received %d of %d bytes" % (size // 2, size))], False),
            # The library reads no further than the Content-Length: the package is what was announced.
            ("more bytes than announced", "long", [], True),
            ("empty body, Content-Length 0", "empty", [], True),
            ("slow trickle", "trickle:65536:0.05", [], True),
            ("two invalid responses, then the package", "malformed*2,ok", [], True),
        ]
        for name, behaviour, boxes, installs in cases:
            with self.subTest(name):
                if os.path.exists(h.FAKE_RUN):
                    os.remove(h.FAKE_RUN)
                self.server.clear_requests()
                self.server.set_behaviour("/velko.msi", behaviour)
                run = self.run_stub()
                self.assertEqual(run.boxes, boxes)
                self.assertEqual(h.fake_msiexec_run() is not None, installs)

    def test_invalid_responses_are_retried_five_times_at_most(self):
        self.server.set_behaviour("/velko.msi", "malformed")
        run = self.run_stub()
        self.assertEqual(len(self.package_requests()), 5)
        self.assertEqual(len(run.boxes), 1)
        self.assertIn(run.boxes[0], (failed("error 12152"), failed("The server returned an invalid or unrecognized response")))
        self.assertIsNone(h.fake_msiexec_run())

    def test_each_attempt_recreates_the_package_file(self):
        # A stale, longer file must not survive: after an invalid response the next attempt starts
        # from an empty file. Its error page is then all the file holds (a failed download keeps
        # what it wrote).
        with open(h.PACKAGE_FILE, "wb") as f:
            f.write(b"\xee" * (len(PACKAGE) * 2))
        self.server.set_behaviour("/velko.msi", "malformed,status:404")
        run = self.run_stub()
        self.assertEqual(run.boxes, [failed("HTTP status 404")])
        self.assertEqual(len(self.package_requests()), 2)
        with open(h.PACKAGE_FILE, "rb") as f:
            content = f.read()
        self.assertLess(len(content), 1000)
        self.assertNotIn(b"\xee", content)
        self.assertIsNone(h.fake_msiexec_run())

    def test_package_file_that_cannot_be_created(self):
        os.makedirs(h.PACKAGE_FILE)  # a folder in the way of the file
        self.addCleanup(os.rmdir, h.PACKAGE_FILE)
        run = self.run_stub()
        # The system's own text for the error, shown at once; no request, no retry, no install.
        self.assertEqual(len(run.boxes), 1)
        self.assertNotIn("The download failed", run.boxes[0])
        self.assertTrue(run.boxes[0].strip(), "no system text")
        self.assertEqual(self.package_requests(), [])
        self.assertIsNone(h.fake_msiexec_run())

    def test_package_server_not_listening(self):
        self.server.stop()
        self.server = self.serve([h.INFO_HOST])
        self.server.set_msiurl(PACKAGE_URL)
        run = self.run_stub()
        self.assertEqual(len(run.boxes), 1)
        self.assertTrue(run.boxes[0].startswith("The download failed (technical reason: "), run.boxes)
        self.assertIsNone(h.fake_msiexec_run())

    def test_what_path_arrives_at_which_port(self):
        cases = [
            ("explicit port", "http://127.0.0.3:8080/velko.msi", "/velko.msi"),
            ("https scheme", "https://127.0.0.3/velko.msi", "/velko.msi"),
            ("query and fragment", "http://127.0.0.3/velko.msi?v=2&x=1#frag", "/velko.msi?v=2&x=1%23frag"),
        ]
        for name, url, path in cases:
            with self.subTest(name):
                self.server.clear_requests()
                self.server.set_msiurl(url)
                self.server.add_file(path, PACKAGE)
                run = self.run_stub()
                self.assertEqual(run.boxes, [])
                self.assertEqual([(r.port, r.path) for r in self.package_requests()], [(80, path)])


if __name__ == "__main__":
    unittest.main()
