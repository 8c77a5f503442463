"""Packages and information over TLS, end to end: an https URL is fetched over TLS with the server's
certificate checked; a certificate the stub cannot trust, or one for another name, ends the run with
the one failure box and nothing installed, without a retry and without falling back to plain HTTP;
and a redirect from https to http is not followed. Before Windows 8.1 (the prefix's Version setting)
every session is given TLS 1.0 to 1.2, which those systems leave off by default.

The servers present certificates of a throw-away authority that tests/support/tls.py makes Wine
trust, for this test run's mount namespace only; the names below resolve to loopback addresses the
same way. Each TLS host also has a plain server on port 80 that must see nothing."""
import os
import re
import subprocess
import sys
import tempfile
import unittest

import harness as h
import test_dll_planting as planting

sys.path.insert(0, os.path.join(h.ROOT, "tests", "support"))
import tls  # noqa: E402

TLS_INFO_STUB_EXE = os.environ.get("VELKO_TLS_INFO_STUB_EXE", "")

PACKAGE_HOST = "velko-pkg.test"          # the test authority's certificate for this name
UNTRUSTED_HOST = "velko-untrusted.test"  # a certificate of an authority nobody trusts
WRONG_NAME_HOST = "velko-wrongname.test"  # the test authority's certificate for another name
INFO_HOST = "velko-info.test"            # the information server of the TLS-information stub
HOSTS = {PACKAGE_HOST: "127.0.0.4", UNTRUSTED_HOST: "127.0.0.5", WRONG_NAME_HOST: "127.0.0.6",
         INFO_HOST: "127.0.0.7"}
PACKAGE = h.package(256 * 1024)
KEY = r"Software\Brondelvik"


VERSION_PROBE = os.path.join(os.environ.get("VELKO_BUILD", ""), "tests", "version-probe.exe")


def windows_before_8_1():
    """Whether a program with the stub's manifest is told it runs on Windows before 8.1 (the
    version helpers, under the prefix's Version setting)."""
    out = subprocess.run([h.WINE, VERSION_PROBE], capture_output=True, text=True, env=h.wine_env(), check=True).stdout
    return "IsWindows8Point1OrGreater=0" in out.split()


def sessions_and_protocol_options(trace):
    """From Wine's +winhttp trace: how many sessions were opened, and how many times the TLS versions
    option (84) was set on a session just opened on the same thread."""
    sessions = secured = 0
    opened = {}  # thread -> the handle its last WinHttpOpen returned
    for thread, call, args in re.findall(r"^([0-9a-f]+):trace:winhttp:(WinHttp\w+) (.*)$", trace, re.M):
        if call == "WinHttpOpen" and args.startswith("returning "):
            sessions += 1
            opened[thread] = args.split()[1]
        elif call == "WinHttpSetOption" and args.split(", ")[1] == "84" and opened.get(thread) == args.split(",")[0]:
            secured += 1
    return sessions, secured


@unittest.skipUnless(tls.in_private_mount_namespace() and os.geteuid() == 0,
                     "needs root in the tests' own mount namespace (run through scripts/test)")
class TlsTest(h.StubTestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="velko-pki-")
        trusted = tls.Authority(os.path.join(cls.folder, "trusted"))
        untrusted = tls.Authority(os.path.join(cls.folder, "untrusted"), "Velko Untrusted CA")
        cls.contexts = {
            PACKAGE_HOST: tls.server_context(*trusted.issue(PACKAGE_HOST)),
            INFO_HOST: tls.server_context(*trusted.issue(INFO_HOST)),
            UNTRUSTED_HOST: tls.server_context(*untrusted.issue(UNTRUSTED_HOST)),
            WRONG_NAME_HOST: tls.server_context(*trusted.issue("velko-someone-else.test")),
        }
        cls.untrusted_info_context = tls.server_context(*untrusted.issue(INFO_HOST))
        cls.undo_trust = tls.trust(trusted.cert, HOSTS)

    @classmethod
    def tearDownClass(cls):
        cls.undo_trust()

    def setUp(self):
        super().setUp()
        h.use_fake_msiexec(self)
        self.addCleanup(h.reg_delete, KEY)
        self.info = self.serve()
        self.secure = {}
        self.plain = {}
        for host, address in HOSTS.items():
            self.secure[host] = self.serve([address], 443, tls=self.contexts[host])
            self.plain[host] = self.serve([address], 80)
            for server in (self.secure[host], self.plain[host]):
                server.add_file("/velko.msi", PACKAGE)

    def plain_requests(self):
        return [r for host in HOSTS for r in self.plain[host].requests]

    def test_https_package_from_a_trusted_server_is_installed(self):
        self.info.set_msiurl("https://%s/velko.msi" % PACKAGE_HOST)
        run = h.run_exe(self.tagged_stub())
        self.assertEqual((run.exit_code, run.boxes), (0, []))
        self.assertIsNotNone(h.fake_msiexec_run(), "the installer was not started")
        self.assertEqual([(r.port, r.path) for r in self.secure[PACKAGE_HOST].requests], [(443, "/velko.msi")])
        self.assertEqual(self.plain_requests(), [])

    def test_https_run_loads_no_planted_dll(self):
        # TLS brings DLLs of its own (secur32 and the security packages it loads by name); none may
        # come from the stub's folder. The unprotected control is test_dll_planting's.
        self.info.set_msiurl("https://%s/velko.msi" % PACKAGE_HOST)
        exe = self.tagged_stub()
        run = h.run_exe(exe, env=planting.plant(self.work))
        self.assertEqual((run.exit_code, run.boxes), (0, []))
        self.assertIsNotNone(h.fake_msiexec_run(), "the installer was not started")
        self.assertEqual(planting.markers(self.work), [])

    def test_certificates_that_cannot_be_trusted_end_the_run(self):
        for host in (UNTRUSTED_HOST, WRONG_NAME_HOST):
            with self.subTest(host):
                self.info.set_msiurl("https://%s/velko.msi" % host)
                run = h.run_exe(self.tagged_stub())
                self.assertEqual(run.exit_code, 0)
                self.assert_one_failure_box(run)
                self.assertIsNone(h.fake_msiexec_run())
                # The handshake failed, so the TLS server recorded no request; the plain one saw none.
                self.assertEqual(self.secure[host].requests, [])
                self.assertEqual(self.plain_requests(), [])
                self.assertEqual(self.secure[host].connections, 1, "tried again")

    def test_redirect_from_https_to_http_is_not_followed(self):
        self.secure[PACKAGE_HOST].add_redirect("/moved.msi", "http://%s/velko.msi" % PACKAGE_HOST)
        self.info.set_msiurl("https://%s/moved.msi" % PACKAGE_HOST)
        run = h.run_exe(self.tagged_stub())
        self.assert_one_failure_box(run)
        self.assertEqual([r.path for r in self.secure[PACKAGE_HOST].requests], ["/moved.msi"])
        self.assertEqual(self.plain_requests(), [])
        self.assertIsNone(h.fake_msiexec_run())

    def test_control_redirect_from_http_to_http_is_followed(self):
        # The same redirect between two plain URLs is followed: the test above can fail.
        self.plain[PACKAGE_HOST].add_redirect("/moved.msi", "http://%s/velko.msi" % PACKAGE_HOST)
        self.info.set_msiurl("http://%s/moved.msi" % PACKAGE_HOST)
        run = h.run_exe(self.tagged_stub())
        self.assertEqual(run.boxes, [])
        self.assertEqual([r.path for r in self.plain[PACKAGE_HOST].requests], ["/moved.msi", "/velko.msi"])
        self.assertIsNotNone(h.fake_msiexec_run())

    @unittest.skipUnless(TLS_INFO_STUB_EXE, "VELKO_TLS_INFO_STUB_EXE is not set (run through ctest)")
    def test_information_over_tls(self):
        self.secure[INFO_HOST].set_msiurl("https://%s/velko.msi" % PACKAGE_HOST)
        run = h.run_exe(self.tls_info_stub())
        self.assertEqual((run.exit_code, run.boxes), (0, []))
        # The outcome report goes the same way, over TLS to the same host.
        self.assertEqual([r.path.partition("?")[0] + "?" + r.path.partition("?")[2].partition("=")[0]
                          for r in self.secure[INFO_HOST].requests],
                         ["/WebGetDSData.qdx?session", h.OUTCOME_PATH + "?outcome"])
        self.assertEqual(self.secure[INFO_HOST].requests[0].path, "/WebGetDSData.qdx?session=" + h.SAMPLE_ID.decode())
        self.assertEqual(self.info.requests, [])
        self.assertIsNotNone(h.fake_msiexec_run())

    @unittest.skipUnless(TLS_INFO_STUB_EXE, "VELKO_TLS_INFO_STUB_EXE is not set (run through ctest)")
    def test_information_server_that_cannot_be_trusted(self):
        self.secure[INFO_HOST].stop()
        impostor = self.serve([HOSTS[INFO_HOST]], 443, tls=self.untrusted_info_context)
        impostor.set_msiurl("https://%s/velko.msi" % PACKAGE_HOST)
        run = h.run_exe(self.tls_info_stub())
        self.assertEqual(run.boxes, [h.SEND_FAILED, h.MSIURL_MISSING])
        # The information request and the outcome report, each refused at the handshake.
        self.assertEqual((impostor.requests, impostor.connections), ([], 2))
        self.assertEqual(self.secure[PACKAGE_HOST].requests, [])
        self.assertIsNone(h.fake_msiexec_run())

    def test_tls_versions_follow_the_windows_version(self):
        # Before Windows 8.1 every session (the proxy lookup's, the information request's, the
        # package's) is given TLS 1.0, 1.1 and 1.2; from 8.1 on the system's default is left alone.
        # Wine's traces show both ends: the option (84, WINHTTP_OPTION_SECURE_PROTOCOLS) set on each
        # session, and the protocols that the TLS handshake of the package was offered.
        self.addCleanup(h.set_windows_version, None)
        self.info.set_msiurl("https://%s/velko.msi" % PACKAGE_HOST)
        offered = {}
        for version, before_8_1 in (("win7", True), ("win8", True), ("win81", False), ("win10", False)):
            with self.subTest(version):
                h.forget_fake_msiexec_run()
                h.set_windows_version(version)
                self.assertEqual(windows_before_8_1(), before_8_1, "the version helpers under Wine's %s" % version)
                run = h.run_exe(self.tagged_stub(), debug="-all,+msgbox,+winhttp,+secur32")
                self.assertEqual((run.exit_code, run.boxes), (0, []))
                self.assertIsNotNone(h.fake_msiexec_run(), "the installer was not started")
                sessions, secured = sessions_and_protocol_options(run.stderr)
                self.assertGreaterEqual(sessions, 3, "the lookup's, the information's and the package's")
                self.assertEqual(secured, sessions if before_8_1 else 0)
                offered[version] = re.findall(r"grbitEnabledProtocols = ([0-9a-f]{8})", run.stderr)
                self.assertTrue(offered[version], "no TLS handshake in the trace")
        # TLS 1.0, 1.1 and 1.2 for a client (SP_PROT_TLS1_CLIENT | TLS1_1 | TLS1_2) before 8.1; the
        # library's own default after it, whatever that is, and so something else.
        for version in ("win7", "win8"):
            self.assertEqual(set(offered[version]), {"00000a80"}, offered)
        for version in ("win81", "win10"):
            self.assertNotIn("00000a80", offered[version], offered)

    def tls_info_stub(self):
        """A tagged copy of the stub that asks https://velko-info.test/... for its package."""
        exe = os.path.join(self.work, "velko-stub.exe")
        with open(TLS_INFO_STUB_EXE, "rb") as f:
            data = f.read()
        with open(exe, "wb") as f:
            f.write(h.tag_bytes(data, h.SAMPLE_ID))
        return exe


if __name__ == "__main__":
    unittest.main()
