"""Authenticode helpers for the tagging tests, written apart from the tool's own parser.

- DER: encode an element, read one back, and a tree form (constructed elements as lists) that
  re-encodes with minimal lengths.
- cert_padding_problem(data): the check that Windows applies with EnableCertPaddingCheck, in its
  strict form, on the last record of the certificate table (the one tagging changes): it ends
  exactly where its PKCS#7 SignedData ends, and at the end of the table, which is a multiple of 8
  bytes and ends at the end of the file.
- Signer: a throw-away CA with a code-signing leaf and a time-stamping leaf, and osslsigncode
  signatures of four kinds (plain, with an RFC 3161 timestamp from osslsigncode's built-in
  time-stamping authority, with an unauthenticated blob, and with a nested second signature).
"""
import os
import shutil
import struct
import subprocess
import time

SIGNATURE_KINDS = ("plain", "timestamped", "blob", "nested")


def available():
    return bool(shutil.which("osslsigncode") and shutil.which("openssl"))


# ---------------------------------------------------------------- DER

def der(tag, content):
    n = len(content)
    if n < 0x80:
        length = bytes((n,))
    else:
        raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes((0x80 | len(raw),)) + raw
    return bytes((tag,)) + length + content


def der_read(buf, pos):
    """(tag, content start, end) of the element at buf[pos]."""
    tag, n = buf[pos], buf[pos + 1]
    pos += 2
    if n & 0x80:
        count = n & 0x7F
        n = int.from_bytes(buf[pos:pos + count], "big")
        pos += count
    return tag, pos, pos + n


def der_tree(buf, pos=0):
    """(tag, children) for constructed elements, (tag, bytes) for primitive ones; and the end."""
    tag, start, end = der_read(buf, pos)
    if not tag & 0x20:
        return (tag, bytes(buf[start:end])), end
    children = []
    while start < end:
        child, start = der_tree(buf, start)
        children.append(child)
    return (tag, children), end


def der_encode(node):
    tag, value = node
    return der(tag, value if isinstance(value, bytes) else b"".join(der_encode(c) for c in value))


def oid_text(content):
    arcs, value = [], 0
    for b in content:
        value = (value << 7) | (b & 0x7F)
        if not b & 0x80:
            arcs.append(value)
            value = 0
    first = min(arcs[0] // 40, 2)
    return ".".join(str(a) for a in [first, arcs[0] - 40 * first] + arcs[1:])


# ---------------------------------------------------------------- the certificate table

def security_dir_pos(data):
    e_lfanew = struct.unpack_from("<I", data, 0x3C)[0]
    magic = struct.unpack_from("<H", data, e_lfanew + 24)[0]
    return e_lfanew + 24 + (96 if magic == 0x10B else 112) + 4 * 8


def certificate_records(data):
    """[(offset, dwLength)] of the records of the certificate table, walked 8 bytes aligned."""
    off, size = struct.unpack_from("<II", data, security_dir_pos(data))
    records, pos = [], off
    while pos < off + size:
        length = struct.unpack_from("<I", data, pos)[0]
        records.append((pos, length))
        pos += max(8, (length + 7) & ~7)
    return records


def cert_padding_problem(data):
    """None if the certificate table passes the padding check, else what is wrong."""
    off, size = struct.unpack_from("<II", data, security_dir_pos(data))
    if off + size != len(data):
        return "table ends at %d, the file at %d" % (off + size, len(data))
    if size % 8:
        return "table size %d is not a multiple of 8" % size
    pos, length = certificate_records(data)[-1]
    _, _, sig_end = der_read(data, pos + 8)
    if sig_end != pos + length:
        return "record at %d: %d bytes after its SignedData" % (pos, pos + length - sig_end)
    if pos + length != off + size:
        return "the last record ends at %d, the table at %d" % (pos + length, off + size)
    return None


def last_signature(data):
    """The DER bytes of the last record's SignedData (without padding after it)."""
    pos, _ = certificate_records(data)[-1]
    _, _, sig_end = der_read(data, pos + 8)
    return data[pos + 8:sig_end]


def last_signer(tree):
    """The last SignerInfo of a ContentInfo tree (see der_tree)."""
    _, [_, (_, [(_, signed_data)])] = tree
    return signed_data[-1][1][-1]


# ---------------------------------------------------------------- signing

class Signer:
    """A throw-away CA (ca.pem) issuing a code-signing and a time-stamping certificate, in `work`."""

    def __init__(self, work):
        self.work = work
        self.ca = self._path("ca.pem")
        ext = self._path("ext.cnf")
        with open(ext, "w") as f:
            f.write("[ca]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n"
                    "[code]\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n"
                    "[tsa]\nkeyUsage=critical,digitalSignature\n"
                    "extendedKeyUsage=critical,timeStamping\n")
        self._run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                  self._path("ca.key"), "-out", self.ca, "-days", "3", "-subj", "/CN=Velko Test CA",
                  "-config", ext, "-extensions", "ca")
        for name in ("code", "tsa"):
            self._run("openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout",
                      self._path(name + ".key"), "-out", self._path(name + ".csr"),
                      "-subj", "/CN=Velko Test " + name)
            self._run("openssl", "x509", "-req", "-in", self._path(name + ".csr"), "-CA", self.ca,
                      "-CAkey", self._path("ca.key"), "-CAcreateserial", "-days", "2",
                      "-out", self._path(name + ".pem"), "-extfile", ext, "-extensions", name)
            with open(self._path(name + "-chain.pem"), "w") as out:
                for part in (name + ".pem", "ca.pem"):
                    with open(self._path(part)) as f:
                        out.write(f.read())

    def _path(self, name):
        return os.path.join(self.work, name)

    def _run(self, *cmd):
        r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if r.returncode != 0:
            raise AssertionError("%s failed:\n%s" % (" ".join(cmd), r.stdout))
        return r.stdout

    def sign(self, src, dst, kind="plain"):
        """Sign `src` into `dst` with a signature of `kind` (one of SIGNATURE_KINDS)."""
        sign = ["osslsigncode", "sign", "-certs", self._path("code-chain.pem"),
                "-key", self._path("code.key"), "-h", "sha256"]
        first = dst if kind in ("plain", "timestamped") else dst + ".first"
        for path in (first, dst):  # osslsigncode does not overwrite
            if os.path.exists(path):
                os.remove(path)
        extra = []
        if kind == "timestamped":
            extra = ["-TSA-certs", self._path("tsa-chain.pem"), "-TSA-key", self._path("tsa.key"),
                     "-TSA-time", str(int(time.time()))]
        self._run(*sign, *extra, "-in", src, "-out", first)
        if kind == "blob":
            self._run("osslsigncode", "add", "-addUnauthenticatedBlob", "-in", first, "-out", dst)
        elif kind == "nested":
            self._run(*sign[:-1], "sha1", "-nest", "-in", first, "-out", dst)
        if first != dst:
            os.remove(first)

    def verify(self, path):
        """(passed, log) of osslsigncode verify against the throw-away CA; a timestamp that
        fails, or a wrong PE checksum, counts as a failure."""
        r = subprocess.run(["osslsigncode", "verify", "-CAfile", self.ca, "-TSA-CAfile", self.ca,
                            "-in", path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        passed = (r.returncode == 0 and "Signature verification: ok" in r.stdout
                  and "verification: failed" not in r.stdout and "invalid PE checksum" not in r.stdout)
        return passed, r.stdout
