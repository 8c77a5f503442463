#!/usr/bin/env python3
"""Turns the stub's texts (res/texts/<language>.txt, one file per language) into its resources.

    make_texts.py --header src/common/texts.h --out DIR [--sizes] FILE...

Each file holds "@language 0xNNNN" (the Windows LANGID it is tagged with) and one "Name = text" line
per text, in UTF-8; "#" starts a comment line. The names are those of TextId in the header (without
their k). The files are checked before anything is written: every name present once, no unknown
name, no empty text, and each text with exactly the placeholders (%1 to %9) of the English one.

Writes to DIR, each file only when its bytes change (so nothing is rebuilt for nothing):
- <language>.lznt1 per file: the texts in TextId order as UTF-8, each ended by a NUL byte,
  compressed in the LZNT1 format (Windows' RtlDecompressBuffer, COMPRESSION_FORMAT_LZNT1, reads it);
- texts.rc: one RCDATA resource of id kTextsResourceId per language, under its LANGUAGE statement.
With --sizes it prints each language's size as UTF-8 and compressed.
"""
import argparse
import os
import re
import sys

ENGLISH = 0x0409
PLACEHOLDER = re.compile(r"%([1-9])")
CHUNK = 4096


class TextsError(Exception):
    pass


def read_ids(header_path):
    """The TextId names in order (without k) and the resource id, from the header."""
    with open(header_path, encoding="utf-8") as f:
        source = f.read()
    body = re.search(r"enum class TextId\b[^{]*\{(.*?)\bkCount\b", source, re.S)
    resource = re.search(r"kTextsResourceId\s*=\s*(\d+)", source)
    if not body or not resource:
        raise TextsError("%s: no TextId list ending in kCount, or no kTextsResourceId" % header_path)
    names = re.findall(r"^\s*k(\w+)\s*,", re.sub(r"//[^\n]*", "", body.group(1)), re.M)
    return names, int(resource.group(1))


def read_language(path, names):
    """(LANGID, {name: text}) of one file, checked against the names."""
    language = None
    texts = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\r\n")
            where = "%s:%d" % (path, number)
            if not line.strip() or line.startswith("#"):
                continue
            if line.startswith("@language "):
                language = int(line.split(None, 1)[1], 16)
                continue
            name, sep, text = line.partition(" = ")
            name = name.strip()
            if not sep:
                raise TextsError("%s: not a \"Name = text\" line" % where)
            if name not in names:
                raise TextsError("%s: unknown text %r" % (where, name))
            if name in texts:
                raise TextsError("%s: %s given twice" % (where, name))
            if not text.strip():
                raise TextsError("%s: %s is empty" % (where, name))
            texts[name] = text.strip()
    if language is None or not 0 < language < 0x10000:
        raise TextsError("%s: no \"@language 0xNNNN\" line" % path)
    missing = [n for n in names if n not in texts]
    if missing:
        raise TextsError("%s: missing %s" % (path, ", ".join(missing)))
    return language, texts


def placeholders(text):
    return sorted(PLACEHOLDER.findall(text))


def check_placeholders(tables, names):
    english = tables.get(ENGLISH)
    if english is None:
        raise TextsError("no English table (@language 0x%04X)" % ENGLISH)
    for language, (path, texts) in tables.items():
        for name in names:
            if placeholders(texts[name]) != placeholders(english[1][name]):
                raise TextsError("%s: %s has placeholders %s, the English text %s" % (
                    path, name, placeholders(texts[name]) or "none", placeholders(english[1][name]) or "none"))


def lznt1_split(position):
    """Bits of a back reference's length field at `position` bytes into a chunk (the rest hold the
    displacement): 12 up to 16 bytes in, one less for each doubling after that."""
    bits = 12
    p = position - 1
    while p >= 0x10:
        bits -= 1
        p >>= 1
    return bits


def lznt1_compress_chunk(data):
    """One chunk (at most 4096 bytes), parsed for the fewest bits: a literal costs 9 (its byte and
    its flag bit), a back reference 17."""
    n = len(data)
    # Every earlier start of each 3-byte sequence: the candidates of a match.
    starts = {}
    matches = [[] for _ in range(n)]  # per position: (length, displacement), longest per displacement
    for i in range(n):
        if i + 3 <= n:
            key = data[i:i + 3]
            bits = lznt1_split(i) if i > 0 else 12
            longest = (1 << bits) - 1 + 3
            for j in starts.get(key, ()):
                length = 3
                while i + length < n and length < longest and data[j + length] == data[i + length]:
                    length += 1
                matches[i].append((length, i - j))
            starts.setdefault(key, []).append(i)
    cost = [0] * (n + 1)
    choice = [None] * (n + 1)
    for i in range(n - 1, -1, -1):
        cost[i] = cost[i + 1] + 9
        choice[i] = None
        for length, displacement in matches[i]:
            for take in range(3, length + 1):
                c = cost[i + take] + 17
                if c < cost[i]:
                    cost[i] = c
                    choice[i] = (take, displacement)
    out = bytearray()
    i = 0
    while i < n:
        flag_at = len(out)
        out.append(0)
        for bit in range(8):
            if i >= n:
                break
            if choice[i] is None:
                out.append(data[i])
                i += 1
            else:
                length, displacement = choice[i]
                bits = lznt1_split(i)
                token = ((displacement - 1) << bits) | (length - 3)
                out += token.to_bytes(2, "little")
                out[flag_at] |= 1 << bit
                i += length
    return bytes(out)


def lznt1_compress(data):
    out = bytearray()
    for start in range(0, len(data), CHUNK):
        raw = data[start:start + CHUNK]
        packed = lznt1_compress_chunk(raw)
        if len(packed) < len(raw):
            out += ((len(packed) + 2 - 3) | 0xB000).to_bytes(2, "little") + packed
        else:
            out += ((len(raw) + 2 - 3) | 0x3000).to_bytes(2, "little") + raw
    return bytes(out)


def lznt1_decompress(data):
    """The reverse, to check every table before it is written."""
    out = bytearray()
    i = 0
    while i + 2 <= len(data):
        header = int.from_bytes(data[i:i + 2], "little")
        if header == 0:
            break
        size = (header & 0xFFF) + 3
        body = data[i + 2:i + size]
        i += size
        chunk = bytearray()
        if not header & 0x8000:
            chunk += body
        else:
            k = 0
            while k < len(body):
                flags = body[k]
                k += 1
                for bit in range(8):
                    if k >= len(body):
                        break
                    if flags >> bit & 1:
                        token = int.from_bytes(body[k:k + 2], "little")
                        k += 2
                        bits = lznt1_split(len(chunk))
                        length = (token & ((1 << bits) - 1)) + 3
                        displacement = (token >> bits) + 1
                        for _ in range(length):
                            chunk.append(chunk[-displacement])
                    else:
                        chunk.append(body[k])
                        k += 1
        if i < len(data) and len(chunk) < CHUNK:
            chunk += bytes(CHUNK - len(chunk))
        out += chunk
    return bytes(out)


def write_if_changed(path, data):
    try:
        with open(path, "rb") as f:
            if f.read() == data:
                return
    except FileNotFoundError:
        pass
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.replace(path + ".tmp", path)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--header", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--sizes", action="store_true")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args(argv)
    try:
        names, resource_id = read_ids(args.header)
        tables = {}
        for path in args.files:
            language, texts = read_language(path, names)
            if language in tables:
                raise TextsError("%s: language 0x%04X is also %s" % (path, language, tables[language][0]))
            tables[language] = (path, texts)
        check_placeholders(tables, names)
    except (TextsError, OSError, ValueError) as e:
        print("make_texts.py: %s" % e, file=sys.stderr)
        return 1

    os.makedirs(args.out, exist_ok=True)
    rc = ["// Made by tools/make_texts.py from res/texts/*.txt; do not edit.", ""]
    total = 0
    # English first: it is the table every other falls back to.
    for language in sorted(tables, key=lambda l: (l != ENGLISH, l)):
        path, texts = tables[language]
        raw = b"".join(texts[n].encode("utf-8") + b"\0" for n in names)
        packed = lznt1_compress(raw)
        if lznt1_decompress(packed) != raw:
            print("make_texts.py: %s: the compressed table does not read back" % path, file=sys.stderr)
            return 1
        tag = os.path.splitext(os.path.basename(path))[0]
        bin_path = os.path.join(os.path.abspath(args.out), tag + ".lznt1")
        write_if_changed(bin_path, packed)
        rc += ["LANGUAGE 0x%02X, 0x%02X" % (language & 0x3FF, language >> 10),
               '%d RCDATA "%s"' % (resource_id, bin_path.replace("\\", "\\\\")), ""]
        total += len(packed)
        if args.sizes:
            print("%-6s 0x%04X  UTF-8 %5d bytes, compressed %5d" % (tag, language, len(raw), len(packed)))
    write_if_changed(os.path.join(args.out, "texts.rc"), "\n".join(rc).encode("utf-8"))
    if args.sizes:
        print("all    %d languages, %d texts each: %d bytes compressed" % (len(tables), len(names), total))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
