#!/usr/bin/python3
"""The publisher's whole story once, against local servers, and what happened at each step.

The download site (site/, under gunicorn, records in SQLite) hands a visitor a freshly tagged copy
(curl, as a browser would); the copy runs under Wine, asks the site which package to fetch, downloads
the demo package from the package server (tools/stubserver, sending it slowly enough to watch) and
installs it with Wine's msiexec, and reports to the site how its run ended; then the site's report
shows the copy's funnel: downloaded, run, package received, installed.

Called by scripts/demo inside a private network namespace (the site takes port 80 of 127.0.0.1, where
the demo build's stub asks), with Debian's python3 (gunicorn is installed for it), WINEPREFIX (the
demo prefix), VELKO_ARCH (x86 or x64: the prefix's and the stub's), VELKO_STUB_EXE, VELKO_BUILD (the
stub's build tree), VELKO_ROOT and DISPLAY set. Usage: demo.py OUTDIR
"""
import os
import re
import shlex
import shutil
import subprocess
import sys
import threading
import time

import winerun as w
from stubserver import StubServer

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "site"))
from velko_site.db import Database  # noqa: E402
from velko_site.serve import Gunicorn  # noqa: E402
import velko_tag  # noqa: E402  (tools/, this folder)

SITE_COMMAND = os.path.join(ROOT, "site", "velko-site")
STUB_EXE = os.environ["VELKO_STUB_EXE"]
SITE_HOST = os.environ.get("VELKO_INFO_HOST", "127.0.0.1")
PACKAGE_HOST = "127.0.0.3"
PACKAGE_PATH = "/velko-demo.msi"
DOWNLOAD_URL = "http://%s/download/demo?campaign=newsletter" % SITE_HOST
KEY = r"Software\Brondelvik\Brondelvik\DownlodIDs"
INSTALL_DIR = os.path.join(w.PREFIX, "drive_c", w.PROGRAM_FILES_32, "Brondelvik", "VelkoDemo")
DEMO_MSI = os.path.join(os.environ["VELKO_BUILD"], "tests", "demo-package", "velko-demo.msi")
SITE_CONFIG = """\
# The demo's site: made by tools/demo.py for each run.
database = "velko-site.db"
default_product = "demo"
keys = "keys.toml"

[products.demo]
stub = "%s"
package_url = "http://%s%s"
file_name = "velko-demo-setup.exe"
"""


def window_rectangle(caption="Installing"):
    """(x, y, width, height) of the progress window (captioned `caption`, its text in the run's
    language) on the screen, or None when it is not there."""
    out = w.xdotool("search", "--name", "^%s$" % re.escape(caption), "getwindowgeometry").stdout
    pos = re.search(r"Position: (-?\d+),(-?\d+)", out)
    size = re.search(r"Geometry: (\d+)x(\d+)", out)
    return tuple(map(int, pos.groups() + size.groups())) if pos and size else None


def screenshot(path, caption="Installing"):
    """Saves a picture of the progress window at `path`; returns whether there is one. The window
    may close at any moment (the run ends): then there is no picture, and nothing half-written."""
    rect = window_rectangle(caption)
    if rect is None:
        return False
    part = path + ".part.png"
    try:
        done = subprocess.run(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (rect[2], rect[3], rect[0], rect[1]),
                               "+repage", part], capture_output=True, timeout=20)
    except subprocess.TimeoutExpired:
        done = None  # no picture of that stage rather than a demo that hangs
    if done is None or done.returncode != 0 or not os.path.exists(part) or window_rectangle(caption) is None:
        if os.path.exists(part):
            os.remove(part)
        return False
    os.replace(part, path)
    return True


def watch_stages(packages, package_size, out, shots, stop, suffix, caption):
    """Takes a screenshot of the download, a moment into it, and of the install, until `stop` is
    set.  The information request before them is over within milliseconds (the site answers at once)
    and the window has not been drawn yet: there is nothing to picture."""
    while not stop.is_set():
        pkg = [r for r in packages.requests if r.path == PACKAGE_PATH]
        if pkg and pkg[-1].bytes_sent >= package_size:
            # The installer may be over within a second: keep the latest picture that still shows
            # the window.
            path = os.path.join(out, "2-installing%s.png" % suffix)
            if screenshot(path, caption):
                shots["2-installing"] = path
            continue
        if pkg and "1-downloading" not in shots:
            time.sleep(1.5)  # a few chunks in
            path = os.path.join(out, "1-downloading%s.png" % suffix)
            if screenshot(path, caption):
                shots["1-downloading"] = path
        time.sleep(0.1)


def clean_slate(out):
    """The product of an earlier demo removed, no registry values, no id file, no old records."""
    subprocess.run([w.WINE, "msiexec", "/x", w.to_windows_path(DEMO_MSI), "/qn"], env=w.wine_env(),
                   capture_output=True)
    w.reg_delete(r"Software\Brondelvik")
    if os.path.exists(w.ID_FILE):
        os.remove(w.ID_FILE)
    for folder in ("site", "downloads"):
        shutil.rmtree(os.path.join(out, folder), True)
        os.makedirs(os.path.join(out, folder))
    for name in os.listdir(out):
        if name.endswith(".png"):
            os.remove(os.path.join(out, name))


def download_copy(folder):
    """Fetches a copy from the site as a visitor would; returns its path, or None (curl said why)."""
    print("  curl -OJ '%s'" % DOWNLOAD_URL)
    done = subprocess.run(["curl", "-sSf", "--output-dir", folder, "-OJ", DOWNLOAD_URL])
    names = os.listdir(folder)
    return os.path.join(folder, names[0]) if done.returncode == 0 and len(names) == 1 else None


def run_copy(exe, packages, out, suffix="", env=None, caption="Installing"):
    """Runs the copy under Wine (with `env` added to its environment) with screenshots of its stages
    (named with `suffix`) in the window captioned `caption`; returns (Run, {stage: picture})."""
    shots = {}
    stop = threading.Event()
    packages.clear_requests()
    watcher = threading.Thread(target=watch_stages,
                               args=(packages, os.path.getsize(DEMO_MSI), out, shots, stop, suffix, caption), daemon=True)
    watcher.start()
    try:
        return w.run_exe(exe, timeout=600, env=env), shots
    finally:
        stop.set()
        watcher.join()


def show_results(run, shots, packages, database, temp_before):
    """Prints what the run did; returns whether it all went as it should."""
    print("  Exit code:           %d" % run.exit_code)
    print("  Message boxes:       %s" % (", ".join(repr(b) for b in run.boxes) or "none"))
    if run.exit_code == 0 and not run.boxes:
        print("  Package check:       passed (the file downloaded has the SHA-256 and the length the site "
              "published; else a box would have said so and nothing would have been installed)")
    print("  The site's records:")
    db = Database(database)
    downloads = db.rows("SELECT ident, product, campaign, downloaded_at FROM downloads")
    requests = db.rows("SELECT session, known, requested_at FROM info_requests")
    reports = db.rows("SELECT session, known, outcome, detail, version, arch, reported_at FROM outcomes")
    db.close()
    for ident, product, campaign, at in downloads:
        print("    download             %s  %s, campaign %s, %s" % (ident, product, campaign or "(none)", at))
    for session, known, at in requests:
        print("    information request  %s  %s, %s" % (session, "ours" if known else "not ours", at))
    for session, known, outcome, detail, version, arch, at in reports:
        print("    outcome report       %s  %s%s, stub %s %s, %s, %s"
              % (session, outcome, " (%s)" % detail if detail else "", version, arch, "ours" if known else "not ours", at))
    print("  Requests the package server saw:")
    for r in packages.requests:
        print("    GET %s  (%s, %s bytes sent)" % (r.path, r.header("User-Agent"), r.bytes_sent))
    if os.path.exists(w.ID_FILE):
        with open(w.ID_FILE, "rb") as f:
            print("  Id file:             %s = %r" % (w.ID_FILE, f.read().decode("latin-1")))
    print("  Installed files in %s:" % INSTALL_DIR)
    for root, _, files in os.walk(INSTALL_DIR):
        for name in sorted(files):
            print("    %s" % os.path.relpath(os.path.join(root, name), INSTALL_DIR))
    query = subprocess.run([w.WINE, w.REG_EXE, "query", "HKCU\\" + KEY], env=w.wine_env(), capture_output=True,
                           text=True)
    values = query.stdout.strip() if query.returncode == 0 else ""
    print("  Registry (wine reg query HKCU\\%s):\n    %s" % (KEY, values.replace("\n", "\n    ") or "no values"))
    if not values:
        print("    (Wine's msiexec writes an 8-bit log without file records, so there is nothing to record;\n"
              "     the end-to-end tests use a stand-in installer that writes Windows Installer's log format.)")
    left = sorted(set(os.listdir(w.TEMP_DIR)) - temp_before)
    print("  Left in the temp folder: %s" % (", ".join(left) or "nothing"))
    print("  Screenshots:")
    for stage in sorted(shots):
        print("    %s" % shots[stage])
    if "2-installing" not in shots:
        print("    (Wine's msiexec installed the package before a screenshot of that stage could be taken)")
    one_run = len(downloads) == 1 and [(s, k) for s, k, _ in requests] == [(downloads[0][0], 1)]
    if sends_outcome(STUB_EXE):
        one_run = one_run and [r[:3] for r in reports] == [(downloads[0][0], 1, "installed")]
    return (run.exit_code == 0 and not run.boxes and os.path.isdir(INSTALL_DIR) and not left
            and not os.path.exists(w.PACKAGE_FILE) and one_run)


def sends_outcome(stub):
    """Whether the stub reports how its run ended: it carries the report's query (in one of the two
    encodings a Windows program keeps its texts in)."""
    with open(stub, "rb") as f:
        data = f.read()
    return any(text in data for text in (b"outcome=", "outcome=".encode("utf-16-le")))


def main():
    out = os.path.abspath(sys.argv[1])
    os.makedirs(out, exist_ok=True)
    clean_slate(out)
    site_dir, downloads_dir = os.path.join(out, "site"), os.path.join(out, "downloads")
    config = os.path.join(site_dir, "site.toml")
    # The publisher pins the package: `velko-site hash` prints the two settings, and every
    # information reply then carries them; the stub installs nothing else.
    pin = subprocess.run([SITE_COMMAND, "hash", DEMO_MSI], capture_output=True, text=True)
    if pin.returncode != 0:
        print("%sThe whole job did NOT succeed." % pin.stderr)
        return 1
    with open(config, "w") as f:
        f.write(SITE_CONFIG % (STUB_EXE, PACKAGE_HOST, PACKAGE_PATH) + pin.stdout)
    # The key that signs the identifiers, in a file of its own (mode 0600).
    key = subprocess.run([SITE_COMMAND, "new-key", os.path.join(site_dir, "keys.toml")], capture_output=True, text=True)
    if key.returncode != 0:
        print("%sThe whole job did NOT succeed." % key.stderr)
        return 1

    # The publisher's first step: is the configuration (and the stub it names) usable?
    check = subprocess.run([SITE_COMMAND, "check", config], capture_output=True, text=True)
    if check.returncode != 0:
        print("%sThe whole job did NOT succeed." % check.stderr)
        return 1

    packages = StubServer([PACKAGE_HOST])
    site = Gunicorn(config, SITE_HOST, 80, os.path.join(site_dir, "gunicorn.log"))
    loader = None
    try:
        # The 3 MB package over about three seconds, so that the download can be watched.
        packages.add_file(PACKAGE_PATH, DEMO_MSI, behaviour="trickle:65536:0.06")
        packages.start()
        site.start()
        # Beside the site, its loader puts the workers' journals into the database (velko-site
        # serve starts one itself).
        with open(os.path.join(site_dir, "loader.log"), "ab") as log:
            loader = subprocess.Popen([SITE_COMMAND, "load", config], stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        print("The publisher's site:  http://%s/ served by: %s" % (SITE_HOST, " ".join(map(shlex.quote, site.command))))
        print("                       journals in %s, loaded by `velko-site load` into %s"
              % (os.path.join(site_dir, "journal"), os.path.join(site_dir, "velko-site.db")))
        print("Package server:        http://%s%s (the demo package, sent slowly enough to watch)"
              % (PACKAGE_HOST, PACKAGE_PATH))
        print("The package, pinned in the site's configuration (site/velko-site hash %s):" % DEMO_MSI)
        print("  " + pin.stdout.strip().replace("\n", "\n  "))
        print()
        print("1. A visitor downloads a copy from the site:")
        exe = download_copy(downloads_dir)
        if exe is None:
            print("The download from the site failed; the whole job did NOT succeed (site log: %s)."
                  % site.log_path)
            return 1
        print("  -> %s (%d bytes), identifier %s\n     (version.key.mint time.product.campaign.random.MAC: the site "
              "answers from it alone)" % (exe, os.path.getsize(exe), velko_tag.read_file_tag(exe)[1].decode()))
        print()
        print("2. The visitor runs it (under Wine): it asks the site for its package, downloads and installs it.")
        temp_before = set(os.listdir(w.TEMP_DIR))
        run, shots = run_copy(exe, packages, out)
        # Whatever the running loader has not loaded yet, loaded now, before the records are read.
        subprocess.run([SITE_COMMAND, "load", "--once", config], capture_output=True)
        ok = show_results(run, shots, packages, os.path.join(site_dir, "velko-site.db"), temp_before)
        print()
        print("3. The publisher's report (site/velko-site report %s):" % config)
        report = subprocess.run([SITE_COMMAND, "report", config], capture_output=True, text=True)
        # The copy's funnel: downloaded, run, and, once the stub has said how its run ended,
        # received and installed.
        reported = sends_outcome(STUB_EXE)
        if not reported:
            print("  (this stub sends no outcome report: nothing is received or installed below)")
        print("  " + (report.stdout + report.stderr).rstrip().replace("\n", "\n  "))
        ok = ok and report.returncode == 0 and re.search(r"^demo +newsletter +1 +1 +100.0%% +%s +%s *$"
                                                         % ((1, 1) if reported else (0, 0)), report.stdout, re.M)
        print()
        # The window as most laptops show it: the same copy once more at 150% display scale.
        print("4. The same copy again at 150% display scale (144 DPI), for the window's pictures:")
        w.set_display_dpi(144)
        try:
            scaled, scaled_shots = run_copy(exe, packages, out, suffix="-144dpi")
        finally:
            w.set_display_dpi(None)
        for stage in sorted(scaled_shots):
            print("    %s" % scaled_shots[stage])
        ok = ok and scaled.exit_code == 0 and not scaled.boxes and "1-downloading" in scaled_shots
        print()
        # The user's language: Wine takes it from the locale (made with localedef into the build tree).
        print("5. The same copy again in German (LANG=de_DE.UTF-8), for the window's picture in German:")
        german, german_shots = run_copy(exe, packages, out, suffix="-de",
                                        env=w.locale_env("de_DE.UTF-8", os.path.join(os.environ["VELKO_BUILD"], "locales")),
                                        caption="Installation")
        for stage in sorted(german_shots):
            print("    %s" % german_shots[stage])
        ok = ok and german.exit_code == 0 and not german.boxes and "1-downloading" in german_shots
        print()
    finally:
        if loader is not None:
            loader.terminate()
            loader.wait()
        site.stop()
        packages.stop()
    print("The whole job %s." % ("succeeded" if ok else "did NOT succeed"))
    return 0 if ok else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (OSError, RuntimeError, AssertionError) as e:
        # A server that cannot start, a run that does not end: said in a line, not a traceback.
        print("The demo stopped: %s\nThe whole job did NOT succeed." % e)
        sys.exit(1)
