"""Downloads that survive real networks, end to end: transient ends (a dropped connection, a body cut
short, a busy server, a refused connection) are tried again, at most five attempts in all, a pause
apart; once part of the package is in the file, the next attempt asks only for the rest, and takes
it only when the answer continues the file exactly. Each case checks what the user sees, the package
the installer got (its SHA-256), the requests the server saw and their ranges, and the run's time."""
import hashlib
import re
import time
import unittest

import harness as h

SIZE = 3 << 20
PACKAGE = h.PACKAGE_SIGNATURE + bytes((i * 7919 + (i >> 12)) & 0xFF for i in range(SIZE - 8))
PACKAGE_SHA256 = hashlib.sha256(PACKAGE).hexdigest()
ETAG = '"velko-1"'
RESUME = "resume"  # a Range that asks for the rest of what arrived before (see assert_ranges)
DATE = "Tue, 14 Nov 2023 22:13:21 GMT"  # the local server's Last-Modified for version 1


class ResumeTest(h.DownloadTestCase):
    def assert_installed(self, run):
        self.assertEqual(run.boxes, [])
        installer = h.fake_msiexec_run()
        self.assertIsNotNone(installer, "the installer was not started")
        self.assertEqual(installer["package-sha256"], PACKAGE_SHA256)

    def assert_ranges(self, expected):
        """The package requests' (Range, If-Range), with RESUME for "bytes=N-" where N is what the
        stub kept of the bytes sent so far: more than the previous start, and no more than the
        server sent. (How much of a dropped transfer's last piece a client keeps is the library's
        affair: Wine's keeps whole 256 KiB reads only.)"""
        requests = self.package_requests()
        self.assertEqual([(RESUME if r.header("Range") else None, r.header("If-Range")) for r in requests],
                         expected)
        start, sent = 0, 0
        for request in requests:
            match = re.fullmatch(r"bytes=(\d+)-", request.header("Range") or "bytes=0-")
            self.assertIsNotNone(match, request.header("Range"))
            n = int(match.group(1))
            if n:
                self.assertTrue(start < n <= sent, (start, n, sent))
            start, sent = n, n + request.bytes_sent

    def test_transient_ends_are_resumed_or_restarted(self):
        cases = [
            # name, behaviour, validators sent, (Range, If-Range) of each request
            ("dropped twice, resumed twice", "reset:1000000,reset:700000,ok", "both",
             [(None, None), (RESUME, ETAG), (RESUME, ETAG)]),
            ("body cut short (FIN), resumed", "short:1000000,ok", "both",
             [(None, None), (RESUME, ETAG)]),
            ("only Last-Modified: the date makes the range conditional", "reset:1000000,ok", "date",
             [(None, None), (RESUME, DATE)]),
            # A range without a validator could join two packages of one length: from zero.
            ("no validator: started again from zero", "reset:1000000,ok", "none",
             [(None, None), (None, None)]),
            ("the server ignores ranges: its 200 starts the file again", "reset:1000000,norange", "both",
             [(None, None), (RESUME, ETAG)]),
            ("the package changed between attempts: a 200 starts again", "reset:1000000,changed", "both",
             [(None, None), (RESUME, ETAG)]),
            ("a range with the wrong start: from zero next time", "reset:1000000,badrange:start,ok", "both",
             [(None, None), (RESUME, ETAG), (None, None)]),
            ("a range with the wrong total: from zero next time", "reset:1000000,badrange:total,ok", "both",
             [(None, None), (RESUME, ETAG), (None, None)]),
            ("a 206 without Content-Range: from zero next time", "reset:1000000,badrange:none,ok", "both",
             [(None, None), (RESUME, ETAG), (None, None)]),
            ("range not satisfiable: from zero next time", "reset:1000000,status:416,ok", "both",
             [(None, None), (RESUME, ETAG), (None, None)]),
        ]
        for name, behaviour, validators, ranges in cases:
            with self.subTest(name):
                h.forget_fake_msiexec_run()
                self.server.clear_requests()
                self.server.add_file("/velko.msi", PACKAGE, behaviour, validators=validators)
                run = self.run_stub()
                self.assert_installed(run)
                self.assert_ranges(ranges)
                # The pauses (1, then 2 seconds) and three transfers of 3 MB on loopback.
                self.assertLess(run.elapsed, 30)

    def test_busy_server_is_waited_for_as_it_asks_while_the_window_stays_alive(self):
        self.server.add_file("/velko.msi", PACKAGE, "status:503:3,ok")
        answers = []

        def probe(process):
            deadline = time.time() + 30
            while time.time() < deadline and not self.package_requests():
                time.sleep(0.1)
            time.sleep(1.5)  # within the pause
            answers.append(h.probe_window())

        run = self.run_stub(on_start=probe)
        self.assert_installed(run)
        requests = self.package_requests()
        self.assertEqual(len(requests), 2)
        self.assertGreaterEqual(requests[1].time - requests[0].time, 2.9)  # Retry-After, not the 1 s pause
        self.assertEqual(answers, [0])

    def test_connection_refused_once_then_accepted(self):
        self.server.stop()
        info = self.serve([h.INFO_HOST])
        info.set_msiurl(h.PACKAGE_URL)
        packages = h.StubServer([h.PACKAGE_HOST])
        packages.add_file("/velko.msi", PACKAGE)
        self.addCleanup(packages.stop)

        def listen_after_the_first_attempt(process):
            deadline = time.time() + 30
            while time.time() < deadline and not info.requests:
                time.sleep(0.05)
            time.sleep(0.5)  # the first attempt is refused; the next comes a second later
            packages.start()

        run = self.run_stub(on_start=listen_after_the_first_attempt)
        self.assert_installed(run)
        self.assertEqual(len(packages.requests), 1)

    def test_five_attempts_at_most_then_the_one_failure_box(self):
        self.server.add_file("/velko.msi", PACKAGE, "reset:300000")
        run = self.run_stub()
        self.assert_one_failure_box(run)
        self.assertIsNone(h.fake_msiexec_run())
        self.assert_ranges([(None, None)] + [(RESUME, ETAG)] * 4)
        self.assertGreater(run.elapsed, 14)  # 1 + 2 + 4 + 8 seconds of pauses
        self.assertLess(run.elapsed, 40)


if __name__ == "__main__":
    unittest.main()
