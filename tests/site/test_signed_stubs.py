"""Signed stubs of both architectures served by the site: every copy, PE32 (the 32-bit stub shipped
by default) or PE32+ (the 64-bit one), still carries a valid signature and passes the padding check
that Windows applies with EnableCertPaddingCheck. The control: the same copy with one byte of its
code changed fails the signature check, so the check can fail."""
import os
import shutil
import struct
import sys
import tempfile
import unittest

import support
from support import velko_tag

sys.path.insert(0, os.path.join(support.ROOT, "tests", "tag"))
from authenticode import Signer, available, cert_padding_problem  # noqa: E402

STUBS = {arch: os.environ.get("VELKO_STUB_" + arch.upper(), "") for arch in ("x86", "x64")}
OPTIONAL_HEADER_MAGIC = {"x86": 0x010B, "x64": 0x020B}  # PE32, PE32+
ADDRESS, PORT = "127.0.0.22", 8000


@unittest.skipUnless(all(STUBS.values()) and available(),
                     "needs VELKO_STUB_X86, VELKO_STUB_X64, osslsigncode and openssl")
class SignedStubsTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="velko-site-signed-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.signer = Signer(self.work)
        products = {}
        for arch, stub in STUBS.items():
            signed = os.path.join(self.work, "velko-stub-%s.exe" % arch)
            self.signer.sign(os.path.abspath(stub), signed, "timestamped")
            products[arch] = (signed, "http://127.0.0.3/velko-demo.msi", "velko-demo-setup.exe")
        config = support.write_config(self.work, products, default="x86")
        support.start_site(self.addCleanup, config, ADDRESS, PORT, workers=2)

    def copy_of(self, arch):
        status, _, body = support.get(ADDRESS, PORT, "/download/" + arch)
        self.assertEqual(status, 200, body[:200])
        path = os.path.join(self.work, "copy-%s.exe" % arch)
        with open(path, "wb") as f:
            f.write(body)
        return path, body

    def test_copies_of_both_architectures_keep_a_valid_signature(self):
        for arch in STUBS:
            with self.subTest(arch=arch):
                path, body = self.copy_of(arch)
                pe = struct.unpack_from("<I", body, 0x3C)[0]
                self.assertEqual(struct.unpack_from("<H", body, pe + 24)[0], OPTIONAL_HEADER_MAGIC[arch])
                ident = velko_tag.read_tag(body)[1]
                self.assertTrue(ident.startswith(b"1."), ident)
                passed, log = self.signer.verify(path)
                self.assertTrue(passed, log)
                self.assertIsNone(cert_padding_problem(body))

                # Control: a byte of the code changed after signing must fail the verification.
                tampered = bytearray(body)
                tampered[0x1000] ^= 0x01
                broken = path + ".tampered.exe"
                with open(broken, "wb") as f:
                    f.write(tampered)
                self.assertFalse(self.signer.verify(broken)[0], "a changed byte went unnoticed")


if __name__ == "__main__":
    unittest.main()
