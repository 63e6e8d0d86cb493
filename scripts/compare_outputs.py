#!/usr/bin/python3
"""Runs two tabulix builds on the same inputs and reports every difference in what they do.

Usage:
  scripts/compare_outputs.py --old OLD_TABULIX --new NEW_TABULIX
                             [--corpus DIR] [--work DIR] [--keep] [-j N] [--timeout SECONDS]

The inputs are every file of the corpus folders real/ and odd/, the bundled sample
samples/truncated-29942.xls, copies of them damaged the ways the test suites damage them
(broken record lengths, overwritten or cut bytes, truncated files, broken compound-document
headers, tables and directories, bare workbook streams), and, in a second round, the
workbooks recovered from the sound files and the sample, recovered again.

Each input goes through `EXE recover INPUT -o OUTPUT` with each build, in a folder of its
own with a fresh HOME, XDG_STATE_HOME and XDG_CONFIG_HOME and its own link to the
executable (so logs and settings never mix), under a timeout. Compared: the exit status,
standard output and standard error (paths replaced by placeholders), the output file byte
for byte (both missing counts as equal), and the files left in the output folder.

  --corpus DIR   the corpus (default: ../shared/corpus beside the repository)
  --work DIR     where inputs and runs go; must be empty or absent (default: a new temporary
                 folder, under /dev/shm when it has 4 GB free and TMPDIR is not set, removed
                 at the end unless --keep). A named folder is kept, with the inputs and the
                 runs that differed.
  --keep         keep every input and every run's output, stdout and stderr
  -j N           parallel runs (default: the number of CPUs)
  --timeout S    seconds per run (default: 120)

Exit status: 0 when nothing differed, 1 when something did, 2 on a usage error.
About 3,500 inputs; each save is flushed to disk, so a work folder in memory is much quicker.
"""

import argparse
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
SAMPLE = REPO / "samples" / "truncated-29942.xls"


class UsageError(Exception):
    pass


# ---------------------------------------------------------------------------------------
# Little-endian fields.

def u16(data, at):
    return struct.unpack_from("<H", data, at)[0]


def u32(data, at):
    return struct.unpack_from("<I", data, at)[0]


def put_u16(data, at, value):
    struct.pack_into("<H", data, at, value & 0xFFFF)


def put_u32(data, at, value):
    struct.pack_into("<I", data, at, value & 0xFFFFFFFF)


def fill(data, at, count, byte):
    """Overwrites up to `count` bytes from `at`, as far as the data goes."""
    if at >= len(data):
        return
    end = min(len(data), at + count)
    data[at:end] = bytes([byte]) * (end - at)


# ---------------------------------------------------------------------------------------
# Compound documents: a strict reader of sound ones, with the field offsets the damage
# models poke, and a writer of a one-stream document.

SIGNATURE = bytes.fromhex("D0CF11E0A1B11AE1")
ENDOFCHAIN = 0xFFFFFFFE
FREESECT = 0xFFFFFFFF
FATSECT = 0xFFFFFFFD
NOSTREAM = 0xFFFFFFFF


class Compound:
    """A sound compound document held in memory; ValueError when it is not one."""

    def __init__(self, data):
        if len(data) < 512 or data[:8] != SIGNATURE:
            raise ValueError("no compound-document signature")
        self.data = data
        shift = u16(data, 30)
        if not 7 <= shift <= 16:
            raise ValueError("sector shift %d" % shift)
        self.sector_size = 1 << shift
        self.mini_size = 1 << u16(data, 32)
        self.cutoff = u32(data, 56)
        self.wide_sizes = u16(data, 26) >= 4
        per = self.sector_size // 4

        difat = [u32(data, 76 + 4 * i) for i in range(109)]
        next_block, count, seen = u32(data, 68), u32(data, 72), set()
        while count > 0 and next_block < 0xFFFFFFFA:
            if next_block in seen:
                raise ValueError("looping extension table")
            seen.add(next_block)
            at = self.offset(next_block)
            difat += [u32(data, at + 4 * i) for i in range(per - 1)]
            next_block = u32(data, at + self.sector_size - 4)
            count -= 1
        fat_count = u32(data, 44)
        if fat_count > len(difat):
            raise ValueError("more allocation-table blocks than listed")
        self.fat_sectors = difat[:fat_count]
        self.fat = []
        for sector in self.fat_sectors:
            self.fat += struct.unpack_from("<%dI" % per, data, self.offset(sector))

        self.dir_chain = self.chain(u32(data, 48))
        self.entries = []
        for sector in self.dir_chain:
            base = self.offset(sector)
            for k in range(self.sector_size // 128):
                self.entries.append(self._entry(base + 128 * k))
        if not self.entries or self.entries[0]["type"] != 5:
            raise ValueError("no root entry")
        self.minifat = []
        if u32(data, 60) < 0xFFFFFFFA:
            for sector in self.chain(u32(data, 60)):
                self.minifat += struct.unpack_from("<%dI" % per, data, self.offset(sector))

    def _entry(self, at):
        d = self.data
        name_length = min(u16(d, at + 64), 64)
        name = bytes(d[at:at + max(0, name_length - 2)]).decode("utf-16-le", "replace")
        size = struct.unpack_from("<Q", d, at + 120)[0] if self.wide_sizes else u32(d, at + 120)
        return {"name": name, "type": d[at + 66], "left": u32(d, at + 68),
                "right": u32(d, at + 72), "child": u32(d, at + 76),
                "start": u32(d, at + 116), "size": size}

    def offset(self, sector):
        at = (sector + 1) * self.sector_size
        if at + self.sector_size > len(self.data):
            raise ValueError("sector %d beyond the file" % sector)
        return at

    def chain(self, start, table=None):
        table = self.fat if table is None else table
        out, sector, seen = [], start, set()
        while sector != ENDOFCHAIN:
            if sector >= len(table) or sector in seen:
                raise ValueError("broken chain")
            seen.add(sector)
            out.append(sector)
            sector = table[sector]
        return out

    def bat_entry_offset(self, sector):
        """File offset of the allocation-table entry of `sector`."""
        per = self.sector_size // 4
        return (self.fat_sectors[sector // per] + 1) * self.sector_size + 4 * (sector % per)

    def entry_offset(self, k):
        per = self.sector_size // 128
        return (self.dir_chain[k // per] + 1) * self.sector_size + 128 * (k % per)

    def root_streams(self):
        """Index of every stream directly under the root, in tree order."""
        found, stack, seen = [], [self.entries[0]["child"]], set()
        while stack:
            k = stack.pop()
            if k == NOSTREAM or k >= len(self.entries) or k in seen:
                continue
            seen.add(k)
            entry = self.entries[k]
            if entry["type"] == 2:
                found.append(k)
            stack += [entry["left"], entry["right"]]
        return sorted(found)

    def workbook_index(self):
        """The entry of "Workbook", else "Book", compared in upper case; None when absent."""
        streams = self.root_streams()
        for wanted in ("WORKBOOK", "BOOK"):
            for k in streams:
                if self.entries[k]["name"].upper() == wanted:
                    return k
        return None

    def read(self, k):
        entry = self.entries[k]
        size = entry["size"]
        if size < self.cutoff:
            root = self.entries[0]
            container = b"".join(self._sector(s) for s in self.chain(root["start"]))
            pieces = []
            for s in self.chain(entry["start"], self.minifat) if size else []:
                at = s * self.mini_size
                pieces.append(container[at:at + self.mini_size])
            out = b"".join(pieces)
        else:
            out = b"".join(self._sector(s) for s in self.chain(entry["start"]))
        if len(out) < size:
            raise ValueError("stream shorter than its size")
        return out[:size]

    def _sector(self, sector):
        # A file's last sector may be cut short behind the data it holds.
        at = (sector + 1) * self.sector_size
        if at >= len(self.data):
            raise ValueError("sector %d beyond the file" % sector)
        return bytes(self.data[at:at + self.sector_size])

    def workbook_chain(self):
        return self.chain(self.entries[self.workbook_index()]["start"])


def workbook_stream(data):
    """The workbook stream of a sound compound document; ValueError when there is none."""
    doc = Compound(data)
    k = doc.workbook_index()
    if k is None:
        raise ValueError("no workbook stream")
    return doc.read(k)


def single_stream_document(name, stream):
    """A version 3 compound document holding `stream` alone, under the root."""
    ss, mini, cutoff = 512, 64, 4096
    small = len(stream) < cutoff
    if small:
        mini_count = -(-len(stream) // mini)
        container = bytes(stream) + bytes(mini_count * mini - len(stream))
        minifat_sectors = 1 if mini_count else 0
    else:
        container = bytes(stream)
        minifat_sectors = 0
    data_sectors = -(-len(container) // ss)
    fat_sectors = 1
    while fat_sectors * 128 < fat_sectors + 1 + minifat_sectors + data_sectors:
        fat_sectors += 1
    if fat_sectors > 109:
        raise ValueError("stream too large for a document without extension table")
    dir_sector = fat_sectors
    minifat_start = dir_sector + 1 if minifat_sectors else ENDOFCHAIN
    data_start = dir_sector + 1 + minifat_sectors
    total = data_start + data_sectors

    fat = [FREESECT] * (fat_sectors * 128)
    for s in range(fat_sectors):
        fat[s] = FATSECT
    fat[dir_sector] = ENDOFCHAIN
    if minifat_sectors:
        fat[minifat_start] = ENDOFCHAIN
    for s in range(data_start, total):
        fat[s] = s + 1 if s + 1 < total else ENDOFCHAIN

    header = bytearray(512)
    header[:8] = SIGNATURE
    put_u16(header, 24, 0x3E)
    put_u16(header, 26, 3)
    put_u16(header, 28, 0xFFFE)
    put_u16(header, 30, 9)
    put_u16(header, 32, 6)
    put_u32(header, 44, fat_sectors)
    put_u32(header, 48, dir_sector)
    put_u32(header, 56, cutoff)
    put_u32(header, 60, minifat_start)
    put_u32(header, 64, minifat_sectors)
    put_u32(header, 68, ENDOFCHAIN)
    for i in range(109):
        put_u32(header, 76 + 4 * i, i if i < fat_sectors else FREESECT)

    def entry(entry_name, kind, child, start, size):
        e = bytearray(128)
        encoded = entry_name.encode("utf-16-le")
        e[:len(encoded)] = encoded
        put_u16(e, 64, len(encoded) + 2 if entry_name else 0)
        e[66] = kind
        e[67] = 1  # black
        put_u32(e, 68, NOSTREAM)
        put_u32(e, 72, NOSTREAM)
        put_u32(e, 76, child)
        put_u32(e, 116, start)
        put_u32(e, 120, size)
        return e

    has_data = bool(container)
    if small:
        root = entry("Root Entry", 5, 1, data_start if has_data else ENDOFCHAIN, len(container))
        own = entry(name, 2, NOSTREAM, 0 if has_data else ENDOFCHAIN, len(stream))
    else:
        root = entry("Root Entry", 5, 1, ENDOFCHAIN, 0)
        own = entry(name, 2, NOSTREAM, data_start, len(stream))
    directory = root + own + entry("", 0, NOSTREAM, 0, 0) + entry("", 0, NOSTREAM, 0, 0)

    out = bytearray(header)
    out += struct.pack("<%dI" % len(fat), *fat)
    out += directory
    if minifat_sectors:
        minifat = [FREESECT] * 128
        for s in range(mini_count):
            minifat[s] = s + 1 if s + 1 < mini_count else ENDOFCHAIN
        out += struct.pack("<128I", *minifat)
    out += container + bytes(data_sectors * ss - len(container))
    return bytes(out)


# ---------------------------------------------------------------------------------------
# Workbook streams, walked record by record.

BOF, EOF, BOUNDSHEET, ROW, DBCELL = 0x0809, 0x000A, 0x0085, 0x0208, 0x00D7
MULRK, MULBLANK = 0x00BD, 0x00BE
CELL_CODES = {0x0006, 0x0206, 0x0406, MULRK, MULBLANK, 0x00FD, 0x0201, 0x0203, 0x0204,
              0x0205, 0x027E, 0x00D6}
WORKSHEET = 0x0010


def is_worksheet_bof(stream, at):
    return at + 8 <= len(stream) and u16(stream, at) == BOF and u16(stream, at + 6) == WORKSHEET


def records_from(stream, at):
    """(offset, code, length) of each record from `at` while a header fits."""
    while at + 4 <= len(stream):
        code, length = u16(stream, at), u16(stream, at + 2)
        yield at, code, length
        at += 4 + length


def boundsheets(stream):
    """(record offset, named BOF position) of the globals' sheet entries."""
    found = []
    for at, code, length in records_from(stream, 0):
        if code == EOF:
            break
        if code == BOUNDSHEET and length >= 4 and at + 8 <= len(stream):
            found.append((at, u32(stream, at + 4)))
    return found


def sheet_cells(stream, bof):
    """Offsets of the cell records of the substream at `bof`, and of its first EOF."""
    cells = []
    for at, code, _ in records_from(stream, bof):
        if code == EOF:
            return cells, at
        if code in CELL_CODES:
            cells.append(at)
    return cells, None


def substream_length(stream, bof):
    """Bytes from a BOF through the EOF that closes it, nested substreams included."""
    depth = 0
    for at, code, length in records_from(stream, bof):
        if code == BOF:
            depth += 1
        elif code == EOF:
            depth -= 1
            if depth == 0:
                return at + 4 - bof
        if at + 4 + length > len(stream):
            break
    return len(stream) - bof


# ---------------------------------------------------------------------------------------
# The damage models. Each takes the bytes it damages and returns a list of
# (variant name, damaged bytes), empty when the file offers no place for the damage.

# Files of several writers, each with three or more sheets (the recovery damage tests').
DAMAGE_FILES = ["12843-2.xls", "19599-1.xls", "29942.xls", "34775.xls", "47245_test.xls",
                "LookupFunctionsTestCaseData.xls", "MRExtraLines.xls", "duprich1.xls",
                "xlrd-profiles.xls"]


def first_sheet_with_cells(stream):
    for entry_at, bof in boundsheets(stream):
        if is_worksheet_bof(stream, bof):
            cells, eof = sheet_cells(stream, bof)
            if len(cells) >= 20:
                return entry_at, bof, cells, eof
    return None


def stream_length_field(stream):
    """A single-cell record mid-sheet claims a length far beyond its sheet."""
    victim = first_sheet_with_cells(stream)
    if victim is None:
        return []
    singles = [at for at in victim[2] if u16(stream, at) not in (MULRK, MULBLANK)]
    if not singles:
        return []
    out = bytearray(stream)
    put_u16(out, singles[len(singles) // 2] + 2, 0x7FF0)
    return [("length-field", out)]


def stream_cut_60(stream):
    return [("cut-60pct", bytes(stream[:len(stream) * 6 // 10]))]


def stream_sheet_frame(stream):
    """The first worksheet with cells loses its BOUNDSHEET, BOF and EOF records."""
    victim = first_sheet_with_cells(stream)
    if victim is None or not victim[3]:
        return []
    out = bytearray(stream)
    for at in (victim[0], victim[1], victim[3]):
        fill(out, at, 4 + u16(stream, at + 2), 0xEE)
    return [("sheet-frame-destroyed", out)]


def stream_second_bof_header(stream):
    """The header of the substream after the globals is overwritten."""
    for at, code, _ in records_from(stream, 0):
        if code == EOF:
            second = at + 4
            if second + 8 > len(stream) or u16(stream, second) != BOF:
                return []
            out = bytearray(stream)
            fill(out, second, 4, 0xEE)
            return [("second-bof-header", out)]
    return []


def stream_busiest_sheet_length(stream):
    """One mid-sheet cell length broken in the worksheet with the most single cells."""
    best = []
    for _, bof in boundsheets(stream):
        if not is_worksheet_bof(stream, bof):
            continue
        cells, _ = sheet_cells(stream, bof)
        singles = [at for at in cells if u16(stream, at) not in (MULRK, MULBLANK)]
        if len(singles) > len(best):
            best = singles
    if len(best) < 20:
        return []
    out = bytearray(stream)
    put_u16(out, best[len(best) // 2] + 2, 0x7FF0)
    return [("busiest-sheet-length", out)]


def stream_worksheet_overwrites(stream, step):
    """Two bytes overwritten at spread places of the first worksheet, one place at a time."""
    bofs = [bof for _, bof in boundsheets(stream) if is_worksheet_bof(stream, bof)]
    if not bofs:
        return []
    pos = bofs[0]
    length = substream_length(stream, pos)
    out = []
    for k in range(1, 25, step):
        at = pos + 20 + (length - 20) * k // 25
        if at + 2 > len(stream):
            continue
        damaged = bytearray(stream)
        damaged[at] = 0xFF
        damaged[at + 1] = (k * 37) & 0xFF
        out.append(("sheet-overwrite-%02d" % k, damaged))
    return out


def stream_cell_run_overwrites(stream, step):
    """Two bytes overwritten at spread places of the stream's first run of cell records."""
    pos = None
    for at, code, _ in records_from(stream, 0):
        if code == ROW or code in CELL_CODES:
            pos = at
            break
    if pos is None:
        return []
    end = pos
    for at, code, length in records_from(stream, pos):
        if code not in CELL_CODES and code not in (ROW, DBCELL):
            break
        end = min(len(stream), at + 4 + length)
    length = end - pos
    out = []
    for k in range(1, 31, step):
        if length <= 8:
            break
        at = pos + 4 + (length - 6) * k // 31
        damaged = bytearray(stream)
        damaged[at] = (k * 53) & 0xFF
        damaged[at + 1] = 0xFF if k % 3 == 0 else k
        out.append(("cell-run-overwrite-%02d" % k, damaged))
    return out


def with_filepass(stream):
    """A FILEPASS record behind the globals' BOF; the sheet positions move with it."""
    out = bytearray(stream[:20]) + struct.pack("<HH", 0x002F, 6) + bytes([1, 0, 2, 0, 3, 0])
    out += stream[20:]
    for at, code, _ in records_from(out, 30):
        if code == EOF:
            break
        if code == BOUNDSHEET and at + 8 <= len(out):
            put_u32(out, at + 4, u32(out, at + 4) + 10)
    return [("filepass", single_stream_document("Workbook", bytes(out)))]


def container_models(data):
    """The four container damages the compound route is tested with, and a cut in half."""
    if len(data) < 512 or data[:8] != SIGNATURE:
        raise ValueError("no compound-document signature")
    ss = 1 << u16(data, 30)
    out = []
    fat = bytearray(data)
    fill(fat, (u32(data, 76) + 1) * ss, ss, 0)
    out.append(("fat-zeroed", fat))
    root = bytearray(data)
    fill(root, (u32(data, 48) + 1) * ss, 128, 0)
    out.append(("root-entry-zeroed", root))
    shift = bytearray(data)
    put_u16(shift, 30, 12)
    out.append(("sector-shift-12", shift))
    header = bytearray(data)
    fill(header, 0, 512, 0)
    out.append(("header-zeroed", header))
    out.append(("cut-half", bytes(data[:len(data) // 2])))
    return out


def hostile_containers(data):
    """A file's tables made hostile: free chains, a looping directory, noise behind it."""
    doc = Compound(data)
    ss = doc.sector_size
    out = []
    free = bytearray(data)
    fill(free, (u32(data, 76) + 1) * ss, ss, 0xFF)
    out.append(("fat-all-ff", free))
    looping = bytearray(data)
    directory = u32(data, 48)
    put_u32(looping, doc.bat_entry_offset(directory), directory)
    out.append(("looping-directory-chain", looping))
    noise = bytes(data[:512]) + random.Random(11).randbytes(10 << 20)
    out.append(("10mb-noise-behind-header", noise))
    return out


def damaged_container_models(data):
    """Chains, directory links and header counts of one file broken one at a time."""
    doc = Compound(data)
    ss = doc.sector_size
    chain = doc.workbook_chain()
    wb = doc.workbook_index()
    out = []

    def variant(name, *edits):
        b = bytearray(data)
        for at, value in edits:
            put_u32(b, at, value)
        out.append((name, b))

    bat = doc.bat_entry_offset
    variant("last-sector-links-to-first", (bat(chain[-1]), chain[0]))
    variant("third-sector-links-to-first", (bat(chain[2]), chain[0]))
    variant("first-sector-own-successor", (bat(chain[0]), chain[0]))
    variant("fifth-sector-free", (bat(chain[4]), 0xFFFFFFFF))
    variant("fifth-sector-beyond-table", (bat(chain[4]), 0x7FFFFFF0))
    out.append(("cut-60pct-plus-100", bytes(data[:len(data) * 6 // 10 + 100])))
    every = bytearray(data)
    for i in range(u32(data, 44)):
        fill(every, (u32(data, 76 + 4 * i) + 1) * ss, ss, 0xFF)
    out.append(("every-bat-block-ff", every))

    e = doc.entry_offset
    if len(doc.entries) >= 5:
        variant("directory-link-cycles", (e(2) + 76, 2), (e(3) + 68, 0), (e(3) + 72, 2),
                (e(1) + 72, 2), (e(4) + 76, 1))
        ring = []
        for k in range(5):
            ring += [(e(k) + 68, (k + 1) % 5), (e(k) + 72, (k + 3) % 5),
                     (e(k) + 76, (k + 2) % 5)]
        variant("directory-ring", *ring)
        cleared = bytearray(data)
        fill(cleared, e(3), 128, 0)
        out.append(("entry-3-cleared", cleared))
    variant("workbook-size-4gb", (e(wb) + 120, 0xFFFFFFF0))
    variant("directory-chain-loops", (bat(u32(data, 48)), u32(data, 48)))
    for count in (3, 0xFFFFFFFF):
        variant("sbat-xbat-counts-%x" % count, (64, count), (72, count), (68, u32(data, 48)))
    xbat = u32(data, 60)
    if xbat < 0xFFFFFFFA:
        variant("sbat-nowhere-xbat-own-link", (60, 0xFFFFFFFE), (68, xbat), (72, 1000),
                ((xbat + 1) * ss + ss - 4, xbat))
    variant("no-sbat-blocks", (64, 0))
    for length in range(0, len(data) + 1, 512 * 7 + 100):
        out.append(("prefix-%06d" % length, bytes(data[:length])))
    return out


def noise_behind_header(data):
    """A sound header, then 10 MB of noise; then random table counts in the header."""
    rng = random.Random(20261208)
    b = bytearray(data[:512]) + rng.randbytes(10 << 20)
    out = [("10mb-noise", bytes(b))]
    for round_ in (1, 2):
        for at in (44, 48, 60, 64, 68, 72):
            put_u32(b, at, rng.getrandbits(32))
        out.append(("10mb-noise-random-counts-%d" % round_, bytes(b)))
    return out


def prefixes(data, count=64):
    """Cuts at multiples of 7 bytes spread over the whole file."""
    step = 7 * max(1, -(-len(data) // (7 * count)))
    return [("prefix-%06d" % cut, bytes(data[:cut])) for cut in range(0, len(data), step)]


def synthetic_inputs():
    """Inputs that are no workbook at all, as the load tests feed them."""
    out = [("empty", b""), ("three-signature-bytes", bytes([0xD0, 0xCF, 0x11])),
           ("64kb-noise", random.Random(42).randbytes(64 * 1024)),
           ("5000-letters", b"a" * 5000),
           ("1mb-zeros", bytes(1 << 20)),
           ("1mb-noise", random.Random(7).randbytes(1 << 20))]
    number = bytes([0x03, 0x02, 14, 0, 1, 0, 2, 0, 15, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F])
    out.append(("million-number-records", number * 1_000_000))
    bof = bytes([0x09, 0x08, 16, 0, 0, 6, 0x10, 0, 0xEC, 0x15, 0xCD, 0x07, 0xC1, 0, 0, 0,
                 6, 3, 0, 0])
    out.append(("70000-worksheet-bofs", bof * 70_000))
    return out


# ---------------------------------------------------------------------------------------
# Gathering the inputs.

class Input:
    def __init__(self, path, name, group, round_trip=False):
        self.path = path          # the file handed to both builds
        self.name = name          # its name in the report
        self.group = group
        self.round_trip = round_trip  # its recovered workbook is recovered again
        self.again = None         # that workbook, once written


class Inputs:
    def __init__(self, folder):
        self.folder = folder
        self.items = []
        self.skipped = []

    def add(self, relative, data, group, round_trip=False):
        path = self.folder / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        self.items.append(Input(path, relative, group, round_trip))

    def add_models(self, group, source, data, models):
        stem = Path(source).stem
        try:
            variants = models(data)
        except (ValueError, IndexError, KeyError, struct.error) as e:
            self.skipped.append("%s/%s: %s" % (group, source, e))
            return
        for variant, damaged in variants:
            self.add("%s/%s__%s.xls" % (group, stem, variant), bytes(damaged), group)


def gather(corpus, work):
    inputs = Inputs(work / "inputs")
    def files(folder):
        return sorted(p for p in folder.iterdir() if p.is_file() and p.name != "MANIFEST.tsv")

    real, odd = files(corpus / "real"), files(corpus / "odd")
    real_xls = [p for p in real if p.suffix == ".xls"]
    by_name = {p.name: p for p in real}

    for p in real:
        inputs.add("real/" + p.name, p.read_bytes(), "corpus real/", round_trip=True)
    for p in odd:
        inputs.add("odd/" + p.name, p.read_bytes(), "corpus odd/")
    inputs.add("sample/" + SAMPLE.name, SAMPLE.read_bytes(), "sample", round_trip=True)

    streams = {}

    def stream_of(p):
        if p.name not in streams:
            try:
                streams[p.name] = workbook_stream(p.read_bytes())
            except (ValueError, IndexError, struct.error) as e:
                inputs.skipped.append("workbook stream of %s: %s" % (p.name, e))
                streams[p.name] = None
        return streams[p.name]

    def stream_models(group, files, models):
        for p in files:
            stream = stream_of(p)
            if stream is not None:
                inputs.add_models(group, p.name, stream, models)

    damage_files = [by_name[n] for n in DAMAGE_FILES if n in by_name]

    # Damaged containers of every real file, as the compound-route tests and the load
    # test of files cut in half make them; then single files broken the ways the tolerant
    # reader's tests break them.
    for p in real_xls:
        inputs.add_models("container", p.name, p.read_bytes(), container_models)
    if "29942.xls" in by_name:
        p = by_name["29942.xls"]
        inputs.add_models("container-hostile", p.name, p.read_bytes(), hostile_containers)
    if "45365-2.xls" in by_name:
        p = by_name["45365-2.xls"]
        inputs.add_models("container-parts", p.name, p.read_bytes(), damaged_container_models)
    if "12843-1.xls" in by_name:
        p = by_name["12843-1.xls"]
        inputs.add_models("container-noise", p.name, p.read_bytes(), noise_behind_header)
    for name in ("1900DateWindowing.xls", "12561-1.xls"):
        if name in by_name:
            inputs.add_models("container-prefix", name, by_name[name].read_bytes(), prefixes)

    # Damaged workbook streams, saved as bare stream files, as the recovery, save,
    # boundary, worksheet and cell-table tests load them.
    stream_models("stream", damage_files,
                  lambda s: stream_length_field(s) + stream_cut_60(s) + stream_sheet_frame(s)
                  + stream_second_bof_header(s))
    stream_models("stream-busiest-sheet", real_xls[::7], stream_busiest_sheet_length)
    # Every other of the 24 places in a sheet and every third of the 30 in a cell run: the
    # whole set would double the run time and add no other kind of place.
    stream_models("stream-sheet-bytes", real_xls[::24],
                  lambda s: stream_worksheet_overwrites(s, 2))
    stream_models("stream-cell-run-bytes", real_xls[::9],
                  lambda s: stream_cell_run_overwrites(s, 3))
    # Password-protected copies in a new container: the smallest files with a worksheet.
    smallest = []
    for p in sorted(real_xls, key=lambda p: p.stat().st_size):
        stream = stream_of(p)
        if stream is not None and any(is_worksheet_bof(stream, b) for _, b in boundsheets(stream)):
            smallest.append(p)
        if len(smallest) == 3:
            break
    stream_models("stream-filepass", smallest + damage_files, with_filepass)

    for variant, data in synthetic_inputs():
        inputs.add("synthetic/%s.xls" % variant, data, "synthetic")
    # Paths that name no file to read.
    (inputs.folder / "synthetic" / "folder.xls").mkdir()
    for name in ("missing.xls", "folder.xls"):
        inputs.items.append(Input(inputs.folder / "synthetic" / name, "synthetic/" + name,
                                  "synthetic"))
    return inputs


# ---------------------------------------------------------------------------------------
# Running the two builds and comparing what they did.

class Run:
    """One build's run on one input: what it printed, returned and wrote."""

    def __init__(self, status, stdout, stderr, output, leftovers):
        self.status = status      # exit status, "timeout", or "signal N"
        self.stdout = stdout
        self.stderr = stderr
        self.output = output      # bytes, or None when no file was written
        self.leftovers = leftovers  # names in the output folder besides the output


def run_one(exe, input_path, folder, timeout):
    """Runs `exe recover` on the input in a folder of its own; returns a Run."""
    # Only what the run needs is made: folders cost more than anything else here. HOME and
    # the XDG folders name places no other run uses, made by the program if it wants them.
    home, state, config, bindir, outdir = (
        folder / n for n in ("home", "state", "config", "bin", "out"))
    bindir.mkdir(parents=True)
    outdir.mkdir()
    # A link of its own: logs and settings kept beside the executable stay with this run.
    linked = bindir / "tabulix"
    try:
        os.link(exe, linked)
    except OSError:
        shutil.copy2(exe, linked)
    output = outdir / "recovered.xls"
    env = dict(os.environ)
    env.update(HOME=str(home), XDG_STATE_HOME=str(state), XDG_CONFIG_HOME=str(config),
               XDG_CACHE_HOME=str(home / ".cache"), XDG_DATA_HOME=str(home / ".local/share"),
               TMPDIR=str(folder), LC_ALL="C", LANG="C")
    env.pop("LANGUAGE", None)
    try:
        done = subprocess.run([str(linked), "recover", str(input_path), "-o", str(output)],
                              stdin=subprocess.DEVNULL, capture_output=True, env=env,
                              cwd=str(folder), timeout=timeout)
        status = done.returncode if done.returncode >= 0 else "signal %d" % -done.returncode
        stdout, stderr = done.stdout, done.stderr
    except subprocess.TimeoutExpired as e:
        status, stdout, stderr = "timeout", e.stdout or b"", e.stderr or b""
    (folder / "stdout.txt").write_bytes(stdout)
    (folder / "stderr.txt").write_bytes(stderr)

    def normal(text):
        for path, mark in ((output, "{OUTPUT}"), (linked, "{EXE}"), (folder, "{RUN}"),
                           (input_path, "{INPUT}")):
            text = text.replace(str(path).encode(), mark.encode())
        return text

    written = output.read_bytes() if output.is_file() else None
    leftovers = sorted(p.name for p in outdir.iterdir() if p != output)
    return Run(status, normal(stdout), normal(stderr), written, leftovers)


def first_line_difference(a, b):
    la, lb = a.split(b"\n"), b.split(b"\n")
    for i in range(max(len(la), len(lb))):
        x = la[i] if i < len(la) else None
        y = lb[i] if i < len(lb) else None
        if x != y:
            show = (lambda v: "(none)" if v is None else repr(v.decode("utf-8", "replace"))[:120])
            return "line %d: old %s, new %s" % (i + 1, show(x), show(y))
    return "same lines"


def differences(old, new):
    """What differs between two runs, one text per thing."""
    found = []
    if old.status != new.status:
        found.append("exit status: old %s, new %s" % (old.status, new.status))
    if old.stdout != new.stdout:
        found.append("stdout, " + first_line_difference(old.stdout, new.stdout))
    if old.stderr != new.stderr:
        found.append("stderr, " + first_line_difference(old.stderr, new.stderr))
    if old.output != new.output:
        if old.output is None or new.output is None:
            found.append("output file: old %s, new %s" % (
                "none" if old.output is None else "%d bytes" % len(old.output),
                "none" if new.output is None else "%d bytes" % len(new.output)))
        else:
            at = next((i for i, (x, y) in enumerate(zip(old.output, new.output)) if x != y),
                      min(len(old.output), len(new.output)))
            found.append("output file: old %d bytes, new %d bytes, first difference at byte %d"
                         % (len(old.output), len(new.output), at))
    if old.leftovers != new.leftovers:
        found.append("files left beside the output: old %s, new %s"
                      % (old.leftovers or "none", new.leftovers or "none"))
    return found


class Outcome:
    """What is kept of a compared input: the bytes themselves are not."""

    def __init__(self, item, old, new, found):
        self.item = item
        self.made = {"old": old.output is not None, "new": new.output is not None}
        self.timeouts = sum(run.status == "timeout" for run in (old, new))
        self.found = found

    @staticmethod
    def failed(item, error):
        nothing = Run("not run", b"", b"", None, [])
        return Outcome(item, nothing, nothing, ["not compared: %s" % error])


class Comparison:
    def __init__(self, old, new, work, timeout, keep, jobs):
        self.exes = {"old": old, "new": new}
        self.work = work
        self.timeout = timeout
        self.keep = keep
        self.jobs = jobs
        self.lock = threading.Lock()
        self.results = []  # an Outcome per input
        self.count = 0

    def compare(self, item, index, later):
        folder = self.work / "runs" / ("%05d" % index)
        runs = {side: run_one(exe, item.path, folder / side, self.timeout)
                for side, exe in self.exes.items()}
        found = differences(runs["old"], runs["new"])
        if not found and item.round_trip and runs["old"].output is not None:
            again = self.work / "inputs" / "round-trip" / (item.name + ".recovered.xls")
            again.parent.mkdir(parents=True, exist_ok=True)
            again.write_bytes(runs["old"].output)
            item.again = again
        if not found and not self.keep:
            shutil.rmtree(folder, ignore_errors=True)
        with self.lock:
            if item.again is not None:
                later.append(item)
            self.results.append(Outcome(item, runs["old"], runs["new"], found))
            for text in found:
                print("DIFF %s: %s" % (item.name, text), flush=True)
            for side in ("old", "new"):
                if runs[side].status == "timeout":
                    print("NOTE %s: the %s build timed out after %g s"
                          % (item.name, side, self.timeout), flush=True)

    def run_all(self, items, first_index, total, started, later):
        step = max(1, total // 20)
        last_report = [time.monotonic()]

        def task(args):
            index, item = args
            try:
                self.compare(item, index, later)
            except Exception as e:  # one input the comparison could not handle stops no other
                with self.lock:
                    self.results.append(Outcome.failed(item, e))
                    print("DIFF %s: not compared: %s" % (item.name, e), flush=True)
            with self.lock:
                self.count += 1
                now = time.monotonic()
                if self.count % step == 0 or now - last_report[0] > 60:
                    last_report[0] = now
                    differing = sum(1 for r in self.results if r.found)
                    print("  %d of %d inputs compared, %d differ (%s)"
                          % (self.count, total, differing, clock(now - started)),
                          file=sys.stderr, flush=True)

        with ThreadPoolExecutor(max_workers=self.jobs) as pool:
            list(pool.map(task, enumerate(items, first_index)))


def clock(seconds):
    return "%dm%02ds" % divmod(int(seconds), 60)


def default_work_parent():
    """Memory when there is room: every save is flushed, and a disk makes that the run time.
    TMPDIR, when set, has the last word."""
    if "TMPDIR" not in os.environ and os.path.isdir("/dev/shm"):
        try:
            room = shutil.disk_usage("/dev/shm").free
        except OSError:
            room = 0
        if room >= 4 << 30 and os.access("/dev/shm", os.W_OK | os.X_OK):
            return "/dev/shm"
    return None


def executable(text):
    path = Path(text).resolve()
    if not path.is_file() or not os.access(path, os.X_OK):
        raise UsageError("%s is not an executable file" % text)
    return path


def main(argv):
    parser = argparse.ArgumentParser(
        description="Compare what two tabulix builds make of the corpus and damaged copies of it.",
        usage="%(prog)s --old PATH --new PATH [--corpus DIR] [--work DIR] [--keep] [-j N] "
              "[--timeout S]")
    parser.add_argument("--old", required=True, help="the tabulix executable taken as reference")
    parser.add_argument("--new", required=True, help="the tabulix executable to check")
    parser.add_argument("--corpus", default=str(REPO.parent / "shared" / "corpus"),
                        help="the corpus folder, with real/ and odd/ (default: %(default)s)")
    parser.add_argument("--work", help="folder for inputs and runs (default: a temporary one)")
    parser.add_argument("--keep", action="store_true", help="keep every input and run")
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    parser.add_argument("-j", type=int, default=cpus or 1, dest="jobs",
                        help="parallel runs (default: %(default)s)")
    parser.add_argument("--timeout", type=float, default=120.0, help="seconds per run")
    args = parser.parse_args(argv)

    try:
        old, new = executable(args.old), executable(args.new)
        corpus = Path(args.corpus)
        for sub in ("real", "odd"):
            if not (corpus / sub).is_dir():
                raise UsageError("%s has no folder %s/" % (corpus, sub))
        if not SAMPLE.is_file():
            raise UsageError("the sample %s is missing" % SAMPLE)
        if args.jobs < 1:
            raise UsageError("-j needs a number of 1 or more")
        if args.timeout <= 0:
            raise UsageError("--timeout needs a positive number of seconds")
        if args.work:
            work = Path(args.work).resolve()
            if work.exists() and (not work.is_dir() or any(work.iterdir())):
                raise UsageError("the work folder %s exists and is not empty" % work)
            work.mkdir(parents=True, exist_ok=True)
            temporary = False
        else:
            work = Path(tempfile.mkdtemp(prefix="tabulix-compare-", dir=default_work_parent()))
            temporary = True
    except UsageError as e:
        print("%s: %s" % (parser.prog, e), file=sys.stderr)
        return 2

    started = time.monotonic()
    try:
        # Copies of the executables in the work folder, from which each run is linked.
        copies = {}
        for side, exe in (("old", old), ("new", new)):
            copies[side] = work / "bin" / side / "tabulix"
            copies[side].parent.mkdir(parents=True)
            shutil.copy2(exe, copies[side])
        print("old: %s\nnew: %s\nwork: %s" % (old, new, work), flush=True)
        inputs = gather(corpus, work)
        for text in inputs.skipped:
            print("NOTE skipped %s" % text, flush=True)
        print("%d inputs gathered in %s; running with %d jobs"
              % (len(inputs.items), clock(time.monotonic() - started), args.jobs), flush=True)

        comparison = Comparison(copies["old"], copies["new"], work, args.timeout, args.keep,
                                args.jobs)
        later = []
        comparison.run_all(inputs.items, 0, len(inputs.items), started, later)
        # Second round: the recovered workbooks, recovered again.
        again = []
        for item in sorted(later, key=lambda i: i.name):
            again.append(Input(item.again, "round-trip/" + item.name, "round trip"))
        comparison.count = 0
        comparison.run_all(again, len(inputs.items), len(again), started, [])

        results = comparison.results
        groups = {}
        for r in results:
            g = groups.setdefault(r.item.group, [0, 0, 0, 0])
            g[0] += 1
            g[1] += r.made["old"]
            g[2] += r.made["new"]
            g[3] += bool(r.found)
        print("\n%-24s %7s %16s %8s" % ("inputs", "count", "workbooks", "differ"))
        for name, (count, made_old, made_new, differ) in groups.items():
            made = str(made_old) if made_old == made_new else "%d / %d" % (made_old, made_new)
            print("%-24s %7d %16s %8d" % (name, count, made, differ))
        made_old = sum(r.made["old"] for r in results)
        made_new = sum(r.made["new"] for r in results)
        differing = sum(1 for r in results if r.found)
        timeouts = sum(r.timeouts for r in results)
        print("\nCompared %d inputs in %s." % (len(results), clock(time.monotonic() - started)))
        print("Produced a workbook: %d with the old build, %d with the new." % (made_old, made_new))
        if timeouts:
            print("Timed out: %d runs." % timeouts)
        print("Differed: %d." % differing)
        if args.keep or not temporary:
            print("Runs kept in %s" % (work / "runs"))
        return 1 if differing else 0
    finally:
        if temporary and not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
