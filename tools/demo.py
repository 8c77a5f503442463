#!/usr/bin/env python3
"""Runs the stub's whole job once against the local servers and shows what happened.

Called by scripts/demo inside a private network namespace, with WINEPREFIX (the demo prefix),
VELKO_STUB_EXE, VELKO_BUILD, VELKO_ROOT and DISPLAY set. Usage: demo.py OUTDIR
"""
import os
import re
import subprocess
import sys
import threading
import time

import winerun as w
from stubserver import StubServer

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TAG_TOOL = os.path.join(ROOT, "tools", "velko-tag")
STUB_EXE = os.environ["VELKO_STUB_EXE"]
INFO_HOST = os.environ.get("VELKO_INFO_HOST", "127.0.0.1")
KEY = r"Software\Brondelvik\Brondelvik\DownlodIDs"
INSTALL_DIR = os.path.join(w.PREFIX, "drive_c", "Program Files", "Brondelvik", "VelkoDemo")
DEMO_MSI = os.path.join(os.environ["VELKO_BUILD"], "tests", "demo-package", "velko-demo.msi")


def window_rectangle():
    """(x, y, width, height) of the progress window on the screen, or None when it is not there."""
    out = w.xdotool("search", "--name", "^Installing$", "getwindowgeometry").stdout
    pos = re.search(r"Position: (-?\d+),(-?\d+)", out)
    size = re.search(r"Geometry: (\d+)x(\d+)", out)
    return tuple(map(int, pos.groups() + size.groups())) if pos and size else None


def screenshot(path):
    """Saves a picture of the progress window at `path`; returns whether there is one. The window
    may close at any moment (the run ends): then there is no picture, and nothing half-written."""
    rect = window_rectangle()
    if rect is None:
        return False
    part = path + ".part.png"
    try:
        done = subprocess.run(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (rect[2], rect[3], rect[0], rect[1]),
                               "+repage", part], capture_output=True, timeout=20)
    except subprocess.TimeoutExpired:
        done = None  # no picture of that stage rather than a demo that hangs
    if done is None or done.returncode != 0 or not os.path.exists(part) or window_rectangle() is None:
        if os.path.exists(part):
            os.remove(part)
        return False
    os.replace(part, path)
    return True


def main():
    out = os.path.abspath(sys.argv[1])
    os.makedirs(out, exist_ok=True)
    for name in os.listdir(out):
        if name.endswith(".png"):
            os.remove(os.path.join(out, name))

    # A clean slate: the product of an earlier demo removed, no values, no leftovers.
    subprocess.run(["wine", "msiexec", "/x", w.to_windows_path(DEMO_MSI), "/qn"], env=w.wine_env(),
                   capture_output=True)
    w.reg_delete(r"Software\Brondelvik")
    for path in (w.ID_FILE, w.PACKAGE_FILE, w.LOG_FILE):
        if os.path.exists(path):
            os.remove(path)

    exe = os.path.join(out, "velko-stub.exe")
    ident = subprocess.run([sys.executable, TAG_TOOL, STUB_EXE, exe, "--random-id"], check=True,
                           capture_output=True, text=True).stdout.strip()
    print("Download identifier: %s" % ident)
    print("Tagged stub:         %s" % exe)

    server = StubServer([INFO_HOST])
    server.start()
    try:
        # Well-formed replies, sent at a pace a person can follow: the information reply over about
        # two seconds, the 3 MB package over about three.
        server.set_msiurl("http://%s/velko-demo.msi" % INFO_HOST, behaviour="trickle:16:0.2")
        server.add_file("/velko-demo.msi", DEMO_MSI, behaviour="trickle:65536:0.06")

        shots = {}
        package_size = os.path.getsize(DEMO_MSI)
        stop = threading.Event()

        def watch():
            # One screenshot per stage, taken a moment into it.
            while not stop.is_set():
                reqs = server.requests
                info = [r for r in reqs if r.path.startswith("/WebGetDSData.qdx")]
                pkg = [r for r in reqs if r.path == "/velko-demo.msi"]
                stage = None
                if pkg and os.path.exists(w.PACKAGE_FILE) and os.path.getsize(w.PACKAGE_FILE) == package_size:
                    stage = "3-installing"
                elif pkg:
                    stage = "2-downloading"
                elif info:
                    stage = "1-requesting"
                if stage == "3-installing":
                    # The installer may be over within a second: keep the latest picture that still
                    # shows the window.
                    path = os.path.join(out, "%s.png" % stage)
                    if screenshot(path):
                        shots[stage] = path
                    continue
                if stage and stage not in shots:
                    time.sleep(1.5 if stage == "2-downloading" else 0.7)  # a few chunks in
                    path = os.path.join(out, "%s.png" % stage)
                    if screenshot(path):
                        shots[stage] = path
                time.sleep(0.1)

        watcher = threading.Thread(target=watch, daemon=True)
        watcher.start()
        run = w.run_exe(exe, timeout=600)
        stop.set()
        watcher.join()
    finally:
        server.stop()

    print("Exit code:           %d" % run.exit_code)
    print("Message boxes:       %s" % (", ".join(repr(b) for b in run.boxes) or "none"))
    print("Requests the server saw:")
    for r in server.requests:
        print("  GET %s  (%s, %s bytes sent)" % (r.path, r.header("User-Agent"), r.bytes_sent))
    with open(w.ID_FILE, "rb") as f:
        print("Id file:             %s = %r" % (w.ID_FILE, f.read().decode("latin-1")))
    print("Installed files in %s:" % INSTALL_DIR)
    for root, _, files in os.walk(INSTALL_DIR):
        for name in sorted(files):
            print("  %s" % os.path.relpath(os.path.join(root, name), INSTALL_DIR))
    query = subprocess.run(["wine", w.REG_EXE, "query", "HKCU\\" + KEY], env=w.wine_env(), capture_output=True,
                           text=True)
    values = query.stdout.strip() if query.returncode == 0 else ""
    print("Registry (wine reg query HKCU\\%s):\n  %s" % (KEY, values.replace("\n", "\n  ") or "no values"))
    if not values:
        print("  (Wine's msiexec writes an 8-bit log without file records, so there is nothing to record;\n"
              "   the end-to-end tests use a stand-in installer that writes Windows Installer's log format.)")
    for label, path in (("Package", w.PACKAGE_FILE), ("Install log", w.LOG_FILE)):
        print("%-20s %s" % (label + ":", "still there (!)" if os.path.exists(path) else "gone"))
    print("Screenshots:")
    for stage in sorted(shots):
        print("  %s" % shots[stage])
    if "3-installing" not in shots:
        print("  (Wine's msiexec installed the package before a screenshot of that stage could be taken)")
    ok = run.exit_code == 0 and not run.boxes and os.path.isdir(INSTALL_DIR) and not os.path.exists(w.PACKAGE_FILE)
    print("The whole job %s." % ("succeeded" if ok else "did NOT succeed"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
