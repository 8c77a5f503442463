"""The stub reaches its servers the way the user's browser does: through the proxy of the user's
Internet settings (a proxy name with its bypass list, or a configuration script), end to end through
a real proxy (Debian's tinyproxy, a child of the test). The servers behind it take connections only
from the proxy's own source address, so a passing run proves the proxy was used; the proxy's log
shows each request. Without proxy settings the stub runs as it always did (the rest of the suite).

Under Wine the user's settings are the binary value DefaultConnectionSettings (set_proxy_settings
writes it); Wine reports automatic detection on when it is missing, which finds nothing here."""
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import harness as h

sys.path.insert(0, os.path.join(h.ROOT, "tests", "support"))
import tls  # noqa: E402

PROXY_ADDRESS, PROXY_PORT = "127.0.0.9", 3128
PROXY_SOURCE = "127.0.0.10"  # the address tinyproxy connects from: the only peer the servers take
PROXY = "%s:%d" % (PROXY_ADDRESS, PROXY_PORT)
SCRIPT_HOST = "127.0.0.5"
CONNECTIONS_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
PROXY_REFUSED = "The download failed (technical reason: the proxy server asked for a password)"
TLS_PACKAGE_HOST, TLS_UNTRUSTED_HOST = "velko-proxied.test", "velko-proxied-untrusted.test"
TLS_HOSTS = {TLS_PACKAGE_HOST: "127.0.0.11", TLS_UNTRUSTED_HOST: "127.0.0.12"}

# DefaultConnectionSettings flags.
DIRECT, NAMED_PROXY, SCRIPT, AUTO_DETECT = 1, 2, 4, 8


def set_proxy_settings(flags, proxy="", bypass="", script=""):
    """Writes the user's proxy settings as Internet Settings keeps them, the binary value
    DefaultConnectionSettings: DWORD 0x46 (the layout's version), DWORD a change counter, DWORD the
    flags (1 direct, 2 proxy, 4 configuration script, 8 automatic detection), then the proxy list,
    the bypass list and the script's URL, each as DWORD length + ANSI text without NUL, then zero
    padding. All little-endian."""
    value = struct.pack("<III", 0x46, 1, flags)
    for text in (proxy, bypass, script):
        value += struct.pack("<I", len(text)) + text.encode("ascii")
    value += bytes(32)
    subprocess.run([h.WINE, h.REG_EXE, "add", CONNECTIONS_KEY, "/v", "DefaultConnectionSettings", "/t", "REG_BINARY",
                    "/d", value.hex(), "/f"], env=h.wine_env(), check=True, capture_output=True)


def clear_proxy_settings():
    subprocess.run([h.WINE, h.REG_EXE, "delete", CONNECTIONS_KEY, "/v", "DefaultConnectionSettings", "/f"],
                   env=h.wine_env(), capture_output=True)


class TinyProxy:
    """Debian's tinyproxy in the foreground, listening on PROXY and connecting out from
    PROXY_SOURCE; requests() are the request lines of its log ("GET http://...", "CONNECT h:443")."""

    def __init__(self, folder):
        self.log = os.path.join(folder, "tinyproxy.log")
        conf = os.path.join(folder, "tinyproxy.conf")
        with open(conf, "w") as f:
            f.write('Port %d\nListen %s\nBind %s\nTimeout 30\nMaxClients 20\nLogFile "%s"\nLogLevel Info\n'
                    'ViaProxyName "velko-test-proxy"\n' % (PROXY_PORT, PROXY_ADDRESS, PROXY_SOURCE, self.log))
        self.process = subprocess.Popen(["tinyproxy", "-d", "-c", conf], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            try:
                socket.create_connection((PROXY_ADDRESS, PROXY_PORT), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise RuntimeError("tinyproxy did not start (is tinyproxy-bin installed?)")

    def requests(self):
        with open(self.log, errors="replace") as f:
            text = f.read()
        lines = [line.split("): ", 1)[1] for line in text.splitlines() if "Request (file descriptor" in line]
        return [" ".join(line.split()[:2]) for line in lines]

    def stop(self):
        self.process.kill()
        self.process.wait()


class AlwaysProxyAuthentication:
    """A proxy that answers every request with 407 (Basic only: there is no sign-on that satisfies
    it), counting the requests."""

    def __init__(self):
        self.requests = 0
        self.listener = socket.create_server((PROXY_ADDRESS, PROXY_PORT))
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            with conn:
                conn.settimeout(10)
                data = b""
                while True:
                    try:
                        chunk = conn.recv(65536)
                    except OSError:
                        break
                    if not chunk:
                        break
                    data += chunk
                    while b"\r\n\r\n" in data:
                        _, data = data.split(b"\r\n\r\n", 1)
                        self.requests += 1
                        conn.sendall(b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                                     b"Proxy-Authenticate: Basic realm=\"velko\"\r\nContent-Length: 0\r\n\r\n")

    def stop(self):
        self.listener.close()


class SilentServer:
    """Accepts every connection and never answers, keeping the connections open; counts them."""

    def __init__(self, address, port=80):
        self.accepted = 0
        self.held = []
        self.listener = socket.create_server((address, port))
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            self.accepted += 1
            self.held.append(conn)

    def stop(self):
        self.listener.close()
        for conn in self.held:
            conn.close()


class ProxyTest(h.DownloadTestCase):
    def setUp(self):
        super().setUp()
        self.addCleanup(clear_proxy_settings)
        self.server.add_file("/velko.msi", h.package(1 << 20))
        self.folder = tempfile.mkdtemp(prefix="velko-proxy-")
        self.addCleanup(shutil.rmtree, self.folder, True)

    def start_proxy(self):
        """A new tinyproxy with a log of its own."""
        folder = tempfile.mkdtemp(dir=self.folder)
        proxy = TinyProxy(folder)
        self.addCleanup(proxy.stop)
        return proxy

    def peers(self, host):
        return {r.peer for r in self.server.requests if r.address == host}

    def assert_installed(self, run):
        self.assertEqual(run.boxes, [])
        self.assertIsNotNone(h.fake_msiexec_run(), "the installer was not started")

    def test_proxy_named_in_the_settings(self):
        cases = [
            # name, proxy list, bypass list, the hosts that must come through the proxy
            ("one proxy for every scheme", PROXY, "", [h.INFO_HOST, h.PACKAGE_HOST]),
            ("a proxy per scheme", "http=%s;https=127.0.0.8:1" % PROXY, "", [h.INFO_HOST, h.PACKAGE_HOST]),
            ("the package host on the bypass list goes direct", PROXY, "<local>;%s" % h.PACKAGE_HOST, [h.INFO_HOST]),
        ]
        for name, proxy_list, bypass, proxied in cases:
            with self.subTest(name):
                h.forget_fake_msiexec_run()
                self.server.clear_requests()
                proxy = self.start_proxy()
                set_proxy_settings(NAMED_PROXY, proxy_list, bypass)
                # Only the proxy may reach a host that must come through it.
                self.server.only_from = {PROXY_SOURCE} if len(proxied) == 2 else None
                run = self.run_stub()
                proxy.stop()
                self.assert_installed(run)
                for host in (h.INFO_HOST, h.PACKAGE_HOST):
                    self.assertEqual(self.peers(host) == {PROXY_SOURCE}, host in proxied, (host, self.peers(host)))
                logged = proxy.requests()
                self.assertEqual("GET http://%s:80/velko.msi" % h.PACKAGE_HOST in logged, h.PACKAGE_HOST in proxied,
                                 logged)
                self.assertTrue(any(r.startswith("GET http://%s:80/WebGetDSData.qdx" % h.INFO_HOST) for r in logged),
                                logged)
                # The outcome report takes the information request's way.
                self.assertEqual(any(r.startswith("GET http://%s:80/outcome?" % h.INFO_HOST) for r in logged),
                                 h.INFO_HOST in proxied, logged)

    def test_configuration_script_sends_each_request_where_it_says(self):
        script_server = self.serve([SCRIPT_HOST])
        script = ('function FindProxyForURL(url, host) {\n'
                  '  if (host == "%s") return "PROXY %s";\n'
                  '  return "DIRECT";\n}\n' % (h.PACKAGE_HOST, PROXY)).encode()
        script_server.add_file("/proxy.pac", script, content_type="application/x-ns-proxy-autoconfig")
        proxy = self.start_proxy()
        set_proxy_settings(SCRIPT, script="http://%s/proxy.pac" % SCRIPT_HOST)
        run = self.run_stub()
        self.assert_installed(run)
        self.assertEqual(self.peers(h.PACKAGE_HOST), {PROXY_SOURCE})
        self.assertNotIn(PROXY_SOURCE, self.peers(h.INFO_HOST))
        self.assertTrue(script_server.requests, "the script was not fetched")
        self.assertEqual([r for r in proxy.requests() if "WebGetDSData" in r], [])

    def test_configuration_script_that_never_answers(self):
        # The script's server takes the connection and says nothing. The lookup runs off the UI
        # thread: the window answers every time it is asked while the run waits, and the run gives
        # discovery about 10 s in all, then goes on as if it had found nothing (direct here). The
        # lookup is still waiting when the run ends (Wine's script fetch waits far longer than the
        # run takes): that the run ends at all shows the process does not wait for it.
        silent = SilentServer(SCRIPT_HOST)
        self.addCleanup(silent.stop)
        set_proxy_settings(SCRIPT, script="http://%s/proxy.pac" % SCRIPT_HOST)
        answers = []
        answered = []  # when the window first answered
        reached = []

        def watch(proc):
            started = time.time()
            while time.time() - started < 90 and not self.package_requests() and proc.poll() is None:
                answers.append(h.probe_window())  # 0 answered, 1 no window (yet), 2 no answer within 1 s
                if answers[-1] == 0 and not answered:
                    answered.append(time.time())
                time.sleep(0.25)
            if self.package_requests():
                # From the window's first answer: the lookup starts once the window is up, and how
                # long Wine takes to start the program is no part of the bound.
                first = answered[0] if answered else started
                reached.append(time.time() - first)

        run = self.run_stub(on_start=watch)
        self.assert_installed(run)
        self.assertGreaterEqual(silent.accepted, 1, "the script's server was never asked")
        self.assertTrue(reached, "the package server was never reached")
        asked = answers[answers.index(0):] if 0 in answers else []
        self.assertGreaterEqual(len(asked), 5, answers)  # the window was asked all through the wait
        self.assertNotIn(2, asked, answers)
        # The bound is 10 s; without it Wine waits 30 s for each host's script. Margin for a slow
        # machine, far below the 60 s that two unbounded lookups take.
        self.assertLess(reached[0], 25, "the package server was reached only after %.1f s" % reached[0])

    def test_proxy_that_is_down(self):
        # The information host goes direct, the package through a proxy where nothing listens: the
        # download's attempts fail at once, a pause apart, and end in one box.
        set_proxy_settings(NAMED_PROXY, PROXY, h.INFO_HOST)
        run = self.run_stub(timeout=120)
        self.assert_one_failure_box(run)
        self.assertIsNone(h.fake_msiexec_run())
        self.assertEqual([r for r in self.server.requests if r.address == h.PACKAGE_HOST], [])

    def test_proxy_that_asks_for_a_password(self):
        proxy = AlwaysProxyAuthentication()
        self.addCleanup(proxy.stop)
        set_proxy_settings(NAMED_PROXY, PROXY)
        run = self.run_stub()
        self.assertEqual(run.boxes, [PROXY_REFUSED])
        # The information request (once more with the integrated sign-on) and the outcome report.
        self.assertLessEqual(proxy.requests, 3)
        self.assertGreaterEqual(proxy.requests, 2)
        self.assertEqual(self.server.requests, [])


@unittest.skipUnless(tls.in_private_mount_namespace() and os.geteuid() == 0,
                     "needs root in the tests' own mount namespace (run through scripts/test)")
class ProxyTlsTest(h.DownloadTestCase):
    """https through the proxy (CONNECT): the certificate is checked as without a proxy."""

    @classmethod
    def setUpClass(cls):
        cls.pki = tempfile.mkdtemp(prefix="velko-pki-")
        trusted = tls.Authority(os.path.join(cls.pki, "trusted"))
        untrusted = tls.Authority(os.path.join(cls.pki, "untrusted"), "Velko Untrusted CA")
        cls.contexts = {TLS_PACKAGE_HOST: tls.server_context(*trusted.issue(TLS_PACKAGE_HOST)),
                        TLS_UNTRUSTED_HOST: tls.server_context(*untrusted.issue(TLS_UNTRUSTED_HOST))}
        cls.undo_trust = tls.trust(trusted.cert, TLS_HOSTS)

    @classmethod
    def tearDownClass(cls):
        cls.undo_trust()
        shutil.rmtree(cls.pki, True)

    def test_https_through_the_proxy(self):
        folders = tempfile.mkdtemp(prefix="velko-proxy-")
        self.addCleanup(shutil.rmtree, folders, True)
        self.addCleanup(clear_proxy_settings)
        set_proxy_settings(NAMED_PROXY, PROXY, h.INFO_HOST)
        for host, installed in ((TLS_PACKAGE_HOST, True), (TLS_UNTRUSTED_HOST, False)):
            with self.subTest(host):
                h.forget_fake_msiexec_run()
                secure = self.serve([TLS_HOSTS[host]], 443, tls=self.contexts[host])
                secure.add_file("/velko.msi", h.package(256 * 1024))
                secure.only_from = {PROXY_SOURCE}
                proxy = TinyProxy(tempfile.mkdtemp(dir=folders))
                try:
                    self.server.set_msiurl("https://%s/velko.msi" % host)
                    run = self.run_stub()
                finally:
                    proxy.stop()
                self.assertIn("CONNECT %s:443" % host, proxy.requests())
                if installed:
                    self.assertEqual(run.boxes, [])
                    self.assertIsNotNone(h.fake_msiexec_run())
                    self.assertEqual({r.peer for r in secure.requests}, {PROXY_SOURCE})
                else:
                    # The same single box as without a proxy, nothing installed, no request served.
                    self.assert_one_failure_box(run)
                    self.assertIsNone(h.fake_msiexec_run())
                    self.assertEqual(secure.requests, [])
                secure.stop()


if __name__ == "__main__":
    unittest.main()
