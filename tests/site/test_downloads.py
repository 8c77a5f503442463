"""Copies as gunicorn serves them: 200 at once from two workers, each its own and recorded once,
and a stub replaced while the site runs."""
import concurrent.futures
import os
import unittest

import support
from support import velko_tag

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


if __name__ == "__main__":
    unittest.main()
