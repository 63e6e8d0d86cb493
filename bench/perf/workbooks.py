"""The performance benchmark's workbooks, made the same way every time.

A raw BIFF8 stream is written here (globals with a shared-string table, sheets of cells
with no cell table of their own); `tabulix recover` turns it into a sound workbook with our
own writer, which then is the intact input. The damaged inputs are copies of those with
records broken at chosen places, found through the stream layout `tabulix-cellmap` prints.

    A    one sheet of 65,536 x 16 cells: integers (RK), doubles (NUMBER), 100,000 shared
         strings (LABELSST), and a formula in every 16th row
    B    60 sheets of 1,250 x 16 cells (20,000 each), the same mix
    A1   A with the EOF of its sheet destroyed and one record length broken per sheet
    B1   B likewise: the first sheet's EOF destroyed, one broken length per sheet
    B2   B with one broken length per sheet (sheets still pair up)
    A3   A with the allocation-table sectors overwritten (the container is gone)
"""

import json
import os
import random
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import damage  # noqa: E402

MAX_DATA = 8224
COLUMNS = 16
STRINGS = 100_000


def rec(code, data=b""):
    return struct.pack("<HH", code, len(data)) + data


def bof(kind):
    return rec(0x0809, struct.pack("<HHHHII", 0x0600, kind, 0x0DBB, 0x07CC, 0x000100C1, 0x0206))


def font(name="Arial", bold=False):
    encoded = name.encode("latin-1")
    return rec(0x0031, struct.pack("<HHHHHBBBB", 200, 0, 0x7FFF, 700 if bold else 400, 0, 0,
                                   0, 0, 0) + bytes([len(encoded), 0]) + encoded)


def xf(font_index, style):
    # Style XFs lock everything and have no parent; cell XFs point to style XF 0.
    kind = 0xFFF5 if style else 0x0001
    return rec(0x00E0, struct.pack("<HHHBBBBIIH", font_index, 0, kind, 0x20, 0, 0,
                                   0 if style else 0xF8, 0, 0, 0x20C0))


def shared_strings(strings):
    """SST and its CONTINUE records; a string never straddles two records."""
    out = []
    body = bytearray(struct.pack("<II", len(strings) * 2, len(strings)))
    first = True
    for text in strings:
        encoded = text.encode("latin-1")
        item = struct.pack("<HB", len(encoded), 0) + encoded
        if len(body) + len(item) > MAX_DATA:
            out.append(rec(0x00FC if first else 0x003C, bytes(body)))
            first = False
            body = bytearray()
        body += item
    out.append(rec(0x00FC if first else 0x003C, bytes(body)))
    return b"".join(out)


def string_text(i):
    return "Text %06d %s" % (i, "abcdefghij"[: 3 + i % 8])


def cell(row, col, string_count, sheet):
    """The record of one cell: the mix is fixed by position so every run is the same."""
    if col < 6:
        value = (row * 31 + col * 7 + sheet) % 100_000
        return rec(0x027E, struct.pack("<HHHI", row, col, 15, (value << 2) | 2))
    if col < 11:
        return rec(0x0203, struct.pack("<HHHd", row, col, 15, row * 0.25 + col / 8 + sheet))
    if col < 15:
        index = (row * 4 + (col - 11) + sheet * 7) % string_count
        return rec(0x00FD, struct.pack("<HHHI", row, col, 15, index))
    if row % 16 == 0:
        # =A{row+1}+B{row+1}, its last value cached
        tokens = struct.pack("<BHH", 0x24, row, 0xC000) + struct.pack("<BHH", 0x24, row, 0xC001)
        tokens += b"\x03"
        a = (row * 31 + sheet) % 100_000
        b = (row * 31 + 7 + sheet) % 100_000
        return rec(0x0006, struct.pack("<HHHdHIH", row, col, 15, float(a + b), 0, 0,
                                       len(tokens)) + tokens)
    return rec(0x0203, struct.pack("<HHHd", row, col, 15, float(row)))


def raw_stream(sheets, rows):
    """A BIFF8 workbook stream of `sheets` sheets of `rows` x 16 cells each."""
    strings = [string_text(i) for i in range(STRINGS)]
    bodies = []
    for s in range(sheets):
        cells = b"".join(cell(r, c, len(strings), s) for r in range(rows) for c in range(COLUMNS))
        bodies.append(bof(0x0010) + cells + rec(0x000A))
    names = ["Sheet%d" % (s + 1) for s in range(sheets)]

    def globals_part(offsets):
        parts = [bof(0x0005), rec(0x0042, struct.pack("<H", 1200)),
                 rec(0x003D, struct.pack("<HHHHHHHHH", 0, 0, 0x4000, 0x2000, 0x38, 0, 0, 1, 600))]
        parts += [font(), font(bold=True), font(), font(), font()]
        parts += [xf(0, True)] * 15 + [xf(0, False)]
        parts.append(rec(0x0293, struct.pack("<HBB", 0x8000, 0, 0xFF)))
        for name, offset in zip(names, offsets):
            encoded = name.encode("latin-1")
            parts.append(rec(0x0085, struct.pack("<IH", offset, 0) + bytes([len(encoded), 0]) +
                             encoded))
        parts.append(shared_strings(strings))
        parts.append(rec(0x000A))
        return b"".join(parts)

    # The sheet offsets depend on the globals' length, which does not depend on them.
    head = len(globals_part([0] * sheets))
    offsets, at = [], head
    for body in bodies:
        offsets.append(at)
        at += len(body)
    return globals_part(offsets) + b"".join(bodies)


def run(command, **kwargs):
    done = subprocess.run(command, capture_output=True, **kwargs)
    if done.returncode != 0:
        raise SystemExit("%s failed (%d): %s" % (" ".join(command), done.returncode,
                                                 done.stderr.decode(errors="replace")))
    return done.stdout


def write_sound(tabulix, raw, out, scratch):
    """Our writer's workbook of a raw stream: tabulix rebuilds each sheet and saves it."""
    path = os.path.join(scratch, os.path.basename(out) + ".raw")
    with open(path, "wb") as f:
        f.write(raw)
    run([tabulix, "recover", "--quiet", "--force", "--log-dir", scratch, "-o", out, path])
    os.remove(path)


def layout(cellmap, path):
    return json.loads(run([cellmap, path], timeout=600))


def patch_stream(data, layout_, offset, new_bytes):
    """Writes bytes at a stream offset, through the stream's sectors."""
    pieces, unit = layout_["stream"]["pieces"], layout_["stream"]["unit"]
    for k, byte in enumerate(new_bytes):
        at = damage.stream_to_file(pieces, unit, offset + k)
        if at is None:
            raise SystemExit("stream offset %d lies outside the file" % (offset + k))
        data[at] = byte


def sheet_spans(records):
    """[first, end) indexes of each sheet's records, from its BOF to its EOF."""
    spans, start = [], None
    for i, (_, code, _) in enumerate(records):
        if code == 0x0809:
            start = i
        elif code == 0x000A and start is not None:
            if i > 0 and start > 0:
                spans.append((start, i + 1))
            start = None
    return spans


def broken(sound, cellmap, out, destroy_first_eof, break_lengths, seed):
    data = bytearray(open(sound, "rb").read())
    lay = layout(cellmap, sound)
    records = lay["records"]
    rng = random.Random("perf:%s:%d" % (os.path.basename(out), seed))
    spans = sheet_spans(records)
    if destroy_first_eof:
        pos = records[spans[0][1] - 1][0]
        patch_stream(data, lay, pos, b"\xEE\xEE\xEE\xEE")
    if break_lengths:
        for first, end in spans:
            # A cell record in the sheet's middle third gets a length it does not have.
            i = rng.randrange(first + (end - first) // 3, first + 2 * (end - first) // 3)
            pos, _, length = records[i]
            new = length
            while new == length:
                new = rng.getrandbits(16)
            patch_stream(data, lay, pos + 2, struct.pack("<H", new))
    with open(out, "wb") as f:
        f.write(data)


def fat_destroyed(sound, out, seed):
    data = open(sound, "rb").read()
    damaged, _ = damage.apply("fat", seed, data, name=os.path.basename(out))
    with open(out, "wb") as f:
        f.write(damaged)


def make_all(tabulix, cellmap, folder):
    """Makes A, B and the damaged copies in `folder`; returns {label: path}."""
    os.makedirs(folder, exist_ok=True)
    paths = {name: os.path.join(folder, name + ".xls") for name in ("A", "B", "A1", "B1", "B2", "A3")}
    write_sound(tabulix, raw_stream(1, 65_536), paths["A"], folder)
    write_sound(tabulix, raw_stream(60, 1_250), paths["B"], folder)
    broken(paths["A"], cellmap, paths["A1"], True, True, 1)
    broken(paths["B"], cellmap, paths["B1"], True, True, 1)
    broken(paths["B"], cellmap, paths["B2"], False, True, 2)
    fat_destroyed(paths["A"], paths["A3"], 1)
    return paths
