"""Serves files on loopback addresses until SIGTERM or SIGINT (exit code 0):

    python3 tools/stubserver --address 127.0.0.1 --file /big.bin=/tmp/big.bin

    --address A         listen on A (repeatable; 127.0.0.0/8 only; default 127.0.0.1)
    --port P            default 80; 0 takes a free port
    --file URLPATH=PATH serve the file PATH at URLPATH (repeatable)
    --behaviour B       how every file is answered (behaviours.py; default ok)
    --quiet             no line per request on stderr

Prints "stubserver: listening on A:P, ..." on stderr once every address is bound. Exit code 2 for
bad arguments, 1 when an address cannot be bound.
"""
import argparse
import os
import signal
import sys
import threading

if not __package__:  # run as `python3 tools/stubserver`: make the package importable
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from stubserver.server import StubServer  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(prog="stubserver", description="Serves files on loopback addresses.")
    parser.add_argument("--address", action="append", help="listen address (repeatable, 127.0.0.0/8)")
    parser.add_argument("--port", type=int, default=80)
    parser.add_argument("--file", action="append", default=[], metavar="URLPATH=PATH")
    parser.add_argument("--behaviour", default="ok", help="how every file is answered (default ok)")
    parser.add_argument("--quiet", action="store_true", help="no line per request on stderr")
    args = parser.parse_args(argv)
    try:
        server = StubServer(args.address or ["127.0.0.1"], args.port, echo=not args.quiet)
        for arg in args.file:
            url_path, sep, path = arg.partition("=")
            if not sep or not url_path.startswith("/") or not path:
                raise ValueError("expected URLPATH=PATH, got %r" % arg)
            server.add_file(url_path, os.path.abspath(path), args.behaviour)
    except (ValueError, OSError) as exc:
        print("stubserver: %s" % exc, file=sys.stderr)
        return 2

    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    try:
        server.start()
    except OSError as exc:
        print("stubserver: %s" % exc.strerror, file=sys.stderr)
        return 1
    print("stubserver: listening on %s" % ", ".join("%s:%d" % (a, server.port) for a in server.addresses),
          file=sys.stderr, flush=True)
    try:
        while not done.wait(0.5):
            pass
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
