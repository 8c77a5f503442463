"""Per-download identifiers (DownloadId) in copies of velko-stub.exe.

This is the code of the command-line tool `tools/velko-tag` and, unchanged,
a module for programs that hand out tagged copies themselves (a download
site): both describe a tagged copy the same way, so they always agree.

The stub finds its identifier through a trailer, the last 12 bytes of its
own file: three big-endian uint32, magic 0xE41C3139, absolute file offset of
the identifier, identifier length (at most 99 bytes).  In every layout this
module writes, the identifier immediately precedes the trailer.

Unsigned stub: the identifier and the trailer are appended to the file.

Signed stub: the Authenticode certificate table sits at the end of the file,
outside what the signature hashes.  The identifier and the trailer are
carried inside the last record's PKCS#7 SignedData, as the value of an
unsigned attribute appended to the last signer's unsigned attributes:

    Attribute ::= SEQUENCE { TAG_ATTRIBUTE_OID,
                             SET { OCTET STRING (zeros, identifier, trailer) } }

The zeros make the whole SignedData a multiple of 8 bytes, so the record and
the table end exactly where the SignedData ends.  Windows with the
EnableCertPaddingCheck setting rejects a signature whose record holds bytes
after the SignedData; this layout has none.  Every enclosing DER length is
re-encoded.  Unsigned attributes are not covered by the signature, so it
stays valid.  The PE checksum, also outside the hash, is updated when set.

Earlier versions put the identifier after the SignedData inside an extended
record; such files are still read and replaced (the copy then gets the
current layout).

A tagged copy is described without writing it: plan_copy() returns its
length and its pieces, patched header bytes, an unchanged range of the
original file and the new tail.  Only the headers and the certificate table
(or an old tag) are read when a stub is loaded, so the work per copy does not
grow with the size of the stub.

    image = StubImage.load("velko-stub.exe")      # once
    copy = plan_copy(image, random_id())          # per download
    copy.length, copy.pieces                      # bytes / FileRange
    write_copy(copy, f)  or  for block in iter_copy(copy): ...

Command line:
    velko-tag INPUT.exe OUTPUT.exe [--id ID | --id-hex HEX | --random-id] [--replace]
    velko-tag --read FILE
Every refusal is one line on stderr and exit status 2; --read exits 1 when
the file carries no tag.
"""

import argparse
import collections
import os
import secrets
import struct
import sys
import tempfile

TAG_MAGIC = 0xE41C3139
TRAILER = struct.Struct(">III")
MAX_ID_LEN = 99
# Trailer offsets and the PE's certificate table fields are 32-bit.
MAX_FILE_SIZE = 1 << 32

# Attribute type of the identifier attribute: an OID under the UUID arc 2.25,
# minted once for this tool from a random UUID.
TAG_ATTRIBUTE_OID = "2.25.125973327229605716485615113182916924576"

IMAGE_DIRECTORY_ENTRY_SECURITY = 4
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002

# Optional header magic -> offset of NumberOfRvaAndSizes inside it.  The
# data directories follow that field directly.
OPTIONAL_HEADER_KINDS = {
    0x10B: 92,   # PE32
    0x20B: 108,  # PE32+
}
CHECKSUM_OFFSET_IN_OPTIONAL = 64
# Headers are read in one go up to this size; more only when they go further.
HEAD_READ = 1024
COPY_BLOCK = 256 * 1024


class TagError(Exception):
    """The input cannot be tagged (or read); the message says why, in one line."""


FileRange = collections.namedtuple("FileRange", "offset length")
FileRange.__doc__ = "An unchanged range of the original file: `length` bytes from `offset`."


class TaggedCopy:
    """A tagged copy described, not written.

    length: total bytes.  pieces: in order, each `bytes` (patched headers, the
    new tail) or a FileRange of the original file; concatenated they are the
    copy.  ident: the identifier; id_offset: its file offset in the copy.
    image: the StubImage the ranges refer to."""

    __slots__ = ("image", "ident", "id_offset", "length", "pieces")

    def __init__(self, image, ident, id_offset, pieces):
        self.image = image
        self.ident = ident
        self.id_offset = id_offset
        self.pieces = pieces
        self.length = sum(p.length if isinstance(p, FileRange) else len(p) for p in pieces)


def random_id():
    """44 characters: five groups of eight upper-case hex digits."""
    raw = secrets.token_hex(20).upper()
    return "-".join(raw[i:i + 8] for i in range(0, 40, 8)).encode("ascii")


def pack_trailer(offset, length):
    """The 12 trailer bytes as given, consistent or not."""
    return TRAILER.pack(TAG_MAGIC, offset, length)


def _trailer_fields(size, trailer):
    """(id_offset, id_length) of a trailer at the end of a file of `size` bytes,
    None without tag magic; TagError if the identifier does not end at the
    trailer (every layout puts it right before)."""
    magic, off, length = TRAILER.unpack(trailer)
    if magic != TAG_MAGIC:
        return None
    if off + length + TRAILER.size != size:
        raise TagError("tag trailer is inconsistent: identifier at %d, length %d "
                       "does not end at the trailer" % (off, length))
    return off, length


def read_tag(data):
    """Return (id_offset, id_bytes) if `data` ends with a consistent tag,
    None if there is no tag magic, raise TagError if the trailer is
    inconsistent."""
    if len(data) < TRAILER.size:
        return None
    found = _trailer_fields(len(data), data[-TRAILER.size:])
    if found is None:
        return None
    off, length = found
    return off, bytes(data[off:off + length])


def read_file_tag(path):
    """read_tag() for a file, reading only its trailer and identifier."""
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        if size < TRAILER.size:
            return None
        found = _trailer_fields(size, os.pread(f.fileno(), TRAILER.size, size - TRAILER.size))
        if found is None:
            return None
        off, length = found
        return off, os.pread(f.fileno(), length, off)


# ------------------------------------------------------------ PE checksum

# The PE checksum is the sum of the file's little-endian 16-bit words (the
# checksum field counted as zero) with end-around carry, plus the file length.
# Folded that way the sum is congruent to the plain sum modulo 0xFFFF, and
# since 2**16 == 1 (mod 0xFFFF) the plain sum of the words of a byte string
# is congruent to the string read as one little-endian integer.  A region that
# starts at an odd file offset has its bytes in the high halves of the words:
# multiplying by 256 moves them there.  So sums of regions are computed and
# combined modulo 0xFFFF, and a copy's checksum follows from the sum of its
# unchanged range, worked out once per stub.

def _sum_mod(data, offset):
    """Word sum modulo 0xFFFF of `data` lying at file offset `offset`."""
    return (int.from_bytes(data, "little") << (8 * (offset & 1))) % 0xFFFF


def _checksum_value(residue, length):
    """The checksum field for a file whose word sum is congruent to `residue`.
    The folded sum is never 0 for a PE (it starts with "MZ"), so a residue of
    0 stands for 0xFFFF."""
    return ((residue - 1) % 0xFFFF + 1 + length) & 0xFFFFFFFF


# ------------------------------------------------------------ DER

def _der_length(n):
    if n < 0x80:
        return bytes((n,))
    raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes((0x80 | len(raw),)) + raw


def _der_header_size(n):
    return 2 if n < 0x80 else 2 + (n.bit_length() + 7) // 8


def _der(tag, content):
    return bytes((tag,)) + _der_length(len(content)) + content


def _oid(dotted):
    arcs = [int(a) for a in dotted.split(".")]
    out = bytearray()
    for arc in [40 * arcs[0] + arcs[1]] + arcs[2:]:
        chunk = [arc & 0x7F]
        arc >>= 7
        while arc:
            chunk.append(0x80 | (arc & 0x7F))
            arc >>= 7
        out += bytes(reversed(chunk))
    return _der(0x06, bytes(out))


TAG_ATTRIBUTE_OID_DER = _oid(TAG_ATTRIBUTE_OID)
SIGNED_DATA_OID_DER = _oid("1.2.840.113549.1.7.2")

DerItem = collections.namedtuple("DerItem", "tag start content end")


def _der_item(buf, pos, limit):
    """The DER element at buf[pos], which must end by `limit`."""
    if pos + 2 > limit:
        raise TagError("signature data truncated at %d" % pos)
    tag, first = buf[pos], buf[pos + 1]
    if tag & 0x1F == 0x1F:
        raise TagError("signature data: unsupported DER tag 0x%02X at %d" % (tag, pos))
    content = pos + 2
    if first < 0x80:
        length = first
    else:
        count = first & 0x7F
        if count == 0 or count > 4 or content + count > limit:
            raise TagError("signature data: unsupported DER length at %d" % pos)
        length = int.from_bytes(buf[content:content + count], "big")
        content += count
    if content + length > limit:
        raise TagError("signature data: element at %d runs past its container" % pos)
    return DerItem(tag, pos, content, content + length)


def _der_children(buf, item):
    out = []
    pos = item.content
    while pos < item.end:
        child = _der_item(buf, pos, item.end)
        out.append(child)
        pos = child.end
    return out


def _last_child(buf, item, tag, what):
    children = _der_children(buf, item)
    if not children or children[-1].tag != tag:
        raise TagError("signature data: %s not found" % what)
    return children[-1]


def _is_tag_attribute(buf, item):
    return item.tag == 0x30 and buf[item.content:item.content + len(TAG_ATTRIBUTE_OID_DER)] \
        == TAG_ATTRIBUTE_OID_DER


def _tag_value(buf, attr):
    """The OCTET STRING of an identifier attribute, None if it has another shape."""
    children = _der_children(buf, attr)
    if len(children) == 2 and children[1].tag == 0x31:
        values = _der_children(buf, children[1])
        if len(values) == 1 and values[0].tag == 0x04:
            return values[0]
    return None


class _SignatureShape:
    """The signature data of a record (a PKCS#7 ContentInfo holding SignedData),
    cut open at the end of its last signer's unsigned attributes, without
    identifier attributes.

    levels: (tag, prefix) from the ContentInfo inward to the unsigned
    attributes [1]: each level's content is its prefix followed by the next
    level, the innermost's by whatever is appended.  end: where the signature
    data ends in the buffer parsed.  tag_value: the OCTET STRING (a DerItem) of the
    identifier attribute if that is the last attribute, else None; tagged: an
    identifier attribute was found."""

    def __init__(self, buf, start, limit):
        info = _der_item(buf, start, limit)
        children = _der_children(buf, info) if info.tag == 0x30 else []
        if len(children) != 2 or bytes(buf[children[0].start:children[0].end]) \
                != SIGNED_DATA_OID_DER or children[1].tag != 0xA0:
            raise TagError("the last certificate record does not hold PKCS#7 SignedData")
        explicit = children[1]
        signed = _der_item(buf, explicit.content, explicit.end)
        if signed.tag != 0x30 or signed.end != explicit.end:
            raise TagError("the last certificate record does not hold PKCS#7 SignedData")
        signers = _last_child(buf, signed, 0x31, "signer infos")
        signer = _last_child(buf, signers, 0x30, "signer")
        fields = _der_children(buf, signer)
        unsigned = fields[-1] if fields and fields[-1].tag == 0xA1 else None
        kept, self.tag_value, self.tagged = [], None, False
        for attr in _der_children(buf, unsigned) if unsigned else ():
            if _is_tag_attribute(buf, attr):
                self.tagged = True
                self.tag_value = _tag_value(buf, attr)
            else:
                kept.append(bytes(buf[attr.start:attr.end]))
                self.tag_value = None
        signer_prefix_end = unsigned.start if unsigned else signer.end
        self.levels = [
            (0x30, bytes(buf[info.content:explicit.start])),
            (0xA0, b""),
            (0x30, bytes(buf[signed.content:signers.start])),
            (0x31, bytes(buf[signers.content:signer.start])),
            (0x30, bytes(buf[signer.content:signer_prefix_end])),
            (0xA1, b"".join(kept)),
        ]
        self.end = info.end

    def size(self, appended):
        """Length of the signature data with `appended` bytes added at the end of
        the unsigned attributes."""
        n = appended
        for _, prefix in reversed(self.levels):
            n += len(prefix)
            n += _der_header_size(n)
        return n

    def parts(self, appended):
        """Byte strings that make up the signature data with the bytes `appended`
        added at the end of the unsigned attributes."""
        n = len(appended)
        headers = []
        for tag, prefix in reversed(self.levels):
            n += len(prefix)
            headers.append(bytes((tag,)) + _der_length(n))
            n += len(headers[-1])
        parts = []
        for (_, prefix), header in zip(self.levels, reversed(headers)):
            parts += (header, prefix)
        parts.append(appended)
        return parts


def _attribute_size(value_size):
    """Size of the identifier attribute whose OCTET STRING holds value_size bytes."""
    octets = _der_header_size(value_size) + value_size
    values = _der_header_size(octets) + octets
    content = len(TAG_ATTRIBUTE_OID_DER) + values
    return _der_header_size(content) + content


def _attribute(value):
    return _der(0x30, TAG_ATTRIBUTE_OID_DER + _der(0x31, _der(0x04, value)))


# ------------------------------------------------------------ the stub

def _u16(buf, pos):
    return struct.unpack_from("<H", buf, pos)[0]


def _u32(buf, pos):
    return struct.unpack_from("<I", buf, pos)[0]


def _align8(n):
    return (n + 7) & ~7


class StubImage:
    """What tagging needs of a stub, read once: its headers, its certificate
    table (signed) or old tag (unsigned), never the body in between, except
    once when the PE checksum is set but evidently stale (see below).

    path, size, mtime_ns: the file as loaded; identity: what tells that file
    apart from any other or from itself changed (device, inode, size,
    modification and change time).  iter_copy() and write_copy() read the
    unchanged range from that path and refuse to go on if the file changed
    since (is_current() tells beforehand).  The size and modification time
    alone would miss a same-size stub renamed over the old one with its time
    kept (rsync -t, tar), and one copied over it in place (cp): the inode
    tells the first, the change time, which nothing can set back, the second.  signed: it has
    a certificate table.  tagged: it carries a tag (or an identifier attribute).
    bytes_read: what loading read.  Raises TagError if the file cannot be
    tagged at all; problems of an existing tag only surface when plan_copy()
    is asked to replace it.

    The checksum of a copy is derived from the stored one: the sum of the
    unchanged range is the stored sum minus the bytes around it.  A stored
    checksum that is wrong but plausible stays off by the same amount; one
    that cannot be right (smaller than the file, or more than 0xFFFF above
    it) is replaced by a correct one, which takes one read of the body."""

    @classmethod
    def load(cls, path):
        return cls(path)

    def __init__(self, path):
        self.path = path
        self.bytes_read = 0
        with open(path, "rb") as f:
            self._fd = f.fileno()
            st = os.fstat(self._fd)
            self.size, self.mtime_ns = st.st_size, st.st_mtime_ns
            self.identity = file_identity(st)
            if self.size >= MAX_FILE_SIZE:
                raise TagError("file is %d bytes; files of 4 GiB or more cannot be tagged "
                               "(the tag's offsets are 32-bit)" % self.size)
            self._parse_headers()
            self._untag_error = None
            if self.signed:
                self._load_signature()
            else:
                self._load_unsigned_tag()
            self._checksum_residue = self._unchanged_residue() if self._checksum else None
            # Written to while it was read: what was read may be half old, half new.
            if file_identity(os.fstat(self._fd)) != self.identity:
                raise TagError("file changed while it was read")
        del self._fd

    def _read(self, offset, length):
        data = os.pread(self._fd, length, offset)
        self.bytes_read += len(data)
        if len(data) != length:
            raise TagError("file changed while it was read")
        return data

    def _parse_headers(self):
        size = self.size
        head = self._read(0, min(size, HEAD_READ))
        if size < 0x40 or head[:2] != b"MZ":
            raise TagError("not a PE file (no MZ signature)")
        e_lfanew = _u32(head, 0x3C)
        if e_lfanew + 24 > size:
            raise TagError("not a PE file (no PE\\0\\0 signature)")
        opt = e_lfanew + 24
        wanted = min(size, opt + 0x100)
        if wanted > len(head):
            head += self._read(len(head), wanted - len(head))
        if head[e_lfanew:e_lfanew + 4] != b"PE\0\0":
            raise TagError("not a PE file (no PE\\0\\0 signature)")
        opt_size = _u16(head, e_lfanew + 20)
        if opt_size < 2 or opt + 2 > size:
            raise TagError("unsupported PE file (no optional header)")
        magic = _u16(head, opt)
        if magic not in OPTIONAL_HEADER_KINDS:
            raise TagError("unsupported PE optional header (magic 0x%04X)" % magic)
        count_off = OPTIONAL_HEADER_KINDS[magic]
        if opt_size < count_off + 4 or opt + opt_size > size:
            raise TagError("unsupported PE file (optional header truncated)")
        nsections = _u16(head, e_lfanew + 6)
        sections = opt + opt_size
        if sections + 40 * nsections > size:
            raise TagError("not a valid PE file (section table truncated)")
        if sections + 40 * nsections > len(head):
            head += self._read(len(head), sections + 40 * nsections - len(head))
        self.image_end = sections + 40 * nsections
        for i in range(nsections):
            raw_size, raw_ptr = struct.unpack_from("<II", head, sections + 40 * i + 16)
            if raw_size:
                self.image_end = max(self.image_end, raw_ptr + raw_size)
        if self.image_end > size:
            raise TagError("truncated PE file (section data ends at %d, the file at %d)"
                           % (self.image_end, size))
        self._checksum_pos = opt + CHECKSUM_OFFSET_IN_OPTIONAL
        self._checksum = _u32(head, self._checksum_pos)
        dir_count = _u32(head, opt + count_off)
        dir_end = opt + count_off + 4 + 8 * (IMAGE_DIRECTORY_ENTRY_SECURITY + 1)
        if dir_count > IMAGE_DIRECTORY_ENTRY_SECURITY and dir_end <= opt + opt_size:
            self._security_pos = dir_end - 8
            self._cert_off, cert_size = struct.unpack_from("<II", head, self._security_pos)
            self._head_end = dir_end
        else:
            # Too few data directories to have a certificate table.
            self._security_pos = None
            self._cert_off = cert_size = 0
            self._head_end = self._checksum_pos + 4
        self.signed = cert_size != 0
        self._head = head[:self._head_end]
        if self.signed:
            if self._cert_off + cert_size != size:
                raise TagError(
                    "certificate table (offset %d, size %d, ends at %d) does not end at "
                    "the end of the file (%d bytes)"
                    % (self._cert_off, cert_size, self._cert_off + cert_size, size))
            if self._cert_off < self._head_end:
                raise TagError("certificate table at %d overlaps the PE headers" % self._cert_off)

    def _load_unsigned_tag(self):
        self._keep_end = self.size
        self.tagged = False
        if self.size < self._head_end + TRAILER.size:
            return
        try:
            found = _trailer_fields(self.size, self._read(self.size - TRAILER.size, TRAILER.size))
        except TagError as e:
            self.tagged, self._untag_error = True, str(e)
            return
        if found is None:
            return
        self.tagged = True
        id_off = found[0]
        if id_off < self.image_end:
            self._untag_error = ("cannot remove old tag: identifier offset %d lies inside "
                                 "the image (which ends at %d)" % (id_off, self.image_end))
        else:
            self._keep_end = id_off

    def _load_signature(self):
        self._keep_end = self._cert_off
        table = self._read(self._cert_off, self.size - self._cert_off)
        self._old_table = table
        last = self._last_record(table)
        revision, cert_type = struct.unpack_from("<HH", table, last + 4)
        if cert_type != WIN_CERT_TYPE_PKCS_SIGNED_DATA:
            raise TagError("the last certificate record is not a PKCS#7 signature (type %d)"
                           % cert_type)
        self._records_before = table[:last]
        self._record_header = struct.pack("<HH", revision, cert_type)
        self._record_off = last
        shape = _SignatureShape(table, last + 8, len(table))
        self._shape = shape
        self.tagged = shape.tagged
        found = None
        if len(table) >= TRAILER.size:
            try:
                found = _trailer_fields(self.size, table[-TRAILER.size:])
            except TagError as e:
                self.tagged, self._untag_error = True, str(e)
                return
        if found is None:
            if any(table[shape.end:]):
                raise TagError("the last certificate record holds data after the signature "
                               "(at %d) that is not zero padding" % (self._cert_off + shape.end))
            return
        self.tagged = True
        id_off = found[0] - self._cert_off  # in the table from here on
        if shape.end == len(table):
            # Identifier inside the signature data: it must be in the value of
            # the identifier attribute, which must end the signature data.
            value = shape.tag_value
            if value is None or value.end != len(table) or id_off < value.content:
                self._untag_error = ("cannot remove old tag: the trailer lies inside the "
                                     "signature data but not in an identifier attribute")
        elif shape.end > id_off:
            self._untag_error = ("cannot remove old tag: the identifier overlaps the "
                                 "signature (signature ends at %d, identifier at %d)"
                                 % (self._cert_off + shape.end, found[0]))
        elif any(table[shape.end:id_off]):
            self._untag_error = ("cannot remove old tag: unexpected non-zero data between "
                                 "the end of the signature (%d) and the identifier (%d)"
                                 % (self._cert_off + shape.end, found[0]))

    def _last_record(self, table):
        """Offset in `table` of its last WIN_CERTIFICATE record."""
        pos, end = 0, len(table)
        while True:
            if pos + 8 > end:
                raise TagError("corrupt certificate table (truncated record at %d)"
                               % (self._cert_off + pos))
            length = _u32(table, pos)
            if length < 8 or pos + length > end:
                raise TagError("corrupt certificate table (record at %d has length %d)"
                               % (self._cert_off + pos, length))
            nxt = _align8(pos + length)
            # Records are 8-byte aligned; a run of zero bytes after the last one
            # is padding, not another record.
            if nxt >= end or not any(table[nxt:end]):
                return pos
            pos = nxt

    def _unchanged_residue(self):
        """Word sum (mod 0xFFFF) of the range that copies take unchanged."""
        start, end = self._head_end, self._keep_end
        stored = (self._checksum - self.size) & 0xFFFFFFFF
        if 0 < stored <= 0xFFFF:
            head = bytearray(self._head)
            head[self._checksum_pos:self._checksum_pos + 4] = bytes(4)
            tail = self._old_table if self.signed else self._read(end, self.size - end)
            return (stored - _sum_mod(head, 0) - _sum_mod(tail, end)) % 0xFFFF
        residue = 0
        for pos in range(start, end, COPY_BLOCK):
            residue += _sum_mod(self._read(pos, min(COPY_BLOCK, end - pos)), pos)
        return residue % 0xFFFF

    def is_current(self):
        """Whether the path still names the file as it was loaded (see identity)."""
        try:
            st = os.stat(self.path)
        except OSError:
            return False
        return file_identity(st) == self.identity

    def _signed_tail(self, ident):
        """The new certificate table carrying `ident`, and the identifier's offset in it."""
        shape = self._shape
        base = self._record_off + 8
        fixed = len(ident) + TRAILER.size
        for pad in range(64):
            total = shape.size(_attribute_size(pad + fixed))
            if total % 8 == 0:
                break
        else:  # each step adds one byte, or a few when a length grows: never reached
            raise TagError("no padding makes the signature data a multiple of 8 bytes")
        table_len = base + total
        id_off = self._cert_off + table_len - fixed
        value = bytes(pad) + ident + pack_trailer(id_off, len(ident))
        record = struct.pack("<I", 8 + total) + self._record_header
        table = b"".join([self._records_before, record] + shape.parts(_attribute(value)))
        return table, id_off


def plan_copy(image, ident, replace=False):
    """Describe the copy of `image` carrying `ident` (bytes, 0 to 99 of them)
    as a TaggedCopy.  A stub that is already tagged is refused unless
    `replace`: then its tag is removed first.  Raises TagError."""
    ident = bytes(ident)
    if len(ident) > MAX_ID_LEN:
        raise TagError("identifier is %d bytes, at most %d allowed" % (len(ident), MAX_ID_LEN))
    if image.tagged:
        if not replace:
            raise TagError("file already carries a tag (use --replace to overwrite it)")
        if image._untag_error:
            raise TagError(image._untag_error)
    keep_end = image._keep_end
    if image.signed:
        tail, id_off = image._signed_tail(ident)
    else:
        id_off = keep_end
        tail = ident + pack_trailer(id_off, len(ident))
    length = keep_end + len(tail)
    if length >= MAX_FILE_SIZE:
        raise TagError("the tagged copy would be %d bytes; 4 GiB or more cannot be tagged"
                       % length)
    head = bytearray(image._head)
    if image.signed:
        struct.pack_into("<I", head, image._security_pos + 4, len(tail))
    if image._checksum:
        struct.pack_into("<I", head, image._checksum_pos, 0)
        residue = image._checksum_residue + _sum_mod(head, 0) + _sum_mod(tail, keep_end)
        struct.pack_into("<I", head, image._checksum_pos, _checksum_value(residue, length))
    pieces = [bytes(head), FileRange(image._head_end, keep_end - image._head_end), tail]
    return TaggedCopy(image, ident, id_off, pieces)


def file_identity(st):
    """What tells a file apart from another one put at its path, or from itself
    changed, from its os.stat_result: device, inode, size, modification and
    change time."""
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)


def iter_copy(copy, block_size=COPY_BLOCK):
    """Yield the bytes of `copy` in order, reading its FileRange pieces from the
    stub in blocks of at most block_size.  Raises TagError if the stub's file
    is not the one loaded (replaced, or changed in place), before the first
    byte; and if it changes while the copy is read, before the block that may
    hold changed bytes is yielded: a copy is never a mix of two stubs.  A
    write's change time is set before its bytes can be read, so a block read
    and then found with the identity unchanged holds none of them."""
    image = copy.image
    with open(image.path, "rb") as f:
        fd = f.fileno()
        if file_identity(os.fstat(fd)) != image.identity:
            raise TagError("%s changed since it was loaded" % image.path)
        for piece in copy.pieces:
            if not isinstance(piece, FileRange):
                yield piece
                continue
            pos, end = piece.offset, piece.offset + piece.length
            while pos < end:
                block = os.pread(fd, min(block_size, end - pos), pos)
                if not block or file_identity(os.fstat(fd)) != image.identity:
                    raise TagError("%s changed since it was loaded" % image.path)
                yield block
                pos += len(block)


def read_range(image, piece):
    """The bytes of `piece`, a FileRange of `image`, read at once, with
    iter_copy's checks: TagError if the stub's file is not the one loaded, or
    changes while the range is read."""
    only = TaggedCopy(image, b"", 0, [piece])
    return b"".join(iter_copy(only, max(piece.length, 1)))


def write_copy(copy, out):
    """Write the bytes of `copy` to the binary file object `out`."""
    for block in iter_copy(copy):
        out.write(block)


def tag_file(src, dst, ident, replace=False):
    """Write the tagged copy of `src` to `dst` (which may be `src`): through a
    temporary file in dst's folder, renamed over dst once complete.  dst gets
    src's permission bits, without setuid, setgid or sticky."""
    image = StubImage.load(src)
    copy = plan_copy(image, ident, replace)
    mode = os.stat(src).st_mode & 0o777
    fd, tmp = tempfile.mkstemp(prefix=".velko-tag-", dir=os.path.dirname(os.path.abspath(dst)))
    try:
        with os.fdopen(fd, "wb") as f:
            write_copy(copy, f)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, mode)
        os.replace(tmp, dst)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    return copy


# ------------------------------------------------------------ command line

class _Refusal(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise _Refusal(message)


def _parse_args(argv):
    p = _Parser(prog="velko-tag",
                description="Write a DownloadId into a copy of velko-stub.exe.")
    p.add_argument("paths", nargs="*", metavar="INPUT OUTPUT",
                   help="stub to read and tagged copy to write")
    p.add_argument("--read", metavar="FILE",
                   help="print the identifier carried by FILE (exit 1 if none)")
    g = p.add_mutually_exclusive_group()
    g.add_argument("--id", help="identifier to write (bytes as given, 1 to 99)")
    g.add_argument("--id-hex", metavar="HEX",
                   help="identifier to write, as hex digits (any bytes, 0 to 99; "
                        "'' writes an empty identifier)")
    g.add_argument("--random-id", action="store_true",
                   help="generate a random 44-character identifier (default)")
    p.add_argument("--replace", action="store_true",
                   help="replace an existing tag instead of refusing")
    args = p.parse_args(argv)
    if args.read is not None:
        if args.paths or args.id is not None or args.id_hex is not None \
                or args.random_id or args.replace:
            p.error("--read takes only a file name")
    elif len(args.paths) != 2:
        p.error("expected INPUT and OUTPUT")
    return args


def _identifier(args):
    if args.id is not None:
        # An empty --id is most likely an unset shell variable; an empty
        # identifier has to be asked for with --id-hex ''.
        if not args.id:
            raise _Refusal("--id: identifier is empty (use --id-hex '' for an empty identifier)")
        return os.fsencode(args.id)
    if args.id_hex is not None:
        try:
            return bytes.fromhex(args.id_hex)
        except ValueError:
            raise _Refusal("--id-hex: not a hex string") from None
    return random_id()


def _refuse(text):
    """Print a refusal as one line; returns the exit status for refusals."""
    print("velko-tag: " + text.replace("\r", "\\r").replace("\n", "\\n"), file=sys.stderr)
    return 2


def main(argv=None):
    try:
        args = _parse_args(sys.argv[1:] if argv is None else argv)
        if args.read is not None:
            try:
                found = read_file_tag(args.read)
            except TagError as e:
                return _refuse("%s: %s" % (args.read, e))
            if found is None:
                print("velko-tag: %s: no tag found" % args.read, file=sys.stderr)
                return 1
            sys.stdout.buffer.write(found[1] + b"\n")
            return 0
        src, dst = args.paths
        ident = _identifier(args)
        try:
            tag_file(src, dst, ident, replace=args.replace)
        except TagError as e:
            return _refuse("%s: %s" % (src, e))
        sys.stdout.buffer.write(ident + b"\n")
        return 0
    except _Refusal as e:
        return _refuse(str(e))
    except OSError as e:
        return _refuse(str(e))


if __name__ == "__main__":
    sys.exit(main())
