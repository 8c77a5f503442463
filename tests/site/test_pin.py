"""The package pinned in the configuration: `velko-site hash FILE` prints the two settings for a
package, and with them every information reply carries the package's SHA-256 and length after its
URL (a stub that knows only MSIURL looks no further)."""
import hashlib
import io
import os
import subprocess
import unittest

import support
from velko_site import create_app

URL = "http://127.0.0.3/velko-demo.msi"


def info_reply(app, query):
    status = []
    body = b"".join(app({"REQUEST_METHOD": "GET", "PATH_INFO": "/WebGetDSData.qdx", "QUERY_STRING": query,
                         "wsgi.input": io.BytesIO(), "wsgi.errors": io.StringIO()},
                        lambda s, headers, exc_info=None: status.append(s)))
    return status[0], body


class PinTest(unittest.TestCase):
    def setUp(self):
        self.work, self.stub = support.folder_with_stub(self.addCleanup)
        self.package = os.path.join(self.work, "velko-demo.msi")
        with open(self.package, "wb") as f:
            f.write(b"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1" + os.urandom(115200 - 8))

    def test_hash_prints_what_sha256sum_prints_and_the_length(self):
        out = subprocess.run([support.SITE_COMMAND, "hash", self.package], check=True, capture_output=True,
                             text=True).stdout
        sha256sum = subprocess.run(["sha256sum", self.package], check=True, capture_output=True,
                                   text=True).stdout.split()[0]
        self.assertEqual(out, 'package_sha256 = "%s"\npackage_size = 115200\n' % sha256sum)
        missing = subprocess.run([support.SITE_COMMAND, "hash", self.package + ".missing"], capture_output=True,
                                 text=True)
        self.assertEqual(missing.returncode, 2)
        self.assertEqual(len(missing.stderr.splitlines()), 1, missing.stderr)

    def test_the_reply_carries_the_configured_pin(self):
        lines = subprocess.run([support.SITE_COMMAND, "hash", self.package], check=True, capture_output=True,
                               text=True).stdout
        config = support.write_config(self.work, {"demo": (self.stub, URL, "velko-demo-setup.exe")})
        with open(config, "a") as f:
            f.write(lines)
        with open(self.package, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        status, body = info_reply(create_app(config), "session=unknown")
        self.assertEqual(status, "200 OK")
        self.assertEqual(body, b"<MSIURL>%s</MSIURL><MSISHA256>%s</MSISHA256><MSISIZE>115200</MSISIZE>"
                         % (URL.encode(), digest.encode()))

    def test_without_a_pin_the_reply_is_as_before(self):
        config = support.write_config(self.work, {"demo": (self.stub, URL, "velko-demo-setup.exe")})
        self.assertEqual(info_reply(create_app(config), "session=x"), ("200 OK", b"<MSIURL>%s</MSIURL>" % URL.encode()))


if __name__ == "__main__":
    unittest.main()
