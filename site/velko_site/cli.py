"""The velko-site command: check a configuration, create the schema, print the report, serve.

    velko-site check CONFIG
    velko-site init-db CONFIG
    velko-site report CONFIG [--html FILE]
    velko-site serve CONFIG [--bind HOST:PORT] [--workers N] [--threads N] [GUNICORN OPTIONS...]
    velko-site hash FILE       the package_sha256 and package_size lines for a package file

A refusal is one line on stderr and exit status 2.
"""
import argparse
import hashlib
import os
import sys
import tempfile

from .app import Stubs
from .config import ConfigError, load_config
from . import report_html
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
    serve = sub.add_parser("serve", help="serve the site with gunicorn (further options go to gunicorn)")
    serve.add_argument("config")
    serve.add_argument("--bind", default="127.0.0.1:8000")
    serve.add_argument("--workers", type=int, default=2)
    serve.add_argument("--threads", type=int, default=THREADS, help="threads per worker (default %d)" % THREADS)
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
    try:
        config = load_config(args.config)
        if args.command in ("check", "serve"):
            Stubs(config.products)
        if args.command == "check":
            print("%s: %d product(s), default %s, database %s"
                  % (config.path, len(config.products), config.default_product, config.database))
        elif args.command == "init-db":
            Database(config.database).ensure_schema()
        elif args.command == "report":
            days = Database(config.database).report_days()
            lines = format_report(totals(days))
            if args.html:
                write_html(args.html, report_html.render(days, utc_now()))
            print("\n".join(lines))
        else:
            command = gunicorn_command(config.path, args.bind, args.workers, rest, threads=args.threads)
            os.execvp(command[0], command)
    except (ConfigError, DatabaseError) as e:
        print("velko-site: %s" % str(e).replace("\n", " "), file=sys.stderr)
        return 2
    except OSError as e:
        print("velko-site: %s: %s" % (e.filename or args.html, e.strerror or e), file=sys.stderr)
        return 2
    return 0
