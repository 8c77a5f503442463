#!/usr/bin/env python3
"""Local stand-in for the download-information server and the package server.

It answers plain HTTP/1.1 GET requests on one or more loopback addresses and
can misbehave on demand, so the installer stub's error handling and retries
can be exercised without any real server.  Python 3 standard library only.

Python use
==========

    import sys; sys.path.insert(0, "tools")
    from stubserver import StubServer

    with StubServer(addresses=["127.0.0.2", "127.0.0.3"], port=80) as srv:
        srv.set_msiurl("http://127.0.0.3/p.msi")            # info reply
        srv.add_file("/p.msi", b"...bytes...")               # behaviour "ok"
        srv.add_file("/big.msi", "/tmp/big.msi", behaviour="malformed", count=2)
        srv.set_behaviour("/p.msi", "reset")                 # change later
        ...run the stub...
        reqs = srv.wait_for_requests(2, timeout=10)
        reqs[0].path        # raw target as received, e.g. "/WebGetDSData.qdx?session=a%20b"

StubServer(addresses=("127.0.0.1",), port=80, *, info_path="/WebGetDSData.qdx",
           log_path=None, echo=False, read_timeout=10.0, send_timeout=60.0)
    One listening socket per address, all on the same port, each served by
    its own thread; every connection gets its own thread.  Only addresses in
    127.0.0.0/8 are accepted.  port=0 picks a free port (shared by all
    addresses); the chosen port is in .port after start().
    log_path appends one JSON object per request; echo prints one line per
    request to stderr.  Nothing listens on addresses that are not listed, so
    "no server at all" is simply an address left out.

Methods
    start() / stop()  (also a context manager; stop() cuts open connections)
    add_file(url_path, source, behaviour="ok", content_type=..., **params)
        source: bytes, or a file-system path (str / os.PathLike) which is
        streamed with sendfile at request time, never loaded into memory.
    set_behaviour(url_path, behaviour="ok", **params)   (resets its counter)
    remove_file(url_path)
    set_info_reply(body, behaviour="ok", **params)
        body: bytes, str (text, sent as UTF-8) or an os.PathLike naming a
        file; None removes the info endpoint (then it answers 404)
    set_msiurl(url, behaviour="ok", **params)        a small XML body with <MSIURL>url</MSIURL>
    set_info_behaviour(behaviour="ok", **params)
    requests            copy of the recorded Request list (every request, misbehaviours too)
    requests_for(url_path)   those whose target, without its query, equals url_path
    wait_for_requests(n, timeout=5.0, path=None) -> list (may be shorter on timeout)
    wait_idle(timeout=5.0) -> bool   no connection open any more (all replies done)
    clear_requests()

Request fields: address, port (served on), client ("ip:port"), method, path
(the raw request target exactly as received, undecoded), version, headers
(dict, names as sent; .header(name) looks up case-insensitively),
raw_headers (list of pairs), time (epoch seconds, when the request head was
read), behaviour (what was done, e.g. "ok", "malformed", "status:404",
"not-found", "method-not-allowed", "bad-request"), plus bytes_sent (bytes
after the header block), error (why sending failed, e.g. the client went
away) and finished (epoch seconds), filled in once the connection is closed;
wait_idle() waits for that.  Requests are recorded (and logged) as soon as
their head has been read, before any reply.

Path matching: the raw target (an absolute "http://host" prefix stripped) is
compared first in full, then without its query string.  No percent-decoding.
The info endpoint is an ordinary entry at info_path, so its query is ignored
for matching and kept verbatim in the record.  Unknown paths get 404; methods
other than GET get 405.

Behaviours
==========
A behaviour is a string as below, or a name plus keyword parameters:

    ok                       200, Content-Length, the bytes
    malformed[:N|:all]       first N requests (default 1) get "GARBAGE\\r\\n\\r\\n"
                             instead of a status line, then close; later ones ok.
                             kwargs: count=N (None = always), garbage=b"..."
    reset[:BYTES]            200 with the full Content-Length, sends BYTES of the
                             body (default half), waits (at most 5 s) until they
                             have left the send queue, then resets the
                             connection (SO_LINGER 0 and close -> RST).
                             kwargs: nbytes
    chunked[:SIZE]           Transfer-Encoding: chunked, no Content-Length,
                             chunks of SIZE bytes (default 65536). kwargs: chunk
    status:CODE              that status, small HTML body, correct Content-Length.
                             kwargs: code (default 404)
    short[:BYTES]            full Content-Length, only BYTES sent (default half),
                             then a normal close (FIN). kwargs: nbytes
    empty                    200, Content-Length: 0, no body
    trickle[:STEP[:DELAY]]   body in STEP-byte pieces (default 1024) with DELAY
                             seconds between them (default 0.05). kwargs: step, delay
    long[:EXTRA]             Content-Length of the data, then EXTRA more bytes
                             (default 1024) after it. kwargs: extra
    hang[:SECONDS]           reads the request, sends nothing, closes after
                             SECONDS (default: until stop()). kwargs: seconds

Sequences: items joined by "," apply to successive requests of that path and
the last item repeats; "ITEM*N" repeats an item.  "malformed:N" is short for
"malformed*N" and, when it is the last item, is followed by "ok".
Examples: "reset*2,ok", "status:500,ok", "malformed:3", "trickle:64:0.1".
The counter is per path, shared by all addresses, and restarts when the
behaviour or content of the path is set again.

Command line
============
    tools/stubserver.py --address 127.0.0.1 --msiurl http://127.0.0.1/velko-demo.msi \\
        --file /velko-demo.msi=path/to/demo.msi --log requests.jsonl

    --address A            repeatable; default 127.0.0.1
    --port P               default 80 (0 = pick one; printed on the ready line)
    --info-path P          default /WebGetDSData.qdx
    --msiurl URL           info reply naming URL
    --info-reply-file F    info reply body taken verbatim from F
    --info-behaviour B     behaviour of the info endpoint
    --file URLPATH=FSPATH[:B]      serve FSPATH at URLPATH; the optional suffix
                           starts at the first ":" followed by a behaviour name
    --behaviour URLPATH=B          behaviour for an already added path
    --log FILE             append JSON lines
    --quiet                no per-request lines on stderr

It prints "stubserver: listening on A:P ..." to stderr once all sockets are
bound, runs in the foreground and exits 0 on SIGTERM or SIGINT.
"""

import argparse
import dataclasses
import html
import http
import ipaddress
import json
import os
import signal
import socket
import socketserver
import struct
import sys
import threading
import time

DEFAULT_INFO_PATH = "/WebGetDSData.qdx"
DEFAULT_GARBAGE = b"GARBAGE\r\n\r\n"
MAX_LINE = 65536
MAX_HEADERS = 200


# --------------------------------------------------------------------------
# Behaviour strings

@dataclasses.dataclass(frozen=True)
class Step:
    """One way of answering a request."""
    name: str
    code: int = 404
    nbytes: int = None
    chunk: int = 65536
    step: int = 1024
    delay: float = 0.05
    extra: int = 1024
    seconds: float = None
    garbage: bytes = DEFAULT_GARBAGE

    def label(self):
        return "status:%d" % self.code if self.name == "status" else self.name


BEHAVIOURS = ("ok", "malformed", "reset", "chunked", "status", "short",
              "empty", "trickle", "long", "hang")
_PARAMS = {
    "ok": (), "empty": (),
    "malformed": ("count",),
    "reset": ("nbytes",), "short": ("nbytes",),
    "chunked": ("chunk",),
    "status": ("code",),
    "trickle": ("step", "delay"),
    "long": ("extra",),
    "hang": ("seconds",),
}
_FLOAT_PARAMS = ("delay", "seconds")


class _Plan:
    """Steps for successive requests; the last one repeats."""

    def __init__(self, steps):
        if not steps:
            raise ValueError("empty behaviour")
        self.steps = list(steps)

    def pick(self, index):
        return self.steps[min(index, len(self.steps) - 1)]


def _make_step(name, params):
    """Build the steps of one item; returns (steps, open_ended_malformed)."""
    if name not in BEHAVIOURS:
        raise ValueError("unknown behaviour %r (known: %s)" % (name, ", ".join(BEHAVIOURS)))
    for key in params:
        if key not in _PARAMS[name] and key != "garbage":
            raise ValueError("behaviour %r takes no parameter %r" % (name, key))
    if "garbage" in params and name != "malformed":
        raise ValueError("only 'malformed' takes 'garbage'")
    if name == "malformed":
        count = params.pop("count", 1)
        step = Step("malformed", **params)
        if count is None:
            return [step], False
        if count < 0:
            raise ValueError("malformed count must be >= 0")
        return [step] * count, True
    for key in ("nbytes", "chunk", "step", "extra", "code"):
        if key in params and params[key] is not None and params[key] < (1 if key in ("chunk", "step") else 0):
            raise ValueError("bad %s for %r: %r" % (key, name, params[key]))
    if name == "status" and not 100 <= params.get("code", 404) <= 999:
        raise ValueError("status code out of range")
    return [Step(name, **params)], False


def _parse_item(item):
    item = item.strip()
    repeat = 1
    if "*" in item:
        item, _, rep = item.rpartition("*")
        try:
            repeat = int(rep)
        except ValueError:
            raise ValueError("bad repeat in %r" % item) from None
        if repeat < 1:
            raise ValueError("repeat must be >= 1")
    name, *args = item.split(":")
    name = name.strip().lower()
    keys = _PARAMS.get(name)
    if keys is None:
        _make_step(name, {})   # raises the 'unknown behaviour' error
    if len(args) > len(keys):
        raise ValueError("too many parameters in %r" % item)
    params = {}
    for key, text in zip(keys, args):
        text = text.strip()
        if key == "count" and text.lower() in ("all", "always"):
            params[key] = None
            continue
        try:
            params[key] = float(text) if key in _FLOAT_PARAMS else int(text)
        except ValueError:
            raise ValueError("bad %s %r in %r" % (key, text, item)) from None
    steps, open_ended = _make_step(name, params)
    return steps * repeat, open_ended


def parse_behaviour(how, **params):
    """Turn a behaviour string (or a name plus keyword parameters) into a plan."""
    if isinstance(how, Step):
        return _Plan([how])
    if params:
        if "," in how or ":" in how or "*" in how:
            raise ValueError("give parameters either in the string or as keywords, not both")
        steps, open_ended = _make_step(how.strip().lower(), dict(params))
        return _Plan(steps + [Step("ok")] if open_ended else steps)
    steps = []
    open_ended = False
    for item in how.split(","):
        if not item.strip():
            raise ValueError("empty item in behaviour %r" % how)
        more, open_ended = _parse_item(item)
        steps += more
    if open_ended:
        steps.append(Step("ok"))
    return _Plan(steps)


# --------------------------------------------------------------------------
# Records

@dataclasses.dataclass
class Request:
    address: str
    port: int
    client: str
    method: str
    path: str
    version: str
    headers: dict
    raw_headers: list
    time: float
    behaviour: str = ""
    bytes_sent: int = 0
    error: str = None
    finished: float = None

    def header(self, name, default=None):
        name = name.lower()
        for key, value in self.raw_headers:
            if key.lower() == name:
                return value
        return default

    @property
    def path_only(self):
        return _strip_absolute(self.path).split("?", 1)[0]

    @property
    def query(self):
        target = _strip_absolute(self.path)
        return target.split("?", 1)[1] if "?" in target else None

    def to_dict(self):
        return {
            "time": self.time, "address": self.address, "port": self.port,
            "client": self.client, "method": self.method, "path": self.path,
            "version": self.version, "headers": self.headers,
            "behaviour": self.behaviour,
        }


def _strip_absolute(target):
    """Reduce an absolute-form target ("http://host/x") to "/x"."""
    low = target[:8].lower()
    if low.startswith("http://") or low.startswith("https://"):
        rest = target.split("://", 1)[1]
        slash = rest.find("/")
        return rest[slash:] if slash >= 0 else "/"
    return target


class _Entry:
    def __init__(self, source, plan, content_type):
        if isinstance(source, (bytes, bytearray, memoryview)):
            self.data, self.filename = bytes(source), None
        else:
            self.data, self.filename = None, os.fspath(source)
            if not os.path.isfile(self.filename):
                raise FileNotFoundError(self.filename)
        self.plan = plan
        self.content_type = content_type
        self.served = 0


# --------------------------------------------------------------------------
# Body sources: bytes in memory or a file read at request time

class _Body:
    def __init__(self, entry):
        self.data = entry.data
        self.file = open(entry.filename, "rb") if entry.data is None else None
        self.size = len(self.data) if self.file is None else os.fstat(self.file.fileno()).st_size

    def close(self):
        if self.file:
            self.file.close()

    def send(self, sock, offset, count):
        """Send [offset, offset+count) with sendfile when it is a file."""
        if count <= 0:
            return 0
        if self.file is None:
            sock.sendall(memoryview(self.data)[offset:offset + count])
            return count
        return sock.sendfile(self.file, offset, count)

    def pieces(self, offset, count, size):
        while count > 0:
            n = min(size, count)
            if self.file is None:
                piece = self.data[offset:offset + n]
            else:
                piece = os.pread(self.file.fileno(), n, offset)
                if not piece:
                    return
            yield piece
            offset += len(piece)
            count -= len(piece)


# --------------------------------------------------------------------------
# Server

class _TCPServer(socketserver.ThreadingMixIn, socketserver.TCPServer):
    allow_reuse_address = True
    daemon_threads = True
    block_on_close = False
    request_queue_size = 64

    def __init__(self, owner, address, port):
        self.owner = owner
        super().__init__((address, port), _Handler)


class _Handler(socketserver.BaseRequestHandler):
    def handle(self):
        self.server.owner._handle(self.request, self.server.server_address, self.client_address)


class StubServer:
    def __init__(self, addresses=("127.0.0.1",), port=80, *, info_path=DEFAULT_INFO_PATH,
                 log_path=None, echo=False, read_timeout=10.0, send_timeout=60.0):
        if isinstance(addresses, str):
            addresses = [addresses]
        self.addresses = list(addresses)
        if not self.addresses:
            raise ValueError("no addresses")
        for addr in self.addresses:
            if ipaddress.ip_address(addr) not in ipaddress.ip_network("127.0.0.0/8"):
                raise ValueError("only loopback addresses (127.0.0.0/8) are allowed: %r" % addr)
        self.port = port
        self.info_path = info_path
        self.log_path = log_path
        self.echo = echo
        self.read_timeout = read_timeout
        self.send_timeout = send_timeout
        self._entries = {}
        self._requests = []
        self._lock = threading.Lock()
        self._cond = threading.Condition(self._lock)
        self._log_lock = threading.Lock()
        self._stop = threading.Event()
        self._servers = []
        self._threads = []
        self._conns = set()

    # -- life cycle --------------------------------------------------------

    def start(self):
        if self._servers:
            return self
        self._stop.clear()
        port = self.port
        try:
            for addr in self.addresses:
                try:
                    srv = _TCPServer(self, addr, port)
                except OSError as exc:
                    raise OSError(exc.errno, "cannot listen on %s:%d: %s" % (addr, port, exc.strerror)) from exc
                self._servers.append(srv)
                port = srv.server_address[1]   # port 0: the others share the chosen one
        except BaseException:
            self.stop()
            raise
        self.port = port
        for srv in self._servers:
            t = threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.1},
                                 name="stubserver-%s" % srv.server_address[0], daemon=True)
            t.start()
            self._threads.append(t)
        return self

    def stop(self):
        self._stop.set()
        for srv in self._servers:
            if any(t.is_alive() for t in self._threads):
                srv.shutdown()
            srv.server_close()
        for t in self._threads:
            t.join(5)
        self._servers, self._threads = [], []
        with self._lock:
            conns = list(self._conns)
        for conn in conns:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- content -----------------------------------------------------------

    def add_file(self, url_path, source, behaviour="ok", content_type="application/octet-stream", **params):
        entry = _Entry(source, parse_behaviour(behaviour, **params), content_type)
        with self._lock:
            self._entries[url_path] = entry

    def remove_file(self, url_path):
        with self._lock:
            self._entries.pop(url_path, None)

    def set_behaviour(self, url_path, behaviour="ok", **params):
        plan = parse_behaviour(behaviour, **params)
        with self._lock:
            entry = self._entries.get(url_path)
            if entry is None:
                raise KeyError("no content for %s; add it first" % url_path)
            entry.plan, entry.served = plan, 0

    def set_info_reply(self, body, behaviour="ok", content_type="text/xml", **params):
        if body is None:
            self.remove_file(self.info_path)
            return
        if isinstance(body, str):
            body = body.encode("utf-8")
        self.add_file(self.info_path, body, behaviour, content_type, **params)

    def set_msiurl(self, url, behaviour="ok", **params):
        body = ('<?xml version="1.0" encoding="utf-8"?>\r\n<DSData>\r\n'
                '<MSIURL>%s</MSIURL>\r\n</DSData>\r\n' % url).encode("utf-8")
        self.set_info_reply(body, behaviour, **params)

    def set_info_behaviour(self, behaviour="ok", **params):
        self.set_behaviour(self.info_path, behaviour, **params)

    # -- records -----------------------------------------------------------

    @property
    def requests(self):
        with self._lock:
            return list(self._requests)

    def requests_for(self, url_path):
        return [r for r in self.requests if r.path_only == url_path]

    def wait_idle(self, timeout=5.0):
        """Wait until no connection is open; True if that happened in time."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while self._conns:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._cond.wait(left)
            return True

    def clear_requests(self):
        with self._lock:
            self._requests.clear()

    def wait_for_requests(self, n, timeout=5.0, path=None):
        deadline = time.monotonic() + timeout

        def matching():
            return [r for r in self._requests if path is None or r.path_only == path]

        with self._cond:
            while len(matching()) < n:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._cond.wait(left)
            return matching()

    # -- connection handling -----------------------------------------------

    def _handle(self, sock, local, peer):
        with self._lock:
            self._conns.add(sock)
        try:
            self._serve(sock, local, peer)
        finally:
            with self._lock:
                self._conns.discard(sock)
                self._cond.notify_all()

    def _serve(self, sock, local, peer):
        sock.settimeout(self.read_timeout)
        rfile = sock.makefile("rb")
        try:
            head = self._read_head(rfile)
        except (OSError, ValueError):
            head = None
        if head is None:
            rfile.close()
            sock.close()
            return
        method, target, version, raw_headers = head
        rec = Request(address=local[0], port=local[1], client="%s:%d" % peer[:2],
                      method=method, path=target, version=version,
                      headers=dict(raw_headers), raw_headers=raw_headers, time=time.time())
        body = None
        with self._lock:
            if method is None:
                step, entry = Step("status", code=400), None
                rec.behaviour = "bad-request"
            elif method != "GET":
                step, entry = Step("status", code=405), None
                rec.behaviour = "method-not-allowed"
            else:
                entry = self._lookup(target)
                if entry is None:
                    step = Step("status", code=404)
                    rec.behaviour = "not-found"
                else:
                    step = entry.plan.pick(entry.served)
                    entry.served += 1
                    rec.behaviour = step.label()
            self._requests.append(rec)
            self._cond.notify_all()
        self._log(rec)
        try:
            self._skip_request_body(rfile, raw_headers)
            sock.settimeout(self.send_timeout)
            if entry is not None and step.name != "status":
                body = _Body(entry)
            ending = self._respond(sock, step, body, entry, rec)
        except OSError as exc:
            rec.error = "%s: %s" % (type(exc).__name__, exc)
            ending = "abort"
        finally:
            if body:
                body.close()
            rfile.close()
        self._finish(sock, ending)
        rec.finished = time.time()

    def _read_head(self, rfile):
        line = rfile.readline(MAX_LINE)
        while line in (b"\r\n", b"\n"):          # tolerate stray blank lines
            line = rfile.readline(MAX_LINE)
        if not line:
            return None
        text = line.decode("latin-1").rstrip("\r\n")
        parts = text.split(" ")
        if len(parts) == 3 and parts[2].startswith("HTTP/"):
            method, target, version = parts
        else:
            method, target, version = None, text, ""
        raw_headers = []
        for _ in range(MAX_HEADERS):
            line = rfile.readline(MAX_LINE)
            if line in (b"\r\n", b"\n", b""):
                break
            name, sep, value = line.decode("latin-1").partition(":")
            if sep:
                raw_headers.append((name.strip(), value.strip()))
        return method, target, version, raw_headers

    def _skip_request_body(self, rfile, raw_headers):
        for name, value in raw_headers:
            if name.lower() == "content-length":
                try:
                    n = min(int(value), 1 << 20)
                except ValueError:
                    return
                while n > 0:
                    got = rfile.read(min(n, 65536))
                    if not got:
                        return
                    n -= len(got)

    def _lookup(self, target):
        target = _strip_absolute(target)
        entry = self._entries.get(target)
        if entry is None:
            entry = self._entries.get(target.split("?", 1)[0])
        return entry

    def _respond(self, sock, step, body, entry, rec):
        """Send the reply for one step; returns how to end the connection.

        rec.bytes_sent counts the bytes written after the header block."""
        name = step.name

        def out(data):
            sock.sendall(data)
            rec.bytes_sent += len(data)

        def head(status, headers):
            reason = _reason(status)
            lines = ["HTTP/1.1 %d %s" % (status, reason), "Server: stubserver",
                     "Connection: close"] + headers
            sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))

        ctype = "Content-Type: %s" % (entry.content_type if entry else "text/html")
        if name == "malformed":
            out(step.garbage)
            return "close"
        if name == "hang":
            self._stop.wait(step.seconds)
            return "close"
        if name == "status":
            page = ('<html><head><title>{0} {1}</title></head><body><h1>{0} {1}</h1>'
                    '</body></html>\r\n').format(step.code, html.escape(_reason(step.code))).encode()
            head(step.code, ["Content-Type: text/html", "Content-Length: %d" % len(page)])
            out(page)
            return "close"
        size = body.size
        if name == "empty":
            head(200, [ctype, "Content-Length: 0"])
            return "close"
        if name == "chunked":
            head(200, [ctype, "Transfer-Encoding: chunked"])
            for piece in body.pieces(0, size, step.chunk):
                out(b"%x\r\n" % len(piece) + piece + b"\r\n")
            out(b"0\r\n\r\n")
            return "close"
        head(200, [ctype, "Content-Length: %d" % size])
        if name in ("reset", "short"):
            part = size // 2 if step.nbytes is None else min(step.nbytes, size)
            rec.bytes_sent += body.send(sock, 0, part)
            return "reset" if name == "reset" else "close"
        if name == "trickle":
            first = True
            for piece in body.pieces(0, size, step.step):
                if not first and self._stop.wait(step.delay):
                    return "abort"
                first = False
                out(piece)
            return "close"
        rec.bytes_sent += body.send(sock, 0, size)
        if name == "long":
            out(b"X" * step.extra)
        return "close"

    def _finish(self, sock, ending):
        try:
            if ending == "reset":
                # Let the sent part reach the client first: a RST throws
                # away whatever is still queued for sending.
                _wait_sent(sock, 5.0)
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            elif ending == "close":
                # Half-close, then drain what the client still sends, so that
                # unread input does not turn the close into a RST.
                sock.shutdown(socket.SHUT_WR)
                sock.settimeout(2.0)
                deadline = time.monotonic() + 2.0
                while time.monotonic() < deadline and sock.recv(65536):
                    pass
        except OSError:
            pass
        finally:
            sock.close()

    # -- logging -----------------------------------------------------------

    def _log(self, rec):
        if self.echo:
            stamp = time.strftime("%H:%M:%S", time.localtime(rec.time))
            print("%s %s:%d <- %s %s %s -> %s" % (stamp, rec.address, rec.port, rec.client,
                                                   rec.method or "?", rec.path, rec.behaviour),
                  file=sys.stderr, flush=True)
        if self.log_path:
            line = json.dumps(rec.to_dict(), ensure_ascii=False)
            with self._log_lock, open(self.log_path, "a", encoding="utf-8") as f:
                f.write(line + "\n")


def _wait_sent(sock, limit):
    """Wait (bounded) until the kernel send queue of sock is empty (Linux)."""
    try:
        import fcntl
        import termios
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            left = struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0\0\0\0"))[0]
            if left == 0:
                return
            time.sleep(0.01)
    except (ImportError, OSError, AttributeError):
        pass


def _reason(code):
    try:
        return http.HTTPStatus(code).phrase
    except ValueError:
        return "Unknown"


# --------------------------------------------------------------------------
# Command line

def _split_file_arg(arg):
    """URLPATH=FSPATH[:BEHAVIOUR] -> (urlpath, fspath, behaviour or None)."""
    url_path, sep, rest = arg.partition("=")
    if not sep or not url_path.startswith("/") or not rest:
        raise ValueError("expected URLPATH=FSPATH[:BEHAVIOUR], got %r" % arg)
    pos = rest.find(":")
    while pos >= 0:
        word = rest[pos + 1:].split(":", 1)[0].split(",", 1)[0].split("*", 1)[0].lower()
        if word in BEHAVIOURS:
            return url_path, rest[:pos], rest[pos + 1:]
        pos = rest.find(":", pos + 1)
    return url_path, rest, None


def main(argv=None):
    ap = argparse.ArgumentParser(description="Local stand-in for the download-information "
                                 "and package servers (see the module docstring).")
    ap.add_argument("--address", action="append", help="listen address (repeatable, 127.0.0.0/8)")
    ap.add_argument("--port", type=int, default=80)
    ap.add_argument("--info-path", default=DEFAULT_INFO_PATH)
    ap.add_argument("--msiurl", help="info reply naming this package URL")
    ap.add_argument("--info-reply-file", help="info reply body, verbatim from this file")
    ap.add_argument("--info-behaviour", help="behaviour of the info endpoint")
    ap.add_argument("--file", action="append", default=[], metavar="URLPATH=FSPATH[:BEHAVIOUR]")
    ap.add_argument("--behaviour", action="append", default=[], metavar="URLPATH=BEHAVIOUR")
    ap.add_argument("--log", help="append one JSON line per request")
    ap.add_argument("--quiet", action="store_true", help="no per-request lines on stderr")
    args = ap.parse_args(argv)
    if args.msiurl and args.info_reply_file:
        ap.error("--msiurl and --info-reply-file exclude each other")

    try:
        srv = StubServer(args.address or ["127.0.0.1"], args.port, info_path=args.info_path,
                         log_path=args.log, echo=not args.quiet)
        if args.info_reply_file:
            with open(args.info_reply_file, "rb") as f:
                srv.set_info_reply(f.read())
        elif args.msiurl:
            srv.set_msiurl(args.msiurl)
        for arg in args.file:
            url_path, fs_path, how = _split_file_arg(arg)
            srv.add_file(url_path, os.path.abspath(fs_path), how or "ok")
        for arg in args.behaviour:
            url_path, sep, how = arg.partition("=")
            if not sep:
                raise ValueError("expected URLPATH=BEHAVIOUR, got %r" % arg)
            srv.set_behaviour(url_path, how)
        if args.info_behaviour:
            if not (args.msiurl or args.info_reply_file):
                raise ValueError("--info-behaviour needs --msiurl or --info-reply-file")
            srv.set_info_behaviour(args.info_behaviour)
    except (ValueError, KeyError, OSError) as exc:
        print("stubserver: %s" % exc, file=sys.stderr)
        return 2

    done = threading.Event()

    def on_signal(signum, frame):
        done.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    try:
        srv.start()
    except OSError as exc:
        print("stubserver: %s" % exc.strerror, file=sys.stderr)
        return 1
    print("stubserver: listening on %s" % ", ".join("%s:%d" % (a, srv.port) for a in srv.addresses),
          file=sys.stderr, flush=True)
    try:
        while not done.wait(0.5):
            pass
    finally:
        srv.stop()
    print("stubserver: stopped", file=sys.stderr, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
