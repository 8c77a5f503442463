"""Copies as gunicorn serves them: 200 at once from two workers, each its own and recorded once,
and a stub replaced while the site runs; and a stub changed too soon after its last change to
tell by its identity."""
import concurrent.futures
import os
import time
import types
import unittest
from unittest import mock

import support
from support import velko_tag
from velko_site.app import Stubs

ADDRESS, PORT = "127.0.0.21", 8000


class DownloadsTest(unittest.TestCase):
    def setUp(self):
        self.work, self.stub = support.folder_with_stub(self.addCleanup)
        self.database = os.path.join(self.work, "site.db")
        config = support.write_config(self.work, {
            "demo": (self.stub, "http://127.0.0.3/velko-demo.msi", "velko-demo-setup.exe")})
        support.start_site(self.addCleanup, config, ADDRESS, PORT, workers=2)

    def fetch(self, _=None):
        return support.get(ADDRESS, PORT, "/download/demo")

    def identifier_of_copy(self, reply, image):
        """The identifier a 200 reply's copy carries; the copy must be byte for byte the one the
        tagging module makes of `image` for it."""
        status, headers, body = reply
        self.assertEqual(status, 200, body[:200])
        self.assertEqual(int(headers["content-length"]), len(body))
        ident = velko_tag.read_tag(body)[1]
        expected = b"".join(velko_tag.iter_copy(velko_tag.plan_copy(image, ident)))
        self.assertTrue(body == expected, "the copy of %s differs from the tagging module's" % ident)
        return ident.decode()

    def downloads(self):
        return [row[0] for row in support.records(self.database)[0]]

    def replace_stub(self, data):
        """Puts a new stub in place the way a deployment does: written aside, renamed over the old."""
        aside = self.stub + ".new"
        with open(aside, "wb") as f:
            f.write(data)
        os.replace(aside, self.stub)

    def test_200_concurrent_downloads_on_two_workers(self):
        with concurrent.futures.ThreadPoolExecutor(200) as pool:
            replies = list(pool.map(self.fetch, range(200)))
        image = velko_tag.StubImage.load(self.stub)
        ids = [self.identifier_of_copy(reply, image) for reply in replies]
        self.assertEqual(len(set(ids)), 200)
        self.assertEqual(sorted(self.downloads()), sorted(ids))  # each once

    def test_a_same_size_stub_put_in_place_with_its_time_kept(self):
        """rsync -t, tar and cp -p keep the modification time, and a rebuild is often the same
        size: the copies still come from the new stub, on both workers.  The control: size and
        modification time stay as they were, so they alone would not tell."""
        with open(self.stub, "rb") as f:
            original = f.read()
        pe = int.from_bytes(original[0x3C:0x40], "little")

        def rebuild(n):
            data = bytearray(original)
            data[pe + 8:pe + 12] = n.to_bytes(4, "little")  # the header's time stamp
            data[len(data) // 2] ^= n                       # and a byte of the body
            return bytes(data)

        def renamed_over(data):
            aside = self.stub + ".new"
            with open(aside, "wb") as f:
                f.write(data)
            os.utime(aside, ns=(before.st_atime_ns, before.st_mtime_ns))
            os.replace(aside, self.stub)

        def copied_in_place(data):
            with open(self.stub, "r+b") as f:
                f.write(data)
            os.utime(self.stub, ns=(before.st_atime_ns, before.st_mtime_ns))

        ids = [self.identifier_of_copy(self.fetch(), velko_tag.StubImage.load(self.stub)) for _ in range(4)]
        for n, (label, put) in enumerate((("renamed over", renamed_over), ("copied over in place", copied_in_place)), 1):
            with self.subTest(label):
                before = os.stat(self.stub)
                put(rebuild(n))
                after = os.stat(self.stub)
                self.assertEqual((after.st_size, after.st_mtime_ns), (before.st_size, before.st_mtime_ns))
                image = velko_tag.StubImage.load(self.stub)
                ids += [self.identifier_of_copy(self.fetch(), image) for _ in range(6)]
        self.assertEqual(sorted(self.downloads()), sorted(ids))

    def test_a_stub_replaced_while_serving(self):
        with open(self.stub, "rb") as f:
            original = f.read()
        ids = [self.identifier_of_copy(self.fetch(), velko_tag.StubImage.load(self.stub))]

        self.replace_stub(original + bytes(4096))  # a new build: here, the old one grown
        ids.append(self.identifier_of_copy(self.fetch(), velko_tag.StubImage.load(self.stub)))

        tagged = os.path.join(self.work, "tagged.exe")
        velko_tag.tag_file(self.stub, tagged, velko_tag.random_id())
        with open(tagged, "rb") as f:
            tagged_copy = f.read()
        for label, data in (("not an executable", b"<html>404</html>"), ("a tagged copy", tagged_copy)):
            with self.subTest(label):
                self.replace_stub(data)
                status, headers, body = self.fetch()
                self.assertEqual((status, headers.get("retry-after")), (503, "60"), body)
        self.assertEqual(sorted(self.downloads()), sorted(ids))


class SettlingStubTest(unittest.TestCase):
    def test_a_stub_loaded_soon_after_its_last_change_is_loaded_again_once_it_has_settled(self):
        """A write within the change time's resolution of the one before it (a stub still being
        copied in place when it was loaded) leaves the file's identity as it was: the site keeps
        what it read until the file has settled, then reads it again."""
        work, stub = support.folder_with_stub(self.addCleanup)
        with open(stub, "rb") as f:
            original = f.read()
        stubs = Stubs({"demo": types.SimpleNamespace(stub=stub)})  # just copied: not settled
        first = stubs.get("demo")
        self.assertIsNotNone(first.reload_after)

        changed = bytearray(original)
        changed[len(changed) // 2] ^= 0xFF
        with open(stub, "r+b") as f:
            f.write(changed)
        middle = slice(len(changed) // 2, len(changed) // 2 + 1)
        # As if the change time had not moved: the identity tells nothing.
        with mock.patch.object(velko_tag, "file_identity", lambda st: first.image.identity):
            self.assertIs(stubs.get("demo"), first)
            self.assertEqual(stubs.copy("demo", b"x")[middle], original[middle])
            with mock.patch.object(time, "time", return_value=first.reload_after):
                settled = stubs.get("demo")
                self.assertIsNone(settled.reload_after)
                self.assertEqual(stubs.copy("demo", b"x")[middle], changed[middle])
            self.assertIs(stubs.get("demo"), settled)  # once only


if __name__ == "__main__":
    unittest.main()
