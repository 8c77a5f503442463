"""Closing the window while the run can still stop cleanly: one question, then Yes stops the
transfer at once and leaves nothing behind, No changes nothing. While the installer runs, closing is
refused. When the session ends during the download, the stub stops the same way before it answers
WM_ENDSESSION.

The window is closed the ways a user has: the close box and the taskbar's Close (WM_CLOSE and
WM_SYSCOMMAND SC_CLOSE, sent by tests/support/window-probe), Escape and Alt+F4 (keys pressed with
xdotool). The probe also presses the question's buttons and plays Windows' part at a log-off."""
import os
import subprocess
import time

import harness as h

QUESTION = "Do you want to cancel the download?"
PACKAGE_SIZE = 3 << 20
# Slow enough that the close, the question and the answer all come before the body's end: the
# information reply (about 100 bytes) in 4-byte pieces every quarter second, the package in
# 16 KiB pieces every 50 ms (about 10 s).
SLOW_INFO = "trickle:4:0.25"
SLOW_PACKAGE = "trickle:16384:0.05"
INFO_BODY = ('<?xml version="1.0" encoding="utf-8"?>\r\n<DSData>\r\n<MSIURL>%s</MSIURL>\r\n</DSData>\r\n'
             % h.PACKAGE_URL).encode("utf-8")


def probe(*args, timeout=30):
    return subprocess.run([h.WINE, h.WINDOW_PROBE, *args], env=h.wine_env(), timeout=timeout).returncode


def close_window(how):
    """Closes the stub's window as the user would: "close" (the close box: WM_CLOSE), "taskbar"
    (SC_CLOSE), or a key pressed on the focused window ("Escape", "alt+F4")."""
    if how == "close":
        return probe("close")
    if how == "taskbar":
        return probe("sysclose")
    window = h.xdotool("search", "--name", "^Installing$").stdout.split()
    if not window:
        return 1
    h.xdotool("windowfocus", "--sync", window[0])
    return h.xdotool("key", how).returncode


class CancelTest(h.DownloadTestCase):
    def setUp(self):
        super().setUp()
        self.server.add_file("/velko.msi", h.package(PACKAGE_SIZE))

    def requests_to(self, address):
        return [r for r in self.server.requests if r.address == address]

    def wait_for(self, condition, seconds=30):
        deadline = time.time() + seconds
        while time.time() < deadline:
            if condition():
                return True
            time.sleep(0.1)
        return False

    def ended(self, request, seconds=5):
        """How the server's reply to `request` ended, once it has (see stubserver's Request.ending)."""
        self.wait_for(lambda: request.ending, seconds)
        return request.ending

    def assert_nothing_installed(self, run):
        self.assertIsNone(h.fake_msiexec_run(), "the installer ran")
        self.assertEqual(h.reg_export(h.IDS_KEY), {})
        for path in (h.PACKAGE_FILE, h.LOG_FILE):
            self.assertFalse(os.path.exists(path), path)
        # The id file stays: the same copy run again is still attributed.
        self.assertEqual(self.read_id_file(), h.SAMPLE_ID)

    def assert_installed(self):
        self.assertIsNotNone(h.fake_msiexec_run(), "the installer did not run")
        self.assertNotEqual(h.reg_export(h.IDS_KEY), {})

    def run_closing(self, stage, how, answer, after_body=False):
        """Runs the stub, closes its window once `stage` ("info" or "package") is under way (once its
        body has been sent whole, with `after_body`), and answers the question with `answer`. Returns
        the run, the stage's request and the seconds from the answer to the process's end."""
        address = h.INFO_HOST if stage == "info" else h.PACKAGE_HOST
        seen = {}

        def on_start(proc):
            self.assertTrue(self.wait_for(lambda: self.requests_to(address)), "the %s request never came" % stage)
            time.sleep(0.5)
            self.assertEqual(close_window(how), 0, "could not close the window with %s" % how)

        def on_box(index, text):
            if text != QUESTION:
                return False
            if after_body:
                # The download ends while the question is open; the installer waits for the answer.
                request = self.requests_to(address)[-1]
                seen["body"] = self.ended(request, 30)
                time.sleep(1.0)
                seen["installer before answer"] = h.fake_msiexec_run()
            else:
                time.sleep(0.5)  # the transfer goes on meanwhile
            self.assertEqual(probe("answer", answer, "10"), 0, "could not answer the question")
            seen["answered"] = time.time()
            return True

        run = self.run_stub(timeout=90, on_start=on_start, on_box=on_box)
        ended = time.time()
        self.assertIn("answered", seen, "the question never came; boxes: %r" % run.boxes)
        if after_body:
            self.assertEqual(seen["body"], "close", "the body was not sent whole before the answer")
            self.assertIsNone(seen["installer before answer"], "the installer started before the answer")
        return run, self.requests_to(address)[-1], ended - seen["answered"]

    def test_yes_stops_the_transfer_at_once_and_leaves_nothing(self):
        cases = [
            # stage, how the window is closed
            ("info", "close"),
            ("package", "taskbar"),
            ("package", "Escape"),
            ("package", "alt+F4"),
        ]
        for stage, how in cases:
            with self.subTest(stage=stage, how=how):
                self.server.clear_requests()
                self.server.set_behaviour("/velko.msi", SLOW_PACKAGE if stage == "package" else "ok")
                self.server.set_info_reply(INFO_BODY, SLOW_INFO if stage == "info" else "ok")
                h.forget_fake_msiexec_run()
                run, request, after_answer = self.run_closing(stage, how, "yes")
                self.assertEqual(run.boxes, [QUESTION])
                self.assertLess(after_answer, 5.0)
                # The connection went before the body was sent: the server's sending failed.
                self.assertEqual(self.ended(request), "abort")
                self.assertLess(request.bytes_sent, PACKAGE_SIZE if stage == "package" else len(INFO_BODY))
                if stage == "info":
                    self.assertEqual(self.requests_to(h.PACKAGE_HOST), [])
                self.assert_nothing_installed(run)

    def test_no_changes_nothing(self):
        cases = [
            # stage, how, the body ends while the question is open
            ("info", "close", False),
            ("package", "taskbar", False),
            ("package", "close", True),
        ]
        for stage, how, after_body in cases:
            with self.subTest(stage=stage, how=how, after_body=after_body):
                self.server.clear_requests()
                self.server.set_behaviour("/velko.msi", SLOW_PACKAGE if stage == "package" else "ok")
                self.server.set_info_reply(INFO_BODY, SLOW_INFO if stage == "info" else "ok")
                h.forget_fake_msiexec_run()
                h.reg_delete(r"Software\Brondelvik")
                run, request, _ = self.run_closing(stage, how, "no", after_body)
                self.assertEqual(run.boxes, [QUESTION])
                self.assertEqual(self.ended(request), "close")
                self.assertEqual(request.bytes_sent, PACKAGE_SIZE if stage == "package" else len(INFO_BODY))
                self.assert_installed()

    def test_yes_after_the_download_ended_installs_nothing(self):
        self.server.set_behaviour("/velko.msi", SLOW_PACKAGE)
        run, request, after_answer = self.run_closing("package", "close", "yes", after_body=True)
        self.assertEqual(run.boxes, [QUESTION])
        self.assertLess(after_answer, 5.0)
        self.assert_nothing_installed(run)

    def test_closing_is_refused_while_the_installer_runs(self):
        # The stand-in installer waits for an event the test sets once it has tried to close.
        go = h.hold("event", h.FAKE_NAMES["GoEvent"], 60, self)
        with open(h.fake_control_file("WaitEventFile"), "w"):
            pass
        tried = {}

        def on_start(proc):
            self.assertTrue(self.wait_for(lambda: (h.fake_msiexec_run() or {}).get("cmdline"), 60),
                            "the installer never started")
            tried["close"] = probe("close")
            tried["taskbar"] = probe("sysclose")
            time.sleep(1.5)
            tried["window answers"] = probe()
            go.stdin.write("go\n")
            go.stdin.flush()

        run = self.run_stub(timeout=90, on_start=on_start)
        self.assertEqual(tried, {"close": 0, "taskbar": 0, "window answers": 0})
        self.assertEqual(run.boxes, [])
        self.assertEqual(h.fake_msiexec_run().get("event"), "signalled")
        self.assert_installed()

    def test_the_session_ending_during_the_download_leaves_nothing(self):
        # The probe plays Windows at a log-off: WM_QUERYENDSESSION, WM_ENDSESSION, and the process
        # ended as soon as WM_ENDSESSION returned. Whatever the stub leaves for after that stays.
        self.server.set_behaviour("/velko.msi", SLOW_PACKAGE)
        said = {}

        def on_start(proc):
            self.assertTrue(self.wait_for(lambda: self.requests_to(h.PACKAGE_HOST)), "the download never started")
            time.sleep(1.0)
            said["probe"] = probe("endsession")

        run = h.run_exe(self.exe, timeout=60, on_start=on_start)
        self.assertEqual(said, {"probe": 0})
        self.assertEqual(run.boxes, [])
        self.assertEqual(h.run_folders(), [], "the run left its folder in the temp folder")
        request = self.requests_to(h.PACKAGE_HOST)[-1]
        self.assertEqual(self.ended(request), "abort")
        self.assertLess(request.bytes_sent, PACKAGE_SIZE)
        self.assert_nothing_installed(run)


if __name__ == "__main__":
    import unittest
    unittest.main()
