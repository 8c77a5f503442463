"""The report at the end of a run: one GET /outcome on the information server's host with the outcome,
its detail, the stub's version and architecture and the identifier, and nothing else; sent only once
the last box has been answered, and never holding up the end of the run for more than its limit."""
import hashlib
import http.client
import os
import socket
import time
import unittest

import harness as h

RESTART = "Restart your computer to finish the installation."
NOT_PUBLISHED = h.failed("the package on the server is not the one published")
PACKAGE = h.package(4096)
# Nothing listens there: every attempt of the download is refused.
CLOSED_PACKAGE_URL = "http://127.0.0.4/velko.msi"
# How long the tests hold each box open before answering it: a report sent while a box is up would
# arrive meanwhile.
BOX_HOLD_SECONDS = 1.5
# The stub's own limit for the report, and what the tests allow on top of it for Wine's start and end
# of a process.
REPORT_LIMIT_SECONDS = 3
MARGIN_SECONDS = 2


def reply(url=h.PACKAGE_URL, digest=None):
    body = "<DSData><MSIURL>%s</MSIURL>" % url
    if digest:
        body += "<MSISHA256>%s</MSISHA256>" % digest
    return (body + "</DSData>").encode()


class OutcomeTest(h.DownloadTestCase):
    def setUp(self):
        super().setUp()
        self.server.add_file("/velko.msi", PACKAGE)

    def run_holding_boxes(self):
        """Runs the copy, holding each box open for a while; returns the run, the times the boxes
        appeared, and the number of reports that had arrived by the time each box was answered."""
        shown, reports_while_shown = [], []

        def on_box(index, text):
            shown.append(time.time())
            time.sleep(BOX_HOLD_SECONDS)
            reports_while_shown.append(len(h.outcome_reports(self.server)))

        run = self.run_stub(on_box=on_box)
        ended = time.time()
        return run, shown, reports_while_shown, ended

    def the_one_report(self):
        reports = h.outcome_reports(self.server)
        self.assertEqual(len(reports), 1, [r.path for r, _ in reports])
        return reports[0]

    def test_each_way_a_run_ends_is_reported_once_after_the_last_box(self):
        cases = [
            # name, set-up, boxes, outcome, detail
            ("installed", lambda: None, [], "installed", ""),
            ("installer ends with 1603", lambda: self.exit_codes("1603"), [], "installer-failed", "1603"),
            ("installed, restart needed", lambda: self.exit_codes("3010"), [RESTART], "installed-restart-needed",
             "3010"),
            ("package whose digest differs",
             lambda: self.server.set_info_reply(reply(digest=hashlib.sha256(b"another package").hexdigest())),
             [NOT_PUBLISHED], "not-published", "digest"),
            ("information request answered with 404",
             lambda: self.server.set_info_reply(reply(), "status:404"), [h.MSIURL_MISSING], "info-failed", "http-404"),
            ("reply without a package URL", lambda: self.server.set_info_reply(b"<DSData></DSData>"),
             [h.MSIURL_MISSING], "no-package-url", "missing"),
            ("download refused: nothing listens", lambda: self.server.set_msiurl(CLOSED_PACKAGE_URL), None,
             "download-failed", "connect"),
            ("download answered with 500", lambda: self.server.set_behaviour("/velko.msi", "status:500"),
             [h.failed("HTTP status 500")], "download-failed", "http-500"),
        ]
        for name, prepare, boxes, outcome, detail in cases:
            with self.subTest(name):
                self.server.set_msiurl(h.PACKAGE_URL)
                self.server.set_behaviour("/velko.msi", "ok")
                self.exit_codes("0")
                h.forget_fake_msiexec_run()
                self.server.clear_requests()
                prepare()
                run, shown, reports_while_shown, _ = self.run_holding_boxes()
                if boxes is None:
                    self.assert_one_failure_box(run)
                else:
                    self.assertEqual(run.boxes, boxes)
                request, query = self.the_one_report()
                information = [r for r in self.server.requests if r.path.startswith("/WebGetDSData.qdx?")]
                # The outcome, the version of the user agent, the architecture, and the identifier
                # exactly as the information request sent it: nothing else.
                version = information[0].header("User-Agent").rpartition(" ")[2]
                self.assertEqual(query, [("outcome", outcome), ("detail", detail), ("version", version),
                                         ("arch", h.ARCH), ("session", h.SAMPLE_ID.decode())])
                self.assertEqual(information[0].path.partition("session=")[2], h.SAMPLE_ID.decode())
                self.assertEqual((request.address, request.port), (h.INFO_HOST, 80))
                # The same headers as the information request: nothing added (no cookie, no logon).
                self.assertEqual(sorted(k.lower() for k, _ in request.headers),
                                 sorted(k.lower() for k, _ in information[0].headers))
                # Last of all, and not while a box was up.
                self.assertIs(self.server.requests[-1], request)
                self.assertEqual(reports_while_shown, [0] * len(run.boxes))
                if shown:
                    self.assertGreater(request.time, shown[-1] + BOX_HOLD_SECONDS)

    def exit_codes(self, codes):
        with open(h.fake_control_file("ExitCodeFile"), "w") as f:
            f.write(codes)

    def test_a_report_that_is_never_answered_does_not_hold_up_the_end(self):
        cases = [
            # name, the information reply's behaviour, boxes
            ("installed run, no box", "ok", []),
            ("run that ends with a box", "status:404", [h.MSIURL_MISSING]),
        ]
        h.serve_outcomes(self.server, "hang")
        for name, info_behaviour, boxes in cases:
            with self.subTest(name):
                self.server.clear_requests()
                self.server.set_msiurl(h.PACKAGE_URL, info_behaviour)
                run, shown, _, ended = self.run_holding_boxes()
                self.assertEqual(run.boxes, boxes)
                request, query = self.the_one_report()
                # The limit counts from before the request left; the box was answered before it did.
                self.assertLess(ended - request.time, REPORT_LIMIT_SECONDS + MARGIN_SECONDS)
                if shown:
                    self.assertLess(ended - shown[-1], BOX_HOLD_SECONDS + 2 + REPORT_LIMIT_SECONDS + MARGIN_SECONDS)
                self.assertEqual(h.run_folders(), [])

        # Control: the same server holds a client without a limit of its own well past the stub's.
        client = http.client.HTTPConnection(h.INFO_HOST, 80, timeout=REPORT_LIMIT_SECONDS + MARGIN_SECONDS + 1)
        started = time.time()
        with self.assertRaises(socket.timeout):
            client.request("GET", h.OUTCOME_PATH + "?outcome=installed")
            client.getresponse()
        client.close()
        self.assertGreater(time.time() - started, REPORT_LIMIT_SECONDS + MARGIN_SECONDS)


if __name__ == "__main__":
    unittest.main()
