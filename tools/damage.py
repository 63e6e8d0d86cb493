#!/usr/bin/python3
"""Damages a copy of a workbook the way disks, downloads and careless programs do.

Usage: tools/damage.py MODEL SEED IN.xls OUT.xls [--cellmap PATH] [--touched OUT.json]
       tools/damage.py --list

Each model is deterministic: the same model, seed and input give the same bytes. The
program prints one line saying what it did, and with --touched writes, as JSON, which
bytes of the original the damage destroyed:
    {"model": ..., "seed": ..., "what": ..., "touched": [[first, end], ...], "cuts": [pos, ...]}
`touched` are ranges of original file offsets whose bytes are gone or changed; `cuts` are
offsets where bytes were inserted, which break whatever spans them. Bytes that were only
moved (a swapped sector, the tail behind an insertion) are not touched: a tool that
finds them again can still recover what they hold.

Models that aim at the container read its header; models that aim at the workbook stream
(swap, lengths, codes) need the stream's layout, which tabulix-cellmap prints (--cellmap
names it; default: the first found of build/release, build/rel, build/dev and build).
"""

import json
import os
import random
import struct
import subprocess
import sys

SECTOR = 512

MODELS = {
    "truncate": "cut to 30-95% of its length",
    "zero-sectors": "1-4 zeroed 512-byte sectors",
    "burst": "a burst of 64-2048 random bytes",
    "bytes": "1-20 changed bytes anywhere",
    "header": "the 512-byte header zeroed",
    "fat": "the allocation-table sectors overwritten with random bytes",
    "directory": "the first directory sector overwritten with random bytes",
    "root-entry": "only the root directory entry zeroed",
    "shift": "1-7 bytes inserted or deleted past the header",
    "swap": "two sectors of the workbook stream swapped",
    "lengths": "1-10 record lengths of the workbook stream changed",
    "codes": "1-10 record codes of the workbook stream changed",
}

# Models that need the workbook stream's layout.
STREAM_MODELS = {"swap", "lengths", "codes"}


class Damage:
    def __init__(self, model, seed):
        self.model = model
        self.seed = seed
        self.what = ""
        self.touched = []  # [first, end) ranges of the original's offsets
        self.cuts = []

    def to_json(self):
        return {"model": self.model, "seed": self.seed, "what": self.what,
                "touched": merge(self.touched), "cuts": sorted(self.cuts)}


def merge(ranges):
    out = []
    for first, end in sorted(r for r in ranges if r[1] > r[0]):
        if out and first <= out[-1][1]:
            out[-1][1] = max(out[-1][1], end)
        else:
            out.append([first, end])
    return out


def changed(original, damaged, first, end):
    """The ranges of [first, end) whose bytes differ between two equally long buffers."""
    ranges = []
    start = None
    for i in range(first, end):
        if original[i] != damaged[i]:
            if start is None:
                start = i
        elif start is not None:
            ranges.append([start, i])
            start = None
    if start is not None:
        ranges.append([start, end])
    return ranges


def header_fields(data):
    """Sector size, the listed allocation-table sectors and the first directory sector, as
    the header states them (None where the file is too short to have a header)."""
    if len(data) < SECTOR:
        return None
    shift = struct.unpack_from("<H", data, 0x1E)[0]
    size = 1 << shift if 7 <= shift <= 16 else SECTOR
    fat = []
    for i in range(109):
        sid = struct.unpack_from("<I", data, 0x4C + 4 * i)[0]
        if sid < 0xFFFFFFFA:
            fat.append(sid)
    # Extension sectors: each holds further table sectors and, last, the next one's number.
    ext = struct.unpack_from("<I", data, 0x44)[0]
    seen = set()
    while ext < 0xFFFFFFFA and ext not in seen and len(seen) < 10000:
        seen.add(ext)
        at = (ext + 1) * size
        if at + size > len(data):
            break
        per = size // 4 - 1
        for i in range(per):
            sid = struct.unpack_from("<I", data, at + 4 * i)[0]
            if sid < 0xFFFFFFFA:
                fat.append(sid)
        ext = struct.unpack_from("<I", data, at + 4 * per)[0]
    directory = struct.unpack_from("<I", data, 0x30)[0]
    return size, fat, directory


def sector_range(data, size, sid):
    first = (sid + 1) * size
    return first, min(first + size, len(data))


def find_cellmap(explicit):
    if explicit:
        return explicit
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for build in ("build/release", "build/rel", "build/dev", "build"):
        path = os.path.join(root, build, "tabulix-cellmap")
        if os.access(path, os.X_OK):
            return path
    raise SystemExit("damage.py: tabulix-cellmap not found; build it or pass --cellmap")


def read_cellmap(cellmap, path):
    done = subprocess.run([cellmap, path], capture_output=True, timeout=300)
    if done.returncode != 0:
        raise RuntimeError(done.stderr.decode(errors="replace").strip())
    return json.loads(done.stdout)


def stream_to_file(pieces, unit, offset):
    """The file offset of a stream offset, through the stream's pieces."""
    index = offset // unit
    if index >= len(pieces):
        return None
    file_offset, length = pieces[index]
    within = offset - index * unit
    return file_offset + within if within < length else None


def apply(model, seed, data, layout=None, name=""):
    """Damages `data` (bytes) and returns (damaged bytes, Damage). `layout` is the cellmap
    of the original, needed by the stream models only."""
    if model not in MODELS:
        raise ValueError("unknown model " + model)
    rng = random.Random("%s:%s:%s" % (model, seed, name))
    out = bytearray(data)
    d = Damage(model, seed)
    n = len(data)

    def overwrite(first, end, fill):
        end = min(end, n)
        if first >= end:
            return
        out[first:end] = fill(end - first)
        d.touched.extend(changed(data, out, first, end))

    def random_bytes(count):
        return bytes(rng.getrandbits(8) for _ in range(count))

    def zeros(count):
        return bytes(count)

    fields = header_fields(data)
    if model == "truncate":
        keep = int(n * rng.uniform(0.30, 0.95))
        del out[keep:]
        d.touched.append([keep, n])
        d.what = "cut to %d of %d bytes (%.0f%%)" % (keep, n, 100.0 * keep / max(n, 1))
    elif model == "zero-sectors":
        blocks = max(1, (n + SECTOR - 1) // SECTOR)
        chosen = sorted(rng.sample(range(blocks), min(blocks, rng.randint(1, 4))))
        for b in chosen:
            overwrite(b * SECTOR, (b + 1) * SECTOR, zeros)
        d.what = "zeroed 512-byte sectors at offsets %s" % ", ".join(str(b * SECTOR) for b in chosen)
    elif model == "burst":
        length = min(n, rng.randint(64, 2048))
        first = rng.randrange(0, n - length + 1)
        overwrite(first, first + length, random_bytes)
        d.what = "%d random bytes at offset %d" % (length, first)
    elif model == "bytes":
        count = rng.randint(1, 20)
        places = sorted(rng.sample(range(n), min(n, count)))
        for p in places:
            out[p] = data[p] ^ rng.randint(1, 255)
            d.touched.append([p, p + 1])
        d.what = "changed %d bytes at offsets %s" % (len(places), ", ".join(map(str, places)))
    elif model == "header":
        overwrite(0, SECTOR, zeros)
        d.what = "zeroed the 512-byte header"
    elif model == "fat":
        if fields is None:
            d.what = "no header: unchanged"
        else:
            size, fat, _ = fields
            done = []
            for sid in fat:
                first, end = sector_range(data, size, sid)
                if first < n:
                    overwrite(first, end, random_bytes)
                    done.append(first)
            d.what = "overwrote %d allocation-table sectors with random bytes (offsets %s)" % (
                len(done), ", ".join(map(str, done)))
    elif model == "directory":
        if fields is None or sector_range(data, fields[0], fields[2])[0] >= n:
            d.what = "no directory sector inside the file: unchanged"
        else:
            first, end = sector_range(data, fields[0], fields[2])
            overwrite(first, end, random_bytes)
            d.what = "overwrote the first directory sector (offset %d) with random bytes" % first
    elif model == "root-entry":
        if fields is None or sector_range(data, fields[0], fields[2])[0] >= n:
            d.what = "no directory sector inside the file: unchanged"
        else:
            first, _ = sector_range(data, fields[0], fields[2])
            overwrite(first, first + 128, zeros)
            d.what = "zeroed the root directory entry (offset %d)" % first
    elif model == "shift":
        count = rng.randint(1, 7)
        if n <= SECTOR + count:
            d.what = "too short to shift: unchanged"
        else:
            p = rng.randrange(SECTOR, n - count)
            if rng.random() < 0.5:
                out[p:p] = random_bytes(count)
                d.cuts.append(p)
                d.what = "inserted %d random bytes at offset %d" % (count, p)
            else:
                del out[p:p + count]
                d.touched.append([p, p + count])
                d.what = "deleted %d bytes at offset %d" % (count, p)
    else:
        stream = layout["stream"]
        pieces, unit = stream["pieces"], stream["unit"]
        if model == "swap":
            full = [i for i, (_, length) in enumerate(pieces) if length == unit]
            if len(full) < 2:
                d.what = "the workbook stream has fewer than two whole sectors: unchanged"
            else:
                a, b = sorted(rng.sample(full, 2))
                fa, fb = pieces[a][0], pieces[b][0]
                out[fa:fa + unit], out[fb:fb + unit] = data[fb:fb + unit], data[fa:fa + unit]
                d.what = "swapped the workbook stream's %d-byte sectors %d and %d (offsets %d and %d)" % (
                    unit, a, b, fa, fb)
        else:
            records = layout["records"]
            count = min(len(records), rng.randint(1, 10))
            chosen = sorted(rng.sample(range(len(records)), count))
            field = 2 if model == "lengths" else 0
            notes = []
            for i in chosen:
                pos, code, length = records[i]
                old = length if model == "lengths" else code
                new = old
                while new == old:
                    new = rng.getrandbits(16)
                for k, byte in enumerate(struct.pack("<H", new)):
                    at = stream_to_file(pieces, unit, pos + field + k)
                    if at is not None and at < n:
                        out[at] = byte
                        if data[at] != byte:
                            d.touched.append([at, at + 1])
                notes.append("record %d at stream offset %d: %s 0x%04X -> 0x%04X" % (
                    i, pos, "length" if model == "lengths" else "code", old, new))
            d.what = "; ".join(notes) if notes else "the workbook stream has no records: unchanged"
    return bytes(out), d


def main(argv):
    args = argv[1:]
    if args == ["--list"]:
        for model, text in MODELS.items():
            print("%-13s %s" % (model, text))
        return 0
    options = {}
    positional = []
    i = 0
    while i < len(args):
        if args[i] in ("--cellmap", "--touched") and i + 1 < len(args):
            options[args[i]] = args[i + 1]
            i += 2
        elif args[i] in ("-h", "--help"):
            print(__doc__.strip())
            return 0
        else:
            positional.append(args[i])
            i += 1
    if len(positional) != 4 or positional[0] not in MODELS:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    model, seed, source, target = positional
    if os.path.abspath(source) == os.path.abspath(target):
        print("damage.py: OUT must not be IN: the original is never written", file=sys.stderr)
        return 2
    with open(source, "rb") as f:
        data = f.read()
    layout = None
    if model in STREAM_MODELS:
        try:
            layout = read_cellmap(find_cellmap(options.get("--cellmap")), source)
        except (RuntimeError, OSError) as e:
            print("damage.py: %s: cannot map the workbook stream: %s" % (source, e), file=sys.stderr)
            return 1
    damaged, d = apply(model, seed, data, layout, os.path.basename(source))
    with open(target, "wb") as f:
        f.write(damaged)
    print("%s: %s" % (model, d.what))
    if "--touched" in options:
        with open(options["--touched"], "w") as f:
            json.dump(d.to_json(), f)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
