#!/usr/bin/env python3
"""Writes a Windows Installer style verbose log for the log-scan benchmark.

    make_install_log.py OUT [MEGABYTES] [EXE_RECORDS]

UTF-16LE with a byte-order mark and CR LF line ends, about MEGABYTES (default 100) MB: the mix of lines
a verbose install log of a large product holds (engine messages, property dumps, component states,
file copy operations, an occasional line over 1000 units), with EXE_RECORDS (default 3000)
"InstallFiles: File: <name>.exe,  Directory: ...,  Size: ..." records spread through it among many
more records of other files. Prints how many executable records went in and into how many folders.
"""
import random
import sys


def main():
    out = sys.argv[1]
    target = int(float(sys.argv[2]) * 1_000_000) if len(sys.argv) > 2 else 100_000_000
    exe_records = int(sys.argv[3]) if len(sys.argv) > 3 else 3000
    rng = random.Random(2026)

    folders = [f"C:\\Program Files\\Brondelvik\\Velko Suite\\module{m:03d}\\" for m in range(150)]
    folders += [f"C:\\Program Files\\Brondelvik\\Velko Suite\\module{m:03d}\\bin\\" for m in range(50)]
    extensions = ["dll", "dll", "dll", "dat", "xml", "png", "txt", "manifest", "cat", "mui", "EXE", "exe.config"]

    def stamp():
        return f"{rng.randrange(24):02d}:{rng.randrange(60):02d}:{rng.randrange(60):02d}:{rng.randrange(1000):03d}"

    def pid():
        return f"({rng.randrange(256):02X}:{rng.randrange(256):02X})"

    def noise():
        kind = rng.randrange(10)
        if kind < 3:
            name = f"file{rng.randrange(100000)}.{rng.choice(extensions)}"
            return (f"MSI (s) {pid()} [{stamp()}]: Executing op: FileCopy(SourceName={name[:8]}|{name},"
                    f"SourceCabKey={name},DestName={name},Attributes=512,FileSize={rng.randrange(1, 10**7)},"
                    "PerTick=65536,,VerifyMedia=1,,,,,CheckCRC=0,Version=1.2.3.4,Language=0,"
                    "InstallMode=58982400,,,,,,,)")
        if kind < 5:
            return (f"MSI (s) {pid()} [{stamp()}]: Component: C_{rng.randrange(10**6):06d}; Installed: Absent;"
                    "   Request: Local;   Action: Local")
        if kind < 6:
            return f"Property(S): P{rng.randrange(10**5)} = {'x' * rng.randrange(1, 200)}"
        if kind < 7:
            return f"Action start {stamp()[:8]}: Action{rng.randrange(500)}."
        if kind < 8:
            return f"MSI (c) {pid()} [{stamp()}]: Note: 1: 2205 2:  3: Error "
        if kind < 9:
            # Another file's record: same prefix, no executable.
            return (f"InstallFiles: File: f{rng.randrange(10**6)}.{rng.choice(extensions)},  Directory: "
                    f"{rng.choice(folders)},  Size: {rng.randrange(1, 10**7)}")
        if rng.randrange(200) == 0:
            return f"Property(S): LongList = {';'.join(str(rng.randrange(10**6)) for _ in range(300))}"
        return ""

    written = 0
    records = 0
    used = set()
    # Spread the executable records evenly: one after every `gap` bytes or so.
    gap = target // max(exe_records, 1)
    next_record = gap // 2
    with open(out, "wb") as f:
        f.write("\ufeff=== Verbose logging started: 12/10/2026  10:00:00  Build type: SHIP UNICODE ===\r\n"
                .encode("utf-16-le"))
        batch = []
        batch_bytes = 0
        while written < target:
            if written + batch_bytes >= next_record and records < exe_records:
                folder = rng.choice(folders)
                used.add(folder)
                line = f"InstallFiles: File: tool{records}.exe,  Directory: {folder},  Size: {rng.randrange(10**6)}"
                records += 1
                next_record += gap
            else:
                line = noise()
            data = (line + "\r\n").encode("utf-16-le")
            batch.append(data)
            batch_bytes += len(data)
            if batch_bytes > 1 << 20:
                f.write(b"".join(batch))
                written += batch_bytes
                batch = []
                batch_bytes = 0
        f.write(b"".join(batch))
        written += batch_bytes
    print(f"{out}: {written / 1e6:.1f} MB, {records} executable records in {len(used)} folders")


if __name__ == "__main__":
    main()
