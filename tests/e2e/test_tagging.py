"""Tagged copies end to end: a stub signed by osslsigncode with a throw-away CA, then tagged by the
project's tool, still verifies, passes the certificate padding check and stores its identifier."""
import os
import subprocess
import sys
import unittest

import harness as h

sys.path.insert(0, os.path.join(h.ROOT, "tests", "tag"))
import authenticode  # noqa: E402  (the tagging tests' signing helpers, found through the path above)


class SignedTaggingTest(h.StubTestCase):
    def setUp(self):
        super().setUp()
        # The information server answers without a package URL: the run ends after the
        # identifier is stored and sent.
        self.server = self.serve()
        self.server.set_info_reply(b"<DSData></DSData>")

    @unittest.skipUnless(authenticode.available(), "osslsigncode/openssl missing")
    def test_signed_then_tagged_stub_reads_its_identifier(self):
        signer = authenticode.Signer(self.work)
        signed = os.path.join(self.work, "signed.exe")
        tagged = os.path.join(self.work, "velko-stub.exe")
        for kind in authenticode.SIGNATURE_KINDS:
            with self.subTest(kind):
                self.server.clear_requests()
                if os.path.exists(h.ID_FILE):
                    os.remove(h.ID_FILE)
                signer.sign(h.STUB_EXE, signed, kind)
                subprocess.run([sys.executable, h.TAG_TOOL, signed, tagged, "--id", h.SAMPLE_ID.decode()],
                               check=True, capture_output=True)
                passed, log = signer.verify(tagged)
                self.assertTrue(passed, log)
                with open(tagged, "rb") as f:
                    self.assertIsNone(authenticode.cert_padding_problem(f.read()))
                run = h.run_exe(tagged)
                self.assertEqual(run.boxes, [h.MSIURL_MISSING])
                self.assertEqual(self.read_id_file(), h.SAMPLE_ID)
                self.assertEqual([r.path for r in self.server.requests][:1],
                                 ["/WebGetDSData.qdx?session=" + h.SAMPLE_ID.decode()])


if __name__ == "__main__":
    unittest.main()
