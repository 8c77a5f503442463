"""The configuration's checks: what a publisher could get wrong is refused with a message naming
the setting, before anything is served, by the command line and by gunicorn alike."""
import copy
import os
import re
import subprocess
import sys
import tomllib
import unittest
from unittest import mock

import support
from support import velko_tag
import velko_site.app
from velko_site import ConfigError, create_app
from velko_site.config import parse_config
from velko_site.serve import Gunicorn

GOOD = {
    "database": "site.db",
    "default_product": "demo",
    "keys": "keys.toml",
    "products": {"demo": {"stub": "velko-stub.exe", "package_url": "http://127.0.0.3/velko-demo.msi",
                          "file_name": "velko-demo-setup.exe"}},
}


def with_change(path, value):
    """GOOD with the setting at `path` (its keys separated by dots, or a tuple of keys) set to
    `value`, or removed when `value` is None."""
    data = copy.deepcopy(GOOD)
    *parents, last = path.split(".") if isinstance(path, str) else path
    table = data
    for key in parents:
        table = table[key]
    if value is None:
        del table[last]
    else:
        table[last] = value
    return data


class ConfigTest(unittest.TestCase):
    def setUp(self):
        self.work, self.stub = support.folder_with_stub(self.addCleanup)
        self.path = os.path.join(self.work, "site.toml")
        support.identifiers.add_key(os.path.join(self.work, "keys.toml"))

    def test_package_urls(self):
        accepted = ["http://127.0.0.3/velko-demo.msi", "https://cdn.example.com:8443/a/b.msi?x=1&y=%2F~z",
                    "http://[::1]/p.msi"]
        refused = ["http://example.com/<b>.msi", "http://example.com/a>b", "http://example.com/a b.msi",
                   "http://example.com/caf\u00e9.msi", "http://example.com/a%zz.msi", "http://example.com/\"x\"",
                   "http://example.com/a\\b", "http://example.com/a\tb", "ftp://example.com/p.msi",
                   "file:///tmp/p.msi", "http:///p.msi", "//example.com/p.msi", "http://example.com:99999/p.msi",
                   "http://example.com/" + "a" * 2000]
        for url in accepted:
            with self.subTest(url):
                parse_config(with_change("products.demo.package_url", url), self.path)
        for url in refused:
            with self.subTest(url):
                with self.assertRaisesRegex(ConfigError, "products.demo.package_url"):
                    parse_config(with_change("products.demo.package_url", url), self.path)

    def test_refused_settings(self):
        cases = [
            # setting changed (removed when None), new value, what the message names
            ("databse", "x.db", "unknown setting 'databse'"),
            ("products.demo.stub_path", "x.exe", "products.demo: unknown setting 'stub_path'"),
            ("database", None, "database: missing"),
            ("database", "mysql://db/velko", "database: a file path for SQLite or a postgresql:// URL"),
            ("database", 5, "database: must be a non-empty string"),
            ("default_product", "other", "default_product: 'other' is not one of the products"),
            ("products", {}, "products: at least one"),
            ("products.demo.stub", "missing.exe", "products.demo.stub: no such file"),
            ("products.demo.package_url", None, "products.demo.package_url: missing"),
            ("products.demo.file_name", "setup.msi", "products.demo.file_name: must end in .exe"),
            ("products.demo.file_name", 'a".exe', "products.demo.file_name"),
            ("products.demo.file_name", "../setup.exe", "products.demo.file_name"),
            ("products.demo", "velko-stub.exe", "products.demo: must be a table"),
            (("products", "de/mo"), GOOD["products"]["demo"], "products.de/mo: product names"),
            (("products", ".."), GOOD["products"]["demo"], "products...: product names"),
            ("products.demo.package_sha256", "ab" * 32, "products.demo: package_sha256 and package_size go together"),
            ("products.demo.package_size", 5, "products.demo: package_sha256 and package_size go together"),
            ("keys", None, "keys: missing"),
            ("keys", "nosuch.toml", "keys: %s: cannot read" % os.path.join(self.work, "nosuch.toml")),
            ("journal", "velko-stub.exe", "journal: not a folder"),
            ("host_name", "web 1", "host_name: 1 to 64 letters"),
        ]
        pinned = with_change("products.demo.package_sha256", "ab" * 32)
        pinned["products"]["demo"]["package_size"] = 115200
        parse_config(pinned, self.path)  # the good pin, for the cases below
        for key, value, message in [
            ("package_sha256", "ab" * 31, "must be the package's SHA-256 as 64 hexadecimal digits"),
            ("package_sha256", "ab" * 33, "must be the package's SHA-256 as 64 hexadecimal digits"),
            ("package_sha256", "xy" * 32, "must be the package's SHA-256 as 64 hexadecimal digits"),
            ("package_sha256", 5, "must be the package's SHA-256 as 64 hexadecimal digits"),
            ("package_size", 0, "must be the package's length in bytes, a positive integer"),
            ("package_size", -1, "must be the package's length in bytes, a positive integer"),
            ("package_size", "115200", "must be the package's length in bytes, a positive integer"),
            ("package_size", True, "must be the package's length in bytes, a positive integer"),
            ("package_size", 1 << 64, "must be the package's length in bytes, a positive integer"),
        ]:
            data = copy.deepcopy(pinned)
            data["products"]["demo"][key] = value
            cases.append((None, data, "products.demo.%s: %s" % (key, message)))
        for path, value, message in cases:
            with self.subTest(path=path, value=value):
                with self.assertRaises(ConfigError) as caught:
                    parse_config(value if path is None else with_change(path, value), self.path)
                self.assertIn(self.path + ": " + message, str(caught.exception))

    def config_with(self, stub=None, url="http://127.0.0.3/velko-demo.msi"):
        return support.write_config(self.work, {"demo": (stub or self.stub, url, "velko-demo-setup.exe")})

    def test_stubs_that_cannot_be_tagged(self):
        tagged = os.path.join(self.work, "tagged.exe")
        velko_tag.tag_file(self.stub, tagged, velko_tag.random_id())
        text_file = os.path.join(self.work, "readme.exe")
        with open(text_file, "w") as f:
            f.write("not a program\n")
        for stub, message in ((tagged, "already carries a tag"), (text_file, "not a PE file")):
            with self.subTest(stub):
                with self.assertRaisesRegex(ConfigError, "products.demo.stub: .*" + message):
                    create_app(self.config_with(stub))
        # Stubs are held in memory: one over the limit is refused (the limit lowered to the stub's
        # size less one byte), one at it is served.
        size = os.path.getsize(self.stub)
        for limit, refused in ((size - 1, True), (size, False)):
            with self.subTest(limit=limit), mock.patch.object(velko_site.app, "MAX_STUB_BYTES", limit):
                if refused:
                    with self.assertRaisesRegex(ConfigError, "products.demo.stub: .*is %d bytes; the site "
                                                "holds stubs in memory, up to %d bytes" % (size, limit)):
                        create_app(self.config_with())
                else:
                    create_app(self.config_with())

    def test_the_command_line_and_gunicorn_refuse_to_start(self):
        config = self.config_with(url="http://example.com/<b>")
        check = subprocess.run([support.SITE_COMMAND, "check", config], capture_output=True, text=True)
        self.assertEqual(check.returncode, 2)
        self.assertEqual(check.stderr.count("\n"), 1)
        self.assertTrue(check.stderr.startswith("velko-site: %s: products.demo.package_url: " % config),
                        check.stderr)
        site = Gunicorn(config, "127.0.0.23", 8000, os.path.join(self.work, "gunicorn.log"), workers=1)
        with self.assertRaisesRegex(RuntimeError, "gunicorn ended(.|\n)*products.demo.package_url"):
            site.start()

    def test_databases_the_site_cannot_use(self):
        """A libpq keyword/value string would otherwise name an SQLite file; the message gives the
        URL to write instead (never the password)."""
        cases = [
            ("host=db dbname=velko", "postgresql://db/velko"),
            ("host=db port=5433 dbname=velko user=velko password=secret sslmode=require",
             "postgresql://velko:PASSWORD@db:5433/velko?sslmode=require"),
            ("dbname=velko host=/run/postgresql", "postgresql://%2Frun%2Fpostgresql/velko"),
        ]
        for value, url in cases:
            with self.subTest(value):
                with self.assertRaises(ConfigError) as refused:
                    parse_config(with_change("database", value), self.path)
                self.assertEqual(str(refused.exception), "%s: database: a libpq connection string (keyword=value) is "
                                 "not read here; write it as a postgresql:// URL: %s" % (self.path, url))
                self.assertNotIn("secret", str(refused.exception))
        for value in ("host.db", "dbname.sqlite", "data/port=1.db"):  # file names all the same
            with self.subTest(value):
                self.assertEqual(parse_config(with_change("database", value), self.path).database,
                                 os.path.join(self.work, value))

    def test_postgresql_without_psycopg2_is_refused_by_check(self):
        """Without psycopg2 (a Python without Debian's packages: -S) check refuses a PostgreSQL URL,
        rather than passing it and leaving the workers to fail as they boot."""
        config = os.path.join(self.work, "site.toml")
        with open(config, "w") as f:
            f.write('database = "postgresql://velko@db/velko"\ndefault_product = "demo"\nkeys = "keys.toml"\n'
                    '[products.demo]\n'
                    'stub = "velko-stub.exe"\npackage_url = "http://127.0.0.3/velko-demo.msi"\n'
                    'file_name = "velko-demo-setup.exe"\n')
        for python, refused in (([sys.executable], False), ([sys.executable, "-S"], True)):
            with self.subTest(python):
                check = subprocess.run([*python, support.SITE_COMMAND, "check", config], capture_output=True, text=True)
                if refused:
                    self.assertEqual((check.returncode, check.stdout), (2, ""))
                    self.assertRegex(check.stderr, r"\Avelko-site: %s: database: a PostgreSQL database needs psycopg2, "
                                     r"which this Python \(.*\) cannot import \(.*psycopg2.*\): install Debian's "
                                     r"python3-psycopg2, or velko-site\[postgresql\] with pip\n\Z" % re.escape(config))
                else:
                    self.assertEqual((check.returncode, check.stderr), (0, ""))

    def test_the_example_configuration_reads(self):
        with open(os.path.join(support.SITE_DIR, "example.toml"), "rb") as f:
            data = tomllib.load(f)
        for table in data["products"].values():
            table["stub"] = self.stub  # the example's stubs are where a server keeps them
        # Its keys and journals too.
        data["keys"], data["journal"] = os.path.join(self.work, "keys.toml"), os.path.join(self.work, "journal")
        self.assertEqual(sorted(parse_config(data, self.path).products), ["demo", "tools"])


if __name__ == "__main__":
    unittest.main()
