"""Runs the stub and other Windows programs under Wine in a throw-away prefix, for the tests and
the demo: the environment, the prefix's folders (and the stub's files in them), message boxes read
from Wine's trace and answered with key presses, the registry read through reg.exe, and a restart of
the prefix's wineserver that holds none of the caller's pipes.

Environment: WINEPREFIX (the prefix, made by tools/make-wine-prefix), VELKO_ARCH (x86, the default: a
32-bit prefix and programs; x64: a 64-bit prefix and programs), DISPLAY (an X server: boxes are
answered with key presses on it).
"""
import os
import re
import shutil
import subprocess
import tempfile
import threading
import time

PREFIX = os.environ.get("WINEPREFIX", "")
ARCH = os.environ.get("VELKO_ARCH", "x86")
if ARCH not in ("x86", "x64"):
    raise RuntimeError("VELKO_ARCH must be x86 or x64, not %r" % ARCH)
# The Wine loader for the architecture: Debian's `wine` wrapper picks the 32-bit loader whenever it is
# installed, so 64-bit programs are started with the 64-bit loader by its own path.
WINE = "wine" if ARCH == "x86" else "/usr/lib/wine/wine64"
MAKE_PREFIX = os.path.join(os.path.dirname(os.path.abspath(__file__)), "make-wine-prefix")
# reg.exe by its full path: `wine reg` would run a reg.exe in the current folder if there were one.
REG_EXE = r"C:\windows\system32\reg.exe"


def wine_user(prefix):
    """The name of the prefix's Windows user: Wine makes one folder for it under drive_c/users, next
    to Public (it takes the Unix user's name, which the caller need not know)."""
    users = os.path.join(prefix, "drive_c", "users")
    names = [n for n in os.listdir(users) if n != "Public" and os.path.isdir(os.path.join(users, n))]
    if len(names) != 1:
        raise RuntimeError("expected one user folder besides Public in %s, found %r" % (users, names))
    return names[0]


# The user's folder on the Linux side and as Windows programs see it, and the folders below it that
# the stub uses ("" when no prefix is set).
USER = wine_user(PREFIX) if PREFIX else ""
USER_DIR = os.path.join(PREFIX, "drive_c", "users", USER) if PREFIX else ""
WINDOWS_USER_DIR = "C:\\users\\" + USER
TEMP_DIR = os.path.join(USER_DIR, "Temp")
WINDOWS_TEMP_DIR = WINDOWS_USER_DIR + "\\Temp"
APPDATA_DIR = os.path.join(USER_DIR, "AppData", "Roaming")

# The stub's own files in the prefix: the id file it keeps; the package and the installer's log go
# into a private folder of the run in the temp folder, "velko-<16 hex digits>", removed at its end.
# PACKAGE_FILE and LOG_FILE are those names straight in the temp folder, where a run must never
# look.
ID_FILE = os.path.join(APPDATA_DIR, "velko-download-id.txt")
PACKAGE_NAME = "velko-installer.msi"
LOG_NAME = "velko-installer.log"
PACKAGE_FILE = os.path.join(TEMP_DIR, PACKAGE_NAME)
LOG_FILE = os.path.join(TEMP_DIR, LOG_NAME)
# The folder in which msiexec installs a 32-bit package (wixl builds those): "Program Files" on 32-bit
# Windows, "Program Files (x86)" on 64-bit Windows; Wine's msiexec does the same.
PROGRAM_FILES_32 = "Program Files" if ARCH == "x86" else "Program Files (x86)"
RUN_FOLDER_PATTERN = re.compile(r"^velko-[0-9a-f]{16}$")


def run_folders():
    """The runs' private folders now in the temp folder (Linux paths)."""
    if not os.path.isdir(TEMP_DIR):
        return []
    return sorted(os.path.join(TEMP_DIR, n) for n in os.listdir(TEMP_DIR) if RUN_FOLDER_PATTERN.match(n))


def wine_env(**extra):
    """The environment of a Wine command in the prefix: the prefix's architecture, quiet unless
    WINEDEBUG says else, and English with "." decimals (the locale C.UTF-8) whatever the caller's
    locale, since the stub speaks the display language Wine takes from it (locale_env for another)."""
    env = dict(os.environ)
    env.update(WINEARCH="win32" if ARCH == "x86" else "win64", WINEPREFIX=PREFIX, VELKO_ARCH=ARCH, LANG="C.UTF-8",
               LC_ALL="C.UTF-8")
    env.setdefault("WINEDEBUG", "-all")
    env.update(extra)
    return env


def to_windows_path(path):
    """The Wine path of a Unix path (through drive Z:)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def xdotool(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True)


_MSGBOX = re.compile(r'trace:msgbox:MSGBOX_OnInit L"(.*)"\s*$')
_SIMPLE_ESCAPES = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"'}


def unescape_wine(text):
    """Undoes the escaping of Wine's debug strings (\\n, \\", \\\\, \\xNN, \\uNNNN, and \\NNNN: a
    character outside printable ASCII as four hex digits)."""
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c != "\\" or i + 1 >= len(text):
            out.append(c)
            i += 1
            continue
        n = text[i + 1]
        if n in _SIMPLE_ESCAPES:
            out.append(_SIMPLE_ESCAPES[n])
            i += 2
        elif re.match(r"[0-9a-fA-F]{4}", text[i + 1:i + 5]):
            out.append(chr(int(text[i + 1:i + 5], 16)))
            i += 5
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


# The caption Windows gives a message box that names none ("Error"), in the display languages the
# tests and the demo run in.
BOX_CAPTIONS = ("Error", "Fehler", "エラー")


def _error_windows():
    return [w for w in xdotool("search", "--name", "^(%s)$" % "|".join(BOX_CAPTIONS)).stdout.split() if w]


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


class Run:
    """How a run under Wine ended: exit code, the texts of its message boxes in order, Wine's stderr
    and the seconds it took."""

    def __init__(self, exit_code, boxes, stderr, elapsed):
        self.exit_code = exit_code
        self.boxes = boxes
        self.stderr = stderr
        self.elapsed = elapsed


def run_exe(exe, timeout=120, on_box=None, on_start=None, env=None, cwd=None, debug="-all,+msgbox", args=()):
    """Runs `exe` (with `args`) under Wine, answers each message box with Return and returns a Run.

    on_box(index, text) is called when a box appears, before it is answered; when it returns True it
    has answered the box itself, and Return is not pressed. on_start(process) right after the start. After `timeout` seconds the run is killed, the prefix's wineserver is
    restarted and AssertionError is raised.
    """
    started = time.time()
    proc = subprocess.Popen([WINE, exe, *args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
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
            if not (on_box and on_box(len(boxes) - 1, text)):
                _dismiss_box(started + timeout)

    thread = threading.Thread(target=reader, daemon=True)
    thread.start()
    if on_start:
        on_start(proc)
    try:
        code = proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        restart_wineserver()
        proc.wait()
        said = "".join(lines[-20:]).strip() or "nothing"
        raise AssertionError("%s did not end within %s s; boxes so far: %r; Wine's last words: %s"
                             % (exe, timeout, boxes, said))
    thread.join(timeout=10)
    if not thread.is_alive():
        proc.stderr.close()
    return Run(code, boxes, "".join(lines), time.time() - started)


def reg_export(key):
    """The values under HKCU\\`key` as {name: bytes} ("" is the default value); {} if absent.
    Goes through `reg export`, which keeps value names exact where `reg query` output is ambiguous."""
    out = os.path.join(tempfile.mkdtemp(prefix="velko-reg-"), "k.reg")
    try:
        done = subprocess.run([WINE, REG_EXE, "export", "HKCU\\" + key, to_windows_path(out), "/y"],
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
    subprocess.run([WINE, REG_EXE, "delete", "HKCU\\" + key, "/f"], env=wine_env(), capture_output=True)


def set_display_dpi(dpi):
    """The display scale for the prefix's programs started from now on, in DPI (96 is 100%, 144 is
    150%); None goes back to the prefix's default (96). Wine takes it from LogPixels under
    HKCU\Control Panel\Desktop and tells every program that DPI."""
    key = r"HKCU\Control Panel\Desktop"
    if dpi is None:
        command = ["delete", key, "/v", "LogPixels", "/f"]
    else:
        command = ["add", key, "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f"]
    subprocess.run([WINE, REG_EXE, *command], env=wine_env(), capture_output=True)


def locale_env(name, folder, x_ctype=False):
    """The environment that gives the Windows programs started with it the display language and the
    number format of the Unix locale `name` (e.g. "de_DE.UTF-8"): Wine takes both from LC_MESSAGES
    (LANG, LC_ALL), from a locale that exists. The locale is made from Debian's sources (package
    locales) into `folder` once, with localedef, and found through LOCPATH: nothing changes on the
    machine. Wine names its X windows in the character set of LC_CTYPE's locale, and X knows no
    locale of some languages (Swahili): with `x_ctype`, LC_CTYPE stays C.UTF-8, so that the windows
    keep their names (the message boxes are found by them)."""
    path = os.path.join(folder, name)
    if not os.path.isdir(path):
        source, _, charmap = name.partition(".")
        os.makedirs(folder, exist_ok=True)
        made = subprocess.run(["localedef", "-i", source, "-f", charmap or "UTF-8", path + ".part"],
                              capture_output=True, text=True)
        if not os.path.isdir(path + ".part"):
            raise RuntimeError("localedef could not make the locale %s: %s" % (name, made.stderr.strip()))
        os.replace(path + ".part", path)
    if x_ctype:
        return {"LANG": name, "LC_ALL": "", "LC_MESSAGES": name, "LC_NUMERIC": name, "LC_CTYPE": "C.UTF-8",
                "LOCPATH": folder}
    return {"LANG": name, "LC_ALL": name, "LOCPATH": folder}


# The faces Wine links its dialog font to for Japanese and Chinese text (its SystemLink entries and
# its substitute for "MS Shell Dlg" under those locales name them), none of which Debian has.
CJK_FACES = ("MS UI Gothic", "SimSun")
CJK_FONT = "WenQuanYi Micro Hei"  # Debian's fonts-wqy-microhei


def use_cjk_font(on):
    """With `on`, Wine gives Debian's CJK font (fonts-wqy-microhei) under the names Windows links
    to its UI fonts for Japanese and Chinese (HKCU\\Software\\Wine\\Fonts\\Replacements), so that
    such text is drawn with glyphs, as Windows' font linking does; without, those names stay missing
    and the text shows as empty boxes. For the prefix's programs started from now on."""
    key = r"HKCU\Software\Wine\Fonts\Replacements"
    for face in CJK_FACES:
        command = ["add", key, "/v", face, "/d", CJK_FONT, "/f"] if on else ["delete", key, "/v", face, "/f"]
        subprocess.run([WINE, REG_EXE, *command], env=wine_env(), capture_output=True)


def set_windows_version(version):
    """The Windows version that the prefix's programs started from now on are told: "win7", "win8",
    "win81", "win10", ... (the string value Version under HKCU\\Software\\Wine, which winecfg
    writes); None goes back to the prefix's default."""
    key = r"HKCU\Software\Wine"
    if version is None:
        command = ["delete", key, "/v", "Version", "/f"]
    else:
        command = ["add", key, "/v", "Version", "/t", "REG_SZ", "/d", version, "/f"]
    subprocess.run([WINE, REG_EXE, *command], env=wine_env(), capture_output=True)


def restart_wineserver():
    """Ends the prefix's Wine processes and starts its persistent wineserver and services again
    through tools/make-wine-prefix, which gives them none of our pipes: a wineserver started by the
    next Wine command would inherit them, and whoever reads them (ctest) would wait for it."""
    quiet = dict(env=wine_env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-k"], **quiet)
    subprocess.run(["wineserver", "-w"], **quiet)
    subprocess.run([MAKE_PREFIX], check=True, **quiet)
