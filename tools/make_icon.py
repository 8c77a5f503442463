#!/usr/bin/env python3
"""Draws the stub's icon (a white download arrow on a blue rounded square) and writes res/velko.ico.

Five 32-bit images of 128, 64, 48, 32 and 16 pixels, each stored PNG-compressed: Windows Vista and
later (and Wine) load PNG icon images of any size, and a PNG of this drawing is a tenth of a 32-bit
bitmap with its mask. Standard library only; the output is deterministic.

Usage: tools/make_icon.py [OUTPUT]   (default: res/velko.ico beside this script's repository)
"""
import os
import struct
import sys
import zlib

SIZES = (128, 64, 48, 32, 16)

BLUE = (0x1F, 0x6F, 0xC8)
WHITE = (0xFF, 0xFF, 0xFF)


def coverage(size, x, y):
    """Returns (alpha 0..1 of the square, whether the pixel is on the arrow) at pixel (x, y)."""
    # Sample 4x4 points per pixel for smooth edges.
    square = arrow = 0
    for sy in range(4):
        for sx in range(4):
            u = (x + (sx + 0.5) / 4) / size
            v = (y + (sy + 0.5) / 4) / size
            if inside_rounded_square(u, v):
                square += 1
                if inside_arrow(u, v):
                    arrow += 1
    return square / 16, arrow / 16


def inside_rounded_square(u, v, margin=0.04, radius=0.18):
    lo, hi = margin, 1 - margin
    if not (lo <= u <= hi and lo <= v <= hi):
        return False
    cx = min(max(u, lo + radius), hi - radius)
    cy = min(max(v, lo + radius), hi - radius)
    return (u - cx) ** 2 + (v - cy) ** 2 <= radius ** 2


def inside_arrow(u, v):
    shaft = 0.41 <= u <= 0.59 and 0.18 <= v <= 0.52
    head = 0.50 <= v <= 0.74 and abs(u - 0.5) <= (0.74 - v) * 1.15
    base = 0.78 <= v <= 0.86 and 0.22 <= u <= 0.78
    return shaft or head or base


def pixels(size):
    """Rows top to bottom of (r, g, b, a) tuples."""
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            a, on_arrow = coverage(size, x, y)
            if a == 0:
                row.append((0, 0, 0, 0))
                continue
            t = on_arrow / a
            rgb = tuple(round(BLUE[i] * (1 - t) + WHITE[i] * t) for i in range(3))
            row.append(rgb + (round(a * 255),))
        rows.append(row)
    return rows


def png(size, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in rows)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def icon():
    images = []
    for size in SIZES:
        rows = pixels(size)
        images.append((size, png(size, rows)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "res", "velko.ico")
    with open(target, "wb") as f:
        f.write(icon())
    print(target, os.path.getsize(target), "bytes")


if __name__ == "__main__":
    main()
