"""Runs the real velko-stub.exe under Wine for end-to-end tests.

Environment (set by CTest): VELKO_STUB_EXE (the built stub), WINEPREFIX (the test prefix, made by
tests/make-prefix), VELKO_ROOT (the source tree), VELKO_INFO_HOST (the information server's host
compiled into the stub, 127.0.0.1 for test builds), DISPLAY (an X server; message boxes are answered
with key presses on it).

The tests bind port 80 on 127.x addresses: run them in a private network namespace (scripts/test
does) so nothing else on the machine is in the way.
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ROOT = os.environ.get("VELKO_ROOT", os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
sys.path.insert(0, os.path.join(ROOT, "tools"))

from stubserver import StubServer  # noqa: E402  (tools/ is on the path only from here)

STUB_EXE = os.environ.get("VELKO_STUB_EXE", "")
PREFIX = os.environ.get("WINEPREFIX", "")
INFO_HOST = os.environ.get("VELKO_INFO_HOST", "127.0.0.1")
TAG_TOOL = os.path.join(ROOT, "tools", "velko-tag")

USER_DIR = os.path.join(PREFIX, "drive_c", "users", "root")
TEMP_DIR = os.path.join(USER_DIR, "Temp")
ID_FILE = os.path.join(USER_DIR, "AppData", "Roaming", "velko-download-id.txt")
PACKAGE_FILE = os.path.join(TEMP_DIR, "velko-installer.msi")
LOG_FILE = os.path.join(TEMP_DIR, "velko-installer.log")
REG_EXE = r"C:\windows\system32\reg.exe"

MAGIC = 0xE41C3139
SAMPLE_ID = b"0123ABCD-4567EF01-89ABCDEF-DEADBEEF-00C0FFEE"

MSIURL_MISSING = "The download server gave an invalid response (technical reason: MSIURL missing)"
SEND_FAILED = "The download server denied the request (technical reason: HTTP send failed)"

_MSGBOX = re.compile(r'trace:msgbox:MSGBOX_OnInit L"(.*)"\s*$')


def wine_env(**extra):
    env = dict(os.environ)
    env.update(WINEARCH="win32", WINEPREFIX=PREFIX)
    env.setdefault("WINEDEBUG", "-all")
    env.update(extra)
    return env


def unescape_wine(text):
    """Undoes the escaping of Wine's debug strings (\\n, \\", \\\\, \\xNN, \\uNNNN)."""
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c != "\\" or i + 1 >= len(text):
            out.append(c)
            i += 1
            continue
        n = text[i + 1]
        simple = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"'}
        if n in simple:
            out.append(simple[n])
            i += 2
        elif n == "x":
            out.append(chr(int(text[i + 2:i + 4], 16)))
            i += 4
        elif n == "u":
            out.append(chr(int(text[i + 2:i + 6], 16)))
            i += 6
        else:
            out.append(n)
            i += 2
    return "".join(out)


def xdotool(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True)


def _error_windows():
    return [w for w in xdotool("search", "--name", "^Error$").stdout.split() if w]


def _dismiss_box(deadline):
    """Presses Return until the message box on the screen is gone."""
    while time.time() < deadline:
        if _error_windows():
            break
        time.sleep(0.1)
    while time.time() < deadline and _error_windows():
        xdotool("key", "Return")
        gone = time.time() + 1.5
        while time.time() < gone and _error_windows():
            time.sleep(0.1)


class StubRun:
    def __init__(self, exit_code, boxes, stderr, elapsed):
        self.exit_code = exit_code
        self.boxes = boxes
        self.stderr = stderr
        self.elapsed = elapsed


def run_exe(exe, timeout=120, on_box=None, on_start=None, env=None, cwd=None, debug="-all,+msgbox", args=()):
    """Runs `exe` (with `args`) under Wine, answers each message box with Return and returns a StubRun.

    on_box(index, text) is called when a box appears, before it is answered; on_start(process)
    right after the start. The run is killed (and the test fails) after `timeout` seconds.
    """
    started = time.time()
    proc = subprocess.Popen(["wine", exe, *args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            env=wine_env(WINEDEBUG=debug, **(env or {})), cwd=cwd or os.path.dirname(exe))
    boxes = []
    lines = []

    def reader():
        try:
            for raw in proc.stderr:
                handle(raw)
        except (ValueError, OSError):
            pass  # the pipe was closed after the run ended

    def handle(raw):
        line = raw.decode("utf-8", "replace")
        lines.append(line)
        m = _MSGBOX.search(line)
        if m:
            text = unescape_wine(m.group(1))
            boxes.append(text)
            if on_box:
                on_box(len(boxes) - 1, text)
            _dismiss_box(started + timeout)

    thread = threading.Thread(target=reader, daemon=True)
    thread.start()
    if on_start:
        on_start(proc)
    try:
        code = proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        subprocess.run(["wineserver", "-k"], env=wine_env())
        proc.wait()
        raise AssertionError("the stub did not end within %s s; boxes so far: %r" % (timeout, boxes))
    thread.join(timeout=10)
    if not thread.is_alive():
        proc.stderr.close()
    return StubRun(code, boxes, "".join(lines), time.time() - started)


def tag_bytes(exe_bytes, ident, offset=None, length=None, magic=MAGIC):
    """The stub's bytes with `ident` and a trailer appended; offset/length may be overridden."""
    body = exe_bytes + ident
    if offset is None:
        offset = len(exe_bytes)
    if length is None:
        length = len(ident)
    return body + struct.pack(">III", magic, offset, length)


class StubTestCase(unittest.TestCase):
    """A fresh folder for stub copies; the id file, package and log removed before each test."""

    def setUp(self):
        if not STUB_EXE or not PREFIX:
            self.skipTest("VELKO_STUB_EXE and WINEPREFIX are not set (run through ctest)")
        self.work = tempfile.mkdtemp(prefix="velko-e2e-")
        self.addCleanup(shutil.rmtree, self.work, True)
        for path in (ID_FILE, PACKAGE_FILE, LOG_FILE):
            if os.path.exists(path):
                os.remove(path)
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

    def serve(self, addresses=None, **kwargs):
        """A started StubServer on the information host (and more addresses), stopped after the test."""
        server = StubServer(addresses=addresses or [INFO_HOST], **kwargs)
        server.start()
        self.addCleanup(server.stop)
        return server

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


def fake_msiexec_run():
    """What the stand-in installer recorded about its last run (key -> value), or None."""
    if not os.path.exists(FAKE_RUN):
        return None
    with open(FAKE_RUN, encoding="utf-8") as f:
        return dict(line.rstrip("\r\n").split("=", 1) for line in f if "=" in line)


def reg_export(key):
    """The values under HKCU\\`key` as {name: bytes} ("" is the default value); {} if absent."""
    out = os.path.join(tempfile.mkdtemp(prefix="velko-reg-"), "k.reg")
    try:
        done = subprocess.run(["wine", REG_EXE, "export", "HKCU\\" + key, "Z:" + out.replace("/", "\\"), "/y"],
                              env=wine_env(), capture_output=True)
        if done.returncode != 0 or not os.path.exists(out):
            return {}
        with open(out, "rb") as f:
            raw = f.read()
    finally:
        shutil.rmtree(os.path.dirname(out), True)
    text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("utf-8", "replace")
    text = text.replace("\\\r\n  ", "").replace("\\\n  ", "")
    values = {}
    for line in text.splitlines():
        m = re.match(r'^(@|"((?:[^"\\]|\\.)*)")=hex:(.*)$', line)
        if m:
            name = "" if m.group(1) == "@" else m.group(2).replace('\\\\', '\\').replace('\\"', '"')
            values[name] = bytes(int(b, 16) for b in m.group(3).split(",") if b.strip())
    return values


def reg_delete(key):
    subprocess.run(["wine", REG_EXE, "delete", "HKCU\\" + key, "/f"], env=wine_env(), capture_output=True)


def to_windows_path(path):
    """The Wine path of a Unix path (through drive Z:)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def restart_wineserver():
    """Stops the prefix's Wine processes and starts its persistent wineserver and services again
    (through tests/make-prefix, which gives them none of our pipes: a reader of the stub's output
    would otherwise wait for them)."""
    subprocess.run(["wineserver", "-k"], env=wine_env())
    subprocess.run(["wineserver", "-w"], env=wine_env())
    subprocess.run([os.path.join(ROOT, "tests", "make-prefix")], env=wine_env(), check=True)
