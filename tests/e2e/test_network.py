"""The information request and the package download end to end, against a local server that can
misbehave: which boxes the user sees, whether the installer is started, that every run ends, and
that it leaves nothing in the temp folder."""
import os
import subprocess
import threading
import time
import unittest

import harness as h

PACKAGE = h.package(1 << 20)
NOT_A_PACKAGE = "the file received is not an installer package"
CHANGED = "the package file was changed after the download"
PACKAGE_HOLDER = os.path.join(os.environ.get("VELKO_BUILD", ""), "tests", "package-holder.exe")
failed = h.failed


class NetworkTest(h.DownloadTestCase):
    def setUp(self):
        super().setUp()
        self.server.add_file("/velko.msi", PACKAGE)

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
                self.server = self.serve([h.PACKAGE_HOST] if reply is None else [h.INFO_HOST, h.PACKAGE_HOST])
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
        # Dropped and cut-short transfers, and the retries, are test_resume.py's.
        cases = [
            # name, behaviour, boxes, whether the installer starts, package requests
            ("chunked without Content-Length", "chunked", [failed("no Content-Length")], False, 1),
            ("HTTP error status", "status:404", [failed("HTTP status 404")], False, 1),
            # The library reads no further than the Content-Length: the package is what was announced.
            ("more bytes than announced", "long", [], True, 1),
            ("empty body, Content-Length 0", "empty", [failed(NOT_A_PACKAGE)], False, 1),
            ("slow trickle", "trickle:65536:0.05", [], True, 1),
            ("two invalid responses, then the package", "malformed*2,ok", [], True, 3),
        ]
        for name, behaviour, boxes, installs, requests in cases:
            with self.subTest(name):
                h.forget_fake_msiexec_run()
                self.server.clear_requests()
                self.server.set_behaviour("/velko.msi", behaviour)
                run = self.run_stub()
                self.assertEqual(run.boxes, boxes)
                self.assertEqual(h.fake_msiexec_run() is not None, installs)
                self.assertEqual(len(self.package_requests()), requests)

    def test_invalid_responses_are_retried_five_times_at_most(self):
        self.server.set_behaviour("/velko.msi", "malformed")
        run = self.run_stub()
        self.assertEqual(len(self.package_requests()), 5)
        self.assertGreater(run.elapsed, 14)  # 1 + 2 + 4 + 8 seconds of pauses
        self.assertEqual(len(run.boxes), 1)
        self.assertIn(run.boxes[0], (failed("error 12152"), failed("The server returned an invalid or unrecognized response")))
        self.assertIsNone(h.fake_msiexec_run())

    def test_files_of_the_same_names_in_the_temp_folder_are_neither_used_nor_touched(self):
        # Planted by someone else, or left by an older version: a run uses its own folder.
        planted = {h.PACKAGE_FILE: b"\xee" * 4096, h.LOG_FILE: b"planted log"}
        for path, data in planted.items():
            with open(path, "wb") as f:
                f.write(data)
            os.utime(path, (1000000000, 1000000000))
        run = self.run_stub()
        self.assertEqual(run.boxes, [])
        installer = h.fake_msiexec_run()
        self.assertNotEqual(installer["package"].lower(), h.to_windows_path(h.PACKAGE_FILE).lower())
        self.assertTrue(installer["package"].endswith("\\" + h.PACKAGE_NAME), installer["package"])
        for path, data in planted.items():
            with open(path, "rb") as f:
                self.assertEqual(f.read(), data)
            self.assertEqual(os.stat(path).st_mtime, 1000000000)

    def test_two_runs_at_once_both_install(self):
        second = self.tagged_stub(b"SECOND-RUN", name="second.exe")
        self.server.set_behaviour("/velko.msi", "trickle:65536:0.02")  # long enough to overlap
        runs = {}
        threads = [threading.Thread(target=lambda exe=exe: runs.setdefault(exe, h.run_exe(exe)))
                   for exe in (self.exe, second)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual([(r.exit_code, r.boxes) for r in runs.values()], [(0, []), (0, [])])
        self.assertEqual(len(self.package_requests()), 2)
        self.assertEqual(h.run_folders(), [])

    def test_a_page_served_as_the_package_is_not_installed(self):
        # A captive portal's page or an error page sent with status 200 and a correct length.
        self.server.add_file("/velko.msi", b"<html><body>Please log in to the hotel network</body></html>")
        run = self.run_stub()
        self.assertEqual(run.boxes, [failed(NOT_A_PACKAGE)])
        self.assertIsNone(h.fake_msiexec_run())

    def test_package_server_not_listening(self):
        self.server.stop()
        self.server = self.serve([h.INFO_HOST])
        self.server.set_msiurl(h.PACKAGE_URL)
        run = self.run_stub()
        self.assert_one_failure_box(run)
        self.assertIsNone(h.fake_msiexec_run())

    def test_what_path_arrives_at_which_port(self):
        self.server.stop()
        self.server = self.serve([h.INFO_HOST, h.PACKAGE_HOST])
        other_port = self.serve([h.PACKAGE_HOST], port=8080)
        for server in (self.server, other_port):
            server.add_file("/velko.msi", PACKAGE)
            server.add_file("/velko.msi?v=2&x=1%23frag", PACKAGE)
        cases = [
            # name, package URL, (port, path) the package server saw
            ("explicit port", "http://127.0.0.3:8080/velko.msi", (8080, "/velko.msi")),
            ("query and fragment", "http://127.0.0.3/velko.msi?v=2&x=1#frag", (80, "/velko.msi?v=2&x=1%23frag")),
        ]
        for name, url, seen in cases:
            with self.subTest(name):
                self.server.clear_requests()
                other_port.clear_requests()
                self.server.set_msiurl(url)
                run = self.run_stub()
                self.assertEqual(run.boxes, [])
                requests = self.package_requests() + other_port.requests
                self.assertEqual([(r.port, r.path) for r in requests], [seen])

    def test_a_scanner_holding_the_fresh_package(self):
        # A real-time scanner opens the new package with write access the moment the download closes
        # it: the stub waits about two seconds for it before taking the file for changed.
        cases = [
            # name, how long the stand-in scanner holds the package (ms), boxes
            ("held for a second: waited for, then installed", 1000, []),
            ("held for longer than the wait: changed", 4000, [failed(CHANGED)]),
        ]
        for name, hold_ms, boxes in cases:
            with self.subTest(name):
                run = self.run_with_package_held(hold_ms)
                self.assertEqual(run.exit_code, 0)
                self.assertEqual(run.boxes, boxes)
                self.assertEqual(h.fake_msiexec_run() is not None, not boxes)
                if not boxes:
                    self.assertEqual(h.run_folders(), [])

    def run_with_package_held(self, hold_ms):
        """Runs the stub while the stand-in scanner takes its package as soon as it can. Whether the
        scanner gets it before the stub holds it is a race (the stub reopens it at once); the run
        is repeated until it does. On a busy machine the scanner may also get it only after the run
        has installed and released it: it then says "late" (the installer's record was already
        there), and that run does not count either."""
        for _ in range(6):
            h.forget_fake_msiexec_run()
            holder = subprocess.Popen([h.WINE, PACKAGE_HOLDER, h.WINDOWS_TEMP_DIR, h.PACKAGE_NAME,
                                       str(len(PACKAGE)), str(hold_ms), h.to_windows_path(h.FAKE_RUN)],
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=h.wine_env())
            # Not run_stub: in the control the scanner still holds the package (delete pending) when
            # the run removes its folder, which then stays; setUp removes it.
            run = h.run_exe(self.exe)
            said = holder.communicate(timeout=60)[0].decode().strip()
            if said == "held":
                return run
        self.fail("the stand-in scanner never had the package before the stub held it")

    def test_information_request_keeps_the_window_alive_and_ends_within_a_minute(self):
        # A server that trickles its reply, a byte a second: the request is abandoned after 60 s,
        # and all the while the window answers.
        self.server.set_info_reply(b" " * 200 + b"<MSIURL>%s</MSIURL>" % h.PACKAGE_URL.encode(), "trickle:1:1")
        answers = []

        def probe(process):
            deadline = time.time() + 30
            while time.time() < deadline and not self.server.requests:
                time.sleep(0.2)
            for _ in range(3):
                time.sleep(2)
                answers.append(h.probe_window())

        run = self.run_stub(timeout=120, on_start=probe)
        self.assertEqual(answers, [0, 0, 0])
        self.assertEqual(run.boxes, [h.RECEIVE_FAILED, h.MSIURL_MISSING])
        # The whole reply would take about 230 s; the run's end adds its two boxes and the outcome
        # report (at most 3 s), and Wine's start on a busy machine.
        self.assertLess(run.elapsed, 100)
        self.assertEqual(self.package_requests(), [])

    def test_information_reply_is_read_up_to_one_mebibyte(self):
        element = b"<MSIURL>%s</MSIURL>" % h.PACKAGE_URL.encode()
        cases = [
            # name, reply, installs
            ("element within the first MiB of 5 MB", element + b" " * (5 << 20), True),
            ("element after the first MiB", b" " * ((1 << 20) + 10) + element + b" " * (4 << 20), False),
        ]
        for name, reply, installs in cases:
            with self.subTest(name):
                h.forget_fake_msiexec_run()
                self.server.set_info_reply(reply)
                run = self.run_stub()
                self.assertEqual(run.boxes, [] if installs else [h.MSIURL_MISSING])
                self.assertEqual(h.fake_msiexec_run() is not None, installs)


if __name__ == "__main__":
    unittest.main()
