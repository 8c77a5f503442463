"""The site's configuration: one TOML file, read and checked before anything is served.

    database = "velko-site.db"                 # a file path (SQLite) or a postgresql:// URL
    default_product = "demo"                   # whose package an unknown identifier gets
    keys = "velko-keys.toml"                   # the identifiers' keys (identifiers.py), mode 0600
    journal = "journal"                        # optional: the workers' journals (default "journal")
    host_name = "web1"                         # optional: this machine in the report (default:
                                               # its host name)

    [products.demo]
    stub = "stubs/velko-stub.exe"              # the untagged stub copies are made from
    package_url = "https://downloads.example.com/velko-demo.msi"
    file_name = "velko-demo-setup.exe"         # the name the visitor's browser saves
    package_sha256 = "5f3c...e9"               # optional, with package_size: the package pinned
    package_size = 3041280                     # (velko-site hash FILE prints both lines)

Relative paths are taken from the configuration file's folder.  Every refusal is a ConfigError
whose text names the file and the setting; unknown settings are refused too, so that a misspelt
name cannot silently fall back to nothing.
"""
import functools
import os
import re
import socket
import sys

from . import identifiers
import urllib.parse

# Product names appear in download links (/download/<name>): short, and nothing a path or a URL
# would read as a separator.
PRODUCT_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_-]{0,63}")

# What a package URL may hold: the characters a URL may carry unescaped, and % with two hex digits.
# The running stub copies the bytes between <MSIURL> and </MSIURL> as they stand, each byte to one
# character, with no entity decoding: so no character outside ASCII, none that a reply would have
# to escape (< > " and the like), and no blanks.
URL_CHARS = re.compile(r"(?:[A-Za-z0-9\-._~:/?#\[\]@!$&'()*+,;=]|%[0-9A-Fa-f]{2})+")
MAX_URL_LENGTH = 2000

# The file name in Content-Disposition: plain ASCII that needs no quoting rules, ending in .exe so
# that Windows runs the saved file.
FILE_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9 ._()+-]{0,95}\.[eE][xX][eE]")

# A libpq keyword/value connection string: starts with one of libpq's usual keywords and '='.
LIBPQ_KEYWORDS = re.compile(r"\s*(?:host|hostaddr|port|dbname|user|password|passfile|service|sslmode|"
                            r"connect_timeout|application_name|options|target_session_attrs)\s*=", re.I)
LIBPQ_PAIR = re.compile(r"(\w+)\s*=\s*('(?:[^'\\]|\\.)*'|\S+)")

TOP_KEYS = {"database", "default_product", "products", "keys", "journal", "host_name"}
HOST_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]{0,63}")
PRODUCT_KEYS = {"stub", "package_url", "file_name", "package_sha256", "package_size"}
SHA256_HEX = re.compile(r"[0-9A-Fa-f]{64}")


class ConfigError(Exception):
    """The configuration cannot be used; the text says where and why, in one line."""


class Product:
    """package_sha256 (64 lower-case hex digits) and package_size (bytes): the package as published,
    both None when the configuration does not pin it."""
    __slots__ = ("name", "stub", "package_url", "file_name", "package_sha256", "package_size")

    def __init__(self, name, stub, package_url, file_name, package_sha256=None, package_size=None):
        self.name, self.stub, self.package_url, self.file_name = name, stub, package_url, file_name
        self.package_sha256, self.package_size = package_sha256, package_size


class Config:
    """path: the file read.  database: a postgresql:// URL, or the absolute path of the SQLite file.
    products: {name: Product}, stubs as absolute paths.  default_product: a key of products.
    keys: identifiers.Keys.  journal: the journals' folder (absolute).  host_name: text."""

    def __init__(self, path, database, products, default_product, keys=None, journal=None, host_name=None):
        self.path, self.database, self.products, self.default_product = path, database, products, default_product
        self.keys, self.journal, self.host_name = keys, journal, host_name


def load_config(path):
    """Reads and checks the file at `path`; returns a Config or raises ConfigError.  The stubs are
    only checked to be files here: the application loads them (and refuses what cannot be tagged)."""
    path = os.path.abspath(path)
    return parse_config(identifiers.read_toml(path, ConfigError), path)


def parse_config(data, path):
    """The checks of load_config() on an already parsed TOML table; `path` names the file in
    messages and anchors relative paths."""
    base = os.path.dirname(path)

    def fail(text):
        raise ConfigError("%s: %s" % (path, text))

    def text(table, key, where):
        if key not in table:
            fail("%s: missing" % where)
        value = table[key]
        if not isinstance(value, str) or not value:
            fail("%s: must be a non-empty string" % where)
        return value

    unknown = sorted(set(data) - TOP_KEYS)
    if unknown:
        fail("unknown setting %r" % unknown[0])
    database = text(data, "database", "database")
    if "://" in database:
        if not database.startswith("postgresql://"):
            fail("database: a file path for SQLite or a postgresql:// URL, not %r"
                 % database.split("://")[0])
        problem = postgres_driver_problem()
        if problem:
            fail("database: %s" % problem)
    elif LIBPQ_KEYWORDS.match(database):
        # Else taken for a file name, the site would make an SQLite file called "host=db dbname=...".
        # Not quoted back: it may hold a password.
        fail("database: a libpq connection string (keyword=value) is not read here; write it as a "
             "postgresql:// URL: %s" % libpq_url(database))
    else:
        database = os.path.join(base, database)

    products = data.get("products")
    if not isinstance(products, dict) or not products:
        fail("products: at least one [products.<name>] table is needed")
    loaded = {}
    for name, table in products.items():
        where = "products.%s" % name
        if not PRODUCT_NAME.fullmatch(name):
            fail("%s: product names are 1 to 64 letters, digits, '-' or '_', starting with a "
                 "letter or digit" % where)
        if len(name) > identifiers.max_product_length():
            fail("%s: a product name goes into every copy's identifier, which the stub takes up to "
                 "%d bytes: at most %d characters (with a campaign of up to %d)"
                 % (where, identifiers.MAX_ID_BYTES, identifiers.max_product_length(),
                    identifiers.MAX_CAMPAIGN_LENGTH))
        if not isinstance(table, dict):
            fail("%s: must be a table" % where)
        unknown = sorted(set(table) - PRODUCT_KEYS)
        if unknown:
            fail("%s: unknown setting %r" % (where, unknown[0]))
        stub = os.path.join(base, text(table, "stub", where + ".stub"))
        if not os.path.isfile(stub):
            fail("%s.stub: no such file: %s" % (where, stub))
        url = text(table, "package_url", where + ".package_url")
        problem = package_url_problem(url)
        if problem:
            fail("%s.package_url: %s" % (where, problem))
        file_name = text(table, "file_name", where + ".file_name")
        if not FILE_NAME.fullmatch(file_name):
            fail("%s.file_name: must end in .exe and hold only letters, digits, blanks and "
                 "._()+- (at most 100 characters)" % where)
        sha256, size = table.get("package_sha256"), table.get("package_size")
        if (sha256 is None) != (size is None):
            fail("%s: package_sha256 and package_size go together (velko-site hash FILE prints both)" % where)
        if sha256 is not None and not (isinstance(sha256, str) and SHA256_HEX.fullmatch(sha256)):
            fail("%s.package_sha256: must be the package's SHA-256 as 64 hexadecimal digits" % where)
        # bool is an int in Python; a size of true is no size.
        if size is not None and (not isinstance(size, int) or isinstance(size, bool) or size <= 0
                                 or size >= 1 << 64):
            fail("%s.package_size: must be the package's length in bytes, a positive integer" % where)
        loaded[name] = Product(name, stub, url, file_name, sha256 and sha256.lower(), size)

    default = text(data, "default_product", "default_product")
    if default not in loaded:
        fail("default_product: %r is not one of the products" % default)

    if "keys" not in data:
        fail("keys: missing: the file of the keys that sign identifiers (velko-site new-key FILE makes it)")
    keys_path = os.path.join(base, text(data, "keys", "keys"))
    try:
        keys = identifiers.load_keys(keys_path)
    except identifiers.KeysError as e:
        fail("keys: %s" % e)
    journal = os.path.join(base, text(data, "journal", "journal") if "journal" in data else "journal")
    # Made by the first worker that journals, or by the loader, when missing.
    if os.path.exists(journal) and not os.path.isdir(journal):
        fail("journal: not a folder: %s" % journal)
    host_name = text(data, "host_name", "host_name") if "host_name" in data else socket.gethostname()
    if not HOST_NAME.fullmatch(host_name):
        fail("host_name: 1 to 64 letters, digits, '.', '-' or '_', not %r" % host_name)
    return Config(path, database, loaded, default, keys, journal, host_name)


def postgres_driver_problem():
    """Why this Python cannot reach PostgreSQL (psycopg2 missing or broken), or None if it can."""
    try:
        import psycopg2  # noqa: F401
    except ImportError as e:
        return ("a PostgreSQL database needs psycopg2, which this Python (%s) cannot import (%s): install "
                "Debian's python3-psycopg2, or velko-site[postgresql] with pip" % (sys.executable, e))
    return None


def libpq_url(keywords):
    """The postgresql:// URL for a libpq keyword/value string ("host=db dbname=velko"), with the
    password left as PASSWORD: it is for a message."""
    pairs = {key.lower(): value[1:-1].replace("\\'", "'").replace("\\\\", "\\") if value.startswith("'") else value
             for key, value in LIBPQ_PAIR.findall(keywords)}
    quote = functools.partial(urllib.parse.quote, safe="")
    user = pairs.pop("user", "")
    if pairs.pop("password", None) is not None:
        user += ":PASSWORD"
    host = pairs.pop("host", "")
    netloc = ("%s@" % quote(user, safe=":") if user else "") + (
        quote(host) if "/" in host or host.startswith("@") else ("[%s]" % host if ":" in host else host))
    if "port" in pairs:
        netloc += ":" + pairs.pop("port")
    path = "/" + quote(pairs.pop("dbname", ""))
    query = urllib.parse.urlencode(pairs)
    return "postgresql://%s%s%s" % (netloc, path, "?" + query if query else "")


def package_url_problem(url):
    """Why `url` cannot be handed to a running stub, or None if it can."""
    if len(url) > MAX_URL_LENGTH:
        return "longer than %d characters" % MAX_URL_LENGTH
    if not URL_CHARS.fullmatch(url):
        return ("must be plain percent-encoded ASCII: no blanks, no characters outside ASCII, "
                "none of < > \" { } | \\ ^ ` and % only before two hex digits")
    try:
        parts = urllib.parse.urlsplit(url)
        parts.port  # raises ValueError for a port that is not a number from 0 to 65535
    except ValueError as e:
        return "not a URL: %s" % e
    if parts.scheme not in ("http", "https") or not parts.hostname:
        return "must be an http:// or https:// URL with a host"
    return None
