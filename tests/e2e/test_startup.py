"""Start-up stages end to end: the tag at the end of the stub's own file, the id file, the
identifier in the information request, and the message of each failure."""
import os
import unittest

import harness as h

TAG_MISSING = ("This installer is damaged, please try to download it again. "
               "(technical reason: magic not found)")
EXTRACT_FAILED = "The installer failed to extract the download-id"
WRITE_FAILED = "The installer failed to write the download-id"


class TagTest(h.StubTestCase):
    def setUp(self):
        super().setUp()
        # The information server answers without a package URL: a run that gets past the
        # start-up stages ends with that one message and no download.
        self.server = self.serve()
        self.server.set_info_reply(b"<DSData></DSData>")
        h.serve_outcomes(self.server)

    def reports(self):
        """The (outcome, detail, session) of each outcome report the server received."""
        return [(dict(query)["outcome"], dict(query)["detail"], dict(query)["session"])
                for _, query in h.outcome_reports(self.server)]

    def test_tag_variants(self):
        # The rules of the trailer are a unit test's table (tests/unit/tag_test.cpp); these runs show
        # each outcome reaching the user and the identifier reaching the id file and the request.
        exe = self.stub_bytes
        n = len(exe)
        cases = [
            # name, file bytes, boxes, id file content (None: no file), session sent (None: no request)
            ("untagged", exe, [TAG_MISSING], None, None),
            ("tool-tagged", None, [h.MSIURL_MISSING], h.SAMPLE_ID, h.SAMPLE_ID.decode()),
            ("blank, ampersand and a zero byte: sent as they are, up to the zero",
             h.tag_bytes(exe, b"A B&C=1\x00tail"), [h.MSIURL_MISSING], b"A B&C=1\x00tail", "A%20B&C=1"),
            # No id file is made for an identifier that cannot be read (one stored earlier stays:
            # the unit test's table).
            ("length runs past the end of the file", exe + b"SHORT" + h.pack_trailer(n, 40),
             [EXTRACT_FAILED], None, None),
        ]
        for name, data, boxes, id_file, session in cases:
            with self.subTest(name):
                self.server.clear_requests()
                if os.path.exists(h.ID_FILE):
                    os.remove(h.ID_FILE)
                path = self.tagged_stub() if data is None else self.write_stub(data)
                run = h.run_exe(path)
                self.assertEqual(run.exit_code, 0)
                self.assertEqual(run.boxes, boxes)
                if id_file is None:
                    self.assertFalse(os.path.exists(h.ID_FILE))
                else:
                    self.assertEqual(self.read_id_file(), id_file)
                paths = [r.path for r in self.server.requests if not r.path.startswith(h.OUTCOME_PATH + "?")]
                if session is None:
                    self.assertEqual(paths, [])
                    self.assertEqual(self.reports(), [])  # no identifier: nothing to report
                else:
                    self.assertEqual(paths, ["/WebGetDSData.qdx?session=" + session])
                    self.assertEqual(self.server.requests[0].header("User-Agent"), "Brondelvik Downloader 1.0")
                    # The report carries the identifier exactly as the information request did.
                    self.assertEqual(self.reports(), [("no-package-url", "missing", session)])

    def test_id_file_that_cannot_be_written(self):
        os.makedirs(h.ID_FILE)  # a folder in the way of the file
        self.addCleanup(os.rmdir, h.ID_FILE)
        run = h.run_exe(self.tagged_stub())
        self.assertEqual((run.exit_code, run.boxes), (0, [WRITE_FAILED]))
        # No information request; the identifier was read, so the way the run ended is reported.
        self.assertEqual([r.path.partition("?")[0] for r in self.server.requests], [h.OUTCOME_PATH])
        self.assertEqual(self.reports(), [("file-error", "id-file", h.SAMPLE_ID.decode())])

    def test_id_file_held_open_by_another_program(self):
        # A scanner or a backup tool has the id file of an earlier run open (read access, every kind
        # of sharing) while the stub runs: the file is still rewritten, the longer old identifier
        # replaced, not appended to. (Deleted first and created anew, or opened without sharing, it
        # ends the run with the write-failure box here. That a hidden id file is replaced, which
        # Windows allows only when the same attributes are asked for, Wine cannot show: it replaces
        # a hidden file either way.)
        os.makedirs(os.path.dirname(h.ID_FILE), exist_ok=True)
        with open(h.ID_FILE, "wb") as f:
            f.write(b"E" * 200)
        h.hold("file", h.WINDOWS_ID_FILE, 60, self)
        run = h.run_exe(self.tagged_stub())
        self.assertEqual((run.exit_code, run.boxes), (0, [h.MSIURL_MISSING]), run.stderr[-2000:])
        self.assertEqual(self.read_id_file(), h.SAMPLE_ID)


if __name__ == "__main__":
    unittest.main()
