"""The local server: plain HTTP/1.1 GET on one or more loopback addresses sharing one port, every
connection in a thread of its own, one request per connection, each answered by the behaviour of its
path (behaviours.py)."""
import dataclasses
import ipaddress
import os
import re
import socket
import socketserver
import struct
import sys
import threading
import time

from .behaviours import Behaviour, Content, Step, plan_reply, reason_phrase

INFO_PATH = "/WebGetDSData.qdx"
READ_TIMEOUT_SECONDS = 10.0
SEND_TIMEOUT_SECONDS = 60.0
MAX_LINE_BYTES = 65536
MAX_HEADERS = 200


@dataclasses.dataclass
class Request:
    """One request as received, recorded as soon as its head was read (before any reply).

    path is the request target exactly as sent (no decoding); headers the (name, value) pairs in
    order; behaviour what it was answered with ("ok", "status:404", ...); bytes_sent the bytes sent
    after the reply's head, final once the connection is closed; ending how the reply ended, once it
    has: "close" or "reset" as the behaviour says, "abort" when the client went away (or the server
    stopped) first."""
    address: str
    port: int
    method: str
    path: str
    headers: list
    time: float = 0.0  # when its head was read (time.time())
    behaviour: str = ""
    bytes_sent: int = 0
    peer: str = ""  # the client's address
    ending: str = ""

    def header(self, name, default=None):
        """The value of the first header called `name` (case ignored)."""
        name = name.lower()
        return next((value for key, value in self.headers if key.lower() == name), default)


class _Content:
    """What a path serves: bytes in memory, or a file read at request time (never loaded whole).
    Its validators (ETag, Last-Modified) change with its version, which the "changed" behaviour
    moves on; `validators` says which of them are sent ("both", "etag", "date" or "none")."""

    def __init__(self, source, behaviour, content_type, validators="both"):
        if isinstance(source, (bytes, bytearray)):
            self.data, self.filename = bytes(source), None
        else:
            self.data, self.filename = None, os.fspath(source)
            if not os.path.isfile(self.filename):
                raise FileNotFoundError(self.filename)
        self.behaviour = Behaviour(behaviour)
        self.content_type = content_type
        self.location = None  # where a redirect points
        if validators not in ("both", "etag", "date", "none"):
            raise ValueError("validators: both, etag, date or none")
        self.validators = validators
        self.version = 1
        self.served = 0  # requests answered so far: the next one gets step_for(served)

    def describe(self, size):
        """What plan_reply needs to know of this content, `size` bytes long now."""
        etag = '"velko-%d"' % self.version if self.validators in ("both", "etag") else None
        date = time.strftime("%a, %d %b %Y %H:%M:%S GMT", time.gmtime(1700000000 + self.version))
        return Content(size, self.content_type, etag, date if self.validators in ("both", "date") else None,
                       self.location)


class _Body:
    """The bytes of a _Content for one reply: a file is opened per request and sent with sendfile."""

    def __init__(self, content):
        self.data = content.data if content else b""
        self.file = open(content.filename, "rb") if content and content.filename else None
        self.size = os.fstat(self.file.fileno()).st_size if self.file else len(self.data)

    def close(self):
        if self.file:
            self.file.close()

    def send(self, sock, offset, count):
        """Sends [offset, offset + count); returns the bytes sent."""
        if count <= 0:
            return 0
        if self.file is None:
            sock.sendall(memoryview(self.data)[offset:offset + count])
            return count
        return sock.sendfile(self.file, offset, count)

    def pieces(self, offset, count, size):
        """[offset, offset + count) in pieces of at most `size` bytes."""
        while count > 0:
            n = min(size, count)
            piece = self.data[offset:offset + n] if self.file is None else os.pread(self.file.fileno(), n, offset)
            if not piece:
                return
            yield piece
            offset += len(piece)
            count -= len(piece)


class _Listener(socketserver.ThreadingMixIn, socketserver.TCPServer):
    allow_reuse_address = True
    daemon_threads = True
    block_on_close = False
    request_queue_size = 64

    def __init__(self, owner, address, port):
        self.owner = owner
        super().__init__((address, port), _Handler)


class _Handler(socketserver.BaseRequestHandler):
    def handle(self):
        self.server.owner._handle(self.request, self.server.server_address)


class StubServer:
    """The information and package server of the tests and the demo.

        with StubServer(["127.0.0.2", "127.0.0.3"]) as server:
            server.set_msiurl("http://127.0.0.3/p.msi")     # the information reply
            server.add_file("/p.msi", b"...", "reset")      # bytes, or a file's path
            ... run the stub ...
            server.requests                                  # what arrived, in order

    Only addresses in 127.0.0.0/8; nothing listens on an address left out. port=0 takes a free port
    (the same for every address), found in .port after start(). A path is matched by the request
    target in full first, then without its query; other paths get 404, other methods 405. echo
    prints one line per request on stderr. With tls (a server-side ssl.SSLContext) every connection
    is TLS; one whose handshake fails records no request.
    """

    def __init__(self, addresses=("127.0.0.1",), port=80, *, echo=False, tls=None):
        self.addresses = list(addresses)
        if not self.addresses:
            raise ValueError("no addresses")
        for address in self.addresses:
            if ipaddress.ip_address(address) not in ipaddress.ip_network("127.0.0.0/8"):
                raise ValueError("only loopback addresses (127.0.0.0/8) are allowed: %r" % address)
        self.port = port
        self.echo = echo
        self.tls = tls  # an ssl.SSLContext: every connection speaks TLS with it
        self._contents = {}
        self._requests = []
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._listeners = []
        self._threads = []
        self._connections = set()
        self.connections = 0  # connections accepted so far, a failed TLS handshake included
        # None: every client; otherwise only connections from these addresses are served, the others
        # closed at once and counted in `refused` (a test that must show a proxy was used).
        self.only_from = None
        self.refused = 0

    # -- life cycle ----------------------------------------------------------------------------

    def start(self):
        if self._listeners:
            return self
        self._stop.clear()
        port = self.port
        try:
            for address in self.addresses:
                try:
                    listener = _Listener(self, address, port)
                except OSError as exc:
                    raise OSError(exc.errno, "cannot listen on %s:%d: %s" % (address, port, exc.strerror)) from exc
                self._listeners.append(listener)
                port = listener.server_address[1]  # with port 0, the others share the chosen one
        except BaseException:
            self.stop()
            raise
        self.port = port
        for listener in self._listeners:
            thread = threading.Thread(target=listener.serve_forever, kwargs={"poll_interval": 0.1},
                                      name="stubserver-%s" % listener.server_address[0], daemon=True)
            thread.start()
            self._threads.append(thread)
        return self

    def stop(self):
        """Stops listening and cuts the connections still open (a hanging reply included)."""
        self._stop.set()
        for listener in self._listeners:
            if any(t.is_alive() for t in self._threads):
                listener.shutdown()
            listener.server_close()
        for thread in self._threads:
            thread.join(5)
        self._listeners, self._threads = [], []
        with self._lock:
            connections = list(self._connections)
        for connection in connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- content -------------------------------------------------------------------------------

    def add_file(self, url_path, source, behaviour="ok", content_type="application/octet-stream",
                 validators="both"):
        """Serves `source` (bytes, or the path of a file) at `url_path`, answering as `behaviour`,
        with the validators named (both, etag, date or none)."""
        content = _Content(source, behaviour, content_type, validators)
        with self._lock:
            self._contents[url_path] = content

    def set_behaviour(self, url_path, behaviour):
        """A new behaviour for a path served already; its count of requests starts again."""
        parsed = Behaviour(behaviour)
        with self._lock:
            content = self._contents[url_path]
            content.behaviour, content.served = parsed, 0

    def add_redirect(self, url_path, location, code=302):
        """Answers `url_path` with a redirect to `location`."""
        self.add_file(url_path, b"", "redirect:%d" % code)
        with self._lock:
            self._contents[url_path].location = location

    def set_info_reply(self, body, behaviour="ok"):
        """The information server's reply body (bytes), for any query."""
        self.add_file(INFO_PATH, body, behaviour, "text/xml")

    def set_msiurl(self, url, behaviour="ok"):
        """An information reply that names `url` in its MSIURL element."""
        self.set_info_reply(('<?xml version="1.0" encoding="utf-8"?>\r\n<DSData>\r\n'
                             '<MSIURL>%s</MSIURL>\r\n</DSData>\r\n' % url).encode("utf-8"), behaviour)

    # -- records -------------------------------------------------------------------------------

    @property
    def requests(self):
        """Every request so far, in the order their heads arrived."""
        with self._lock:
            return list(self._requests)

    def clear_requests(self):
        with self._lock:
            self._requests.clear()

    # -- one connection ------------------------------------------------------------------------

    def _handle(self, sock, local):
        try:
            peer = sock.getpeername()[0]
        except OSError:
            peer = ""
        with self._lock:
            if self.only_from is not None and peer not in self.only_from:
                self.refused += 1
                sock.close()  # not a client this server takes: a test shows that way is not used
                return
            self._connections.add(sock)
            self.connections += 1
        try:
            self._serve(sock, local, peer)
        finally:
            with self._lock:
                self._connections.discard(sock)

    def _serve(self, sock, local, peer):
        sock.settimeout(READ_TIMEOUT_SECONDS)
        if self.tls:
            try:
                sock = self.tls.wrap_socket(sock, server_side=True)
            except (OSError, ValueError):
                sock.close()  # the client refused the certificate, or spoke no TLS
                return
        try:
            with sock.makefile("rb") as rfile:
                head = _read_head(rfile)
        except (OSError, ValueError):
            head = None
        if head is None:
            sock.close()
            return
        method, target, headers = head
        request = Request(address=local[0], port=local[1], method=method, path=target, headers=headers,
                          time=time.time(), peer=peer)
        with self._lock:
            step, content = self._step_for(request)
            request.behaviour = step.label()
            self._requests.append(request)
        self._echo(request)
        body = None
        try:
            body = _Body(content)
            described = content.describe(body.size) if content else Content(0, "text/html")
            reply = plan_reply(step, request, described)
            sock.settimeout(SEND_TIMEOUT_SECONDS)
            ending = self._send(sock, reply, body, request)
        except OSError:
            ending = "abort"  # the client went away, or the server is stopping
        finally:
            if body:
                body.close()
        request.ending = ending
        _finish(sock, ending)

    def _step_for(self, request):
        """The step that answers `request` and the content it serves (None for an error reply);
        counts the request against its path. Called with the lock held."""
        if request.method is None:
            return Step("status", code=400), None
        if request.method != "GET":
            return Step("status", code=405), None
        # A target in absolute form ("https://host:443/p", as a client sends it through a proxy's
        # tunnel) names the same path as its origin form.
        path = re.sub(r"^https?://[^/]*", "", request.path)
        content = self._contents.get(path) or self._contents.get(path.split("?", 1)[0])
        if content is None:
            return Step("status", code=404), None
        content.served += 1
        step = content.behaviour.step_for(content.served - 1)
        if step.name == "changed":
            content.version += 1
        return step, content

    def _send(self, sock, reply, body, request):
        """Sends `reply`; returns how the connection ends ("close", "reset" or "abort")."""
        def out(data):
            sock.sendall(data)
            request.bytes_sent += len(data)

        if reply.wait is None or reply.wait > 0:
            self._stop.wait(reply.wait)
        if reply.status == 0:
            out(reply.raw)
            return reply.ending
        lines = ["HTTP/1.1 %d %s" % (reply.status, reason_phrase(reply.status)), "Server: stubserver",
                 "Connection: close"] + ["%s: %s" % pair for pair in reply.headers]
        sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
        if reply.page:
            out(reply.page)
        elif reply.chunked:
            for piece in body.pieces(reply.offset, reply.count, reply.piece):
                out(b"%x\r\n" % len(piece) + piece + b"\r\n")
            out(b"0\r\n\r\n")
        elif reply.rate:
            # Each piece leaves when the bytes sent so far allow it at the rate: sleeps make up for
            # a slow send instead of adding to it.
            started = time.monotonic()
            sent = 0
            for piece in body.pieces(reply.offset, reply.count, reply.piece):
                ahead = started + sent / reply.rate - time.monotonic()
                if ahead > 0 and self._stop.wait(ahead):
                    return "abort"
                out(piece)
                sent += len(piece)
        elif reply.delay:
            for i, piece in enumerate(body.pieces(reply.offset, reply.count, reply.piece)):
                if i > 0 and self._stop.wait(reply.delay):
                    return "abort"
                out(piece)
        else:
            request.bytes_sent += body.send(sock, reply.offset, reply.count)
        out(reply.extra)
        return reply.ending

    def _echo(self, request):
        if self.echo:
            print("%s %s:%d <- %s %s -> %s" % (time.strftime("%H:%M:%S"), request.address, request.port,
                                               request.method or "?", request.path, request.behaviour),
                  file=sys.stderr, flush=True)


def _read_head(rfile):
    """(method, target, headers) of a request head; method None when the first line is not a request
    line; None when the client sent nothing."""
    line = rfile.readline(MAX_LINE_BYTES)
    while line in (b"\r\n", b"\n"):  # stray blank lines before a request are allowed
        line = rfile.readline(MAX_LINE_BYTES)
    if not line:
        return None
    text = line.decode("latin-1").rstrip("\r\n")
    parts = text.split(" ")
    method, target = (parts[0], parts[1]) if len(parts) == 3 and parts[2].startswith("HTTP/") else (None, text)
    headers = []
    for _ in range(MAX_HEADERS):
        line = rfile.readline(MAX_LINE_BYTES)
        if line in (b"\r\n", b"\n", b""):
            break
        name, sep, value = line.decode("latin-1").partition(":")
        if sep:
            headers.append((name.strip(), value.strip()))
    return method, target, headers


def _finish(sock, ending):
    try:
        if ending == "reset":
            # Let the part sent reach the client first: a RST throws away what is still queued.
            _wait_sent(sock, 5.0)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        elif ending == "close":
            # Half-close, then drain what the client still sends, so that unread input does not turn
            # the close into a RST.
            sock.shutdown(socket.SHUT_WR)
            sock.settimeout(2.0)
            deadline = time.monotonic() + 2.0
            while time.monotonic() < deadline and sock.recv(65536):
                pass
    except OSError:
        pass
    finally:
        sock.close()


def _wait_sent(sock, limit_seconds):
    """Waits (at most `limit_seconds`) until the kernel's send queue of `sock` is empty (Linux)."""
    import fcntl
    import termios
    deadline = time.monotonic() + limit_seconds
    while time.monotonic() < deadline:
        if struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0\0\0\0"))[0] == 0:
            return
        time.sleep(0.01)
