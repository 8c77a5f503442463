"""Tests of tools/stubserver, the local stand-in for the info and package servers.

Every server here listens on 127.0.0.5/127.0.0.6 with a port picked by the
kernel; every client socket has a timeout, so no test can hang.
"""

import http.client
import os
import resource
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

TOOLS = Path(__file__).resolve().parents[2] / "tools"
sys.path.insert(0, str(TOOLS))

from stubserver import StubServer  # noqa: E402

ADDR = "127.0.0.5"
ADDR2 = "127.0.0.6"
UNUSED = "127.0.0.7"          # nothing listens here
DATA = bytes((i * 7 + i // 251) % 256 for i in range(100_003))   # odd size, not periodic in 256


def fetch_raw(port, target, host=ADDR, method="GET", timeout=5.0, extra=b""):
    """Send one request; return (head, body, error) as seen on the wire.

    head is everything before the first blank line (or all of it if there
    is none), error is the exception that ended reading, None on a clean EOF.
    """
    deadline = time.monotonic() + timeout
    data, error = bytearray(), None
    with socket.create_connection((host, port), timeout=timeout) as s:
        s.sendall(b"%s %s HTTP/1.1\r\nHost: %s\r\n%s\r\n"
                  % (method.encode(), target.encode("latin-1"), host.encode(), extra))
        try:
            while time.monotonic() < deadline:
                got = s.recv(1 << 16)
                if not got:
                    break
                data += got
            else:
                error = TimeoutError("reply did not end")
        except OSError as exc:
            error = exc
    head, sep, body = bytes(data).partition(b"\r\n\r\n")
    return head, body, error


def wait_for_requests(srv, n):
    deadline = time.monotonic() + 5
    while len(srv.requests) < n and time.monotonic() < deadline:
        time.sleep(0.01)
    return srv.requests


def header_of(head, name):
    for line in head.split(b"\r\n")[1:]:
        key, _, value = line.partition(b":")
        if key.strip().lower() == name.lower().encode():
            return value.strip().decode()
    return None


def outcome(head, error):
    """'garbage', 'reset' or the status code of a reply."""
    if isinstance(error, ConnectionResetError):
        return "reset"
    if not head.startswith(b"HTTP/"):
        return "garbage"
    return head.split(b" ")[1].decode()


class ServerTest(unittest.TestCase):
    def setUp(self):
        self.srv = StubServer([ADDR], port=0)
        self.srv.start()
        self.addCleanup(self.srv.stop)
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)

    def file_with(self, data, name="pkg.msi"):
        path = os.path.join(self.tmp.name, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def get(self, target, method="GET"):
        conn = http.client.HTTPConnection(ADDR, self.srv.port, timeout=5)
        self.addCleanup(conn.close)
        conn.request(method, target)
        resp = conn.getresponse()
        return resp, resp.read()


class ReplyShapes(ServerTest):
    def test_ok_from_bytes_and_from_file(self):
        big = os.urandom(3 * 1024 * 1024 + 17)
        for name, source, expected in [
            ("bytes", DATA, DATA),
            ("file", self.file_with(big), big),
        ]:
            with self.subTest(name):
                self.srv.add_file("/p.msi", source)
                head, body, err = fetch_raw(self.srv.port, "/p.msi")   # to the end of the connection
                self.assertEqual((outcome(head, err), body), ("200", expected))
                self.assertEqual(header_of(head, "Content-Length"), str(len(expected)))
                self.assertEqual(header_of(head, "Connection"), "close")
                self.assertEqual(self.srv.requests[-1].bytes_sent, len(expected))

    def test_unread_client_bytes_do_not_cut_the_reply(self):
        # Bytes the client sends while a big reply is under way stay unread;
        # closing with them unread would send a RST and drop the reply's tail.
        data = os.urandom(8 * 1024 * 1024)
        self.srv.add_file("/p.msi", self.file_with(data))
        reply = bytearray()
        with socket.create_connection((ADDR, self.srv.port), timeout=5) as s:
            s.sendall(b"GET /p.msi HTTP/1.1\r\nHost: x\r\n\r\n")
            while b"\r\n\r\n" not in reply:
                reply += s.recv(4096)
            s.sendall(b"stray bytes")
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline:
                got = s.recv(1 << 16)      # a ConnectionResetError fails the test
                if not got:
                    break
                reply += got
        self.assertEqual(bytes(reply).partition(b"\r\n\r\n")[2], data)

    def test_large_file_is_streamed_not_loaded(self):
        size = 300 * 1024 * 1024
        path = os.path.join(self.tmp.name, "big.msi")
        with open(path, "wb") as f:
            f.truncate(size)           # sparse: costs no disk
        self.srv.add_file("/big.msi", path)
        rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss   # KiB
        buf = bytearray(1 << 20)
        total = 0
        with socket.create_connection((ADDR, self.srv.port), timeout=10) as s:
            s.sendall(b"GET /big.msi HTTP/1.1\r\nHost: x\r\n\r\n")
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                n = s.recv_into(buf)
                if not n:
                    break
                total += n
        rss_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        head_len = total - size
        self.assertTrue(0 < head_len < 400, total)
        self.assertLess(rss_after - rss_before, 100 * 1024, "server held the file in memory")

    def test_truncated_replies(self):
        # reset: full Content-Length, part of the body, then a RST;
        # short: full Content-Length, part of the body, then a clean FIN.
        half = len(DATA) // 2
        for how, sent, error in [
            ("reset", half, ConnectionResetError),
            ("reset:1000", 1000, ConnectionResetError),
            ("reset:0", 0, ConnectionResetError),
            ("short", half, None),
            ("short:10", 10, None),
        ]:
            with self.subTest(how):
                self.srv.add_file("/p.msi", DATA, how)
                head, body, err = fetch_raw(self.srv.port, "/p.msi")
                self.assertTrue(head.startswith(b"HTTP/1.1 200 "), head)
                self.assertEqual(header_of(head, "Content-Length"), str(len(DATA)))
                self.assertEqual(body, DATA[:sent])
                if error is None:
                    self.assertIsNone(err)
                else:
                    self.assertIsInstance(err, error)

    def test_reset_of_a_big_file_delivers_the_part_before_the_reset(self):
        # Big enough that the part does not fit in the socket buffers: the
        # RST must not overtake the bytes still queued for the client.
        data = os.urandom(16 * 1024 * 1024)
        self.srv.add_file("/p.msi", self.file_with(data), "reset")
        head, body, err = fetch_raw(self.srv.port, "/p.msi", timeout=20)
        self.assertEqual(len(body), len(data) // 2)
        self.assertEqual(body, data[:len(data) // 2])
        self.assertIsInstance(err, ConnectionResetError)

    def test_chunked(self):
        for name, source in [("bytes", DATA), ("file", self.file_with(DATA)), ("empty", b"")]:
            with self.subTest(name):
                self.srv.add_file("/p.msi", source, "chunked")
                resp, body = self.get("/p.msi")      # http.client checks the framing
                self.assertEqual(resp.status, 200)
                self.assertIsNone(resp.getheader("Content-Length"))
                self.assertEqual(resp.getheader("Transfer-Encoding"), "chunked")
                self.assertEqual(body, b"" if name == "empty" else DATA)

    def test_error_status_has_exact_content_length(self):
        for code in (404, 500, 503):
            with self.subTest(code):
                self.srv.add_file("/p.msi", DATA, "status:%d" % code)
                head, body, err = fetch_raw(self.srv.port, "/p.msi")
                self.assertIsNone(err)
                self.assertTrue(head.startswith(b"HTTP/1.1 %d " % code), head)
                self.assertEqual(header_of(head, "Content-Length"), str(len(body)))
                self.assertIn(b"<html>", body)
                self.assertIn(str(code).encode(), body)

    def test_status_without_content_has_no_body(self):
        for code in (204, 304):
            with self.subTest(code):
                self.srv.add_file("/p.msi", DATA, "status:%d" % code)
                head, body, err = fetch_raw(self.srv.port, "/p.msi")
                self.assertIsNone(err)
                self.assertTrue(head.startswith(b"HTTP/1.1 %d " % code), head)
                self.assertEqual((header_of(head, "Content-Length"), body), (None, b""))

    def test_empty_and_long(self):
        self.srv.add_file("/e.msi", DATA, "empty")
        self.srv.add_file("/l.msi", DATA, "long")
        head, body, err = fetch_raw(self.srv.port, "/e.msi")
        self.assertEqual((outcome(head, err), header_of(head, "Content-Length"), body), ("200", "0", b""))
        head, body, err = fetch_raw(self.srv.port, "/l.msi")
        self.assertEqual(header_of(head, "Content-Length"), str(len(DATA)))
        self.assertEqual(len(body), len(DATA) + 1024)
        self.assertEqual(body[:len(DATA)], DATA)

    def test_trickle_is_slow_but_complete(self):
        self.srv.add_file("/p.msi", DATA[:5000], "trickle:1000:0.1")
        t0 = time.monotonic()
        head, body, err = fetch_raw(self.srv.port, "/p.msi")
        elapsed = time.monotonic() - t0
        self.assertEqual(body, DATA[:5000])
        self.assertIsNone(err)
        self.assertGreaterEqual(elapsed, 0.35)     # 4 pauses of 0.1 s

    def test_paced_is_held_to_its_rate_and_complete(self):
        data = bytes(range(256)) * 4096  # 1 MiB: four pieces, the last one due at 0.375 s
        self.srv.add_file("/p.msi", data, "paced:%d" % (2 << 20))
        t0 = time.monotonic()
        head, body, err = fetch_raw(self.srv.port, "/p.msi")
        elapsed = time.monotonic() - t0
        self.assertEqual(body, data)
        self.assertIsNone(err)
        self.assertGreaterEqual(elapsed, 0.35)

    def test_unknown_path_and_other_methods(self):
        self.srv.add_file("/p.msi", DATA)
        for method, target, code in [("GET", "/nothing.msi", "404"), ("GET", "/P.MSI", "404"),
                                     ("POST", "/p.msi", "405")]:
            with self.subTest(method=method, target=target):
                head, body, err = fetch_raw(self.srv.port, target, method=method)
                self.assertEqual(outcome(head, err), code)
                self.assertEqual(header_of(head, "Content-Length"), str(len(body)))
                self.assertEqual(self.srv.requests[-1].behaviour, "status:" + code)


class Sequences(ServerTest):
    def test_successive_requests_follow_the_behaviour(self):
        for how, expected in [
            ("malformed", ["garbage"] * 3),
            ("malformed*2,ok", ["garbage", "garbage", "200", "200"]),
            ("status:500,ok", ["500", "200", "200"]),
            ("reset*2,ok", ["reset", "reset", "200"]),
            ("malformed,reset,status:404", ["garbage", "reset", "404", "404"]),
        ]:
            with self.subTest(how):
                self.srv.add_file("/p.msi", DATA, how)
                seen = [outcome(*fetch_raw(self.srv.port, "/p.msi")[::2]) for _ in expected]
                self.assertEqual(seen, expected)

    def test_malformed_reply_is_not_http(self):
        self.srv.add_file("/p.msi", DATA, "malformed")
        head, body, err = fetch_raw(self.srv.port, "/p.msi")
        self.assertEqual((head, body, err), (b"GARBAGE", b"", None))
        self.srv.set_behaviour("/p.msi", "malformed")   # counter starts again
        with self.assertRaises(http.client.BadStatusLine):
            self.get("/p.msi")
        self.assertEqual([r.behaviour for r in self.srv.requests], ["malformed", "malformed"])

    def test_bad_behaviours_are_refused(self):
        for how in ("", "bogus", "status", "status:abc", "status:2", "ok:1", "reset,", "reset*0",
                    "reset:-1", "trickle:0", "malformed:2"):
            with self.subTest(how):
                with self.assertRaises(ValueError):
                    self.srv.add_file("/p.msi", DATA, how)


class InfoEndpointAndRecording(ServerTest):
    def test_info_request_is_recorded_verbatim(self):
        self.srv.set_msiurl("http://127.0.0.6/velko.msi")
        target = "/WebGetDSData.qdx?session=a%20b&x=%26y+z"
        head, body, err = fetch_raw(self.srv.port, target,
                                    extra=b"User-Agent: Brondelvik Downloader 1.0\r\n")
        self.assertEqual(outcome(head, err), "200")
        self.assertEqual(header_of(head, "Content-Type"), "text/xml")
        self.assertIn(b"<MSIURL>http://127.0.0.6/velko.msi</MSIURL>", body)
        rec, = self.srv.requests
        self.assertEqual((rec.address, rec.port, rec.method, rec.path, rec.behaviour),
                         (ADDR, self.srv.port, "GET", target, "ok"))
        self.assertEqual(rec.header("user-agent"), "Brondelvik Downloader 1.0")

    def test_info_endpoint_misbehaves_on_demand(self):
        reply = b"<r><MSIURL>http://127.0.0.6/p.msi</MSIURL></r>"
        for how, expected in [("status:500", "500"), ("malformed", "garbage"), ("empty", "200")]:
            with self.subTest(how):
                self.srv.set_info_reply(reply, how)
                head, body, err = fetch_raw(self.srv.port, "/WebGetDSData.qdx?session=1")
                self.assertEqual(outcome(head, err), expected)
                self.assertNotIn(b"MSIURL", body)


class Listening(unittest.TestCase):
    def test_several_addresses_share_one_port(self):
        with StubServer([ADDR, ADDR2], port=0) as srv:
            srv.add_file("/p.msi", DATA)
            for host in (ADDR2, ADDR):
                head, body, err = fetch_raw(srv.port, "/p.msi", host=host)
                self.assertEqual(body, DATA)
            self.assertEqual([r.address for r in srv.requests], [ADDR2, ADDR])
            self.assertEqual({r.port for r in srv.requests}, {srv.port})
            with self.assertRaises(ConnectionRefusedError):
                socket.create_connection((UNUSED, srv.port), timeout=2).close()

    def test_stop_ends_hanging_connections_and_frees_the_port(self):
        srv = StubServer([ADDR], port=0).start()
        port = srv.port
        srv.add_file("/p.msi", DATA, "hang")
        with socket.create_connection((ADDR, port), timeout=5) as s:
            s.sendall(b"GET /p.msi HTTP/1.1\r\nHost: x\r\n\r\n")
            wait_for_requests(srv, 1)
            t0 = time.monotonic()
            srv.stop()
            self.assertLess(time.monotonic() - t0, 3)
            self.assertEqual(s.recv(100), b"")
        again = StubServer([ADDR], port=port).start()      # rebinding works at once
        again.stop()

    def test_only_loopback_addresses(self):
        for addr in ("0.0.0.0", "10.0.0.1", "::1"):
            with self.subTest(addr):
                with self.assertRaises(ValueError):
                    StubServer([addr], port=0)


class CommandLine(unittest.TestCase):
    def run_server(self, *args):
        """The command-line server started with `args`, its stderr in a file; stopped after the test."""
        err = tempfile.TemporaryFile()
        self.addCleanup(err.close)
        proc = subprocess.Popen([sys.executable, str(TOOLS / "stubserver"), "--port", "0", *args],
                                stdout=subprocess.DEVNULL, stderr=err)
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait(10)))
        return proc, err

    @staticmethod
    def stderr_of(err):
        err.seek(0)
        return err.read().decode()

    def test_serves_files_until_sigterm(self):
        with tempfile.TemporaryDirectory() as tmp:
            pkg = os.path.join(tmp, "big.bin")
            with open(pkg, "wb") as f:
                f.write(DATA)
            proc, err = self.run_server("--address", ADDR2, "--file", "/big.bin=%s" % pkg)
            deadline = time.monotonic() + 10
            while "listening on" not in self.stderr_of(err):
                self.assertIsNone(proc.poll(), self.stderr_of(err))
                self.assertLess(time.monotonic(), deadline, "server did not become ready")
                time.sleep(0.05)
            port = int(self.stderr_of(err).split("listening on ", 1)[1].split(":")[1])
            head, body, _ = fetch_raw(port, "/big.bin", host=ADDR2)
            self.assertEqual(body, DATA)
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(timeout=10), 0)
            self.assertIn("GET /big.bin -> ok", self.stderr_of(err))

    def test_bad_arguments_fail_fast(self):
        for args in (["--file", "/p.msi=/does/not/exist"], ["--file", "p.msi"], ["--address", "192.0.2.1"]):
            with self.subTest(args):
                proc, err = self.run_server(*args)
                self.assertEqual(proc.wait(timeout=20), 2, self.stderr_of(err))


if __name__ == "__main__":
    unittest.main()
