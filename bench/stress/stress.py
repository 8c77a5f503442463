"""The transfers' stress loop (bench/stress/run runs it in its namespace): many whole runs of the
stub, several at a time, with processors kept busy, against servers that make a transfer end at an
awkward moment. A run that does not end within its limit is a hang; the loop prints every run's end
and the count of runs that ended.

Scenarios (--scenario):
  info-trickle  the information reply sent a byte a second: each run abandons the request at its
                time limit (60 s) and shows the receive-failed box
  package       the package download, its digest published: trickled to its end, stopped by the stub at the headers (a
                length other than the published one) while the body streams, a server that sends
                nothing until the library's receive time-out, then the package; in turn per run
"""
import argparse
import hashlib
import os
import re
import subprocess
import sys
import threading
import time

ROOT = os.environ["VELKO_ROOT"]
sys.path.insert(0, os.path.join(ROOT, "tools"))
from stubserver import StubServer  # noqa: E402
import winerun  # noqa: E402

INFO_HOST = "127.0.0.1"
PACKAGE_HOST = "127.0.0.3"
INFO_PATH = "/WebGetDSData.qdx"
SIGNATURE = b"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"
PACKAGE = (SIGNATURE + bytes(range(256)) * 8192)[:2 << 20]

# How each package run's server behaves, in turn: (name, behaviour, published length or None).
PACKAGE_CASES = [
    ("trickled", "trickle:65536:0.03", None),
    ("stopped", "trickle:65536:0.03", len(PACKAGE) - 1),
    ("timed out", "hang:40,ok", None),
]


def tag(stub, ident, out):
    subprocess.run([sys.executable, os.path.join(ROOT, "tools", "velko-tag"), stub, out, "--id", ident],
                   check=True, capture_output=True)


def run_once(exe, limit, debug, log_path):
    """Runs `exe` under Wine; returns (ended, seconds, boxes). A run has ended when its process
    exits or it shows a message box: every box comes after the transfers, so the box is left
    unanswered (several runs' boxes at once cannot be answered reliably by key presses) and the
    process is killed. Only this process is killed: the other runs share the wineserver. Wine's
    output is written to `log_path`."""
    started = time.time()
    proc = subprocess.Popen([winerun.WINE, exe], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            env=winerun.wine_env(WINEDEBUG=debug), cwd=os.path.dirname(exe))
    boxes, lines = [], []
    boxed = threading.Event()

    def reader():
        for raw in proc.stderr:
            lines.append(raw)
            m = re.search(r'trace:msgbox:MSGBOX_OnInit L"(.*)"\s*$', raw.decode("utf-8", "replace"))
            if m:
                boxes.append(winerun.unescape_wine(m.group(1)))
                boxed.set()

    thread = threading.Thread(target=reader, daemon=True)
    thread.start()
    while proc.poll() is None and not boxed.is_set() and time.time() - started < limit:
        time.sleep(0.1)
    ended = proc.poll() is not None or boxed.is_set()
    seconds = time.time() - started
    if proc.poll() is None:
        proc.kill()
    proc.wait()
    thread.join(10)
    with open(log_path, "wb") as log:
        log.write(b"".join(list(lines)))
    return ended, seconds, list(boxes)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scenario", choices=("info-trickle", "package"), required=True)
    parser.add_argument("--runs", type=int, default=30)
    parser.add_argument("--parallel", type=int, default=4)
    parser.add_argument("--load", type=int, default=2, help="busy processes beside the runs")
    parser.add_argument("--debug", default="-all,+msgbox,err+sync",
                        help="WINEDEBUG of each run (e.g. -all,+msgbox,+sync,+winhttp,+tid)")
    parser.add_argument("--logs", required=True, help="folder for the hung runs' Wine output")
    args = parser.parse_args()
    stub = os.environ["VELKO_STUB_EXE"]
    work = os.environ["WORK"]

    server = StubServer([INFO_HOST, PACKAGE_HOST])
    server.start()
    plans = []
    for n in range(args.runs):
        ident = "STRESS-%04d" % n
        exe = os.path.join(work, "stub-%04d.exe" % n)
        tag(stub, ident, exe)
        query = "%s?session=%s" % (INFO_PATH, ident)
        if args.scenario == "info-trickle":
            reply = b" " * 200 + b"<MSIURL>http://%s/none.msi</MSIURL>" % PACKAGE_HOST.encode()
            server.add_file(query, reply, "trickle:1:1", "text/xml")
            plans.append((n, exe, "info trickled", 120))
        else:
            name, behaviour, size = PACKAGE_CASES[n % len(PACKAGE_CASES)]
            path = "/package-%04d.msi" % n
            reply = "<MSIURL>http://%s%s</MSIURL>" % (PACKAGE_HOST, path)
            # The digest published: the download hashes what it writes.
            reply += "<MSISHA256>%s</MSISHA256>" % hashlib.sha256(PACKAGE).hexdigest()
            if size is not None:
                reply += "<MSISIZE>%d</MSISIZE>" % size
            server.add_file(query, reply.encode(), "ok", "text/xml")
            server.add_file(path, PACKAGE, behaviour)
            plans.append((n, exe, "package " + name, 150))

    # Busy processes, one per processor asked for, so that the runs' threads are preempted at
    # random points.
    loaders = [subprocess.Popen([sys.executable, "-c", "while True: sum(i * i for i in range(20000))"])
               for _ in range(args.load)]
    results = []
    lock = threading.Lock()
    queue = list(plans)

    def worker():
        while True:
            with lock:
                if not queue:
                    return
                n, exe, label, limit = queue.pop(0)
            log_path = os.path.join(args.logs, "run-%04d.log" % n)
            ended, seconds, boxes = run_once(exe, limit, args.debug, log_path)
            with lock:
                results.append((n, label, ended, seconds, boxes))
                print("run %3d %-18s %s in %5.1f s, boxes %r" % (n, label, "ended" if ended else "HUNG", seconds,
                                                                 boxes), flush=True)
            if ended:
                os.remove(log_path)
            else:
                with open(log_path, "rb") as f:
                    stuck = [line for line in f if b"RtlpWaitForCriticalSection" in line]
                if stuck:
                    print("    Wine: %s" % stuck[0].decode("utf-8", "replace").strip(), flush=True)

    try:
        workers = [threading.Thread(target=worker) for _ in range(args.parallel)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    finally:
        for p in loaders:
            p.kill()
            p.wait()
        server.stop()
    hung = [r for r in results if not r[2]]
    print("%s: %d of %d runs ended, %d hung (%d at a time, %d busy processes beside them)"
          % (args.scenario, len(results) - len(hung), len(results), len(hung), args.parallel, args.load))
    if hung:
        print("Wine's output of the hung runs: %s" % args.logs)
    return 1 if hung else 0


if __name__ == "__main__":
    sys.exit(main())
