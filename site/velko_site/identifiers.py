"""Identifiers that describe themselves: each copy's identifier names its product and campaign and
carries a MAC, so the information endpoint answers from the identifier alone.

    1.<key id>.<mint time>.<product>.<campaign>.<random>.<mac>

    1           the form's version
    key id      1 to 4 letters or digits: the key of the keys file that made the MAC
    mint time   when the copy was made, Unix seconds as 8 lower-case hex digits
    product     the product's name (letters, digits, '-', '_'; never a '.')
    campaign    the campaign's name, empty for none (letters, digits, '.', '-', '_')
    random      11 base64url characters, each of 6 random bits (66 in all)
    mac         HMAC-SHA-256 with the key over everything before the last '.', its first 96
                bits, base64url without padding (16 characters)

Every character is one a URL query carries unescaped and that the stub passes on byte for byte.
The campaign is the only field that may hold a '.': it is what lies between the fourth field and
the last two.  An identifier is at most velko_tag.MAX_ID_LEN (99) bytes: the configuration's check
keeps product names within max_product_length(), so that a campaign of MAX_CAMPAIGN_LENGTH
characters always fits whole.  Download links take campaigns of up to LINK_CAMPAIGN_LENGTH
characters, as they always did: a longer one goes whole into the journal's line and, cut to the
room left, into the identifier (which only matters for a download row made from the identifier
when its own line was lost).

The keys file (TOML, mode 0600, named by the configuration's `keys`):

    [[key]]
    id = "k1"
    secret = "..."                        # base64url, at least 32 bytes (velko-site new-key makes one)
    created = 2026-12-01T00:00:00Z
    minted_before = 2026-12-10T00:00:00Z  # optional: revoked; only identifiers minted earlier verify

The newest key (by `created`) without `minted_before` signs; every key listed verifies, within its
limit.
"""
import base64
import binascii
import datetime
import hashlib
import hmac
import os
import re
import secrets
import stat
import threading
import time
import tomllib

VERSION = b"1"
KEY_ID = re.compile(r"[A-Za-z0-9]{1,4}")
MIN_SECRET_BYTES = 32
RANDOM_CHARS = 11    # 66 random bits
MAC_BYTES = 12       # 96 bits: 16 base64url characters
MAX_ID_BYTES = 99    # the stub's limit (velko_tag.MAX_ID_LEN)
MAX_CAMPAIGN_LENGTH = 24   # always carried whole
LINK_CAMPAIGN_LENGTH = 64  # the longest a download link may name
# Everything but the product and the campaign: version, the longest key id, mint time, random
# part, MAC and the six separators.
FIXED_BYTES = 1 + 4 + 8 + 11 + 16 + 6

# The whole form, in one match: key id, mint time, product, campaign (the only field that may hold
# a '.': what lies between the product and the last two fields, which hold none; matched shortest
# first, which is quicker than backing off from the end), random part, MAC.
FORM = re.compile(rb"1\.([^.]*)\.([0-9a-f]{8})\.([A-Za-z0-9][A-Za-z0-9_-]*)\.([A-Za-z0-9._-]*?)"
                  rb"\.[A-Za-z0-9_-]+\.([A-Za-z0-9_-]{16})")
# base64 to base64url, for binascii's encoder (which is C, as against base64's).
_URLSAFE = bytes.maketrans(b"+/", b"-_")


def max_product_length():
    """The longest product name that keeps every identifier within MAX_ID_BYTES."""
    return MAX_ID_BYTES - FIXED_BYTES - MAX_CAMPAIGN_LENGTH


class KeysError(Exception):
    """The keys file cannot be used; the text says why."""


class Key:
    """id: text; secret: bytes; created: Unix seconds; minted_before: Unix seconds or None."""
    __slots__ = ("id", "secret", "created", "minted_before", "_inner", "_outer")

    def __init__(self, id, secret, created, minted_before=None):
        self.id, self.secret, self.created, self.minted_before = id, secret, created, minted_before
        # HMAC's two keyed hash states, made once: each MAC then hashes only the message and the
        # inner digest (RFC 2104; the secret is under SHA-256's block of 64 bytes or hashed to it).
        block = secret if len(secret) <= 64 else hashlib.sha256(secret).digest()
        block = block.ljust(64, b"\0")
        self._inner = hashlib.sha256(bytes(b ^ 0x36 for b in block))
        self._outer = hashlib.sha256(bytes(b ^ 0x5C for b in block))

    def mac(self, signed):
        """The MAC of `signed` (bytes) with this key: HMAC-SHA-256 cut to MAC_BYTES, base64url."""
        inner = self._inner.copy()
        inner.update(signed)
        outer = self._outer.copy()
        outer.update(inner.digest())
        return binascii.b2a_base64(outer.digest()[:MAC_BYTES], newline=False).translate(_URLSAFE)


class Keys:
    """The keys of a keys file: `signer` makes new identifiers, `by_id` {id bytes: Key} verifies."""

    def __init__(self, keys):
        self.by_id = {k.id.encode("ascii"): k for k in keys}
        usable = [k for k in keys if k.minted_before is None]
        if not usable:
            raise KeysError("every key is limited by minted_before: add a new key to sign with")
        newest = max(k.created for k in usable)
        signers = [k for k in usable if k.created == newest]
        if len(signers) > 1:
            raise KeysError("keys %s have the same created time: which signs is not clear"
                            % ", ".join(k.id for k in signers))
        self.signer = signers[0]


class Identifier:
    """A verified identifier's contents: product and campaign (text, campaign '' for none),
    minted (Unix seconds), key_id (text)."""
    __slots__ = ("product", "campaign", "minted", "key_id")

    def __init__(self, product, campaign, minted, key_id):
        self.product, self.campaign, self.minted, self.key_id = product, campaign, minted, key_id


def _b64(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=")


class _RandomParts:
    """The random parts of identifiers, RANDOM_CHARS base64url characters each, cut from one read
    of the system's random source per PER_READ identifiers rather than a system call each.  A
    process forked from this one draws afresh: parent and child never hand out the same parts."""

    PER_READ = 256

    def __init__(self):
        self._lock = threading.Lock()
        self._parts = []
        os.register_at_fork(after_in_child=self._forked)

    def _forked(self):
        self._lock = threading.Lock()
        self._parts = []

    def next(self):
        with self._lock:
            if not self._parts:
                # 3 bytes make 4 characters, each of 6 bits of its own: 9 bytes make 12, of which
                # RANDOM_CHARS (11) are kept.
                text = binascii.b2a_base64(os.urandom(9 * self.PER_READ), newline=False).translate(_URLSAFE)
                self._parts = [text[n:n + RANDOM_CHARS] for n in range(0, len(text), 12)]
            return self._parts.pop()


_random_parts = _RandomParts()


def mint(keys, product, campaign, now=None):
    """A new identifier (bytes) for a copy of `product` (text) in `campaign` (text, '' for none),
    signed by keys.signer.  now: Unix seconds (time.time() when None)."""
    key = keys.signer
    minted = int(time.time() if now is None else now)
    signed = b"%s.%s.%08x.%s.%s.%s" % (VERSION, key.id.encode("ascii"), minted, product.encode("ascii"),
                                       carried_campaign(keys, product, campaign).encode("ascii"),
                                       _random_parts.next())
    return signed + b"." + key.mac(signed)


def carried_campaign(keys, product, campaign):
    """What of `campaign` (text) the identifiers of `product` carry: all of it when it fits within
    MAX_ID_BYTES, else its beginning, as much as fits."""
    room = MAX_ID_BYTES - (len(VERSION) + len(keys.signer.id) + 8 + len(product) + 11 + 16 + 6)
    return campaign[:max(room, 0)]


def minted_length(keys, product, campaign):
    """The length in bytes of the identifiers mint() makes now for `product` in `campaign` (texts):
    every field but the product, the campaign and the key id has a fixed length."""
    return (len(VERSION) + len(keys.signer.id) + 8 + len(product) + len(carried_campaign(keys, product, campaign))
            + 11 + 16 + 6)


def parse(ident):
    """The fields of an identifier of this form (bytes), unverified: (key id, signed part, mint,
    product, campaign, mac), all bytes, or None when `ident` does not have the form."""
    form = FORM.fullmatch(ident) if len(ident) <= MAX_ID_BYTES else None
    if form is None:
        return None
    key_id, minted, product, campaign, mac = form.groups()
    return key_id, ident[:form.start(5) - 1], minted, product, campaign, mac


def verify(keys, ident):
    """The Identifier that `ident` (bytes) carries when one of `keys` made its MAC and the key
    was not limited to earlier mint times; otherwise None (forged, altered, unknown key, revoked,
    or not of this form).  The MAC is compared in constant time."""
    fields = parse(ident)
    if fields is None:
        return None
    key_id, signed, minted, product, campaign, mac = fields
    key = keys.by_id.get(key_id)
    if key is None or not hmac.compare_digest(key.mac(signed), mac):
        return None
    minted = int(minted, 16)
    if key.minted_before is not None and minted >= key.minted_before:
        return None
    return Identifier(product.decode("ascii"), campaign.decode("ascii"), minted, key.id)


def describe(ident):
    """(product, campaign, minted) of an identifier of this form without checking its MAC, for
    the loader, which only sees identifiers the site verified; None when not of this form."""
    fields = parse(ident)
    if fields is None:
        return None
    return fields[3].decode("ascii"), fields[4].decode("ascii"), int(fields[2], 16)


def _seconds(value, where):
    if isinstance(value, datetime.datetime) and value.tzinfo is not None:
        return value.timestamp()
    raise KeysError("%s: must be a date and time with its offset, e.g. 2026-12-01T00:00:00Z" % where)


def load_keys(path):
    """Reads the keys file at `path`; returns Keys or raises KeysError.  The file must be readable
    by its owner only (mode 0600 or stricter): whoever reads it can make identifiers."""
    return Keys(read_keys(path))


def read_toml(path, error):
    """The TOML file at `path`, read; a file that cannot be read or is not TOML raises `error` (an
    exception class) with a message naming the file."""
    try:
        with open(path, "rb") as f:
            return tomllib.load(f)
    except OSError as e:
        raise error("%s: cannot read: %s" % (path, e.strerror)) from None
    except tomllib.TOMLDecodeError as e:
        raise error("%s: not valid TOML: %s" % (path, e)) from None


def read_keys(path):
    """The keys listed in the keys file at `path`, checked one by one ([Key]); raises KeysError."""
    try:
        mode = stat.S_IMODE(os.stat(path).st_mode)
    except OSError as e:
        raise KeysError("%s: cannot read: %s" % (path, e.strerror)) from None
    if mode & 0o077:
        raise KeysError("%s: mode %04o lets others read the keys; chmod 600 %s" % (path, mode, path))
    data = read_toml(path, KeysError)
    tables = data.get("key")
    if set(data) - {"key"} or not isinstance(tables, list) or not tables:
        raise KeysError("%s: holds [[key]] tables and nothing else (velko-site new-key makes one)" % path)
    keys = []
    for n, table in enumerate(tables, 1):
        where = "%s: key %d" % (path, n)
        unknown = sorted(set(table) - {"id", "secret", "created", "minted_before"})
        if unknown:
            raise KeysError("%s: unknown setting %r" % (where, unknown[0]))
        kid = table.get("id")
        if not isinstance(kid, str) or not KEY_ID.fullmatch(kid):
            raise KeysError("%s: id must be 1 to 4 letters or digits" % where)
        if any(k.id == kid for k in keys):
            raise KeysError("%s: id %r is listed twice" % (where, kid))
        secret = table.get("secret")
        try:
            raw = base64.urlsafe_b64decode(secret + "=" * (-len(secret) % 4)) if isinstance(secret, str) else b""
        except ValueError:
            raw = b""
        if len(raw) < MIN_SECRET_BYTES:
            raise KeysError("%s (%s): secret must be base64url of at least %d bytes"
                            % (where, kid, MIN_SECRET_BYTES))
        created = _seconds(table.get("created"), "%s (%s): created" % (where, kid))
        limit = table.get("minted_before")
        keys.append(Key(kid, raw, created,
                        None if limit is None else _seconds(limit, "%s (%s): minted_before" % (where, kid))))
    return keys


def new_key_text(key_id, now=None):
    """A [[key]] table with a new random secret, as the keys file holds it."""
    created = datetime.datetime.fromtimestamp(int(time.time() if now is None else now), datetime.timezone.utc)
    return ('[[key]]\nid = "%s"\nsecret = "%s"\ncreated = %s\n'
            % (key_id, _b64(secrets.token_bytes(32)).decode("ascii"), created.strftime("%Y-%m-%dT%H:%M:%SZ")))


def add_key(path, key_id=None):
    """Adds a new key to the keys file at `path` (made, mode 0600, when missing); it signs from
    the site's next start.  Returns its id.  Raises KeysError."""
    existing = read_keys(path) if os.path.exists(path) else []
    ids = [k.id for k in existing]
    if key_id is None:
        n = len(ids) + 1
        while "k%d" % n in ids:
            n += 1
        key_id = "k%d" % n
    if not KEY_ID.fullmatch(key_id) or key_id in ids:
        raise KeysError("%s: key id %r: 1 to 4 letters or digits, not already listed" % (path, key_id))
    # Created one second after the newest, so that the new key is the newest even within a second.
    now = time.time()
    if existing:
        now = max(now, max(k.created for k in existing) + 1)
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o600)
    try:
        os.write(fd, (("\n" if existing else "") + new_key_text(key_id, now)).encode("ascii"))
    finally:
        os.close(fd)
    load_keys(path)
    return key_id
