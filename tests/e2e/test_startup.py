"""Start-up stages end to end: the tag at the end of the stub's own file, the id file, the
identifier in the information request, and the message of each failure."""
import os
import struct
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

    def test_tag_variants(self):
        exe = self.stub_bytes
        n = len(exe)
        trailer = lambda offset, length: struct.pack(">III", h.MAGIC, offset, length)
        cases = [
            # name, file bytes, boxes, id file content (None: no file), session sent (None: no request)
            ("untagged", exe, [TAG_MISSING], None, None),
            ("tool-tagged", None, [h.MSIURL_MISSING], h.SAMPLE_ID, h.SAMPLE_ID.decode()),
            ("id elsewhere in the file",
             exe + b"XXXX" + b"ELSEWHERE-ID" + b"YYYYYYYY" + trailer(n + 4, 12),
             [h.MSIURL_MISSING], b"ELSEWHERE-ID", "ELSEWHERE-ID"),
            ("id length 0", exe + trailer(n, 0), [h.MSIURL_MISSING], b"", ""),
            ("zero byte inside the id", h.tag_bytes(exe, b"AB\x00CD"), [h.MSIURL_MISSING], b"AB\x00CD", "AB"),
            ("blank and ampersand sent as they are", h.tag_bytes(exe, b"A B&C=1"), [h.MSIURL_MISSING],
             b"A B&C=1", "A%20B&C=1"),
            ("99 bytes", h.tag_bytes(exe, b"9" * 99), [h.MSIURL_MISSING], b"9" * 99, "9" * 99),
            ("length runs past the end of the file", exe + b"SHORT" + trailer(n, 40), [EXTRACT_FAILED], b"", None),
            ("offset beyond the end of the file", exe + b"ID" + trailer(n + 1000, 2), [EXTRACT_FAILED], b"",
             None),
            ("100 bytes", h.tag_bytes(exe, b"1" * 100), [EXTRACT_FAILED], b"", None),
            ("huge length", exe + b"ID" + trailer(n, 0xFFFFFFF0), [EXTRACT_FAILED], b"", None),
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
                paths = [r.path for r in self.server.requests]
                if session is None:
                    self.assertEqual(paths, [])
                else:
                    self.assertEqual(paths, ["/WebGetDSData.qdx?session=" + session])
                    self.assertEqual(self.server.requests[0].header("User-Agent"), "Brondelvik Downloader 1.0")

    def test_old_id_file_is_replaced_not_appended_to(self):
        os.makedirs(os.path.dirname(h.ID_FILE), exist_ok=True)
        with open(h.ID_FILE, "wb") as f:
            f.write(b"AN-OLDER-AND-MUCH-LONGER-IDENTIFIER-FROM-AN-EARLIER-RUN")
        run = h.run_exe(self.write_stub(h.tag_bytes(self.stub_bytes, b"NEW")))
        self.assertEqual(run.boxes, [h.MSIURL_MISSING])
        self.assertEqual(self.read_id_file(), b"NEW")

    def test_id_file_that_cannot_be_written(self):
        os.makedirs(h.ID_FILE)  # a folder in the way of the file
        self.addCleanup(os.rmdir, h.ID_FILE)
        run = h.run_exe(self.tagged_stub())
        self.assertEqual((run.exit_code, run.boxes), (0, [WRITE_FAILED]))
        self.assertEqual(self.server.requests, [])


if __name__ == "__main__":
    unittest.main()
