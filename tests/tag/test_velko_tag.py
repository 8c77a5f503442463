"""Tests for tools/velko-tag and its module tools/velko_tag.py, which write a DownloadId into a
copy of velko-stub.exe.

Most cases run on small PE32 images built here, signed ones with a PKCS#7 SignedData of the
right shape (no real signature).  The Authenticode cases run only when VELKO_STUB_X86 and
VELKO_STUB_X64 name the real stubs (PE32 and PE32+) and osslsigncode and openssl are installed:

    VELKO_STUB_X86=build/x86/velko-stub.exe VELKO_STUB_X64=build/x64/velko-stub.exe \
        python3 -m unittest discover -s tests/tag -v
"""

import io
import itertools
import os
import random
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
TOOL = os.path.join(ROOT, "tools", "velko-tag")
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.path.insert(0, HERE)

import velko_tag  # noqa: E402
from authenticode import (Signer, SIGNATURE_KINDS, available, cert_padding_problem,  # noqa: E402
                          certificate_records, der, der_encode, der_tree,
                          last_signature, last_signer, oid_text,
                          security_dir_pos)

MAGIC = b"\xE4\x1C\x31\x39"
WEB_ID = b"0123ABCD-4567EF01-89ABCDEF-DEADBEEF-00C0FFEE"
E_LFANEW = 0x40
OPT = E_LFANEW + 24
CHECKSUM_POS = OPT + 64
SECURITY_DIR_POS = OPT + 96 + 4 * 8
IMAGE_END = 0x400
GiB = 1 << 30


# ---------------------------------------------------------------- fixtures

def pattern(n, salt=0):
    """n bytes of varied content ending in zeros, so that cutting trailing zeros cuts into it."""
    body = bytes(((i + salt) * 13 + 1) & 0xFF or 1 for i in range(max(n - 4, 0)))
    return body + bytes(min(n, 4))


def make_pe(opt_magic=0x10B, body=0x200):
    """A minimal PE32 image: headers and one section of `body` bytes."""
    img = bytearray(0x200 + body)
    img[0:2] = b"MZ"
    struct.pack_into("<I", img, 0x3C, E_LFANEW)
    img[E_LFANEW:E_LFANEW + 4] = b"PE\0\0"
    # COFF header: i386, one section, 0xE0-byte optional header, executable.
    struct.pack_into("<HHIIIHH", img, E_LFANEW + 4, 0x14C, 1, 0, 0, 0, 0xE0, 0x0102)
    struct.pack_into("<H", img, OPT, opt_magic)
    struct.pack_into("<II", img, OPT + 32, 0x1000, 0x200)   # alignments
    struct.pack_into("<II", img, OPT + 56, 0x2000, 0x200)   # image and header sizes
    struct.pack_into("<H", img, OPT + 68, 2)                 # GUI subsystem
    struct.pack_into("<I", img, OPT + 92, 16)                # data directories
    section = OPT + 0xE0
    img[section:section + 8] = b".text\0\0\0"
    struct.pack_into("<IIII", img, section + 8, body, 0x1000, body, 0x200)
    img[0x200:] = pattern(body, 7)
    return bytes(img)


def checksum_pos(data):
    return struct.unpack_from("<I", data, 0x3C)[0] + 24 + 64


def reference_checksum(data):
    """Image checksum computed word by word, folding the carry at each step."""
    total = 0
    pos = checksum_pos(data)
    for i in range(0, len(data), 2):
        if pos <= i < pos + 4:
            continue
        total += data[i] | (data[i + 1] << 8 if i + 1 < len(data) else 0)
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def with_checksum(data, value=None):
    """`data` with its checksum field set to `value`, or to the correct checksum."""
    d = bytearray(data)
    struct.pack_into("<I", d, checksum_pos(d), 0)
    struct.pack_into("<I", d, checksum_pos(d), reference_checksum(d) if value is None else value)
    return bytes(d)


def checksum(data):
    return struct.unpack_from("<I", data, checksum_pos(data))[0]


SIGNED_DATA_OID = bytes.fromhex("2a864886f70d010702")
TIMESTAMP_OID = bytes.fromhex("2b06010401823703 0301")


def unsigned_attribute(value_len, oid=TIMESTAMP_OID):
    return der(0x30, der(0x06, oid) + der(0x31, der(0x04, pattern(value_len, 3))))


def content_info(filler=40, sig_len=64, unsigned=None, signers=1):
    """A ContentInfo holding SignedData in the shape Authenticode uses: `filler` bytes where the
    certificates go, `signers` signer infos, the last one with [1] `unsigned` if given."""
    def signer(i, attrs):
        return der(0x30, der(0x02, b"\x01") + der(0x30, der(0x04, b"issuer+serial %d" % i))
                   + der(0x30, der(0x06, bytes.fromhex("608648016503040201")))
                   + der(0xA0, der(0x30, der(0x06, b"\x2a\x03")))
                   + der(0x30, der(0x06, bytes.fromhex("2a864886f70d010101")))
                   + der(0x04, pattern(sig_len, i))
                   + (b"" if attrs is None else der(0xA1, attrs)))
    signer_infos = b"".join(signer(i, unsigned if i == signers - 1 else None) for i in range(signers))
    signed_data = der(0x30, der(0x02, b"\x01") + der(0x31, b"")
                      + der(0x30, der(0x06, bytes.fromhex("2b060104018237020104")))
                      + der(0xA0, der(0x04, pattern(filler, 9))) + der(0x31, signer_infos))
    return der(0x30, der(0x06, SIGNED_DATA_OID) + der(0xA0, signed_data))


def content_info_of_length(target, **kwargs):
    """The smallest content_info(filler=...) whose whole encoding is at least `target` bytes."""
    filler = max(0, target - len(content_info(filler=0, **kwargs)) - 8)
    while len(content_info(filler=filler, **kwargs)) < target:
        filler += 1
    return content_info(filler=filler, **kwargs)


def cert_record(blob, pad_in_length=True, cert_type=0x0002):
    """WIN_CERTIFICATE (revision 2.0) padded to 8 bytes.  signtool and osslsigncode count the
    padding in dwLength; pad_in_length=False makes a record whose dwLength stops at the blob."""
    raw_len = 8 + len(blob)
    padded = (raw_len + 7) & ~7
    length = padded if pad_in_length else raw_len
    return struct.pack("<IHH", length, 0x0200, cert_type) + blob + bytes(padded - raw_len)


def make_signed(records=None, body=0x200):
    img = bytearray(make_pe(body=body))
    if records is None:
        records = [cert_record(content_info())]
    table = b"".join(records)
    struct.pack_into("<II", img, SECURITY_DIR_POS, len(img), len(table))
    return bytes(img + table)


def security_dir(data):
    return struct.unpack_from("<II", data, security_dir_pos(data))


def trailer(data):
    assert data[-12:-8] == MAGIC, "no tag magic at end of file"
    return struct.unpack(">III", data[-12:])


def tag_earlier_layout(data, ident):
    """What earlier versions of the tool wrote for a signed stub: zero padding, the identifier
    and the trailer after the certificate table, and the table and its last record grown to
    cover them."""
    off, size = security_dir(data)
    last = certificate_records(data)[-1][0]
    out = bytearray(data) + bytes(-(size + len(ident) + 12) % 8) + ident
    out += struct.pack(">III", 0xE41C3139, len(out) - len(ident), len(ident))
    struct.pack_into("<I", out, security_dir_pos(data) + 4, len(out) - off)
    struct.pack_into("<I", out, last, len(out) - last)
    return with_checksum(out) if checksum(data) else bytes(out)


def module_copy(path, ident, replace=False):
    """The copy that the module describes, put together from its pieces by hand."""
    plan = velko_tag.plan_copy(velko_tag.StubImage.load(path), ident, replace)
    out = bytearray()
    with open(path, "rb") as f:
        for piece in plan.pieces:
            if isinstance(piece, velko_tag.FileRange):
                f.seek(piece.offset)
                out += f.read(piece.length)
            else:
                out += piece
    assert len(out) == plan.length
    return bytes(out)


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
        """Tag `data` with the command-line tool and return the output bytes, checking the input
        file is left alone."""
        src = self.write(name, data)
        r = self.run_tool(src, self.path(out), *args)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        self.assertEqual(self.read(name), data, "input file was modified")
        self.last_stdout = r.stdout
        return self.read(out)

    def assertRefused(self, r, message):
        """One line on stderr naming the problem, exit status 2, nothing on stdout."""
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn(message, r.stderr)
        self.assertTrue(r.stderr.startswith(b"velko-tag: ") and r.stderr.count(b"\n") == 1
                        and r.stderr.endswith(b"\n"), r.stderr)
        self.assertEqual(r.stdout, b"")

    def check_signed_layout(self, before, after, ident):
        """The identifier attribute as the only change to what `before` signed, checked with the
        tests' own DER reader: the padding check passes, everything the signature hashes and the
        records before the last are unchanged, the last signer's last unsigned attribute holds
        zeros, the identifier and the file's trailer, and without that attribute the SignedData
        re-encodes to the original bytes."""
        self.assertIsNone(cert_padding_problem(after))
        cert_off, _ = security_dir(before)
        self.assertEqual(security_dir(after)[0], cert_off)
        last = certificate_records(before)[-1][0]
        cs, sd = checksum_pos(before), security_dir_pos(before)
        masked = lambda d: (d[:cs] + d[cs + 4:sd] + d[sd + 8:last] + d[last + 4:last + 8])
        self.assertEqual(masked(after), masked(before))
        self.assertEqual(trailer(after), (0xE41C3139, len(after) - 12 - len(ident), len(ident)))

        tree, end = der_tree(last_signature(after))
        signer = last_signer(tree)
        attrs = signer[1][-1][1]
        self.assertEqual(signer[1][-1][0], 0xA1)
        (oid_tag, oid), (set_tag, [(octet_tag, value)]) = attrs.pop()[1]
        self.assertEqual((oid_tag, set_tag, octet_tag), (0x06, 0x31, 0x04))
        self.assertTrue(oid_text(oid).startswith("2.25."))
        self.assertEqual(oid_text(oid), velko_tag.TAG_ATTRIBUTE_OID)
        pad = len(value) - len(ident) - 12
        self.assertEqual(value, bytes(pad) + ident + after[-12:])
        self.assertLess(pad, 16, "more padding than needed")
        if not attrs:  # the [1] exists only for the identifier
            signer[1].pop()
        self.assertEqual(der_encode(tree), last_signature(before))
        if checksum(before):
            self.assertEqual(checksum(after), reference_checksum(after))


# ---------------------------------------------------------------- unsigned

class UnsignedTagTest(ToolTestCase):

    def test_identifier_and_trailer_are_appended(self):
        cases = [
            ("web id", ["--id", WEB_ID.decode()], WEB_ID),
            ("one byte", ["--id", "x"], b"x"),
            ("99 bytes", ["--id", "z" * 99], b"z" * 99),
            ("zero, blank, ampersand", ["--id-hex", "00612062260a00"], b"\0a b&\n\0"),
            ("empty, asked for with --id-hex", ["--id-hex", ""], b""),
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

    def test_output_does_not_inherit_setuid_setgid_or_sticky(self):
        src = self.write("stub.exe", make_pe())
        os.chmod(src, 0o7755)
        if os.stat(src).st_mode & 0o7000 != 0o7000:
            self.skipTest("this file system does not keep setuid/setgid/sticky bits")
        # Control: a copy that takes over the input's mode carries the bits along.
        shutil.copy(src, self.path("plain-copy.exe"))
        self.assertEqual(os.stat(self.path("plain-copy.exe")).st_mode & 0o7000, 0o7000)
        for out in ("out.exe", "stub.exe"):  # a new file, and tagging in place
            with self.subTest(out):
                r = self.run_tool(src, self.path(out), "--id", "x", "--replace")
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(stat.S_IMODE(os.stat(self.path(out)).st_mode), 0o755)


# ---------------------------------------------------------------- signed

class SignedTagTest(ToolTestCase):

    def test_identifier_attribute_at_every_length_and_size(self):
        """Identifiers of every length on signatures whose DER lengths sit just below 128, 256 and
        65536 bytes at each level, so that adding the attribute makes lengths grow a byte."""
        signatures = [
            ("small signature, no unsigned attributes", content_info(filler=0, sig_len=8)),
            ("ContentInfo just under 256", content_info_of_length(0x100 - 40)),
            ("ContentInfo just under 65536", content_info_of_length(0x10000 - 60)),
            ("signer just under 256", content_info(sig_len=0x100 - 120)),
            ("unsigned attributes just under 128", content_info(unsigned=unsigned_attribute(0x80 - 60))),
            ("unsigned attributes just under 256", content_info(unsigned=unsigned_attribute(0x100 - 70))),
            ("two signers", content_info(signers=2, unsigned=unsigned_attribute(20))),
        ]
        idents = [b"", b"\0"] + [bytes(range(65, 65 + n)) for n in range(1, 17)] + \
            [b"q" * n for n in range(17, 100)]
        for label, blob in signatures:
            for pad_in_length in (True, False):
                before = with_checksum(make_signed([cert_record(blob, pad_in_length)]))
                src = self.write("in.exe", before)
                for ident in idents:
                    with self.subTest(label, pad_in_length=pad_in_length, length=len(ident)):
                        self.check_signed_layout(before, module_copy(src, ident), ident)

    def test_only_last_of_several_records_changes(self):
        first = cert_record(content_info(filler=100))
        before = with_checksum(make_signed([first, cert_record(content_info(filler=7))]))
        after = self.tag_ok(before, "--id", "two-records")
        self.check_signed_layout(before, after, b"two-records")
        cert_off, _ = security_dir(before)
        self.assertEqual(after[cert_off:cert_off + len(first)], first)

    def test_checksum_follows_the_stored_one_without_reading_the_body(self):
        """A copy's checksum comes from the stored checksum and the bytes around the unchanged
        range; only a checksum that cannot be right makes the loader read the body, to put a
        correct one.  A checksum of 0 stays 0."""
        big = 256 << 10
        cases = [
            ("unsigned, correct", with_checksum(make_pe(body=big)), False),
            ("signed, correct", with_checksum(make_signed(body=big)), False),
            ("signed, stale (below the file size)", with_checksum(make_signed(body=big), 7), True),
            ("unsigned, odd length, correct",
             with_checksum(make_pe(body=big) + b"odd"), False),
        ]
        for label, stub, reads_body in cases:
            src = self.write("in.exe", stub)
            for ident in (b"", b"abc", WEB_ID):
                with self.subTest(label, length=len(ident)):
                    image = velko_tag.StubImage.load(src)
                    self.assertEqual(image.bytes_read > big, reads_body, image.bytes_read)
                    out = module_copy(src, ident)
                    self.assertEqual(checksum(out), reference_checksum(out))
        out = module_copy(self.write("zero.exe", make_signed()), b"abc")
        self.assertEqual(checksum(out), 0)


# ---------------------------------------------------------------- the module

class ModuleTest(ToolTestCase):

    def test_pieces_are_the_file_the_tool_writes(self):
        stubs = [
            ("unsigned", with_checksum(make_pe())),
            ("signed", with_checksum(make_signed())),
            ("signed, unsigned attribute and padding outside dwLength", make_signed(
                [cert_record(content_info(unsigned=unsigned_attribute(30)), pad_in_length=False)])),
        ]
        for label, stub in stubs:
            src = self.write("in.exe", stub)
            for ident in (b"", b"1", b"8bytes!!", b"9" * 99):
                with self.subTest(label, length=len(ident)):
                    written = self.tag_ok(stub, "--id-hex", ident.hex())
                    image = velko_tag.StubImage.load(src)
                    plan = velko_tag.plan_copy(image, ident)
                    self.assertEqual(module_copy(src, ident), written)
                    self.assertEqual(b"".join(velko_tag.iter_copy(plan, block_size=100)), written)
                    self.assertEqual(b"".join(velko_tag.read_range(image, piece)
                                              if isinstance(piece, velko_tag.FileRange) else piece
                                              for piece in plan.pieces), written)
                    buf = io.BytesIO()
                    velko_tag.write_copy(plan, buf)
                    self.assertEqual(buf.getvalue(), written)
                    self.assertEqual((plan.length, plan.id_offset, plan.ident),
                                     (len(written), len(written) - 12 - len(ident), ident))

    def test_work_per_copy_does_not_grow_with_the_stub(self):
        """Loading reads headers and the certificate table only; a copy is a few hundred
        patched header bytes, one range of the file and the new table."""
        sizes = {}
        for body in (0x200, 8 << 20):
            src = self.write("in.exe", make_signed(body=body))
            image = velko_tag.StubImage.load(src)
            self.assertLess(image.bytes_read, 4096)
            plan = velko_tag.plan_copy(image, WEB_ID)
            head, body_range, tail = plan.pieces
            self.assertEqual(body_range, velko_tag.FileRange(len(head), security_dir(
                self.read("in.exe"))[0] - len(head)))
            sizes[body] = (len(head), len(tail))
        self.assertEqual(len(set(sizes.values())), 1, sizes)

    def test_stub_changed_after_loading(self):
        """Every way of changing the stub is noticed: before a copy is read and, for a change in
        place, while it is read.  The same-size replacements keep the size and modification time
        (rsync -t, tar, cp -p), which alone do not tell them: the control."""
        original = make_signed(body=0x10000)
        # A rebuild of the same size: other headers (time stamp) and another body.
        rebuilt = bytearray(original)
        rebuilt[0x88:0x8C] = b"NEW!"
        rebuilt[0x1000:0x1004] = b"BODY"
        rebuilt = bytes(rebuilt)

        def grown(path):
            with open(path, "ab") as f:
                f.write(b"more")

        def renamed_over(path):
            st = os.stat(path)
            aside = self.write("aside.exe", rebuilt)
            os.utime(aside, ns=(st.st_atime_ns, st.st_mtime_ns))
            os.replace(aside, path)

        def copied_in_place(path):
            st = os.stat(path)
            with open(path, "r+b") as f:
                f.write(rebuilt)
            os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))

        for label, change, same_size_and_time in (("grown", grown, False),
                                                  ("renamed over, time kept", renamed_over, True),
                                                  ("copied over in place, time kept", copied_in_place, True)):
            with self.subTest(label):
                src = self.write("in.exe", original)
                image = velko_tag.StubImage.load(src)
                plan = velko_tag.plan_copy(image, b"x")
                self.assertTrue(image.is_current())
                change(src)
                st = os.stat(src)
                self.assertEqual((st.st_size, st.st_mtime_ns) == (image.size, image.mtime_ns),
                                 same_size_and_time)
                self.assertFalse(image.is_current())
                with self.assertRaisesRegex(velko_tag.TagError, "changed since it was loaded"):
                    b"".join(velko_tag.iter_copy(plan))
                with self.assertRaisesRegex(velko_tag.TagError, "changed since it was loaded"):
                    velko_tag.read_range(image, plan.pieces[1])

        # In place while a copy is being read: the blocks read after the change never go out.
        src = self.write("in.exe", original)
        plan = velko_tag.plan_copy(velko_tag.StubImage.load(src), b"x")
        blocks = velko_tag.iter_copy(plan, 0x1000)
        sent = [next(blocks), next(blocks)]  # the headers and the first block of the body
        copied_in_place(src)
        with self.assertRaisesRegex(velko_tag.TagError, "changed since it was loaded"):
            sent.extend(blocks)
        head = len(plan.pieces[0])
        self.assertEqual(sent[1], original[head:head + 0x1000])  # the block read before the change

    def test_malformed_input_gives_tag_error_only(self):
        """Bytes changed at random in the headers and the certificate table, and files cut
        short: loading and planning either work or raise TagError, never anything else."""
        signed = make_signed([cert_record(content_info(filler=20)),
                              cert_record(content_info(filler=0, unsigned=unsigned_attribute(9)))])
        tagged = module_copy(self.write("in.exe", signed), b"ident")
        rng = random.Random(12)
        for label, data in (("signed", signed), ("tagged", tagged)):
            cert_off, _ = security_dir(data)
            spots = list(range(0x3C, 0x180)) + list(range(cert_off, len(data)))
            for i in range(400):
                bad = bytearray(data)
                if i % 10 == 0:
                    bad = bad[:rng.randrange(len(bad))]
                else:
                    for _ in range(rng.randint(1, 3)):
                        bad[rng.choice(spots)] = rng.choice((0, 0xFF, 0x80, 0x30, rng.randrange(256)))
                src = self.write("bad.exe", bytes(bad))
                try:
                    velko_tag.plan_copy(velko_tag.StubImage.load(src), b"new", replace=True)
                except velko_tag.TagError:
                    pass
                except Exception as e:  # noqa: BLE001 (any other exception is the fault)
                    self.fail("%s, variant %d: %r" % (label, i, e))


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

        def sparse(size):
            def make():
                p = self.write("bad.exe", make_pe())
                os.truncate(p, size)
                return p
            return make

        tagged = make_pe() + b"old" + struct.pack(">III", 0xE41C3139, IMAGE_END, 3)
        no_signer = der(0x30, der(0x06, SIGNED_DATA_OID) + der(0xA0, der(0x30, der(0x02, b"\x01")
                                                                          + der(0x31, b""))))
        cases = [
            # label, file bytes (or a maker of the file, or None: no file), arguments, message
            ("no MZ", b"\x7fELF" + bytes(600), [], b"no MZ"),
            ("no PE signature", with_u32(make_pe(), E_LFANEW, 0), [], b"no PE"),
            ("e_lfanew past end", with_u32(make_pe(), 0x3C, 0x10000), [], b"no PE"),
            ("ROM optional header", make_pe(opt_magic=0x107), [], b"optional header"),
            ("headers cut short", make_pe()[:0x100], [], b"optional header truncated"),
            ("section data cut short", make_pe()[:0x300], [], b"truncated PE file"),
            ("bytes after table", signed + b"overlay!", [], b"does not end at the end"),
            ("table short of EOF", with_dir(signed, cert_off, size - 8), [],
             b"does not end at the end"),
            ("table past EOF", with_dir(signed, cert_off, size + 8), [],
             b"does not end at the end"),
            ("table over the headers", with_dir(make_pe() + bytes(IMAGE_END), 0x80,
                                                2 * IMAGE_END - 0x80), [], b"overlaps the PE headers"),
            ("record length zero", with_u32(signed, cert_off, 0), [],
             b"corrupt certificate table"),
            ("record past table", with_u32(signed, cert_off, size + 8), [],
             b"corrupt certificate table"),
            ("X.509 record, not PKCS#7", make_signed([cert_record(content_info(), cert_type=1)]), [],
             b"not a PKCS#7 signature"),
            ("record holds no SignedData", make_signed([cert_record(der(0x30, der(0x02, b"\1")))]), [],
             b"does not hold PKCS#7 SignedData"),
            ("SignedData without signer", make_signed([cert_record(no_signer)]), [],
             b"signer not found"),
            ("DER length past the record", make_signed([cert_record(b"\x30\x82\x7f\xff" + pattern(40))]),
             [], b"runs past its container"),
            ("data after the signature", make_signed([cert_record(content_info() + b"junk")]), [],
             b"not zero padding"),
            ("id of 100 bytes", make_pe(), ["--id", "x" * 100], b"at most 99"),
            ("empty --id", make_pe(), ["--id", ""], b"identifier is empty"),
            ("already tagged", tagged, [], b"already carries a tag"),
            ("already tagged, signed", module_copy(self.write("t.exe", signed), b"old"), [],
             b"already carries a tag"),
            ("already tagged, earlier signed layout", tag_earlier_layout(signed, b"old"), [],
             b"already carries a tag"),
            ("4 GiB", sparse(4 * GiB), [], b"4 GiB or more"),
            ("copy would reach 4 GiB", sparse(4 * GiB - 20), ["--id", "x" * 9], b"4 GiB or more"),
            ("missing input", None, [], b"No such file"),
        ]
        for label, data, args, message in cases:
            with self.subTest(label):
                if data is None:
                    src = self.path("missing.exe")
                elif callable(data):
                    src = data()
                else:
                    src = self.write("bad.exe", data)
                before = os.path.exists(src) and os.stat(src).st_size
                out = self.path("never.exe")
                self.assertRefused(self.run_tool(src, out, *args), message)
                self.assertFalse(os.path.exists(out))
                if isinstance(data, bytes):
                    self.assertEqual(self.read("bad.exe"), data)
                elif data is not None:
                    self.assertEqual(os.stat(src).st_size, before)
                    os.remove(src)

    def test_argument_errors(self):
        src = self.write("in.exe", make_pe())
        out = self.path("out.exe")
        cases = [
            ("no arguments", [], b"expected INPUT and OUTPUT"),
            ("one path", [src], b"expected INPUT and OUTPUT"),
            ("--read with more", ["--read", src, out], b"--read takes only a file name"),
            ("--id with --id-hex", [src, out, "--id", "a", "--id-hex", "62"], b"not allowed with"),
            ("bad hex", [src, out, "--id-hex", "6g"], b"not a hex string"),
            ("unknown option", [src, out, "--sign"], b"unrecognized arguments"),
            ("--read of an inconsistent trailer",
             ["--read", self.write("bad.exe", make_pe() + velko_tag.pack_trailer(0, 5))],
             b"inconsistent"),
        ]
        for label, args, message in cases:
            with self.subTest(label):
                self.assertRefused(self.run_tool(*args), message)
                self.assertFalse(os.path.exists(out))


# ---------------------------------------------------------------- --replace

class ReplaceTest(ToolTestCase):

    def test_replace_equals_tagging_the_untagged_file(self):
        fixtures = [
            ("unsigned", with_checksum(make_pe())),
            ("signed", with_checksum(make_signed())),
            ("signed, two records", make_signed([cert_record(content_info(filler=64)),
                                                 cert_record(content_info(filler=3))])),
            ("signed, unsigned attribute", with_checksum(make_signed(
                [cert_record(content_info(unsigned=unsigned_attribute(50)))]))),
        ]
        old_ids = [b"", b"o", WEB_ID, b"q" * 99]
        new_id = b"NEW-ID-7"
        for label, original in fixtures:
            expected = self.tag_ok(original, "--id", new_id.decode(), out="expected.exe")
            for old in old_ids:
                olds = [("current layout", self.tag_ok(original, "--id-hex", old.hex(), out="old.exe"))]
                if label != "unsigned":
                    olds.append(("earlier layout", tag_earlier_layout(original, old)))
                for layout, tagged in olds:
                    with self.subTest(label, layout=layout, old_len=len(old)):
                        r = self.run_tool("--read", self.write("old.exe", tagged))
                        self.assertEqual(r.stdout, old + b"\n")
                        again = self.tag_ok(tagged, "--id", new_id.decode(), "--replace",
                                            name="old.exe", out="new.exe")
                        self.assertEqual(again, expected)

    def test_replace_refuses_what_it_cannot_undo(self):
        signed = make_signed()
        earlier = bytearray(tag_earlier_layout(signed, b"old-id"))
        junk = bytearray(earlier)
        junk[len(signed)] = 0x55      # between the signature and the identifier
        overlap = bytearray(earlier)  # identifier said to start 12 bytes inside the signature
        start = len(signed) - 12
        struct.pack_into(">II", overlap, len(overlap) - 8, start, len(overlap) - 12 - start)
        current = bytearray(module_copy(self.write("in.exe", signed), b"old-id"))
        outside = bytearray(current)  # identifier said to start before the attribute's value
        start = len(current) - 12 - 6 - 40
        struct.pack_into(">II", outside, len(outside) - 8, start, len(outside) - 12 - start)
        unsigned = make_pe()
        cases = [
            ("junk before id", junk, b"non-zero data"),
            ("id overlapping signature", overlap, b"overlaps the signature"),
            ("id outside the identifier attribute", outside, b"not in an identifier attribute"),
            ("id not before trailer", unsigned + b"old-id" +
             velko_tag.pack_trailer(IMAGE_END, 5), b"inconsistent"),
            ("id not before trailer, signed", current[:-4] + b"\0\0\0\1", b"inconsistent"),
            ("id inside image", unsigned + b"old-id" +
             velko_tag.pack_trailer(IMAGE_END - 6, 12), b"inside the image"),
        ]
        for label, data, message in cases:
            with self.subTest(label):
                src = self.write("bad.exe", bytes(data))
                self.assertRefused(self.run_tool(src, self.path("never.exe"), "--id", "x",
                                                 "--replace"), message)
                self.assertFalse(os.path.exists(self.path("never.exe")))


# ---------------------------------------------------------------- real signatures

# The real stubs, PE32 (x86, the one shipped by default) and PE32+ (x64): both are tagged alike.
STUBS = {arch: os.environ.get("VELKO_STUB_" + arch.upper(), "") for arch in ("x86", "x64")}


@unittest.skipUnless(all(STUBS.values()) and available(),
                     "needs VELKO_STUB_X86, VELKO_STUB_X64, osslsigncode and openssl")
class AuthenticodeTest(ToolTestCase):
    """Each real stub signed by osslsigncode with a throw-away CA, in each kind of signature it
    can make here, then tagged."""

    @classmethod
    def setUpClass(cls):
        cls.keys = tempfile.mkdtemp(prefix="velko-tag-keys-")
        cls.signer = Signer(cls.keys)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.keys)

    def assertVerified(self, name):
        passed, log = self.signer.verify(self.path(name))
        self.assertTrue(passed, log)

    def test_tagged_signatures_verify_and_pass_the_padding_check(self):
        for (arch, stub), kind in itertools.product(STUBS.items(), SIGNATURE_KINDS):
            self.signer.sign(os.path.abspath(stub), self.path("signed.exe"), kind)
            signed = self.read("signed.exe")
            self.assertVerified("signed.exe")
            for ident in (WEB_ID, b"", b"\xff" * 99):
                with self.subTest(kind, arch=arch, length=len(ident)):
                    tagged = self.tag_ok(signed, "--id-hex", ident.hex(), name="signed.exe",
                                         out="tagged.exe")
                    self.assertVerified("tagged.exe")
                    self.check_signed_layout(signed, tagged, ident)
                    self.assertEqual(module_copy(self.path("signed.exe"), ident), tagged)
                    r = self.run_tool("--read", self.path("tagged.exe"))
                    self.assertEqual(r.stdout, ident + b"\n")

                    # Control: the earlier layout, identifier after the SignedData, still
                    # verifies with osslsigncode but fails the padding check.
                    earlier = tag_earlier_layout(signed, ident)
                    self.write("earlier.exe", earlier)
                    self.assertVerified("earlier.exe")
                    self.assertIsNotNone(cert_padding_problem(earlier))

                    for old in ("tagged.exe", "earlier.exe"):
                        again = self.tag_ok(self.read(old), "--id", "NEW", "--replace",
                                            name=old, out="again.exe")
                        self.assertVerified("again.exe")
                        self.assertEqual(again, module_copy(self.path("signed.exe"), b"NEW"))


if __name__ == "__main__":
    unittest.main()
