"""Tests for tools/velko-tag, the tool that writes a DownloadId into a copy
of velko-stub.exe.

Most cases run on small PE32 images built here.  The Authenticode case runs
only when VELKO_STUB_EXE names a real stub and osslsigncode and openssl are
installed:

    VELKO_STUB_EXE=path/to/velko-stub.exe python3 -m unittest tests/tag/test_velko_tag.py -v
"""

import os
import shutil
import struct
import subprocess
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.path.join(ROOT, "tools", "velko-tag")

MAGIC = b"\xE4\x1C\x31\x39"
E_LFANEW = 0x40
OPT = E_LFANEW + 24
CHECKSUM_POS = OPT + 64
SECURITY_DIR_POS = OPT + 96 + 4 * 8
IMAGE_END = 0x400


# ---------------------------------------------------------------- fixtures

def make_pe(checksum=0, opt_magic=0x10B):
    """A minimal PE32 image: headers and one 0x200-byte section."""
    img = bytearray(IMAGE_END)
    img[0:2] = b"MZ"
    struct.pack_into("<I", img, 0x3C, E_LFANEW)
    img[E_LFANEW:E_LFANEW + 4] = b"PE\0\0"
    # COFF header: i386, one section, 0xE0-byte optional header, executable.
    struct.pack_into("<HHIIIHH", img, E_LFANEW + 4, 0x14C, 1, 0, 0, 0, 0xE0, 0x0102)
    struct.pack_into("<H", img, OPT, opt_magic)
    struct.pack_into("<II", img, OPT + 32, 0x1000, 0x200)   # alignments
    struct.pack_into("<III", img, OPT + 56, 0x2000, 0x200, checksum)
    struct.pack_into("<H", img, OPT + 68, 2)                 # GUI subsystem
    struct.pack_into("<I", img, OPT + 92, 16)                # data directories
    section = OPT + 0xE0
    img[section:section + 8] = b".text\0\0\0"
    struct.pack_into("<IIII", img, section + 8, 0x200, 0x1000, 0x200, 0x200)
    img[0x200:0x400] = bytes((i * 7 + 3) & 0xFF for i in range(0x200))
    return bytes(img)


def fake_signature(content_len):
    """A DER SEQUENCE standing in for PKCS#7 SignedData.  Its last bytes are
    zero so that stripping trailing zeros would cut into it."""
    body = bytes((i * 13 + 1) & 0xFF or 1 for i in range(content_len - 4)) + bytes(4)
    return b"\x30\x82" + struct.pack(">H", content_len) + body


def cert_record(blob, pad_in_length=True):
    """WIN_CERTIFICATE (revision 2.0, PKCS#7) padded to 8 bytes.  signtool and
    osslsigncode count the padding in dwLength; pad_in_length=False makes a
    record whose dwLength stops at the signature."""
    raw_len = 8 + len(blob)
    padded = (raw_len + 7) & ~7
    length = padded if pad_in_length else raw_len
    return struct.pack("<IHH", length, 0x0200, 0x0002) + blob + bytes(padded - raw_len)


def make_signed(records=None, checksum=0):
    img = bytearray(make_pe(checksum=checksum))
    if records is None:
        records = [cert_record(fake_signature(300))]
    table = b"".join(records)
    struct.pack_into("<II", img, SECURITY_DIR_POS, len(img), len(table))
    return bytes(img + table)


def security_dir(data):
    e_lfanew = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<II", data, e_lfanew + 24 + 96 + 4 * 8)


def trailer(data):
    assert data[-12:-8] == MAGIC, "no tag magic at end of file"
    return struct.unpack(">III", data[-12:])


def reference_checksum(data, checksum_pos):
    """Image checksum computed word by word, folding the carry at each step."""
    total = 0
    for i in range(0, len(data), 2):
        if checksum_pos <= i < checksum_pos + 4:
            continue
        word = data[i] | (data[i + 1] << 8 if i + 1 < len(data) else 0)
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


# ---------------------------------------------------------------- helpers

class ToolTestCase(unittest.TestCase):

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="velko-tag-test-")
        self.addCleanup(shutil.rmtree, self.tmp)

    def path(self, name):
        return os.path.join(self.tmp, name)

    def write(self, name, data):
        p = self.path(name)
        with open(p, "wb") as f:
            f.write(data)
        return p

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def run_tool(self, *args):
        return subprocess.run([TOOL, *args], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, cwd=self.tmp)

    def tag_ok(self, data, *args, name="in.exe", out="out.exe"):
        """Tag `data` and return the output bytes, checking the input file is
        left alone."""
        src = self.write(name, data)
        r = self.run_tool(src, self.path(out), *args)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        self.assertEqual(self.read(name), data, "input file was modified")
        self.last_stdout = r.stdout
        return self.read(out)


# ---------------------------------------------------------------- unsigned

class UnsignedTagTest(ToolTestCase):

    def test_identifier_and_trailer_are_appended(self):
        web_id = b"0123ABCD-4567EF01-89ABCDEF-DEADBEEF-00C0FFEE"
        cases = [
            ("web id", ["--id", web_id.decode()], web_id),
            ("one byte", ["--id", "x"], b"x"),
            ("99 bytes", ["--id", "z" * 99], b"z" * 99),
            ("zero, blank, ampersand", ["--id-hex", "00612062260a00"], b"\0a b&\n\0"),
        ]
        stub = make_pe()
        for label, args, ident in cases:
            with self.subTest(label):
                out = self.tag_ok(stub, *args)
                self.assertEqual(out[:len(stub)], stub)
                self.assertEqual(out[len(stub):-12], ident)
                self.assertEqual(trailer(out), (0xE41C3139, len(stub), len(ident)))
                self.assertEqual(self.last_stdout, ident + b"\n")
                r = self.run_tool("--read", self.path("out.exe"))
                self.assertEqual((r.returncode, r.stdout), (0, ident + b"\n"))

    def test_random_id_has_web_format_and_differs_per_run(self):
        stub = make_pe()
        seen = set()
        for args in ([], ["--random-id"]):
            out = self.tag_ok(stub, *args)
            ident = self.last_stdout.rstrip(b"\n")
            self.assertRegex(ident, rb"^[0-9A-F]{8}(-[0-9A-F]{8}){4}$")
            self.assertEqual(out[-12 - 44:-12], ident)
            seen.add(ident)
        self.assertEqual(len(seen), 2)

    def test_read_reports_missing_tag(self):
        r = self.run_tool("--read", self.write("plain.exe", make_pe()))
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"no tag", r.stderr)

    def test_checksum_recomputed_only_when_set(self):
        # "abc" makes the file length odd, exercising the final half word.
        for ident in ("abc", "abcd"):
            with self.subTest(ident):
                out = self.tag_ok(make_pe(checksum=0x1234), "--id", ident)
                got = struct.unpack_from("<I", out, CHECKSUM_POS)[0]
                self.assertNotEqual(got, 0x1234)
                self.assertEqual(got, reference_checksum(out, CHECKSUM_POS))
        out = self.tag_ok(make_pe(checksum=0), "--id", "abc")
        self.assertEqual(struct.unpack_from("<I", out, CHECKSUM_POS)[0], 0)

    def test_in_place_only_when_asked(self):
        stub = make_pe()
        src = self.write("stub.exe", stub)
        os.chmod(src, 0o751)
        r = self.run_tool(src, src, "--id", "same-file")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.read("stub.exe"), stub + b"same-file" +
                         struct.pack(">III", 0xE41C3139, len(stub), 9))
        self.assertEqual(os.stat(src).st_mode & 0o777, 0o751)
        self.assertEqual(sorted(os.listdir(self.tmp)), ["stub.exe"],
                         "temporary file left behind")


# ---------------------------------------------------------------- signed

class SignedTagTest(ToolTestCase):

    def check_signed_layout(self, before, after, ident):
        cert_off, size0 = security_dir(before)
        cert_off1, size1 = security_dir(after)
        self.assertEqual(cert_off1, cert_off)
        self.assertEqual(cert_off + size1, len(after), "table must end at EOF")
        self.assertEqual(size1 % 8, 0)
        magic, id_off, id_len = trailer(after)
        self.assertEqual((id_len, id_off), (len(ident), len(after) - 12 - len(ident)))
        self.assertEqual(after[id_off:id_off + id_len], ident)
        self.assertLess(id_off - len(before), 8, "more padding than needed")
        self.assertFalse(any(after[len(before):id_off]), "padding must be zeros")
        # Everything the signature hashes is unchanged, and so is the
        # certificate table's original content apart from the last dwLength.
        masked = lambda d: (d[:CHECKSUM_POS] + d[CHECKSUM_POS + 4:SECURITY_DIR_POS + 4]
                            + d[SECURITY_DIR_POS + 8:cert_off])
        self.assertEqual(masked(after), masked(before))
        return size1 - size0

    def test_table_grows_by_same_amount_as_last_record(self):
        before = make_signed()
        cert_off, _ = security_dir(before)
        len0 = struct.unpack_from("<I", before, cert_off)[0]
        # Lengths 1..16 cover every padding residue.
        for ident in [b"A" * n for n in range(1, 17)] + [b"B" * 44, b"C" * 99]:
            with self.subTest(len(ident)):
                after = self.tag_ok(before, "--id", ident.decode())
                grown = self.check_signed_layout(before, after, ident)
                len1 = struct.unpack_from("<I", after, cert_off)[0]
                self.assertEqual(len1 - len0, grown)
                self.assertEqual(after[cert_off + 4:len(before)],
                                 before[cert_off + 4:], "signature changed")

    def test_only_last_of_several_records_is_extended(self):
        first = cert_record(fake_signature(100))
        second = cert_record(fake_signature(200))
        before = make_signed([first, second])
        after = self.tag_ok(before, "--id", "two-certs")
        cert_off, _ = security_dir(before)
        grown = self.check_signed_layout(before, after, b"two-certs")
        self.assertEqual(after[cert_off:cert_off + len(first)], first)
        second_off = cert_off + len(first)
        len1 = struct.unpack_from("<I", after, second_off)[0]
        self.assertEqual(len1, len(second) + grown)

    def test_record_without_padding_in_length_is_made_to_cover_the_tag(self):
        # dwLength 8 + 4 + 301 = 313 while the table is 320 bytes.
        before = make_signed([cert_record(fake_signature(301), pad_in_length=False)])
        after = self.tag_ok(before, "--id", "unpadded")
        self.check_signed_layout(before, after, b"unpadded")
        cert_off, size = security_dir(after)
        self.assertEqual(struct.unpack_from("<I", after, cert_off)[0], size)

    def test_checksum_recomputed(self):
        out = self.tag_ok(make_signed(checksum=0xABCDEF), "--id", "sum")
        self.assertEqual(struct.unpack_from("<I", out, CHECKSUM_POS)[0],
                         reference_checksum(out, CHECKSUM_POS))


# ---------------------------------------------------------------- refusals

class RefusalTest(ToolTestCase):

    def test_refusals(self):
        signed = make_signed()
        cert_off, size = security_dir(signed)

        def with_dir(data, off, sz):
            d = bytearray(data)
            struct.pack_into("<II", d, SECURITY_DIR_POS, off, sz)
            return bytes(d)

        def with_u32(data, pos, value):
            d = bytearray(data)
            struct.pack_into("<I", d, pos, value)
            return bytes(d)

        tagged = make_pe() + b"old" + struct.pack(">III", 0xE41C3139, IMAGE_END, 3)
        cases = [
            ("no MZ", b"\x7fELF" + bytes(600), [], b"no MZ"),
            ("no PE signature", with_u32(make_pe(), E_LFANEW, 0), [], b"no PE"),
            ("e_lfanew past end", with_u32(make_pe(), 0x3C, 0x10000), [], b"no PE"),
            ("ROM optional header", make_pe(opt_magic=0x107), [], b"optional header"),
            ("bytes after table", signed + b"overlay!", [], b"does not end at the end"),
            ("table short of EOF", with_dir(signed, cert_off, size - 8), [],
             b"does not end at the end"),
            ("table past EOF", with_dir(signed, cert_off, size + 8), [],
             b"does not end at the end"),
            ("record length zero", with_u32(signed, cert_off, 0), [],
             b"corrupt certificate table"),
            ("record past table", with_u32(signed, cert_off, size + 8), [],
             b"corrupt certificate table"),
            ("id of 100 bytes", make_pe(), ["--id", "x" * 100], b"at most 99"),
            ("empty id", make_pe(), ["--id", ""], b"empty"),
            ("already tagged", tagged, [], b"already carries a tag"),
            ("already tagged, signed", self.tag_ok(signed, "--id", "old"), [],
             b"already carries a tag"),
        ]
        for label, data, args, message in cases:
            with self.subTest(label):
                src = self.write("bad.exe", data)
                out = self.path("never.exe")
                r = self.run_tool(src, out, *args)
                self.assertNotEqual(r.returncode, 0)
                self.assertIn(message, r.stderr)
                self.assertEqual(r.stdout, b"")
                self.assertFalse(os.path.exists(out))
                self.assertEqual(self.read("bad.exe"), data)


# ---------------------------------------------------------------- --replace

class ReplaceTest(ToolTestCase):

    def test_replace_equals_tagging_the_untagged_file(self):
        fixtures = [
            ("unsigned", make_pe(checksum=7)),
            ("signed", make_signed(checksum=7)),
            ("signed, two records",
             make_signed([cert_record(fake_signature(64)),
                          cert_record(fake_signature(203))])),
        ]
        old_ids = ["o", "old-id", "0123ABCD-4567EF01-89ABCDEF-DEADBEEF-00C0FFEE", "q" * 99]
        new_id = "NEW-ID-7"
        for label, original in fixtures:
            expected = self.tag_ok(original, "--id", new_id, out="expected.exe")
            for old in old_ids:
                with self.subTest(label, old_len=len(old)):
                    tagged = self.tag_ok(original, "--id", old, out="old.exe")
                    again = self.tag_ok(tagged, "--id", new_id, "--replace",
                                        name="old.exe", out="new.exe")
                    self.assertEqual(again, expected)

    def test_replace_refuses_what_it_cannot_undo(self):
        signed = make_signed()
        tagged = bytearray(self.tag_ok(signed, "--id", "old-id"))
        # Non-zero byte between the signature and the old identifier.
        junk = bytearray(tagged)
        junk[len(signed)] = 0x55
        # Trailer claiming an identifier that starts 12 bytes before the end
        # of the signature (and still runs up to the trailer).
        sig_overlap = bytearray(tagged)
        start = len(signed) - 12
        struct.pack_into(">II", sig_overlap, len(tagged) - 8,
                         start, len(tagged) - 12 - start)
        unsigned = make_pe()
        cases = [
            ("junk before id", bytes(junk), b"non-zero data"),
            ("id overlapping signature", bytes(sig_overlap), b"overlaps the signature"),
            ("id not before trailer", unsigned + b"old-id" +
             struct.pack(">III", 0xE41C3139, IMAGE_END, 5), b"inconsistent"),
            ("id inside image", unsigned + b"old-id" +
             struct.pack(">III", 0xE41C3139, IMAGE_END - 6, 12), b"inside the image"),
        ]
        for label, data, message in cases:
            with self.subTest(label):
                src = self.write("bad.exe", data)
                r = self.run_tool(src, self.path("never.exe"), "--id", "x", "--replace")
                self.assertNotEqual(r.returncode, 0)
                self.assertIn(message, r.stderr)
                self.assertFalse(os.path.exists(self.path("never.exe")))


# ---------------------------------------------------------------- real signature

STUB = os.environ.get("VELKO_STUB_EXE")


@unittest.skipUnless(STUB and shutil.which("osslsigncode") and shutil.which("openssl"),
                     "needs VELKO_STUB_EXE, osslsigncode and openssl")
class AuthenticodeTest(ToolTestCase):
    """Sign the real stub with a throw-away certificate, tag it, and check that
    osslsigncode still accepts the signature and the PE checksum."""

    def sh(self, *cmd):
        r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           cwd=self.tmp, text=True)
        return r.returncode, r.stdout

    def verify(self, name):
        return self.sh("osslsigncode", "verify", "-CAfile", self.path("cert.pem"),
                       "-in", self.path(name))

    def assertVerified(self, name):
        rc, log = self.verify(name)
        self.assertEqual(rc, 0, log)
        self.assertIn("Signature verification: ok", log)
        self.assertNotIn("MISMATCH", log)
        self.assertNotIn("invalid PE checksum", log)

    def test_tagged_signature_still_verifies(self):
        rc, log = self.sh("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                          "-keyout", "key.pem", "-out", "cert.pem", "-days", "2",
                          "-subj", "/CN=Velko tag test")
        self.assertEqual(rc, 0, log)
        rc, log = self.sh("osslsigncode", "sign", "-certs", "cert.pem", "-key", "key.pem",
                          "-h", "sha256", "-in", os.path.abspath(STUB), "-out", "signed.exe")
        self.assertEqual(rc, 0, log)
        self.assertVerified("signed.exe")
        signed = self.read("signed.exe")
        cert_off, size0 = security_dir(signed)
        self.assertEqual(cert_off + size0, len(signed))
        len0 = struct.unpack_from("<I", signed, cert_off)[0]

        web_id = b"0123ABCD-4567EF01-89ABCDEF-DEADBEEF-00C0FFEE"
        tagged = self.tag_ok(signed, "--id", web_id.decode(), name="signed.exe",
                             out="tagged.exe")
        self.assertVerified("tagged.exe")
        self.assertEqual(trailer(tagged), (0xE41C3139, len(tagged) - 12 - 44, 44))
        self.assertEqual(tagged[-56:-12], web_id)
        _, size1 = security_dir(tagged)
        len1 = struct.unpack_from("<I", tagged, cert_off)[0]
        self.assertEqual(size1 % 8, 0)
        self.assertEqual(cert_off + size1, len(tagged))
        self.assertEqual(size1 - size0, len1 - len0)
        self.assertGreater(size1, size0)

        # Control: without the dwLength extension osslsigncode rejects the
        # file, so the check above is not vacuous.
        broken = bytearray(tagged)
        struct.pack_into("<I", broken, cert_off, len0)
        self.write("broken.exe", bytes(broken))
        self.assertNotEqual(self.verify("broken.exe")[0], 0)

        retagged = self.tag_ok(tagged, "--id-hex", "00412042262700", "--replace",
                               name="tagged.exe", out="retagged.exe")
        self.assertVerified("retagged.exe")
        self.assertEqual(retagged[-19:-12], b"\0A B&'\0")
        direct = self.tag_ok(signed, "--id-hex", "00412042262700",
                             name="signed.exe", out="direct.exe")
        self.assertEqual(retagged, direct)


if __name__ == "__main__":
    unittest.main()
