#!/usr/bin/python3
"""Time and memory against input size: tabulix must stay linear on every input.

Usage: bench/linear/linear.py [--tabulix PATH] [--corpus DIR] [--scale 1,4,16]
                              [--damaged-limit N] [--families-only] [--out FILE.md]

Runs the Release tabulix (default: build/release, then build/rel) as a whole process on
  - crafted families that once took quadratic time or memory, each at 1x, 4x and 16x its
    base size: a run of CONTINUE records each holding an EOF; CONTINUE records wrapping
    NUMBER records; a compound file whose extension-table chain runs through thousands of
    sectors; a directory of thousands of right siblings; a million-fold repeated record;
    cells at the far corners of many sheets; random bytes;
  - every corpus file, and every corpus file damaged by each model of tools/damage.py
    (seed 1; with --damaged-limit N, the first N files only);
and prints, per input, bytes, seconds, microseconds per kilobyte, peak memory and peak
memory per input byte, then the slowest inputs per megabyte. For a family, the time per
kilobyte at 16x must stay near the one at 1x: a quadratic step shows as a 16-fold rise.
"""

import argparse
import os
import random
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import damage  # noqa: E402

SECTOR = 512
FREE, END, FATSECT, DIFSECT = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD, 0xFFFFFFFC


def rec(code, data=b""):
    return struct.pack("<HH", code, len(data)) + data


def bof(kind):
    return rec(0x0809, struct.pack("<HHHHII", 0x0600, kind, 0x15EC, 0x07CD, 0xC1, 0x0306))


def number(row, col, value):
    return rec(0x0203, struct.pack("<HHHd", row, col, 15, value))


def header(fat_sectors, first_dir, first_difat, difat_count, listed):
    h = bytearray(SECTOR)
    h[0:8] = bytes.fromhex("D0CF11E0A1B11AE1")
    struct.pack_into("<HHHHH", h, 0x18, 0x3E, 3, 0xFFFE, 9, 6)
    struct.pack_into("<IIIIIIII", h, 0x2C, fat_sectors, first_dir, 0, 4096, END, 0,
                     first_difat, difat_count)
    for i in range(109):
        struct.pack_into("<I", h, 0x4C + 4 * i, listed[i] if i < len(listed) else FREE)
    return bytes(h)


def continue_eofs(n):
    return bof(0x0010) + rec(0x003C, rec(0x000A)) * n


def continue_numbers(n):
    return bof(0x0010) + rec(0x003C, number(1, 2, 1.0)) * n


def difat_chain(n):
    # Sector 0: the one FAT sector; sectors 1..n: the extension chain, each naming the next.
    sectors = [struct.pack("<I", FATSECT) + struct.pack("<I", END) * 127]
    for i in range(1, n + 1):
        entries = [FREE] * 127 + [i + 1 if i < n else END]
        sectors.append(struct.pack("<128I", *entries))
    return header(1, END, 1, n, [0]) + b"".join(sectors)


def sibling_chain(n):
    # A directory of n entries, each the right sibling of the one before, and no
    # "Workbook" stream among them: the strict reader refuses, the repair walks them all.
    entries = []
    root = bytearray(128)
    name = "Root Entry".encode("utf-16-le") + b"\0\0"
    root[0:len(name)] = name
    struct.pack_into("<HBBIII", root, 0x40, len(name), 5, 1, FREE, FREE, 1)
    struct.pack_into("<II", root, 0x74, END, 0)
    entries.append(bytes(root))
    for i in range(1, n + 1):
        e = bytearray(128)
        name = ("S%07d" % i).encode("utf-16-le") + b"\0\0"
        e[0:len(name)] = name
        struct.pack_into("<HBBIII", e, 0x40, len(name), 2, 1, FREE, i + 1 if i < n else FREE, FREE)
        struct.pack_into("<II", e, 0x74, END, 0)
        entries.append(bytes(e))
    while len(entries) % 4:
        entries.append(bytes(128))
    dir_sectors = len(entries) // 4
    fat_sectors = 1
    while fat_sectors * 128 < fat_sectors + dir_sectors:
        fat_sectors += 1
    fat = [FATSECT] * fat_sectors
    for k in range(dir_sectors):
        fat.append(fat_sectors + k + 1 if k + 1 < dir_sectors else END)
    fat += [FREE] * (fat_sectors * 128 - len(fat))
    listed = list(range(fat_sectors))[:109]
    return (header(fat_sectors, fat_sectors, END, 0, listed) + struct.pack("<%dI" % len(fat), *fat)
            + b"".join(entries))


def repeated_records(n):
    return bof(0x0010) + number(1, 2, 1.0) * n


def far_corners(n):
    out = b""
    for _ in range(n):
        out += bof(0x0010) + number(0, 0, 1.0) + number(65535, 255, 2.0) + rec(0x000A)
    return out


def random_bytes(n):
    return random.Random(n).randbytes(n)


FAMILIES = [
    ("CONTINUE records holding an EOF", continue_eofs, 12500),
    ("CONTINUE records wrapping NUMBER records", continue_numbers, 5000),
    ("extension-table chain through n sectors", difat_chain, 625),
    ("directory of n right siblings", sibling_chain, 2000),
    ("one NUMBER record repeated n times", repeated_records, 60000),
    ("n sheets with cells at the far corners", far_corners, 1000),
    ("n random bytes", random_bytes, 1 << 20),
]


def measure(tabulix, path, work):
    """Runs one input in a fresh Python child, so that its peak memory is its own."""
    script = ("import resource,subprocess,sys,time,os;s=time.monotonic();"
              "p=subprocess.run(sys.argv[1:],capture_output=True,timeout=600,"
              "env=dict(os.environ,HOME=%r));"
              "print(p.returncode,time.monotonic()-s,"
              "resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)" % work)
    out = os.path.join(work, "out.xls")
    try:
        done = subprocess.run([sys.executable, "-c", script, tabulix, "recover", path, "-o", out],
                              capture_output=True, text=True, timeout=700)
        code, seconds, peak_kb = done.stdout.split()
        result = (int(code), float(seconds), int(peak_kb) / 1024.0)
    except (subprocess.TimeoutExpired, ValueError):
        result = ("timeout", 600.0, float("nan"))
    if os.path.exists(out):
        os.remove(out)
    return result


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tabulix")
    parser.add_argument("--corpus", default=os.path.join(os.path.dirname(ROOT), "shared", "corpus", "real"))
    parser.add_argument("--scale", default="1,4,16")
    parser.add_argument("--damaged-limit", type=int, default=0)
    parser.add_argument("--families-only", action="store_true")
    parser.add_argument("--out")
    args = parser.parse_args(argv[1:])
    tabulix = args.tabulix
    if not tabulix:
        for build in ("build/release", "build/rel"):
            if os.access(os.path.join(ROOT, build, "tabulix"), os.X_OK):
                tabulix = os.path.join(ROOT, build, "tabulix")
                break
    if not tabulix:
        parser.error("no Release tabulix: build it (scripts/quality.sh does) or pass --tabulix")
    scales = [int(s) for s in args.scale.split(",")]
    work = tempfile.mkdtemp(prefix="tabulix-linear-")
    rows = []
    lines = ["| input | x | bytes | seconds | µs per KB | peak MB | peak / bytes |",
             "|---|---:|---:|---:|---:|---:|---:|"]

    def add(name, scale, path):
        size = os.path.getsize(path)
        code, seconds, peak = measure(tabulix, path, work)
        per_kb = seconds * 1e6 / max(size / 1024.0, 1)
        ratio = peak * 1048576 / max(size, 1)
        rows.append((name, scale, size, seconds, per_kb, peak, ratio, code))
        line = "| %s | %s | %d | %.3f | %.1f | %.1f | %.1f |" % (
            name, scale, size, seconds, per_kb, peak, ratio)
        lines.append(line)
        print(line, flush=True)

    print("\n".join(lines))
    for name, make, base in FAMILIES:
        for scale in scales:
            path = os.path.join(work, "crafted.xls")
            with open(path, "wb") as f:
                f.write(make(base * scale))
            add(name, scale, path)
    names = [] if args.families_only else sorted(
        n for n in os.listdir(args.corpus) if n.endswith(".xls"))
    for name in names:
        add("corpus " + name, "", os.path.join(args.corpus, name))
    damaged = names[:args.damaged_limit] if args.damaged_limit else names
    for name in damaged:
        source = os.path.join(args.corpus, name)
        with open(source, "rb") as f:
            data = f.read()
        try:
            layout = damage.read_cellmap(damage.find_cellmap(None), source)
        except Exception:
            layout = None
        for model in damage.MODELS:
            if model in damage.STREAM_MODELS and layout is None:
                continue
            bytes_, _ = damage.apply(model, "1", data, layout, name)
            path = os.path.join(work, "damaged.xls")
            with open(path, "wb") as f:
                f.write(bytes_)
            add("%s %s" % (model, name), "", path)

    big = [r for r in rows if r[2] >= 256 * 1024]
    slowest = sorted(big, key=lambda r: -r[4])[:5]
    summary = ["", "Slowest inputs of 256 KB or more, per megabyte:"]
    for r in slowest:
        summary.append("- %s (%d bytes): %.3f s, %.2f s per MB, peak %.1f MB" % (
            r[0] + (" x%s" % r[1] if r[1] else ""), r[2], r[3], r[4] * 1024 / 1e6, r[5]))
    worst_peak = sorted(big, key=lambda r: -r[6])[:3]
    summary.append("Largest peak memory per input byte (inputs of 256 KB or more):")
    for r in worst_peak:
        summary.append("- %s (%d bytes): peak %.1f MB, %.1f x the input" % (
            r[0] + (" x%s" % r[1] if r[1] else ""), r[2], r[5], r[6]))
    timeouts = [r for r in rows if r[7] == "timeout"]
    summary.append("Inputs that ran past 600 s: %d" % len(timeouts))
    print("\n".join(summary))
    if args.out:
        with open(args.out, "w") as f:
            f.write("\n".join(lines + summary) + "\n")
    return 1 if timeouts else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
