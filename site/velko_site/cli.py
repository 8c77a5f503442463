"""The velko-site command: check a configuration, create the schema, print the report, serve.

    velko-site check CONFIG
    velko-site init-db CONFIG
    velko-site report CONFIG [--html FILE]
    velko-site serve CONFIG [--bind HOST:PORT] [--workers N] [--threads N] [--no-loader] [GUNICORN OPTIONS...]
    velko-site load CONFIG [--once]   put this host's journals into the database (serve starts it)
    velko-site backlog CONFIG         what this host's journals hold that is not loaded yet
    velko-site new-key KEYS [--id ID] add a key to the keys file (made, mode 0600, when missing)
    velko-site hash FILE       the package_sha256 and package_size lines for a package file

A refusal is one line on stderr and exit status 2.
"""
import argparse
import datetime
import hashlib
import os
import subprocess
import sys
import tempfile

from .app import Stubs
from .config import ConfigError, load_config
from . import identifiers, loader, report_html
from .db import Database, DatabaseError, totals, utc_now
from .serve import THREADS, gunicorn_command


def format_report(rows):
    """The report's lines: one per product and campaign, with the share of copies that were run."""
    lines = ["%-20s %-20s %10s %8s %7s" % ("product", "campaign", "downloaded", "run", "ratio")]
    for product, campaign, downloaded, run in rows:
        lines.append("%-20s %-20s %10d %8d %6.1f%%"
                     % (product, campaign or "(none)", downloaded, run, 100.0 * run / downloaded))
    if not rows:
        lines.append("(no downloads yet)")
    return lines


def freshness_lines(hosts, now=None):
    """The report's lines on how fresh it is: per host, up to when its journals are loaded and
    what was still to load when its loader last said.  hosts: Database.host_status()'s rows."""
    now = now or datetime.datetime.now(datetime.timezone.utc)
    lines = []
    for host, loaded_until, checked_at, lines_left, bytes_left, journals_left in hosts:
        checked = datetime.datetime.fromisoformat(checked_at.replace("Z", "+00:00"))
        silent = (now - checked).total_seconds()
        backlog = ("backlog %s line(s), %d byte(s) in %d journal(s)"
                   % ("?" if lines_left is None else lines_left, bytes_left, journals_left)
                   if bytes_left or lines_left else "no backlog")
        lines.append("host %s: loaded up to %s; %s at %s%s"
                     % (host, loaded_until or "(nothing yet)", backlog, checked_at,
                        " (its loader has not reported for %d s)" % silent if silent > 60 else ""))
    if not hosts:
        lines.append("no loader has reported yet")
    return lines


def backlog_lines(config):
    """velko-site backlog's lines: per journal of this host, what is still to load."""
    try:
        loaded = loader.offsets(Database(config.database), config.host_name)
        where = ""
    except DatabaseError as e:
        loaded, where = {}, " (the database cannot be used: %s; counted from the start of each journal)" % e
    rows = loader.backlog(config.journal, loaded)
    out = ["%-40s %-7s %12s %14s %14s" % ("journal", "writer", "bytes", "lines to load", "bytes to load")]
    for name, gone, size, _, lines, left in rows:
        out.append("%-40s %-7s %12d %14d %14d" % (name, "gone" if gone else "running", size, lines, left))
    out.append("host %s: %d line(s), %d byte(s) to load in %d journal(s)%s"
               % (config.host_name, sum(r[4] for r in rows), sum(r[5] for r in rows),
                  sum(1 for r in rows if r[5]), where))
    return out


def start_loader(config_path):
    """A loader for the configuration beside this process, which stops once this process (gunicorn,
    after exec) has gone."""
    package = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [package, os.environ.get("PYTHONPATH")])))
    return subprocess.Popen([sys.executable, "-m", "velko_site.loader", config_path, "--parent", str(os.getpid())],
                            stdin=subprocess.DEVNULL, env=env)


def hash_lines(path):
    """The configuration lines that pin the package at `path`: its SHA-256 and its length."""
    digest = hashlib.sha256()
    size = 0
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
            size += len(block)
    return ['package_sha256 = "%s"' % digest.hexdigest(), "package_size = %d" % size]


def write_html(path, page):
    """Writes the page through a temporary file beside `path`, renamed over it once whole: a
    reader never sees half a page, and a failure leaves what was there."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=".velko-report-", suffix=".html", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(page)
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def main(argv=None):
    p = argparse.ArgumentParser(prog="velko-site", description="The publisher's download site.")
    sub = p.add_subparsers(dest="command", required=True)
    for name, text in (("check", "check the configuration and load the stubs"),
                       ("init-db", "create the tables unless they exist (the site also does on start)"),
                       ("report", "copies downloaded and run, per product and campaign")):
        sub.add_parser(name, help=text).add_argument("config")
    sub.choices["report"].add_argument("--html", metavar="FILE",
                                       help="also write the report with a chart per day as one HTML page")
    sub.add_parser("hash", help="print the package_sha256 and package_size lines for a package file").add_argument("file")
    for name, text in (("load", "put this host's journals into the database, until stopped"),
                       ("backlog", "what this host's journals hold that is not loaded yet")):
        sub.add_parser(name, help=text).add_argument("config")
    sub.choices["load"].add_argument("--once", action="store_true", help="load what is there, then exit")
    new_key = sub.add_parser("new-key", help="add a new signing key to a keys file (made, mode 0600, when missing)")
    new_key.add_argument("keys")
    new_key.add_argument("--id", help="the key's id, 1 to 4 letters or digits (default: k<n>)")
    serve = sub.add_parser("serve", help="serve the site with gunicorn (further options go to gunicorn)")
    serve.add_argument("config")
    serve.add_argument("--bind", default="127.0.0.1:8000")
    serve.add_argument("--workers", type=int, default=2)
    serve.add_argument("--threads", type=int, default=THREADS, help="threads per worker (default %d)" % THREADS)
    serve.add_argument("--no-loader", action="store_true",
                       help="start no loader beside gunicorn (one runs as velko-site load)")
    args, rest = p.parse_known_args(argv)
    if rest and args.command != "serve":
        p.error("unrecognized arguments: %s" % " ".join(rest))
    if args.command == "hash":
        try:
            print("\n".join(hash_lines(args.file)))
        except OSError as e:
            print("velko-site: %s: cannot read: %s" % (args.file, e.strerror), file=sys.stderr)
            return 2
        return 0
    if args.command == "new-key":
        try:
            print("velko-site: key %s added to %s; it signs from the site's next start (kill -HUP)"
                  % (identifiers.add_key(args.keys, args.id), args.keys))
        except identifiers.KeysError as e:
            print("velko-site: %s" % e, file=sys.stderr)
            return 2
        return 0
    try:
        config = load_config(args.config)
        if args.command in ("check", "serve"):
            Stubs(config.products)
        if args.command == "check":
            print("%s: %d product(s), default %s, database %s, signing key %s, journals in %s (host %s)"
                  % (config.path, len(config.products), config.default_product, config.database,
                     config.keys.signer.id, config.journal, config.host_name))
        elif args.command == "init-db":
            Database(config.database).ensure_schema()
        elif args.command == "report":
            # Reads only: a database without the tables reports nothing and stays as it is.
            db = Database(config.database)
            days = db.report_days()
            lines = format_report(totals(days))
            freshness = freshness_lines(db.host_status())
            if args.html:
                write_html(args.html, report_html.render(days, utc_now(), freshness))
            print("\n".join(lines + [""] + freshness))
        elif args.command == "load":
            if not args.once:
                loader.yield_to_workers()
            return loader.run(config, once=args.once)
        elif args.command == "backlog":
            print("\n".join(backlog_lines(config)))
        else:
            command = gunicorn_command(config.path, args.bind, args.workers, rest, threads=args.threads)
            if not args.no_loader:
                start_loader(config.path)
            os.execvp(command[0], command)
    except (ConfigError, DatabaseError) as e:
        print("velko-site: %s" % str(e).replace("\n", " "), file=sys.stderr)
        return 2
    except OSError as e:
        print("velko-site: %s: %s" % (e.filename or getattr(args, "html", None), e.strerror or e), file=sys.stderr)
        return 2
    return 0
