"""The download site as a WSGI application.

    GET /download/<product>[?campaign=<name>]
        a copy of the product's stub tagged with a new identifier (identifiers.py) that names the
        product and the campaign; its record is journaled (journal.py) before it is sent
    GET /WebGetDSData.qdx?session=<identifier>
        <MSIURL>package URL</MSIURL> for the product the identifier names, once its MAC verifies;
        an identifier of the old form (before identifiers named their product) is looked up in
        the database; anything else gets the default product's.  Every such request is journaled.
    GET /outcome?outcome=<code>&detail=<detail>&version=<version>&arch=<arch>&session=<identifier>
        how a copy's run ended (outcomes.py), journaled and answered 204; from an identifier the
        site did not hand out it is recorded as such, never as a campaign's.  A malformed report: 400.

HEAD is answered with the headers GET would have, without a body, and changes nothing: no
identifier is handed out for it and nothing is journaled.  Anything else is 404; any other method
is 405.  Bad input gets a short text answer and changes no record.  No request writes to the
database: the loader (loader.py) puts the journals there.
"""
import os
import re
import sys
import threading
import time
import urllib.parse

from . import identifiers, outcomes
from .config import PRODUCT_NAME, ConfigError, load_config
from .db import Database, DatabaseError
from .journal import Journal, JournalError

# Run from the project's tree, the tagging module is in its tools/ folder, beside site/; installed
# (pyproject.toml), it is a module beside this package.
_TOOLS = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "tools")
if os.path.isfile(os.path.join(_TOOLS, "velko_tag.py")):
    sys.path.insert(1, _TOOLS)
import velko_tag  # noqa: E402

INFO_PATH = "/WebGetDSData.qdx"
OUTCOME_PATH = "/outcome"
DOWNLOAD_PREFIX = "/download/"
# The identifiers the site handed out before they named their product (velko_tag.random_id()).
OLD_ID_FORM = re.compile(rb"[0-9A-F]{8}(?:-[0-9A-F]{8}){4}")
CAMPAIGN = re.compile(rb"[A-Za-z0-9._-]{1,%d}" % identifiers.LINK_CAMPAIGN_LENGTH)
# What is kept of an identifier as received: no stub carries more.
MAX_SESSION_BYTES = velko_tag.MAX_ID_LEN
MAX_REFERRER_BYTES = 1000
PRINTABLE = re.compile(rb"[\x21-\x5b\x5d-\x7e]*")
# The largest stub the site serves: copies are made in memory (a stub is tens of KB).
MAX_STUB_BYTES = 64 * 1024 * 1024
# A file's change time has the resolution of the kernel's coarse clock (milliseconds), and another
# machine's clock behind a network file system may be off by more: a write that follows the one
# before it within that time leaves the file's identity as it was.  A stub loaded that soon after
# its last change is loaded once more when this many seconds have passed since that change.
SETTLE_SECONDS = 2
# What each worker writes to the log once its application is made (followed by its pid).
READY = "velko-site: ready, worker"


def stored_text(raw, limit):
    """The first `limit` bytes of `raw` as text that is safe to store and to print: printable ASCII
    as it is, every other byte (blanks, control bytes, bytes above 0x7F) and the backslash as \\xNN."""
    if PRINTABLE.fullmatch(raw, 0, limit):  # every identifier the site hands out: no byte to escape
        return raw[:limit].decode("ascii")
    return "".join(chr(b) if 0x20 < b < 0x7F and b != 0x5C else "\\x%02x" % b for b in raw[:limit])


def query_values(environ, name):
    """The values of the query parameter `name` (bytes), percent-decoded to bytes, in order.  '+'
    stays '+': the stub puts its identifier's bytes into the URL as they are."""
    raw = environ.get("QUERY_STRING", "").encode("latin-1")  # WSGI: the bytes, one per character
    values = []
    for part in raw.split(b"&"):
        key, _, value = part.partition(b"=")
        if b"%" not in part:  # nothing to decode (every query a stub sends): urllib not called
            if key == name:
                values.append(value)
        elif urllib.parse.unquote_to_bytes(key) == name:
            values.append(urllib.parse.unquote_to_bytes(value))
    return values


class _Loaded:
    """A stub as loaded: its StubImage, the unchanged range its copies share, that range's bytes,
    and the time (time.time()) after which it is to be loaded again although its identity has not
    changed (None: never), see SETTLE_SECONDS."""

    __slots__ = ("image", "shared", "data", "reload_after")

    def __init__(self, image, shared, data):
        self.image, self.shared, self.data = image, shared, data
        changed = image.identity[4] / 1e9  # the change time, as file_identity() has it
        self.reload_after = changed + SETTLE_SECONDS if time.time() < changed + SETTLE_SECONDS else None

    def is_current(self):
        return self.image.is_current() and (self.reload_after is None or time.time() < self.reload_after)


class Stubs:
    """Each product's stub, loaded when the site starts and again when its file changes (a new stub
    put in place while the site runs), and held in memory: its StubImage and the bytes every copy
    shares with it, read once.  A copy is then made without reading the file, and whatever happens
    to the file while copies are sent, each is wholly the stub it was planned from.  A stub loaded
    within SETTLE_SECONDS of its file's last change is loaded again once that time has passed, in
    case it was still being written.  Raises ConfigError at start for a stub that cannot be tagged
    or is larger than MAX_STUB_BYTES."""

    def __init__(self, products):
        self._loaded = {}
        self._lock = threading.Lock()
        for name, product in products.items():
            try:
                self._loaded[name] = self._load(product.stub)
            except (velko_tag.TagError, OSError) as e:
                raise ConfigError("products.%s.stub: %s: %s" % (name, product.stub, e)) from None

    @staticmethod
    def _load(path):
        # A stub put in place between reading its headers and reading its range: once more.
        for attempt in (1, 2):
            image = velko_tag.StubImage.load(path)
            if image.tagged:
                raise velko_tag.TagError("already carries a tag; the site needs the untagged stub")
            if image.size > MAX_STUB_BYTES:
                raise velko_tag.TagError("is %d bytes; the site holds stubs in memory, up to %d bytes"
                                         % (image.size, MAX_STUB_BYTES))
            # Every copy has the same unchanged range (only the headers and the tail differ).
            shared = next(p for p in velko_tag.plan_copy(image, b"").pieces if isinstance(p, velko_tag.FileRange))
            try:
                return _Loaded(image, shared, velko_tag.read_range(image, shared))
            except velko_tag.TagError:
                if attempt == 2:
                    raise

    def get(self, name):
        """The product's stub as loaded (_Loaded), loaded again first if its file has changed.
        Raises TagError or OSError when the file has changed into something that cannot be loaded
        (or is gone)."""
        loaded = self._loaded[name]
        if loaded.is_current():
            return loaded
        with self._lock:
            loaded = self._loaded[name]
            if not loaded.is_current():
                loaded = self._loaded[name] = self._load(loaded.image.path)
            return loaded

    def copy_length(self, name, ident_length):
        """The length of a copy of the product's stub tagged with an identifier of `ident_length`
        bytes.  Raises as get() does."""
        return velko_tag.plan_copy(self.get(name).image, bytes(ident_length)).length

    def copy(self, name, ident):
        """The bytes of a copy of the product's stub tagged with `ident`.  Raises as get() does."""
        loaded = self.get(name)
        copy = velko_tag.plan_copy(loaded.image, ident)
        return b"".join(loaded.data if piece == loaded.shared else piece for piece in copy.pieces)


# The last whole second utc_time() wrote, and its text: most records share their second.
_utc_second = (None, "")


def utc_time(seconds):
    """Unix seconds as the records store times (db.utc_now's form)."""
    global _utc_second
    whole, text = _utc_second
    if whole != int(seconds):
        whole = int(seconds)
        text = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(whole))
        _utc_second = (whole, text)  # one tuple: a thread reads both or neither
    return "%s.%06dZ" % (text, int(seconds % 1 * 1e6))


def _plain(start_response, status, body, extra=()):
    start_response(status, [("Content-Type", "text/plain; charset=us-ascii"),
                            ("Content-Length", str(len(body))), ("Cache-Control", "no-store"), *extra])
    return [body]


def _text(start_response, status, text, extra=()):
    return _plain(start_response, status, text.encode("ascii") + b"\n", extra)


def _refused(start_response):
    return _text(start_response, "503 Service Unavailable",
                 "the download is not available right now; please try again in a minute", [("Retry-After", "60")])


class Site:
    """The application for a Config: loads the stubs when made.  Needs no database to start or to
    serve: only an identifier of the old form, with more than one product configured, is looked up
    there (and answered 503 while the database cannot say)."""

    def __init__(self, config):
        self.config = config
        self.stubs = Stubs(config.products)
        self.journal = Journal(config.journal)
        self.db = Database(config.database, serving=True)
        self.replies = {name: self._reply(product) for name, product in config.products.items()}
        print("%s %d" % (READY, os.getpid()), file=sys.stderr, flush=True)

    def __call__(self, environ, start_response):
        path = environ.get("PATH_INFO", "")
        if path == INFO_PATH:
            handler = self.info
        elif path.startswith(DOWNLOAD_PREFIX):
            handler = self.download
        elif path == OUTCOME_PATH:
            handler = self.outcome
        else:
            return _text(start_response, "404 Not Found", "no such page")
        method = environ.get("REQUEST_METHOD")
        if method not in ("GET", "HEAD"):
            return _text(start_response, "405 Method Not Allowed", "only GET and HEAD are served here",
                         [("Allow", "GET, HEAD")])
        head = method == "HEAD"
        try:
            body = handler(environ, start_response, head)
        except UnicodeEncodeError:
            # Only a server that breaks WSGI's one-byte-per-character strings gets here.
            body = _text(start_response, "400 Bad Request", "the query is not made of bytes")
        # HEAD: GET's status and headers (Content-Length among them), no body.
        return [] if head else body

    def _log(self, environ, text):
        environ["wsgi.errors"].write("velko-site: %s\n" % text)

    def download(self, environ, start_response, head=False):
        name = environ["PATH_INFO"][len(DOWNLOAD_PREFIX):]
        if not PRODUCT_NAME.fullmatch(name):
            return _text(start_response, "400 Bad Request",
                         "a product name is 1 to 64 letters, digits, '-' or '_'")
        product = self.config.products.get(name)
        if product is None:
            return _text(start_response, "404 Not Found", "no product named %s" % name)
        campaign = (query_values(environ, b"campaign") or [b""])[0]
        if campaign and not CAMPAIGN.fullmatch(campaign):
            return _text(start_response, "400 Bad Request", "a campaign name is 1 to %d letters, digits, "
                         "'.', '-' or '_'" % identifiers.LINK_CAMPAIGN_LENGTH)
        referrer = stored_text(environ.get("HTTP_REFERER", "").encode("latin-1"), MAX_REFERRER_BYTES)

        now = time.time()
        try:
            if head:
                # GET's length, planned without making an identifier or writing a line.
                planned = identifiers.minted_length(self.config.keys, name, campaign.decode("ascii"))
                length, copy = self.stubs.copy_length(name, planned), None
            else:
                ident = identifiers.mint(self.config.keys, name, campaign.decode("ascii"), now)
                copy = self.stubs.copy(name, ident)
                # The record, before anything is sent: a copy whose line could not be written is not sent.
                self.journal.append(["D", utc_time(now), ident.decode("ascii"), name, campaign.decode("ascii"),
                                     referrer])
                length = len(copy)
        except (velko_tag.TagError, OSError, JournalError) as e:
            self._log(environ, "download of %s refused: %s" % (name, e))
            return _refused(start_response)

        start_response("200 OK", [
            ("Content-Type", "application/octet-stream"),
            ("Content-Length", str(length)),
            ("Content-Disposition", 'attachment; filename="%s"' % product.file_name),
            # Every copy is unique: a cache that kept one would hand the same identifier to others,
            # and a range of one copy cannot be joined to the rest of another.
            ("Cache-Control", "no-store"),
            ("Accept-Ranges", "none"),
        ])
        return [copy]

    def info(self, environ, start_response, head=False):
        sessions = query_values(environ, b"session")
        if not sessions:
            return _text(start_response, "400 Bad Request", "missing session parameter")
        raw = sessions[0]
        product, form, stored = None, "u", None
        verified = identifiers.verify(self.config.keys, raw)
        if verified is not None:
            # Its form holds only characters that are stored as they are: nothing to escape.
            product, form, stored = verified.product, "v", raw.decode("ascii")
        elif OLD_ID_FORM.fullmatch(raw):
            form = "o"
            if len(self.config.products) > 1:
                try:
                    product = self.db.product_of(raw.decode("ascii"))
                except DatabaseError as e:
                    # Never another product's package: the stub may ask again later.
                    self._log(environ, "identifier of the old form not looked up: %s" % e)
                    return _text(start_response, "503 Service Unavailable",
                                 "the download information is not available right now", [("Retry-After", "30")])
        try:
            if not head:
                self.journal.append_numbered("I", utc_time(time.time()), (
                    form, str(len(raw)), stored or stored_text(raw, MAX_SESSION_BYTES)))
        except JournalError as e:
            self._log(environ, "information request refused: %s" % e)
            return _refused(start_response)
        # A download of a product since removed from the configuration gets the default as well.
        reply = self.replies.get(product) or self.replies[self.config.default_product]
        return _plain(start_response, "200 OK", reply)

    @staticmethod
    def _reply(product):
        """The information endpoint's answer for a Product, made once per worker."""
        # Written as it stands, not escaped: the stub takes the bytes between the tags literally.
        reply = b"<MSIURL>" + product.package_url.encode("ascii") + b"</MSIURL>"
        if product.package_sha256:
            # The package pinned: the stub installs nothing of another length or digest. Stubs that
            # know only MSIURL look no further.
            reply += b"<MSISHA256>%s</MSISHA256><MSISIZE>%d</MSISIZE>" % (
                product.package_sha256.encode("ascii"), product.package_size)
        return reply

    def outcome(self, environ, start_response, head=False):
        # One pass over the query; the first value of each parameter counts, as for `session`.
        values = {}
        for part in environ.get("QUERY_STRING", "").encode("latin-1").split(b"&"):
            key, _, value = part.partition(b"=")
            values.setdefault(urllib.parse.unquote_to_bytes(key), urllib.parse.unquote_to_bytes(value))
        try:
            outcome, detail, version, arch = outcomes.check(values)
        except outcomes.BadReport as e:
            return _text(start_response, "400 Bad Request", str(e))
        raw = values[b"session"]
        # Verified as an information request's identifier is.  The old form is known or not by its
        # download's row, which the loader looks up: nothing in the answer depends on it.
        if identifiers.verify(self.config.keys, raw) is not None:
            form = "v"
        else:
            form = "o" if OLD_ID_FORM.fullmatch(raw) else "u"
        try:
            if not head:
                self.journal.append_numbered("O", utc_time(time.time()), (
                    form, outcome, detail, version, arch, str(len(raw)), stored_text(raw, MAX_SESSION_BYTES)))
        except JournalError as e:
            self._log(environ, "outcome report refused: %s" % e)
            return _text(start_response, "503 Service Unavailable", "the report cannot be recorded right now")
        start_response("204 No Content", [("Cache-Control", "no-store")])
        return []


def create_app(config_path):
    """The WSGI application for the configuration file at `config_path`, for gunicorn:

        gunicorn 'velko_site:create_app("/etc/velko-site.toml")'

    Raises ConfigError for a configuration (or a stub) that cannot be used."""
    return Site(load_config(config_path))
