#!/bin/sh
# Builds the demo package: build.sh OUTDIR  ->  OUTDIR/velko-demo.msi (and OUTDIR/velko-demo.exe, the
# program inside it). Needs i686-w64-mingw32-gcc and wixl (Debian packages gcc-mingw-w64-i686, wixl).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: build.sh OUTDIR}
mkdir -p "$out"
out=$(cd "$out" && pwd)
i686-w64-mingw32-gcc -Os -s -mwindows -o "$out/velko-demo.exe" "$here/velko_demo.c"
cp "$here/readme.txt" "$out/readme.txt"
# 3 MB of incompressible data, so that the package takes long enough to download for the progress
# bar to be seen moving (the same bytes on every build).
python3 -c 'import hashlib, sys
out = bytearray()
block = b"velko demo media"
while len(out) < 3000000:
    block = hashlib.sha256(block).digest()
    out += block
sys.stdout.buffer.write(out[:3000000])' > "$out/media.bin"
# wixl looks for the files named by Source in the folder it runs in.
cd "$out"
wixl -a x86 -o velko-demo.msi "$here/velko-demo.wxs"
echo "$out/velko-demo.msi"
