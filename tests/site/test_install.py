"""The site as an installed package: pyproject.toml builds one package holding the site and the
tagging module, with the velko-site command.  Only Debian's packages are at hand here, so the
package goes into a new virtual environment that sees the system's packages (gunicorn, psycopg2,
setuptools), installed without its dependencies and without an index, from a copy of the files it
is built from (a build leaves its output beside them)."""
import os
import shutil
import subprocess
import tempfile
import time
import unittest

import support
from support import velko_tag

ADDRESS = ("127.0.0.35", 8000)

# What the package is built from, as the project keeps it.
SOURCES = ["pyproject.toml", "README.md", "site/velko_site", "tools/velko_tag.py"]


def run(command, **options):
    done = subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL, **options)
    if done.returncode != 0:
        raise AssertionError("%s failed (status %d):\n%s%s" % (" ".join(command), done.returncode, done.stdout,
                                                                done.stderr))
    return done


class InstallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="velko-install-")
        cls.addClassCleanup(shutil.rmtree, cls.work, True)
        source = os.path.join(cls.work, "source")
        for part in SOURCES:
            target = os.path.join(source, part)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            copy = shutil.copytree if os.path.isdir(os.path.join(support.ROOT, part)) else shutil.copy
            copy(os.path.join(support.ROOT, part), target)
        cls.venv = os.path.join(cls.work, "venv")
        # Debian's Python: its venv module, and gunicorn and psycopg2 seen through the system's packages.
        run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", cls.venv])
        run([os.path.join(cls.venv, "bin", "python"), "-m", "pip", "install", "--no-deps", "--no-build-isolation",
             "--no-index", "--disable-pip-version-check", source])
        shutil.rmtree(source)  # what runs from now on is the installed copy or nothing

    def test_the_installed_command_checks_a_configuration(self):
        folder, stub = support.folder_with_stub(self.addCleanup)
        config = support.write_config(folder, {"demo": (stub, "http://127.0.0.3/velko-demo.msi",
                                                        "velko-demo-setup.exe")})
        # Run from elsewhere, with nothing of the project's tree on the path.
        environment = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
        done = run([os.path.join(self.venv, "bin", "velko-site"), "check", config], cwd=folder, env=environment)
        settings = support.load_config(config)
        self.assertEqual(done.stdout, "%s: 1 product(s), default demo, database %s, signing key %s, journals in %s "
                         "(host %s)\n" % (config, os.path.join(folder, "site.db"), settings.keys.signer.id,
                                          settings.journal, settings.host_name))
        where = run([os.path.join(self.venv, "bin", "python"), "-c",
                     "import velko_site.app, velko_tag, gunicorn; "
                     "print(velko_site.app.__file__, velko_tag.__file__, velko_site.app.velko_tag is velko_tag)"],
                    cwd=folder, env=environment).stdout.split()
        self.assertTrue(all(path.startswith(self.venv + os.sep) for path in where[:2]), where)
        self.assertEqual(where[2], "True")

        # And serves: gunicorn run by the environment's Python, the workers importing the installed copy.
        log = os.path.join(folder, "serve.log")
        with open(log, "wb") as out:
            serve = subprocess.Popen([os.path.join(self.venv, "bin", "velko-site"), "serve", config, "--bind",
                                      "%s:%d" % ADDRESS, "--workers", "1"], cwd=folder, env=environment,
                                     stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        self.addCleanup(serve.wait)
        self.addCleanup(serve.terminate)
        deadline = time.monotonic() + 60
        while True:
            try:
                status, _, body = support.get(*ADDRESS, "/download/demo")
                break
            except OSError:
                with open(log, errors="replace") as f:
                    self.assertTrue(serve.poll() is None and time.monotonic() < deadline, f.read())
                time.sleep(0.2)
        self.assertEqual(status, 200, body[:200])
        ident = velko_tag.read_tag(body)[1]
        self.assertEqual(support.identifiers.verify(settings.keys, ident).product, "demo")
        # The loader that serve started beside gunicorn, installed too, puts its record in the database.
        db = support.Database(os.path.join(folder, "site.db"))
        self.addCleanup(db.close)
        while True:
            try:
                if db.rows("SELECT ident FROM downloads") == [(ident.decode(),)]:
                    break
            except support.DatabaseError:
                pass
            with open(log, errors="replace") as f:
                self.assertTrue(time.monotonic() < deadline, f.read())
            time.sleep(0.2)

    def test_the_installed_command_refuses_what_it_cannot_use(self):
        folder, stub = support.folder_with_stub(self.addCleanup)
        config = support.write_config(folder, {"demo": (stub, "http://127.0.0.3/velko-demo.msi",
                                                        "velko-demo-setup.exe")}, default="other")
        done = subprocess.run([os.path.join(self.venv, "bin", "velko-site"), "check", config],
                              capture_output=True, text=True)
        self.assertEqual((done.returncode, done.stdout), (2, ""))
        self.assertEqual(done.stderr, "velko-site: %s: default_product: 'other' is not one of the products\n" % config)


if __name__ == "__main__":
    unittest.main()
