"""Identifiers that describe themselves: what the information endpoint answers for each kind of
identifier (verified, forged, altered, of an unknown or revoked key, of the old form, found or not,
with the database there or not), what the loader then records for it, and the checks of the keys
file and of the names that go into an identifier."""
import base64
import collections
import hashlib
import hmac
import io
import os
import re
import sqlite3
import stat
import unittest

import support
from velko_site import create_app, identifiers
from velko_site.config import ConfigError, load_config

DEMO_URL = "http://127.0.0.3/velko-demo.msi"
OTHER_URL = "http://127.0.0.3/velko-other.msi"
OLD_FOUND = "0123ABCD-4567EF01-89ABCDEF-DEADBEEF-00C0FFEE"
OLD_UNKNOWN = "89ABCDEF-4567EF01-0123ABCD-DEADBEEF-00C0FFEE"
# What a URL query carries unescaped (RFC 3986's unreserved characters).
URL_SAFE = re.compile(rb"[A-Za-z0-9._~-]+")


def call(app, path, query):
    """(status, headers, body) of one GET to the application, in this process."""
    seen = []
    body = b"".join(app({"REQUEST_METHOD": "GET", "PATH_INFO": path, "QUERY_STRING": query,
                         "wsgi.input": io.BytesIO(), "wsgi.errors": io.StringIO()},
                        lambda status, headers, exc_info=None: seen.append((status, dict(headers)))))
    return seen[0][0], seen[0][1], body


def msiurl(url):
    return b"<MSIURL>" + url.encode() + b"</MSIURL>"


def keys_file(path, text):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o600)
    return path


class IdentifierTest(unittest.TestCase):
    def setUp(self):
        self.work, self.stub = support.folder_with_stub(self.addCleanup)
        self.products = {"demo": (self.stub, DEMO_URL, "velko-demo-setup.exe"),
                         "other": (self.stub, OTHER_URL, "velko-other-setup.exe")}
        self.config = support.write_config(self.work, self.products)
        self.database = os.path.join(self.work, "site.db")
        support.Database(self.database).ensure_schema()
        with sqlite3.connect(self.database) as conn:
            conn.execute("INSERT INTO downloads VALUES (?, 'other', '', '', '2024-05-01T00:00:00.000000Z')",
                         (OLD_FOUND,))
        conn.close()
        self.app = create_app(self.config)

    def download(self, app, product, campaign=""):
        status, _, body = call(app, "/download/" + product, "campaign=" + campaign if campaign else "")
        self.assertEqual(status, "200 OK", body[:200])
        return support.velko_tag.read_tag(body)[1]

    def test_identifier_table(self):
        ident = self.download(self.app, "other", "spring.24")
        self.assertTrue(URL_SAFE.fullmatch(ident), ident)
        signed, mac = ident.rsplit(b".", 1)
        fields = ident.split(b".")
        altered = ident.replace(b".other.", b".demo.")
        # The control: the altered identifier names the other product, and a site that believed
        # an identifier without its MAC would hand out that product's package.
        self.assertEqual(identifiers.describe(altered)[0], "demo")
        unknown_key = b".".join([fields[0], b"zz"] + fields[2:])
        flipped = signed + b"." + (b"A" if mac[:1] != b"A" else b"B") + mac[1:]

        # A key since revoked: limited to identifiers minted before this one; and the same key
        # limited to a time after it.
        with open(os.path.join(self.work, "keys.toml")) as f:
            old_key = f.read()
        revoked, limited = self.site_with_key(old_key, "2000-01-01T00:00:00Z"), self.site_with_key(old_key, "2100-01-01T00:00:00Z")
        # Another site's key of the same id, and a database that cannot be opened.
        down_work = os.path.join(self.work, "down")
        os.mkdir(down_work)
        missing = os.path.join(self.work, "missing", "x.db")
        down = support.write_config(down_work, self.products, database=missing)
        one_product = support.write_config(down_work, {"demo": self.products["other"]}, name="one.toml",
                                           database=missing)
        apps = {config: create_app(config) for config in (revoked, limited, down, one_product)}
        apps[self.config] = self.app

        cases = [
            # label, site, identifier, status, the reply, known as recorded (None: not loaded)
            ("verified", self.config, ident, 200, msiurl(OTHER_URL), 1),
            ("forged MAC", self.config, flipped, 200, msiurl(DEMO_URL), 0),
            ("altered product", self.config, altered, 200, msiurl(DEMO_URL), 0),
            ("unknown key id", self.config, unknown_key, 200, msiurl(DEMO_URL), 0),
            ("revoked key", revoked, ident, 200, msiurl(DEMO_URL), 0),
            ("key limited to later", limited, ident, 200, msiurl(OTHER_URL), 1),
            ("another site's key", down, ident, 200, msiurl(DEMO_URL), None),
            ("old form found", self.config, OLD_FOUND.encode(), 200, msiurl(OTHER_URL), 1),
            ("old form not found", self.config, OLD_UNKNOWN.encode(), 200, msiurl(DEMO_URL), 0),
            ("old form, database down, two products", down, OLD_FOUND.encode(), 503, None, None),
            ("old form, database down, one product", one_product, OLD_FOUND.encode(), 200, msiurl(OTHER_URL),
             None),
        ]
        for label, config, session, status, reply, known in cases:
            with self.subTest(label):
                before = support.records(self.database)[1]
                got, headers, body = call(apps[config], "/WebGetDSData.qdx", "session=" + session.decode())
                self.assertEqual(int(got[:3]), status, body)
                if status == 503:
                    self.assertEqual(headers["Retry-After"], "30")
                    self.assertNotIn(b"MSIURL", body)
                else:
                    self.assertEqual(body, reply)
                if known is not None:
                    support.load(config)
                    added = list((collections.Counter(support.records(self.database)[1])
                                  - collections.Counter(before)).elements())
                    self.assertEqual(added, [(session.decode(), len(session), known)])

    def site_with_key(self, key, minted_before):
        """A site on the same database whose keys are `key` limited to `minted_before`, and a new
        key that signs; returns its configuration."""
        work = os.path.join(self.work, "limit-" + minted_before[:4])
        os.mkdir(work)
        keys_file(os.path.join(work, "keys.toml"), key.replace("created", "minted_before = %s\ncreated" % minted_before))
        identifiers.add_key(os.path.join(work, "keys.toml"))
        return support.write_config(work, self.products, database=self.database)

    def test_a_verified_request_without_its_download_line_makes_the_download_row(self):
        ident = identifiers.mint(load_config(self.config).keys, "other", "fall", 1_700_000_000)
        self.assertEqual(call(self.app, "/WebGetDSData.qdx", "session=" + ident.decode())[2], msiurl(OTHER_URL))
        support.load(self.config)
        with sqlite3.connect(self.database) as conn:
            rows = conn.execute("SELECT product, campaign, referrer, downloaded_at FROM downloads "
                                "WHERE ident = ?", (ident.decode(),)).fetchall()
        conn.close()
        self.assertEqual(rows, [("other", "fall", "", "2023-11-14T22:13:20.000000Z")])

    def test_every_identifier_fits_the_stub(self):
        longest = "p" * identifiers.max_product_length()
        keys = load_config(self.config).keys
        ident = identifiers.mint(keys, longest, "c" * identifiers.MAX_CAMPAIGN_LENGTH)
        self.assertLessEqual(len(ident), identifiers.MAX_ID_BYTES)
        self.assertEqual(identifiers.verify(keys, ident).product, longest)
        # A product one character longer is refused by the configuration's check.
        too_long = support.write_config(self.work, {longest + "x": self.products["demo"]}, default=longest + "x",
                                        name="long.toml")
        with self.assertRaisesRegex(ConfigError, "at most %d characters" % identifiers.max_product_length()):
            load_config(too_long)
        # Download links keep the campaigns they always took, up to 64 characters: the journal's line
        # has the whole name, the identifier as much as fits; a longer name is refused.
        whole = "c" * identifiers.LINK_CAMPAIGN_LENGTH
        ident = identifiers.mint(keys, longest, whole)
        self.assertLessEqual(len(ident), identifiers.MAX_ID_BYTES)
        self.assertTrue(whole.startswith(identifiers.verify(keys, ident).campaign))
        status, _, body = call(self.app, "/download/demo", "campaign=" + whole)
        self.assertEqual(status, "200 OK")
        support.load(self.config)
        with sqlite3.connect(self.database) as conn:
            campaigns = conn.execute("SELECT campaign FROM downloads WHERE product = 'demo'").fetchall()
        conn.close()
        self.assertEqual(campaigns, [(whole,)])
        status, _, _ = call(self.app, "/download/demo", "campaign=" + whole + "c")
        self.assertEqual(status, "400 Bad Request")

    def test_the_form_is_read_field_by_field(self):
        # Each signed part gets a good MAC of the signing key: only the form decides.
        keys = identifiers.Keys([identifiers.Key("k1", b"s" * 32, 0)])
        key = keys.signer
        random = b"AbCdEfGhIj-"
        cases = [
            # label, signed part, (product, campaign, minted) or None: refused
            ("no campaign", b"1.k1.0000abcd.demo.." + random, ("demo", "", 0xABCD)),
            ("dots in the campaign", b"1.k1.0000abcd.demo.a..b.c." + random, ("demo", "a..b.c", 0xABCD)),
            ("campaign that looks like the tail", b"1.k1.0000abcd.demo.x." + random + b"." + random,
             ("demo", "x." + random.decode(), 0xABCD)),
            ("another version", b"2.k1.0000abcd.demo.." + random, None),
            ("upper-case mint time", b"1.k1.0000ABCD.demo.." + random, None),
            ("short mint time", b"1.k1.000abcd.demo.." + random, None),
            ("empty product", b"1.k1.0000abcd...." + random, None),
            ("product with a blank", b"1.k1.0000abcd.de mo.." + random, None),
            ("campaign with a slash", b"1.k1.0000abcd.demo.a/b." + random, None),
            ("empty random part", b"1.k1.0000abcd.demo..", None),
            ("a field missing", b"1.k1.0000abcd.demo." + random, None),
        ]
        for label, signed, expected in cases:
            with self.subTest(label):
                got = identifiers.verify(keys, signed + b"." + key.mac(signed))
                self.assertEqual(got and (got.product, got.campaign, got.minted), expected)
                if expected:
                    self.assertEqual(identifiers.describe(signed + b"." + key.mac(signed)), expected)
        # The MAC itself: 16 characters exactly, and HMAC-SHA-256's first 96 bits.
        signed = b"1.k1.0000abcd.demo.." + random
        mac = key.mac(signed)
        self.assertEqual(mac, base64.urlsafe_b64encode(hmac.new(b"s" * 32, signed, hashlib.sha256).digest()[:12]))
        for label, wrong in (("15 characters", mac[:-1]), ("17 characters", mac + b"A"), ("padded", mac + b"=")):
            with self.subTest(label):
                self.assertIsNone(identifiers.verify(keys, signed + b"." + wrong))

    def test_a_forked_worker_never_repeats_its_parents_random_parts(self):
        # The random parts are drawn ahead, many per read: a worker forked once its parent has
        # drawn (gunicorn's master with --preload, say) must not hand out the same ones.
        keys = identifiers.Keys([identifiers.Key("k1", b"s" * 32, 0)])

        def randoms(count):
            return {identifiers.mint(keys, "demo", "").split(b".")[-2] for _ in range(count)}
        randoms(1)
        reader, writer = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(reader)
            os.write(writer, b"\n".join(randoms(100)))
            os._exit(0)
        os.close(writer)
        with os.fdopen(reader, "rb") as f:
            child = set(f.read().split(b"\n"))
        os.waitpid(pid, 0)
        parent = randoms(100)
        self.assertEqual((len(child), len(parent)), (100, 100))
        self.assertEqual(child & parent, set())

    def test_the_planned_length_is_the_minted_length(self):
        # What HEAD of a download plans a copy's length with, since it makes no identifier.
        for key_id in ("k", "k123"):
            keys = identifiers.Keys([identifiers.Key(key_id, b"s" * 32, 0)])
            for product, campaign in (("p", ""), ("p" * identifiers.max_product_length(), "c.c" * 8)):
                with self.subTest(key_id=key_id, product=product, campaign=campaign):
                    self.assertEqual(identifiers.minted_length(keys, product, campaign),
                                     len(identifiers.mint(keys, product, campaign)))

    def test_keys_file_checks(self):
        keys = os.path.join(self.work, "keys.toml")
        with open(keys) as f:
            good = f.read()
        cases = [
            # label, text, mode, message
            ("readable by others", good, 0o644, "mode 0644 lets others read the keys"),
            ("short secret", re.sub(r'secret = "[^"]*"', 'secret = "c2hvcnQ"', good), 0o600, "at least 32 bytes"),
            ("every key revoked", good.replace("created", "minted_before = 2000-01-01T00:00:00Z\ncreated"), 0o600,
             "every key is limited"),
            ("a time without its offset", re.sub(r"created = (\S+)Z", r"created = \1", good), 0o600,
             "with its offset"),
            ("no key", "", 0o600, r"\[\[key\]\] tables"),
        ]
        for label, text, mode, message in cases:
            with self.subTest(label):
                keys_file(keys, text)
                os.chmod(keys, mode)
                with self.assertRaisesRegex(ConfigError, message):
                    load_config(self.config)
        keys_file(keys, good)
        identifiers.add_key(keys)
        # The new key signs; the old one still verifies.
        new = load_config(self.config).keys
        self.assertEqual(new.signer.id, "k2")
        self.assertEqual(stat.S_IMODE(os.stat(keys).st_mode), 0o600)
        old_ident = self.download(self.app, "other")
        self.assertEqual(identifiers.verify(new, old_ident).key_id, "k1")
        self.assertEqual(identifiers.verify(new, identifiers.mint(new, "demo", "")).key_id, "k2")


if __name__ == "__main__":
    unittest.main()
