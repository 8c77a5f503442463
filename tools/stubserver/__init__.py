"""A local stand-in for the download-information server and the package server: plain HTTP on
loopback addresses, misbehaving on demand so that the stub's error handling can be exercised.

    behaviours.py   the behaviours and the reply each plans for a request
    server.py       StubServer: listening, matching paths, recording requests, sending replies
    __main__.py     the command line: python3 tools/stubserver --help
"""
from .server import StubServer

__all__ = ["StubServer"]
