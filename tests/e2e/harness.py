"""What the end-to-end tests share: tagged copies of the stub in a fresh folder per test, the local
servers, the stand-in installer, and the Wine runner (tools/winerun.py) whose names the tests use as
h.<name>.

Environment (set by CTest): VELKO_STUB_EXE (the built stub), WINEPREFIX (the test prefix, made by
tools/make-wine-prefix), VELKO_ROOT (the source tree), VELKO_BUILD (the build tree), VELKO_INFO_HOST
(the information server's host compiled into the stub, 127.0.0.1 for test builds), DISPLAY (an X
server; message boxes are answered with key presses on it).

The tests bind port 80 on 127.x addresses: run them in a private network namespace (scripts/test
does) so nothing else on the machine is in the way.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.environ.get("VELKO_ROOT", os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
sys.path.insert(0, os.path.join(ROOT, "tools"))

# tools/ is on the path only from here.
from stubserver import StubServer  # noqa: E402
from velko_tag import pack_trailer  # noqa: E402,F401  (the one raw trailer writer, for malformed ones)
from winerun import (  # noqa: E402,F401  (the tests use these as h.<name>)
    ARCH, ID_FILE, LOG_FILE, PACKAGE_FILE, PACKAGE_NAME, PREFIX, PROGRAM_FILES_32, WINE, WINDOWS_TEMP_DIR,
    WINDOWS_USER_DIR,
    locale_env, reg_delete, reg_export, run_exe, run_folders, set_display_dpi, set_windows_version, to_windows_path,
    use_cjk_font, wine_env, xdotool)
from winerun import REG_EXE  # noqa: E402,F401

STUB_EXE = os.environ.get("VELKO_STUB_EXE", "")
INFO_HOST = os.environ.get("VELKO_INFO_HOST", "127.0.0.1")
# The package server's address in the tests that download a package, and the URL they hand out.
PACKAGE_HOST = "127.0.0.3"
PACKAGE_URL = "http://%s/velko.msi" % PACKAGE_HOST
# Where a run records its identifier for each folder that received an executable (under HKCU).
IDS_KEY = r"Software\Brondelvik\Brondelvik\DownlodIDs"
TAG_TOOL = os.path.join(ROOT, "tools", "velko-tag")

SAMPLE_ID = b"0123ABCD-4567EF01-89ABCDEF-DEADBEEF-00C0FFEE"

MSIURL_MISSING = "The download server gave an invalid response (technical reason: MSIURL missing)"
SEND_FAILED = "The download server denied the request (technical reason: HTTP send failed)"
RECEIVE_FAILED = "The download failed to respond (technical reason: HTTP receive failed)"

# Every Windows Installer package begins with the compound-file signature; the stub installs nothing
# else. package(n) is n bytes that begin like a package (enough for the stand-in installer).
PACKAGE_SIGNATURE = b"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"


def package(size=1 << 20):
    body = bytes(range(256)) * (size // 256 + 1)
    return (PACKAGE_SIGNATURE + body)[:size]


WINDOW_PROBE = os.path.join(os.environ.get("VELKO_BUILD", ""), "tests", "window-probe.exe")


def probe_window():
    """Asks the stub's progress window whether its thread answers within a second: 0 when it does,
    1 when there is no such window, 2 when no answer came."""
    return subprocess.run([WINE, WINDOW_PROBE], env=wine_env()).returncode


HOLD = os.path.join(os.environ.get("VELKO_BUILD", ""), "tests", "hold.exe")


def hold(kind, name, seconds, test):
    """Starts tests/support/hold (kind "mutex", "file" or "event"), which holds the mutex or file
    `name` for `seconds` (an event: creates it unset, and sets it after `seconds` or once a line is
    written to the process's stdin), and returns the process once it holds it; it is ended after
    `test` if still running. Its next line of output says "released" once it let go (an event: set it)."""
    holder = subprocess.Popen([WINE, HOLD, kind, name, str(seconds)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True, env=wine_env())
    def end():
        if holder.poll() is None:
            holder.kill()
            holder.wait()
        holder.stdout.close()
        holder.stdin.close()
    test.addCleanup(end)
    said = holder.stdout.readline().strip()
    test.assertEqual(said, "held", "hold %s %s: %s" % (kind, name, said or "no answer"))
    return holder


A11Y_PROBE = os.path.join(os.environ.get("VELKO_BUILD", ""), "tests", "a11y-probe.exe")


def statuses_read_by(probe_output):
    """The status lines that tests/support/window-probe/a11y_probe.c read, in the order they changed."""
    return [line[len("status: "):] for line in probe_output.splitlines() if line.startswith("status: ")]


FAILED_PREFIX = "The download failed (technical reason: "


def failed(reason):
    """The one failure box of a download."""
    return "%s%s)" % (FAILED_PREFIX, reason)


def tag_bytes(exe_bytes, ident):
    """The stub's bytes with `ident` and a trailer pointing at it appended (the unsigned layout)."""
    return exe_bytes + ident + pack_trailer(len(exe_bytes), len(ident))


# The id file as Windows programs see it.
WINDOWS_ID_FILE = WINDOWS_USER_DIR + "\\AppData\\Roaming\\velko-download-id.txt"


# The report a run with an identifier sends at its end, to the information server's host.
OUTCOME_PATH = "/outcome"


def serve_outcomes(server, behaviour="status:204"):
    """Lets `server` answer the stub's outcome report as `behaviour` (by default 204, no content)."""
    server.add_file(OUTCOME_PATH, b"", behaviour)


def outcome_reports(server):
    """The outcome reports `server` received, in order, each as (request, query): the query's
    (name, value) pairs in order, undecoded; the identifier comes last and is taken whole, as it may
    hold "&"."""
    reports = []
    for request in server.requests:
        path, _, query = request.path.partition("?")
        if path != OUTCOME_PATH:
            continue
        head, found, session = query.partition("&session=")
        pairs = [tuple(item.partition("=")[::2]) for item in head.split("&")]
        reports.append((request, pairs + [("session", session)] if found else pairs))
    return reports


class StubTestCase(unittest.TestCase):
    """A fresh folder for stub copies; the id file, the files of earlier runs and any run folder
    left behind removed before each test."""

    def setUp(self):
        if not STUB_EXE or not PREFIX:
            self.skipTest("VELKO_STUB_EXE and WINEPREFIX are not set (run through ctest)")
        self.work = tempfile.mkdtemp(prefix="velko-e2e-")
        self.addCleanup(shutil.rmtree, self.work, True)
        for path in (ID_FILE, PACKAGE_FILE, LOG_FILE):
            if os.path.exists(path):
                os.remove(path)
        for folder in run_folders():
            shutil.rmtree(folder, True)
        with open(STUB_EXE, "rb") as f:
            self.stub_bytes = f.read()

    def write_stub(self, data, name="velko-stub.exe"):
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def tagged_stub(self, ident=SAMPLE_ID, name="velko-stub.exe"):
        """A copy of the stub tagged by the project's tagging tool."""
        path = os.path.join(self.work, name)
        subprocess.run([sys.executable, TAG_TOOL, STUB_EXE, path, "--id-hex", ident.hex()], check=True,
                       capture_output=True)
        return path

    def serve(self, addresses=None, port=80, tls=None):
        """A started StubServer on the information host (or on `addresses`), stopped after the test."""
        server = StubServer(addresses or [INFO_HOST], port, tls=tls)
        server.start()
        self.addCleanup(server.stop)
        return server

    def assert_one_failure_box(self, run):
        """The run showed one box, the failure box of a download, whatever its reason."""
        self.assertEqual(len(run.boxes), 1, run.boxes)
        self.assertTrue(run.boxes[0].startswith(FAILED_PREFIX), run.boxes)

    def read_id_file(self):
        with open(ID_FILE, "rb") as f:
            return f.read()


FAKE_MSIEXEC = os.path.join(os.environ.get("VELKO_BUILD", ""), "tests", "fake-msiexec.exe")
FAKE_SOURCES = os.path.join(ROOT, "tests", "support", "fake-msiexec")
FAKE_PREFIX_TOOL = os.path.join(FAKE_SOURCES, "fake-msiexec-prefix")


def _fake_msiexec_names():
    """The stand-in's folder and file names as {"RunFile": "run.txt", ...}, read from the header that
    names them for the stand-in, the unit tests and its prefix script."""
    with open(os.path.join(FAKE_SOURCES, "control_files.h"), encoding="utf-8") as f:
        return dict(re.findall(r'^constexpr wchar_t k(\w+)\[\] = L"([^"\\]*)";', f.read(), re.M))


FAKE_NAMES = _fake_msiexec_names()
FAKE_CONTROL = os.path.join(PREFIX, "drive_c", FAKE_NAMES["ControlFolder"])


def fake_control_file(name):
    """The path of the stand-in's file named kNAME in control_files.h, e.g. "RecordsFile"."""
    return os.path.join(FAKE_CONTROL, FAKE_NAMES[name])


FAKE_RUN = fake_control_file("RunFile")


def use_fake_msiexec(test):
    """Puts the stand-in msiexec into the prefix for `test` and takes it out again afterwards; the
    files of earlier runs (every name ending in "File") are removed first."""
    subprocess.run([FAKE_PREFIX_TOOL, "install", FAKE_MSIEXEC], check=True, env=wine_env())
    test.addCleanup(subprocess.run, [FAKE_PREFIX_TOOL, "remove"], env=wine_env())
    for name in FAKE_NAMES:
        if name.endswith("File") and os.path.exists(fake_control_file(name)):
            os.remove(fake_control_file(name))


def forget_fake_msiexec_run():
    """Removes what the stand-in recorded about its last run: fake_msiexec_run() then tells of the
    next one only."""
    if os.path.exists(FAKE_RUN):
        os.remove(FAKE_RUN)


def fake_msiexec_run():
    """What the stand-in installer recorded about its last run (key -> value), or None."""
    if not os.path.exists(FAKE_RUN):
        return None
    with open(FAKE_RUN, encoding="utf-8") as f:
        return dict(line.rstrip("\r\n").split("=", 1) for line in f if "=" in line)


class DownloadTestCase(StubTestCase):
    """Whole runs of a tagged copy (self.exe) with the stand-in installer: self.server answers on the
    information host and on PACKAGE_HOST, and names PACKAGE_URL; the registry key is removed after
    each test."""

    def setUp(self):
        super().setUp()
        use_fake_msiexec(self)
        self.addCleanup(reg_delete, r"Software\Brondelvik")
        self.server = self.serve([INFO_HOST, PACKAGE_HOST])
        self.server.set_msiurl(PACKAGE_URL)
        serve_outcomes(self.server)
        self.exe = self.tagged_stub()

    def run_stub(self, timeout=120, **kwargs):
        """Runs self.exe; checks that it exited with 0 and left no run folder in the temp folder."""
        try:
            run = run_exe(self.exe, timeout=timeout, **kwargs)
        except AssertionError as e:  # a run that did not end: what reached the server tells how far it got
            raise AssertionError("%s; requests the server saw: %s"
                                 % (e, [(r.address, r.path, r.behaviour, r.bytes_sent) for r in self.server.requests] or "none")) from None
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run_folders(), [], "the run left its folder in the temp folder")
        return run

    def package_requests(self):
        return [r for r in self.server.requests if r.address == PACKAGE_HOST]

    def run_looking(self, on_window, **kwargs):
        """Runs the stub; once the package download is under way, on_window() is called. The server
        serves every run of a test: only a package request beyond those of earlier runs is this run's."""
        before = len(self.package_requests())

        def look(proc):
            deadline = time.time() + 30
            while time.time() < deadline and len(self.package_requests()) <= before:
                time.sleep(0.1)
            time.sleep(1.0)
            on_window()
        return self.run_stub(on_start=look, **kwargs)
