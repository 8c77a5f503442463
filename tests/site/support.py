"""What the download site's tests share: a configuration written into a test's folder, the site
under gunicorn, its records, and a throw-away PostgreSQL server.

Run with Debian's /usr/bin/python3, which has gunicorn and psycopg2 (CTest does)."""
import contextlib
import glob
import http.client
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.environ.get("VELKO_ROOT", os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
SITE_DIR = os.path.join(ROOT, "site")
SITE_COMMAND = os.path.join(SITE_DIR, "velko-site")
sys.path.insert(0, SITE_DIR)

from velko_site import identifiers, loader  # noqa: E402
from velko_site.config import load_config  # noqa: E402
from velko_site.db import Database, DatabaseError  # noqa: E402,F401
from velko_site.serve import Gunicorn  # noqa: E402
import velko_tag  # noqa: E402,F401  (tools/ is on the path through velko_site; tests use support.velko_tag)

STUB_EXE = os.environ.get("VELKO_STUB_EXE", os.path.join(ROOT, "build", "velko-stub.exe"))


def folder_with_stub(add_cleanup):
    """A new temporary folder, removed by a cleanup registered through `add_cleanup`, holding a
    copy of the built stub; returns (folder, the copy's path)."""
    folder = tempfile.mkdtemp(prefix="velko-site-")
    add_cleanup(shutil.rmtree, folder, True)
    stub = os.path.join(folder, "velko-stub.exe")
    shutil.copy(STUB_EXE, stub)
    return folder, stub


def toml_string(text):
    """`text` as a TOML basic string."""
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


def write_config(folder, products, database="site.db", default="demo", name="site.toml", extra=()):
    """Writes a configuration into `folder` and returns its path.  products: {name: (stub,
    package_url, file_name)}.  Its keys are `keys.toml` in `folder` (made with one key when
    missing), named by their absolute path so that a copy of the configuration elsewhere (another
    host's) shares them.  extra: more top-level lines."""
    keys = os.path.join(os.path.abspath(folder), "keys.toml")
    if not os.path.exists(keys):
        identifiers.add_key(keys)
    lines = ["database = %s" % toml_string(database), "default_product = %s" % toml_string(default),
             "keys = %s" % toml_string(keys), *extra]
    for product, (stub, url, file_name) in products.items():
        lines += ["", "[products.%s]" % toml_string(product), "stub = %s" % toml_string(stub),
                  "package_url = %s" % toml_string(url), "file_name = %s" % toml_string(file_name)]
    path = os.path.join(folder, name)
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    return path


def start_site(add_cleanup, config, host, port=80, workers=2):
    """The site of `config` under gunicorn on host:port, stopped by a cleanup registered through
    `add_cleanup` (a test's addCleanup or a class's addClassCleanup).  A log that shows an error (a
    traceback) is printed when it stops."""
    log = os.path.join(os.path.dirname(config), "gunicorn.log")
    site = Gunicorn(config, host, port, log, workers=workers)
    site.start()
    _SITES.setdefault(load_config(config).database, []).append(config)
    add_cleanup(_SITES[load_config(config).database].remove, config)

    def stop():
        site.stop()
        with open(log, encoding="utf-8", errors="replace") as f:
            text = f.read()
        if "Traceback" in text or "[ERROR]" in text:
            print("\n--- gunicorn log (%s) ---\n%s" % (log, text), file=sys.stderr)
    add_cleanup(stop)
    return site


def get(host, port, target, headers=b"", method=b"GET"):
    """(status, headers as a dict of lower-case names, body) of one request.  The target (bytes, or
    ASCII text) goes out as it stands, raw bytes and all, without any normalising; `headers` are
    extra header lines, each ending in CR LF."""
    if isinstance(target, str):
        target = target.encode("ascii")
    with socket.create_connection((host, port), timeout=30) as s:
        s.sendall(b"%s %s HTTP/1.1\r\nHost: %s\r\n%s\r\n" % (method, target, host.encode(), headers))
        reply = http.client.HTTPResponse(s, method=method.decode())
        reply.begin()
        return reply.status, {k.lower(): v for k, v in reply.getheaders()}, reply.read()


# The configurations of the sites started (start_site), by their database.
_SITES = {}


def load(config):
    """Runs one loader pass for the site of `config` (everything it journaled so far is in the
    database on return); raises RuntimeError when the database fails."""
    if loader.run(load_config(config), once=True) != 0:
        raise RuntimeError("the loader of %s could not use the database" % config)


def records(database):
    """(downloads, info_requests) of the site's database once the loaders of the sites started on
    it have caught up, each a sorted list of tuples without the times."""
    for config in list(_SITES.get(database, [])):
        load(config)
    db = Database(database)
    try:
        return (sorted(db.rows("SELECT ident, product, campaign, referrer FROM downloads")),
                sorted(db.rows("SELECT session, session_length, known FROM info_requests")))
    finally:
        db.close()


def outcomes(database):
    """The outcome reports of the site's database once the loaders of the sites started on it have
    caught up: a sorted list of (session, session_length, known, outcome, detail, version, arch)."""
    for config in list(_SITES.get(database, [])):
        load(config)
    db = Database(database)
    try:
        return sorted(db.rows("SELECT session, session_length, known, outcome, detail, version, arch FROM outcomes"))
    finally:
        db.close()


def sends_outcome(stub):
    """Whether the stub at `stub` reports how its run ended: it carries the report's query (as
    UTF-16 text, or 8-bit)."""
    with open(stub, "rb") as f:
        data = f.read()
    return any(text in data for text in (b"outcome=", "outcome=".encode("utf-16-le")))


def report(config):
    """The rows of `velko-site report` as lists of their words, without the heading."""
    for each in list(_SITES.get(load_config(config).database, [])):
        load(each)
    out = subprocess.run([SITE_COMMAND, "report", config], check=True, capture_output=True, text=True).stdout
    table = out.split("\n\n")[0]  # the failures and the freshness lines follow, each after a blank line
    return [line.split() for line in table.splitlines()[1:]]


NGINX_CONFIG = """
worker_processes 1;
pid {folder}/nginx.pid;
error_log {folder}/error.log;
events {{ worker_connections 512; }}
http {{
    access_log {folder}/access.log;
    client_body_temp_path {folder}/temp/body;
    proxy_temp_path {folder}/temp/proxy;
    fastcgi_temp_path {folder}/temp/fastcgi;
    uwsgi_temp_path {folder}/temp/uwsgi;
    scgi_temp_path {folder}/temp/scgi;
    upstream velko_site {{
{servers}
    }}
    server {{
        listen {listen};
{locations}
        location / {{
            proxy_pass http://velko_site;
            proxy_set_header Host $host;
            proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
            # A copy is held whole for a slow visitor, so that no worker waits on one.
            proxy_buffers 16 64k;
        }}
    }}
}}
"""


class Nginx:
    """Debian's nginx as a reverse proxy on `listen` (HOST:PORT) in front of `upstreams` (a list of
    HOST:PORT, taken in turn), run as a child process with its configuration, logs and temporary
    files in a folder of its own.  `locations`: more location blocks of the server, as nginx
    configuration text, before the one that passes everything on.  start() returns once it
    answers; stop() ends it."""

    def __init__(self, listen, upstreams, locations=""):
        self.folder = tempfile.mkdtemp(prefix="velko-nginx-")
        os.chmod(self.folder, 0o755)  # its workers run as nobody when started as root
        os.mkdir(os.path.join(self.folder, "temp"), 0o777)
        os.chmod(os.path.join(self.folder, "temp"), 0o777)
        self.host, self.port = listen.rsplit(":", 1)
        self.config = os.path.join(self.folder, "nginx.conf")
        with open(self.config, "w") as f:
            f.write(NGINX_CONFIG.format(folder=self.folder, listen=listen, locations=locations,
                                        servers="\n".join("        server %s;" % u for u in upstreams)))
        self.process = None

    def start(self, timeout=30):
        self.process = subprocess.Popen(["nginx", "-p", self.folder, "-e", os.path.join(self.folder, "error.log"),
                                         "-c", self.config, "-g", "daemon off;"],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + timeout
        while True:
            if self.process.poll() is not None:
                raise RuntimeError("nginx ended (status %d): %s%s" % (self.process.returncode,
                                                                     self.process.stderr.read().decode(), self.log()))
            try:
                socket.create_connection((self.host, int(self.port)), timeout=1).close()
                return self
            except OSError:
                if time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError("nginx did not listen within %d s: %s" % (timeout, self.log()))
                time.sleep(0.1)

    def log(self):
        try:
            with open(os.path.join(self.folder, "error.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def requests(self):
        """The request lines nginx passed on, from its access log."""
        with open(os.path.join(self.folder, "access.log"), errors="replace") as f:
            return [line.split('"')[1] for line in f if '"' in line]

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process is not None:
            self.process.stderr.close()
        shutil.rmtree(self.folder, True)


def start_two_hosts(add_cleanup, config, hosts, proxy=None, port=8000):
    """Two site instances (two gunicorn masters, standing for two machines) of `config`, one on
    each of `hosts` at `port`, and, when `proxy` (HOST:PORT) is given, nginx there in front of
    both; all stopped by cleanups.  Returns the instances."""
    sites = []
    for n, host in enumerate(hosts):
        # Each instance its own folder for its log, as it would have on its own machine.
        folder = tempfile.mkdtemp(prefix="velko-site-host%d-" % n)
        add_cleanup(shutil.rmtree, folder, True)
        own = os.path.join(folder, "site.toml")
        with open(config) as f:
            text = f.read()
        with open(own, "w") as f:
            f.write('host_name = "host%d"\n' % n + text)
        sites.append(start_site(add_cleanup, own, host, port))
    if proxy:
        nginx = Nginx(proxy, ["%s:%d" % (host, port) for host in hosts]).start()
        add_cleanup(nginx.stop)
        sites.append(nginx)
    return sites


@contextlib.contextmanager
def sqlite_lock_holder(path, seconds):
    """Another process that holds the write lock of the SQLite file at `path` for `seconds`;
    yields its Popen once the lock is taken."""
    with subprocess.Popen([sys.executable, "-c", """if True:
            import sqlite3, sys, time
            conn = sqlite3.connect(sys.argv[1], isolation_level=None)
            conn.execute("BEGIN EXCLUSIVE")
            print("locked", flush=True)
            time.sleep(float(sys.argv[2]))
            conn.execute("ROLLBACK")
            """, path, str(seconds)], stdout=subprocess.PIPE, text=True) as holder:
        if holder.stdout.readline() != "locked\n":
            raise RuntimeError("the process meant to lock %s did not" % path)
        try:
            yield holder
        finally:
            holder.kill()


class OnPostgres:
    """Mixin for a test case class whose cases run against one throw-away PostgreSQL server for the
    class, each case on empty tables; database() is what the cases configure."""

    @classmethod
    def setUpClass(cls):
        cls.postgres = PostgresServer().start()
        cls.addClassCleanup(cls.postgres.stop)

    def setUp(self):
        self.postgres.drop_site_tables()
        super().setUp()

    def database(self):
        return self.postgres.url


class PostgresServer:
    """A throw-away PostgreSQL server (Debian's package) in a temporary folder, reached through a
    Unix socket in that folder; stop() removes it.  PostgreSQL refuses to run as root: as root the
    server runs as the package's unprivileged user `postgres`, which then owns the folder.

    durable: fsync on, as a real server has it (the benchmark); else off, which is of no use to a
    server that lives for one test.  settings: more of the server's settings, NAME=VALUE each."""

    def __init__(self, durable=False, settings=()):
        versions = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"))
        if not versions:
            raise RuntimeError("PostgreSQL is not installed (Debian's postgresql package)")
        self.bin = os.path.dirname(versions[-1])
        self.folder = tempfile.mkdtemp(prefix="velko-pg-")
        self.data = os.path.join(self.folder, "data")
        self.user = ["runuser", "-u", "postgres", "--"] if os.getuid() == 0 else []
        if self.user:
            shutil.chown(self.folder, "postgres", "postgres")
        self.url = "postgresql://velko@/postgres?host=%s" % self.folder
        self.options = "-c listen_addresses='' -k %s -c max_connections=200%s%s" % (
            self.folder, "" if durable else " -c fsync=off", "".join(" -c " + s for s in settings))
        self._started = False
        self._initialised = False

    def drop_site_tables(self):
        """Drops every table the site and its loader make, so that a test starts from an empty
        database on a server that lives for several tests."""
        Database(self.url).transaction(lambda execute: [
            execute("DROP TABLE IF EXISTS %s" % t)
            for t in ("downloads", "info_requests", "outcomes", "journal_offsets", "journal_hosts")])

    def _run(self, *command):
        done = subprocess.run(self.user + [os.path.join(self.bin, command[0]), *command[1:]], cwd=self.folder,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError("%s failed:\n%s%s" % (command[0], done.stdout, done.stderr))

    def start(self):
        """Makes the cluster the first time, then starts the server; returns once it answers."""
        try:
            if not self._initialised:
                self._run("initdb", "-D", self.data, "-U", "velko", "--auth=trust", "--encoding=UTF8",
                          "--locale=C", "--no-sync")
                self._initialised = True
            self._run("pg_ctl", "-D", self.data, "-l", os.path.join(self.folder, "server.log"), "-w",
                      "-o", self.options, "start")
            self._started = True
        except BaseException:
            self.stop()
            raise
        return self

    def halt(self):
        """Stops the server the way a restart does (fast: open sessions are ended, the server's
        clients see their connections break); start() starts it again with the same data."""
        if self._started:
            self._run("pg_ctl", "-D", self.data, "-m", "fast", "-w", "stop")
            self._started = False

    def stop(self):
        if self._started:
            self._run("pg_ctl", "-D", self.data, "-m", "immediate", "-w", "stop")
            self._started = False
        shutil.rmtree(self.folder, True)
