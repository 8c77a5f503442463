"""The resume benchmark's measurements (bench/download/resume runs it in its namespace)."""
import hashlib
import os
import re
import statistics
import subprocess
import sys
import time

ROOT = os.environ["VELKO_ROOT"]
sys.path.insert(0, os.path.join(ROOT, "tools"))
from stubserver import StubServer  # noqa: E402
import winerun  # noqa: E402

SIZE = int(os.environ["SIZE_MIB"]) << 20
ROUNDS = int(os.environ["ROUNDS"])
WORK = os.environ["WORK"]
BENCH_EXE = os.environ["BENCH_EXE"]
PACKAGE = os.path.join(WORK, "package.bin")
OUT = os.path.join(WORK, "out.bin")
# Each attempt's reply is cut after 30% of the package: the drops come at 30%, 60% and 90%.
DROPPED = "reset:{0},reset:{0},reset:{0},ok".format(SIZE * 3 // 10)
PAUSES_S = 1 + 2 + 4  # before the second, third and fourth attempts


def make_package():
    with open(PACKAGE, "wb") as f:
        f.write(b"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1")  # it begins like an installer package
        left = SIZE - 8
        while left:
            n = min(left, 1 << 24)
            f.write(os.urandom(n))
            left -= n
    return sha256_of(PACKAGE)


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 24), b""):
            digest.update(block)
    return digest.hexdigest()


def download(server, behaviour, expected_sha):
    """One run of the stub's download code; returns (seconds, bytes asked for, bytes sent, requests).
    A request asks for the package from its Range's start to the end (the stub asks for the rest)."""
    server.add_file("/package.bin", PACKAGE, behaviour)
    server.clear_requests()
    if os.path.exists(OUT):
        os.remove(OUT)
    started = time.monotonic()
    done = subprocess.run([winerun.WINE, BENCH_EXE, "stub", "http://127.0.0.1/package.bin", winerun.to_windows_path(OUT)],
                          env=winerun.wine_env(), capture_output=True, text=True, timeout=600)
    seconds = time.monotonic() - started
    if "ok=1" not in done.stdout:
        raise SystemExit("the download failed: %s %s" % (done.stdout.strip(), done.stderr.strip()[-500:]))
    if sha256_of(OUT) != expected_sha:
        raise SystemExit("the downloaded file differs from the package")
    requests = server.requests
    asked = 0
    for r in requests:
        match = re.fullmatch(r"bytes=(\d+)-", r.header("Range") or "bytes=0-")
        asked += SIZE - int(match.group(1))
    return seconds, asked, sum(r.bytes_sent for r in requests), len(requests)


def main():
    print("Making a %d MiB package of random bytes..." % (SIZE >> 20))
    sha = make_package()
    server = StubServer(["127.0.0.1"])
    server.start()
    try:
        download(server, "ok", sha)  # warm-up: the file in the page cache, Wine's DLLs loaded
        rows = {"undisturbed": [], "dropped at 30, 60, 90%": []}
        for round_ in range(1, ROUNDS + 1):
            for name, behaviour in (("undisturbed", "ok"), ("dropped at 30, 60, 90%", DROPPED)):
                row = download(server, behaviour, sha)
                rows[name].append(row)
                print("  round %d %-24s %6.2f s, %d requests, %d bytes asked for, %d sent"
                      % (round_, name, row[0], row[3], row[1], row[2]))
    finally:
        server.stop()
    print()
    print("Medians over %d rounds (package: %d bytes):" % (ROUNDS, SIZE))
    whole = statistics.median(r[0] for r in rows["undisturbed"])
    for name, values in rows.items():
        seconds = statistics.median(r[0] for r in values)
        asked = statistics.median(r[1] for r in values)
        sent = statistics.median(r[2] for r in values)
        print("  %-24s %6.2f s   bytes sent %.3f x the package (asked for, each request to the end: %.3f x)"
              % (name, seconds, sent / SIZE, asked / SIZE))
    dropped = statistics.median(r[0] for r in rows["dropped at 30, 60, 90%"])
    print("  dropped run - pauses (%d s): %.2f s, against the undisturbed run's %.2f s: %.2f"
          % (PAUSES_S, dropped - PAUSES_S, whole, (dropped - PAUSES_S) / whole))
    print("  (target: at most 1, one whole download plus the pauses; bytes sent above 1 x the package are")
    print("   the parts of reads that the drops cut off, fetched again)")


if __name__ == "__main__":
    main()
