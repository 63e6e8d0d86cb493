#!/usr/bin/python3
"""Measures how much of an original workbook a saved copy keeps, by readers other than ours.

  fidelity_oracle.py records ORIGINAL SAVED [--rewritten CODES]
  fidelity_oracle.py xlrd ORIGINAL SAVED
  fidelity_oracle.py streams ORIGINAL SAVED
  fidelity_oracle.py recalc ORIGINAL_DIR SAVED_DIR WORK_DIR
  fidelity_oracle.py warnings ORIGINAL_DIR SAVED_DIR WORK_DIR

records   The workbook streams cut into records (CONTINUE records stay records of their
          own) and into substreams (BOF to the EOF that closes it; charts embedded in a
          sheet stay inside it). Substreams pair up by kind and sheet name in BOF order;
          within a pair the record sequences are aligned so that one record inserted or
          dropped does not shift the rest. Allowed: BOUNDSHEET differing in its sheet
          position alone, INDEX in its DEFCOLWIDTH and DBCELL positions alone (same
          number of DBCELLs), EXTSST in its string positions alone. CODES (hex, e.g.
          00FC,003C,00FF) are records the save rewrites: only whether a substream has
          them is compared. Prints the first differences with their offsets and, per
          record code, how many records are equal, differ only in positions, are
          rewritten, differ, are missing or extra.
xlrd      What xlrd (formatting_info=True) reads from both: sheet names and order (xlrd
          leaves out chart sheets), defined names, and per sheet comments, hyperlinks,
          merged ranges, column widths and formats, row heights, and every cell's type,
          value and XF index.
streams   The compound documents list the same storages and streams (class ids too),
          every stream but the workbook stream is byte-identical, and the saved file has
          its workbook stream (named "Workbook" even where the original said "Book").
recalc    LibreOffice loads every workbook of both folders in one process, recalculates
          all formulas and exports each sheet's values and formulas; values are compared
          cell by cell, except cells whose formula calls a volatile function or depends
          on such a cell, and cells LibreOffice calculates differently from one load of
          the same file to the next (files whose values differ are loaded again to find
          them). Formula texts are compared too. WORK_DIR takes the profile and the
          exports.
warnings  Gnumeric (ssconvert) and LibreOffice read each saved file without a message
          or a failure they do not also give for the original, and LibreOffice finds as
          many sheets in it.

The folder commands compare the .xls files of ORIGINAL_DIR with the files of the same
names in SAVED_DIR. Every command prints one line per difference (the first few of each
kind, then how many more) and a summary. Exit status: 0 when nothing differs, 1 when
something does, 2 on a usage error, when a program is missing or fails, or when an
original cannot be read (then there is nothing to measure against).
"""
import argparse
import difflib
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path
from xml.sax.saxutils import escape

import olefile
import xlrd

import formula_cells
from other_readers import cell_name
from program_exports import TIMEOUT_SECONDS, ToolFailure, read_cells, run, said
from save_oracle import same

MAX_LINES_PER_KIND = 8

BOF, EOF, BOUNDSHEET, INDEX, EXTSST = 0x0809, 0x000A, 0x0085, 0x020B, 0x00FF
FILESHARING, PROTECT = 0x005B, 0x0012
SUBSTREAM_KINDS = {0x0005: "globals", 0x0006: "module", 0x0010: "worksheet", 0x0020: "chart",
                   0x0040: "macro sheet", 0x0100: "workspace"}
# Names of the records a reader of the report meets most; others go by their code alone.
RECORD_NAMES = {
    0x0006: "FORMULA", 0x000A: "EOF", 0x000C: "CALCCOUNT", 0x000D: "CALCMODE",
    0x000E: "PRECISION", 0x000F: "REFMODE", 0x0010: "DELTA", 0x0011: "ITERATION",
    0x0012: "PROTECT", 0x0013: "PASSWORD", 0x0014: "HEADER", 0x0015: "FOOTER",
    0x0017: "EXTERNSHEET", 0x0018: "NAME", 0x0019: "WINDOWPROTECT", 0x001C: "NOTE",
    0x001D: "SELECTION", 0x0022: "DATEMODE", 0x0023: "EXTERNNAME", 0x0026: "LEFTMARGIN",
    0x0027: "RIGHTMARGIN", 0x0028: "TOPMARGIN", 0x0029: "BOTTOMMARGIN",
    0x002A: "PRINTHEADERS", 0x002B: "PRINTGRIDLINES", 0x002F: "FILEPASS", 0x0031: "FONT",
    0x003C: "CONTINUE", 0x003D: "WINDOW1", 0x0040: "BACKUP", 0x0041: "PANE",
    0x0042: "CODEPAGE", 0x004D: "PLS", 0x0050: "DCON", 0x0055: "DEFCOLWIDTH",
    0x005C: "WRITEACCESS", 0x005D: "OBJ", 0x005F: "SAVERECALC", 0x007D: "COLINFO",
    0x0080: "GUTS", 0x0081: "WSBOOL", 0x0082: "GRIDSET", 0x0083: "HCENTER",
    0x0084: "VCENTER", 0x0085: "BOUNDSHEET", 0x008C: "COUNTRY", 0x008D: "HIDEOBJ",
    0x0092: "PALETTE", 0x009C: "FNGROUPCOUNT", 0x00A0: "SCL", 0x00A1: "SETUP",
    0x00B0: "SXVIEW", 0x00BD: "MULRK", 0x00BE: "MULBLANK", 0x00C1: "MMS",
    0x00D3: "OBPROJ", 0x00D7: "DBCELL", 0x00DA: "BOOKBOOL", 0x00DD: "SCENPROTECT",
    0x00E0: "XF", 0x00E1: "INTERFACEHDR", 0x00E2: "INTERFACEEND", 0x00E5: "MERGEDCELLS",
    0x00E9: "BITMAP", 0x00EB: "MSODRAWINGGROUP", 0x00EC: "MSODRAWING",
    0x00ED: "MSODRAWINGSELECTION", 0x00EF: "PHONETIC", 0x00FC: "SST", 0x00FD: "LABELSST",
    0x00FF: "EXTSST", 0x013D: "TABID", 0x0160: "USESELFS", 0x0161: "DSF",
    0x01AE: "SUPBOOK", 0x01AF: "PROT4REV", 0x01B0: "CONDFMT", 0x01B1: "CF",
    0x01B2: "DVAL", 0x01B6: "TXO", 0x01B7: "REFRESHALL", 0x01B8: "HLINK",
    0x01BA: "CODENAME", 0x01BC: "PROT4REVPASS", 0x01BE: "DV", 0x01C0: "EXCEL9FILE",
    0x01C1: "RECALCID", 0x0200: "DIMENSIONS", 0x0201: "BLANK", 0x0203: "NUMBER",
    0x0204: "LABEL", 0x0205: "BOOLERR", 0x0207: "STRING", 0x0208: "ROW",
    0x020B: "INDEX", 0x0221: "ARRAY", 0x0225: "DEFAULTROWHEIGHT", 0x0236: "TABLE",
    0x023E: "WINDOW2", 0x027E: "RK", 0x0293: "STYLE", 0x041E: "FORMAT",
    0x04BC: "SHRFMLA", 0x0800: "HLINKTOOLTIP", 0x0809: "BOF", 0x0862: "SHEETLAYOUT",
    0x0863: "BOOKEXT", 0x0867: "SHEETPROTECTION", 0x088C: "COMPAT12", 0x0892: "STYLEEXT",
    0x089A: "MTRSETTINGS", 0x089B: "COMPRESSPICTURES", 0x08A3: "FORCEFULLCALCULATION",
    0x0896: "THEME", 0x087C: "XFCRC", 0x087D: "XFEXT", 0x0893: "TABLESTYLES",
}


class Unusable(Exception):
    """The original cannot be read the way the check needs: there is nothing to measure
    the saved file against."""


class Findings:
    """What one check found for one original and its saved copy: the differences by kind
    (the first lines of each kind kept), notes that are no differences, and the error
    that kept the check from running."""

    def __init__(self):
        self.kinds = Counter()
        self.lines = []
        self.notes = []
        self.tables = []
        self.error = None

    def differ(self, kind, text):
        self.kinds[kind] += 1
        if self.kinds[kind] <= MAX_LINES_PER_KIND:
            self.lines.append(text)

    @property
    def status(self):
        # Differences found before a part of the check stopped still count.
        return "differs" if self.kinds else "error" if self.error else "equal"

    def exit_status(self):
        return {"equal": 0, "differs": 1, "error": 2}[self.status]

    def report(self, prefix=""):
        """The lines to print: differences, how many more of each kind, notes, tables."""
        out = []
        if self.error:
            out.append("%snot compared: %s" % (prefix, self.error))
        out += [prefix + line for line in self.lines]
        for kind, count in sorted(self.kinds.items()):
            if count > MAX_LINES_PER_KIND:
                out.append("%s%s: %d more" % (prefix, kind, count - MAX_LINES_PER_KIND))
        out += ["%snote: %s" % (prefix, line) for line in self.notes]
        out += self.tables
        return out

    def summary(self):
        """The closing lines: "equal", the differences by kind, or "not compared" (report()
        says why)."""
        if self.status == "error":
            return ["not compared"]
        if self.status == "equal":
            return ["equal"]
        return ["%d differences:" % sum(self.kinds.values())] + [
            "  %s: %d" % item for item in sorted(self.kinds.items())]


def guarded(check, *args):
    """Runs check(*args) -> Findings; an unreadable original becomes the Findings' error.
    A missing or failing program (ToolFailure) is no finding about the file: it goes on
    up."""
    try:
        return check(*args)
    except Unusable as failure:
        findings = Findings()
        findings.error = str(failure)
        return findings


# ---------------------------------------------------------------------------------------
# Records and substreams.

def record_name(code):
    name = RECORD_NAMES.get(code)
    return "%s (0x%04X)" % (name, code) if name else "0x%04X" % code


class Record:
    __slots__ = ("offset", "code", "data")

    def __init__(self, offset, code, data):
        self.offset, self.code, self.data = offset, code, data


def cut_records(stream):
    """The whole records of a workbook stream in order, and the bytes behind the last one
    (a cut header, or a record running past the end)."""
    records = []
    pos = 0
    while pos + 4 <= len(stream):
        code, length = struct.unpack_from("<HH", stream, pos)
        if pos + 4 + length > len(stream):
            break
        records.append(Record(pos, code, stream[pos + 4:pos + 4 + length]))
        pos += 4 + length
    return records, stream[pos:]


def boundsheet_entry(data):
    """(stream position of the sheet's BOF, sheet name) of a BOUNDSHEET record; None for
    one too short to hold them."""
    if len(data) < 8:
        return None
    count, flags = data[6], data[7]
    wide = flags & 1
    raw = data[8:8 + count * (2 if wide else 1)]
    return struct.unpack_from("<I", data)[0], raw.decode("utf-16-le" if wide else "latin-1",
                                                          "replace")


class Substream:
    """A top-level substream (BOF to its EOF), or a run of records between substreams."""

    def __init__(self, records, outside=False):
        self.records = records
        self.outside = outside
        self.kind = "records outside substreams"
        self.name = None
        if not outside and len(records[0].data) >= 4:
            code = struct.unpack_from("<H", records[0].data, 2)[0]
            self.kind = SUBSTREAM_KINDS.get(code, "substream type 0x%04X" % code)

    def label(self):
        where = "at offset %d" % self.records[0].offset
        return "%s %r" % (self.kind, self.name) if self.name is not None else \
            "%s %s" % (self.kind, where)

    def padding(self):
        """Whether these are zero bytes behind the last substream, not records."""
        return self.outside and all(r.code == 0 and not r.data for r in self.records)


def split_substreams(records):
    """The records grouped into top-level substreams in BOF order, with the runs of records
    outside any substream as groups of their own; substreams get their sheet names from
    the BOUNDSHEET records of the globals."""
    groups = []
    depth = 0
    for record in records:
        if depth == 0:
            if record.code == BOF:
                groups.append(Substream([record]))
                depth = 1
            elif groups and groups[-1].outside:
                groups[-1].records.append(record)
            else:
                groups.append(Substream([record], outside=True))
            continue
        groups[-1].records.append(record)
        if record.code == BOF:
            depth += 1
        elif record.code == EOF:
            depth -= 1
    names = {}
    for group in groups:
        if group.kind == "globals":
            for record in group.records:
                if record.code == BOUNDSHEET:
                    entry = boundsheet_entry(record.data)
                    if entry:
                        names.setdefault(entry[0], entry[1])
            break
    for group in groups:
        if not group.outside:
            group.name = names.get(group.records[0].offset)
    return groups


def substream_keys(groups):
    """Keys that pair substreams of two files: kind, sheet name and which of that kind
    and name it is."""
    seen = Counter()
    keys = []
    for group in groups:
        base = (group.kind, group.name)
        keys.append(base + (seen[base],))
        seen[base] += 1
    return keys


def masked(code, data):
    """The record's data with the stream positions a save rewrites blanked out: the
    sheet's position in BOUNDSHEET, the DEFCOLWIDTH and DBCELL positions in INDEX, the
    string positions in EXTSST."""
    if code == BOUNDSHEET and len(data) >= 4:
        return bytes(4) + data[4:]
    if code == INDEX and len(data) >= 16:
        return data[:12] + bytes(len(data) - 12)
    if code == EXTSST and len(data) >= 2:
        out = bytearray(data)
        for at in range(2, len(data) - 7, 8):
            out[at:at + 4] = bytes(4)
        return bytes(out)
    return data


def first_difference(a, b):
    return next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))


class RecordTally:
    """Per record code: equal, positions, rewritten, differing, missing, extra."""
    COLUMNS = ("equal", "positions", "rewritten", "differing", "missing", "extra")

    def __init__(self):
        self.counts = {}

    def add(self, code, column, count=1):
        self.counts.setdefault(code, Counter())[column] += count

    def table(self):
        lines = ["%-30s %9s %9s %9s %9s %9s %9s" % (("record",) + self.COLUMNS)]
        for code in sorted(self.counts):
            row = self.counts[code]
            lines.append("%-30s %9d %9d %9d %9d %9d %9d" % (
                (record_name(code),) + tuple(row[c] for c in self.COLUMNS)))
        return lines


def compare_record_runs(findings, tally, label, before, after, rewritten):
    """Aligns two record sequences and files every difference under its record code."""
    for code in sorted({r.code for r in before + after} & rewritten):
        had = sum(1 for r in before if r.code == code)
        has = sum(1 for r in after if r.code == code)
        if had and has:
            tally.add(code, "rewritten", had)
        elif had:
            tally.add(code, "missing", had)
            findings.differ("record missing: " + record_name(code),
                            "%s: the %d %s records are missing" % (label, had, record_name(code)))
        else:
            tally.add(code, "extra", has)
            findings.differ("record extra: " + record_name(code),
                            "%s: %d %s records are extra" % (label, has, record_name(code)))
    before = [r for r in before if r.code not in rewritten]
    after = [r for r in after if r.code not in rewritten]
    keys_a = [(r.code, masked(r.code, r.data)) for r in before]
    keys_b = [(r.code, masked(r.code, r.data)) for r in after]
    # The common head and tail cost nothing to pair; the matcher sees only the middle.
    head = 0
    while head < min(len(keys_a), len(keys_b)) and keys_a[head] == keys_b[head]:
        head += 1
    tail = 0
    while (tail < min(len(keys_a), len(keys_b)) - head
           and keys_a[-1 - tail] == keys_b[-1 - tail]):
        tail += 1
    pairs = [(i, i) for i in range(head)]
    pairs += [(len(keys_a) - tail + k, len(keys_b) - tail + k) for k in range(tail)]
    matcher = difflib.SequenceMatcher(None, keys_a[head:len(keys_a) - tail],
                                      keys_b[head:len(keys_b) - tail], autojunk=False)
    for op, i1, i2, j1, j2 in matcher.get_opcodes():
        i1, i2, j1, j2 = i1 + head, i2 + head, j1 + head, j2 + head
        if op == "equal":
            pairs += list(zip(range(i1, i2), range(j1, j2)))
            continue
        # Records that replace others pair up by code, in order; the rest are missing or
        # extra.
        slots = {}
        for i in range(i1, i2):
            slots.setdefault(before[i].code, ([], []))[0].append(i)
        for j in range(j1, j2):
            slots.setdefault(after[j].code, ([], []))[1].append(j)
        for code, (mine, theirs) in slots.items():
            for i, j in zip(mine, theirs):
                a, b = before[i], after[j]
                tally.add(code, "differing")
                findings.differ("record differs: " + record_name(code),
                                "%s: %s at offset %d, saved at %d: %d and %d bytes, first "
                                "difference at data byte %d" % (
                                    label, record_name(code), a.offset, b.offset,
                                    len(a.data), len(b.data), first_difference(a.data, b.data)))
            for i in mine[len(theirs):]:
                tally.add(code, "missing")
                findings.differ("record missing: " + record_name(code),
                                "%s: %s at offset %d (%d bytes) is missing" % (
                                    label, record_name(code), before[i].offset,
                                    len(before[i].data)))
            for j in theirs[len(mine):]:
                tally.add(code, "extra")
                findings.differ("record extra: " + record_name(code),
                                "%s: %s at saved offset %d (%d bytes) is extra" % (
                                    label, record_name(code), after[j].offset,
                                    len(after[j].data)))
    for i, j in pairs:
        a, b = before[i], after[j]
        tally.add(a.code, "equal" if a.data == b.data else "positions")


def workbook_stream_of(path, side):
    """The workbook stream of a file; Unusable, naming the side, when it has none that
    olefile reads."""
    try:
        return formula_cells.workbook_stream(path)
    except Exception as error:  # olefile raises many kinds on damaged files
        raise Unusable("%s: no readable workbook stream (%s: %s)" % (
            side, type(error).__name__, error))


def check_records(original, saved, rewritten=frozenset()):
    """The `records` check: the workbook streams compared record by record."""
    findings = Findings()
    before = workbook_stream_of(original, "original")
    try:
        after = workbook_stream_of(saved, "saved file")
    except Unusable as failure:
        findings.differ("saved file unreadable", str(failure))
        return findings
    records_a, rest_a = cut_records(before)
    records_b, rest_b = cut_records(after)
    groups_a = split_substreams(records_a)
    groups_b = split_substreams(records_b)
    tally = RecordTally()
    keys_a, keys_b = substream_keys(groups_a), substream_keys(groups_b)
    matcher = difflib.SequenceMatcher(None, keys_a, keys_b, autojunk=False)
    for op, i1, i2, j1, j2 in matcher.get_opcodes():
        if op == "equal":
            for i, j in zip(range(i1, i2), range(j1, j2)):
                a, b = groups_a[i], groups_b[j]
                label = "#%d %s" % (i, a.label())
                compare_record_runs(findings, tally, label, a.records, b.records, rewritten)
            continue
        for group in groups_a[i1:i2]:
            if group.padding():
                findings.notes.append("%d zero bytes behind the last substream are not kept"
                                      % (4 * len(group.records)))
                continue
            findings.differ("substream missing", "%s (%d records) is missing" % (
                group.label(), len(group.records)))
            for record in group.records:
                tally.add(record.code, "missing")
        for group in groups_b[j1:j2]:
            findings.differ("substream extra", "saved %s (%d records) is extra" % (
                group.label(), len(group.records)))
            for record in group.records:
                tally.add(record.code, "extra")
    if rest_a != rest_b:
        if rest_a.count(0) == len(rest_a) and rest_b.count(0) == len(rest_b):
            findings.notes.append("%d zero bytes behind the last record, saved %d" % (
                len(rest_a), len(rest_b)))
        else:
            findings.differ("bytes behind the last record",
                            "%d bytes behind the last whole record, saved %d" % (
                                len(rest_a), len(rest_b)))
    findings.tables = tally.table()
    return findings


# ---------------------------------------------------------------------------------------
# What xlrd reads.

def open_with_formats(path):
    with open(os.devnull, "w") as quiet:
        return xlrd.open_workbook(path, formatting_info=True, on_demand=False, logfile=quiet)


def operand_text(result):
    """A comparable text for the value xlrd evaluated a defined name to."""
    if result is None:
        return None
    return "%s %r %s" % (result.kind, result.value, result.text)


def name_table(book):
    """(name, scope) -> list of (flags, raw formula, evaluated result), in file order."""
    table = {}
    for name in book.name_obj_list:
        table.setdefault((name.name, name.scope), []).append(
            (name.option_flags, bytes(name.raw_formula or b""), operand_text(name.result)))
    return table


def compare_names(findings, before, after):
    """Defined names: equal when the formula bytes agree, or else when xlrd evaluates both
    to the same result."""
    names_a, names_b = name_table(before), name_table(after)
    for key in sorted(set(names_a) | set(names_b), key=repr):
        a, b = names_a.get(key, []), names_b.get(key, [])
        shown = "name %r (scope %d)" % key
        for one, other in zip(a, b):
            if one[:2] == other[:2]:
                continue
            if one[0] == other[0] and one[2] is not None and one[2] == other[2]:
                continue
            findings.differ("defined name differs", "%s: flags 0x%04X, formula %s (%s) became "
                            "flags 0x%04X, formula %s (%s)" % (
                                shown, one[0], one[1].hex(), one[2], other[0], other[1].hex(),
                                other[2]))
        for one in a[len(b):]:
            findings.differ("defined name missing", "%s: %s is missing" % (shown, one[1].hex()))
        for other in b[len(a):]:
            findings.differ("defined name extra", "%s: %s is extra" % (shown, other[1].hex()))


def compare_maps(findings, kind, sheet, before, after, describe, show):
    """Compares two {place: object} maps through describe(object)."""
    for place in sorted(set(before) | set(after)):
        a = describe(before[place]) if place in before else None
        b = describe(after[place]) if place in after else None
        if a != b:
            findings.differ(kind, "sheet %r %s %s: %r became %r" % (sheet, kind, show(place),
                                                                     a, b))


def compare_lists(findings, kind, sheet, before, after):
    """Compares two lists of tuples as multisets: what is missing, what is extra."""
    a, b = Counter(before), Counter(after)
    for item in sorted(a - b, key=repr):
        findings.differ(kind, "sheet %r %s %r is missing" % (sheet, kind, item))
    for item in sorted(b - a, key=repr):
        findings.differ(kind, "sheet %r %s %r is extra" % (sheet, kind, item))


HYPERLINK_FIELDS = ("frowx", "lrowx", "fcolx", "lcolx", "type", "url_or_path", "desc",
                    "target", "textmark", "quicktip")
EMPTYISH = (xlrd.XL_CELL_EMPTY, xlrd.XL_CELL_BLANK)


def compare_cells(findings, name, a, b):
    """Every cell's type and value, and the XF index of cells present on both sides."""
    for row in range(max(a.nrows, b.nrows)):
        types_a = a.row_types(row) if row < a.nrows else []
        types_b = b.row_types(row) if row < b.nrows else []
        values_a = a.row_values(row) if row < a.nrows else []
        values_b = b.row_values(row) if row < b.nrows else []
        for column in range(max(len(types_a), len(types_b))):
            one = (types_a[column], values_a[column]) if column < len(types_a) else (0, "")
            other = (types_b[column], values_b[column]) if column < len(types_b) else (0, "")
            where = "sheet %r cell %s" % (name, cell_name((row, column)))
            if not same(one, other):
                kind = "blank cell" if one[0] in EMPTYISH and other[0] in EMPTYISH else \
                    "cell value" if one[0] == other[0] else "cell type"
                findings.differ(kind, "%s: %r became %r" % (where, one, other))
            elif one[0] != xlrd.XL_CELL_EMPTY:
                xf_a, xf_b = a.cell_xf_index(row, column), b.cell_xf_index(row, column)
                if xf_a != xf_b:
                    findings.differ("cell XF index", "%s: XF %d became %d" % (where, xf_a, xf_b))


def check_xlrd(original, saved):
    """The `xlrd` check."""
    findings = Findings()
    try:
        before = open_with_formats(original)
    except Exception as error:  # xlrd raises many kinds on files it cannot take
        raise Unusable("xlrd cannot read the original: %s: %s" % (type(error).__name__, error))
    try:
        after = open_with_formats(saved)
    except Exception as error:
        findings.differ("saved file unreadable", "xlrd cannot read the saved file: %s: %s" % (
            type(error).__name__, error))
        return findings
    names_a, names_b = before.sheet_names(), after.sheet_names()
    if names_a != names_b:
        findings.differ("sheet list", "sheets %r became %r" % (names_a, names_b))
    compare_names(findings, before, after)
    for index, name in enumerate(names_a):
        if name not in names_b:
            continue
        a, b = before.sheet_by_index(index), after.sheet_by_name(name)
        compare_maps(findings, "comment", name, a.cell_note_map, b.cell_note_map,
                     lambda note: (note.text, note.author), cell_name)
        compare_lists(findings, "hyperlink", name,
                      [tuple(getattr(h, f, None) for f in HYPERLINK_FIELDS)
                       for h in a.hyperlink_list],
                      [tuple(getattr(h, f, None) for f in HYPERLINK_FIELDS)
                       for h in b.hyperlink_list])
        compare_lists(findings, "merged range", name, a.merged_cells, b.merged_cells)
        compare_maps(findings, "column info", name, a.colinfo_map, b.colinfo_map,
                     lambda info: (info.width, info.hidden, info.xf_index),
                     lambda p: "column %d" % (p + 1))
        compare_maps(findings, "row height", name, a.rowinfo_map, b.rowinfo_map,
                     lambda info: info.height, lambda p: "row %d" % (p + 1))
        compare_cells(findings, name, a, b)
    return findings


# ---------------------------------------------------------------------------------------
# The compound document's other streams.

WORKBOOK_NAMES = ("WORKBOOK", "BOOK")


def entries_of(ole):
    """Full path -> (kind, class id) of every storage and stream, and the path of the
    workbook stream ("Workbook" before "Book", as readers choose) or None."""
    entries = {}
    for path in ole.listdir(streams=True, storages=True):
        key = "/".join(path)
        entries[key] = ("stream" if ole.get_type(path) == olefile.STGTY_STREAM else "storage",
                        ole.getclsid(path))
    workbook = None
    for wanted in WORKBOOK_NAMES:
        for key, (kind, _) in entries.items():
            if kind == "stream" and "/" not in key and key.upper() == wanted:
                workbook = key
                break
        if workbook:
            break
    return entries, workbook


def check_streams(original, saved):
    """The `streams` check."""
    findings = Findings()
    try:
        before = olefile.OleFileIO(original)
        entries_a, workbook_a = entries_of(before)
    except Exception as error:  # olefile raises many kinds on damaged files
        raise Unusable("olefile cannot read the original: %s: %s" % (type(error).__name__,
                                                                     error))
    with before:
        if workbook_a is None:
            raise Unusable("the original has no workbook stream")
        try:
            after = olefile.OleFileIO(saved)
            entries_b, workbook_b = entries_of(after)
        except Exception as error:
            findings.differ("saved file unreadable", "olefile cannot read the saved file: "
                            "%s: %s" % (type(error).__name__, error))
            return findings
        with after:
            compare_documents(findings, before, after, (entries_a, workbook_a),
                              (entries_b, workbook_b))
    return findings


def compare_documents(findings, before, after, listed_a, listed_b):
    """Entries, class ids and stream bytes of two open documents; `listed_*` are their
    entries_of()."""
    (entries_a, workbook_a), (entries_b, workbook_b) = listed_a, listed_b
    if workbook_b is None:
        findings.differ("workbook stream missing", "the saved file has no workbook stream")
    elif workbook_b != workbook_a:
        findings.notes.append("workbook stream %r saved as %r" % (workbook_a, workbook_b))
    if before.root.clsid != after.root.clsid:
        findings.differ("class id", "root class id %r became %r" % (before.root.clsid,
                                                                     after.root.clsid))
    others_a = {k: v for k, v in entries_a.items() if k != workbook_a}
    others_b = {k: v for k, v in entries_b.items() if k != workbook_b}
    for key in sorted(set(others_a) - set(others_b)):
        findings.differ("%s missing" % others_a[key][0], "%s %r is missing" % (others_a[key][0],
                                                                               key))
    for key in sorted(set(others_b) - set(others_a)):
        findings.differ("%s extra" % others_b[key][0], "%s %r is extra" % (others_b[key][0],
                                                                           key))
    for key in sorted(set(others_a) & set(others_b)):
        (kind_a, id_a), (kind_b, id_b) = others_a[key], others_b[key]
        if kind_a != kind_b:
            findings.differ("entry kind", "%r: %s became %s" % (key, kind_a, kind_b))
            continue
        if id_a != id_b:
            findings.differ("class id", "%s %r: class id %r became %r" % (kind_a, key, id_a,
                                                                          id_b))
        if kind_a == "stream":
            try:
                data_a = before.openstream(key).read()
            except Exception as error:
                raise Unusable("olefile cannot read stream %r of the original: %s" % (key,
                                                                                     error))
            try:
                data_b = after.openstream(key).read()
            except Exception as error:
                findings.differ("stream differs", "stream %r cannot be read from the saved "
                                "file: %s" % (key, error))
                continue
            if data_a != data_b:
                findings.differ("stream differs", "stream %r: %d bytes became %d, first "
                                "difference at byte %d" % (key, len(data_a), len(data_b),
                                                           first_difference(data_a, data_b)))


# ---------------------------------------------------------------------------------------
# LibreOffice: recalculated values and formulas of many workbooks in one process.

# Functions spreadsheet programs recalculate at every change: the clock, chance, the
# file's place or the program's state may give them, and the formulas using them, other
# values at another load.
VOLATILE_FUNCTIONS = ("NOW", "TODAY", "RAND", "RANDBETWEEN", "OFFSET", "INDIRECT", "CELL",
                      "INFO")
VOLATILE_CALL = re.compile(r"(?<![\w.])(?:%s)\s*\(" % "|".join(VOLATILE_FUNCTIONS),
                           re.IGNORECASE)
STRING_LITERAL = re.compile(r'"(?:[^"]|"")*"')
# Loads more of each file whose values differ, to tell LibreOffice's own wavering apart.
REPEATS = 4

# A StarBasic module run from the command line: a conversion with --convert-to leaves it
# to the import whether the cached results of formulas stand, while calculateAll()
# recomputes every formula whatever the file or the import say. Per file it loads BASE.xls
# hidden, with its macros and links left alone, sets every number format to General (so
# that numbers come out whole and unformatted, and formulas take no format from the cells
# they use), recalculates, writes every sheet as CSV twice (BASE-formulas-N-*.csv, formula
# texts; BASE-values-N-*.csv, values), and appends to the status file a "start" line
# before and a "done" line (sheet count, the import filter, sheets whose formats could not
# be reset, sheet names as UTF-16 hex) or a "failed" line after: a file that hangs or
# crashes the program is the one started and not finished.
BASIC_MODULE = r'''REM Recalculates workbooks and exports each sheet as formulas and as values.

Function HexName(sText As String) As String
  Dim i As Long, nCode As Long, sOut As String
  sOut = ""
  For i = 1 To Len(sText)
    nCode = Asc(Mid(sText, i, 1))
    If nCode < 0 Then nCode = nCode + 65536
    sOut = sOut & Right("000" & Hex(nCode), 4)
  Next i
  HexName = sOut
End Function

Sub Note(sPath As String, sText As String)
  Dim nFile As Integer
  nFile = FreeFile
  Open sPath For Append As #nFile
  Print #nFile, sText
  Close #nFile
End Sub

Function ExportOne(sBase As String) As String
  Dim oDoc As Object, oSheet As Object, i As Long, nSheets As Long
  Dim sNames As String, sKept As String, sFilter As String, aArgs As Variant
  Dim aLoad(2) As New com.sun.star.beans.PropertyValue
  Dim aStore(1) As New com.sun.star.beans.PropertyValue
  On Error Goto Failed
  aLoad(0).Name = "Hidden" : aLoad(0).Value = True
  aLoad(1).Name = "MacroExecutionMode" : aLoad(1).Value = 0
  aLoad(2).Name = "UpdateDocMode" : aLoad(2).Value = 0
  oDoc = StarDesktop.loadComponentFromURL(ConvertToURL(sBase & ".xls"), "_blank", 0, aLoad())
  If IsNull(oDoc) Then
    ExportOne = "failed" & Chr(9) & "not loaded"
    Exit Function
  End If
  sFilter = ""
  aArgs = oDoc.getArgs()
  For i = 0 To UBound(aArgs)
    If aArgs(i).Name = "FilterName" Then sFilter = aArgs(i).Value
  Next i
  nSheets = oDoc.Sheets.Count
  sKept = ""
  For i = 0 To nSheets - 1
    oSheet = oDoc.Sheets.getByIndex(i)
    If oDoc.isReadonly() Or oSheet.isProtected() Then
      sKept = sKept & " " & i
    Else
      On Error Resume Next
      oSheet.NumberFormat = 0
      If Err <> 0 Then sKept = sKept & " " & i
      On Error Goto Failed
    End If
  Next i
  oDoc.calculateAll()
  aStore(0).Name = "FilterName" : aStore(0).Value = "Text - txt - csv (StarCalc)"
  aStore(1).Name = "FilterOptions"
  sNames = ""
  For i = 0 To nSheets - 1
    aStore(1).Value = "44,34,76,1,,0,false,true,false,true,false," & (i + 1)
    oDoc.storeToURL(ConvertToURL(sBase & "-formulas-" & i & "-.csv"), aStore())
    aStore(1).Value = "44,34,76,1,,0,false,true,false,false,false," & (i + 1)
    oDoc.storeToURL(ConvertToURL(sBase & "-values-" & i & "-.csv"), aStore())
    sNames = sNames & Chr(9) & HexName(oDoc.Sheets.getByIndex(i).Name)
  Next i
  oDoc.close(True)
  ExportOne = "done" & Chr(9) & nSheets & Chr(9) & sFilter & Chr(9) & Trim(sKept) & sNames
  Exit Function
Failed:
  ExportOne = "failed" & Chr(9) & Error$ & " (line " & Erl & ")"
  On Error Resume Next
  If Not IsNull(oDoc) Then oDoc.close(True)
End Function

Sub ExportAll(sList As String, sStatus As String)
  Dim nList As Integer, sBase As String
  nList = FreeFile
  Open sList For Input As #nList
  Do While Not EOF(nList)
    Line Input #nList, sBase
    If sBase <> "" Then
      Note(sStatus, "start" & Chr(9) & sBase)
      Note(sStatus, ExportOne(sBase))
    End If
  Loop
  Close #nList
  StarDesktop.terminate()
End Sub
'''


class Export:
    """What LibreOffice made of one workbook: "done" with the import filter it chose and
    the sheets as (name, values, formulas) in sheet order, each {(row, column): text}, or
    "failed" with the reason."""

    def __init__(self, status, reason="", sheets=(), formats_kept=(), filter_name="MS Excel 97"):
        self.status = status
        self.reason = reason
        self.sheets = list(sheets)
        self.formats_kept = list(formats_kept)
        self.filter_name = filter_name

    def problem(self):
        """Why this is no workbook as LibreOffice read it, or None. A file its Excel
        filters refuse may still open, through another filter, as text."""
        if self.status != "done":
            return "LibreOffice cannot open it: " + self.reason
        if not self.filter_name.startswith("MS Excel"):
            return "LibreOffice reads it as %s, not as a workbook" % (self.filter_name or
                                                                      "no known type")
        return None


def prepare_profile(profile):
    """A private LibreOffice profile holding the export module."""
    module = Path(profile) / "user" / "basic" / "Standard" / "Module1.xba"
    if not module.exists():
        run(["soffice", "-env:UserInstallation=" + Path(profile).resolve().as_uri(),
             "--headless", "--terminate_after_init"], "soffice making a profile")
        if not module.parent.is_dir():
            raise ToolFailure("soffice made no Basic library in the profile " + profile)
    module.write_text(
        '<?xml version="1.0" encoding="UTF-8"?>\n<!DOCTYPE script:module PUBLIC '
        '"-//OpenOffice.org//DTD OfficeDocument 1.0//EN" "module.dtd">\n<script:module '
        'xmlns:script="http://openoffice.org/2000/script" script:name="Module1" '
        'script:language="StarBasic">%s</script:module>\n' % escape(BASIC_MODULE,
                                                                   {'"': "&quot;"}),
        encoding="utf-8")


def run_export_process(profile, bases, folder, attempt):
    """Runs the module over `bases` in one soffice; returns the status lines. A process
    that writes no status line for TIMEOUT_SECONDS is stopped."""
    list_path = os.path.join(folder, "list-%d.txt" % attempt)
    status_path = os.path.join(folder, "status-%d.txt" % attempt)
    with open(list_path, "w", encoding="ascii") as out:
        out.write("".join(base + "\n" for base in bases))
    macro = 'macro:///Standard.Module1.ExportAll("%s","%s")' % (list_path, status_path)
    command = ["soffice", "-env:UserInstallation=" + Path(profile).resolve().as_uri(),
               "--headless", "--norestore", macro]
    with open(os.path.join(folder, "soffice-%d.log" % attempt), "wb") as log:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                   start_new_session=True)
        size, changed = -1, time.monotonic()
        while process.poll() is None:
            time.sleep(0.3)
            now_size = os.path.getsize(status_path) if os.path.exists(status_path) else 0
            if now_size != size:
                size, changed = now_size, time.monotonic()
            elif time.monotonic() - changed > TIMEOUT_SECONDS:
                # Its own session: the group holds soffice and nothing else.
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
                break
    if not os.path.exists(status_path):
        return []
    with open(status_path, encoding="utf-8", errors="replace") as handle:
        return handle.read().splitlines()


def read_export(base, line):
    """The Export of a "done" or "failed" status line."""
    fields = line.split("\t")
    if fields[0] != "done":
        return Export("failed", " ".join(fields[1:]).strip() or "failed")
    count, filter_name = int(fields[1]), fields[2]
    kept = [int(i) for i in fields[3].split()]
    names = [bytes.fromhex(h).decode("utf-16-be", "replace") for h in fields[4:4 + count]]
    folder, stem = os.path.split(base)
    files = os.listdir(folder)
    sheets = []
    for index, name in enumerate(names):
        parts = []
        for variant in ("values", "formulas"):
            prefix = "%s-%s-%d-" % (stem, variant, index)
            found = [f for f in files if f.startswith(prefix) and f.endswith(".csv")]
            parts.append(read_cells(os.path.join(folder, found[0])) if found else {})
        sheets.append((name, parts[0], parts[1]))
    return Export("done", sheets=sheets, formats_kept=kept, filter_name=filter_name)


def editable_copy(path, target):
    """Copies a workbook for LibreOffice with its recommendation to open it read-only and
    the protection of its sheets cleared: LibreOffice follows them, and number formats
    cannot be reset in a read-only document or on a protected sheet (values would be
    compared as shown). Whether the save keeps them is for the records check to say."""
    shutil.copyfile(path, target)
    try:
        with olefile.OleFileIO(target, write_mode=True) as ole:
            name = next((n for n in ("Workbook", "Book") if ole.exists(n)), None)
            if name is None:
                return
            stream = bytearray(ole.openstream(name).read())
            changed = False
            for record in cut_records(bytes(stream))[0]:
                if (record.code in (FILESHARING, PROTECT) and len(record.data) >= 2
                        and any(record.data[:2])):
                    stream[record.offset + 4:record.offset + 6] = bytes(2)
                    changed = True
            if changed:
                ole.write_stream(name, bytes(stream))
    except Exception:  # a file olefile cannot rewrite goes to LibreOffice as it was
        shutil.copyfile(path, target)


def libreoffice_exports(paths, work_dir, run_name="exports"):
    """The Export of every workbook in `paths`, in their order (a path named twice is
    loaded twice), all in one soffice process: another takes over after a file that
    hangs or crashes it. The exports go to WORK_DIR/libreoffice-RUN_NAME."""
    if shutil.which("soffice") is None:
        raise ToolFailure("soffice not found: install libreoffice-calc-nogui "
                          "(scripts/bootstrap.sh does)")
    work_dir = os.path.abspath(work_dir)
    if '"' in work_dir:
        raise ToolFailure("the work folder's path may not hold a quote: " + work_dir)
    profile = os.path.join(work_dir, "libreoffice-profile")
    folder = os.path.join(work_dir, "libreoffice-" + run_name)
    os.makedirs(folder, exist_ok=True)
    prepare_profile(profile)
    # Copies under plain names: the module builds file names from them, and Basic's file
    # functions need not take every character a corpus name holds.
    bases = []
    for number, path in enumerate(paths):
        bases.append(os.path.join(folder, "b%05d" % number))
        editable_copy(path, bases[-1] + ".xls")
    results = {}
    pending = list(bases)
    attempt = 0
    while pending:
        lines = run_export_process(profile, pending, folder, attempt)
        attempt += 1
        started = None
        for line in lines:
            if line.startswith("start\t"):
                started = line[len("start\t"):]
            elif started is not None:
                results[started] = read_export(started, line)
                started = None
        if started is None and not any(b in results for b in pending):
            raise ToolFailure("soffice ran the export module on no file (see %s)" % folder)
        if started is not None:
            results[started] = Export("failed", "soffice hung or crashed on it")
        pending = [b for b in pending if b not in results]
    return [results[base] for base in bases]


def volatile_places(path, export):
    """Sheet name -> the cells whose value may change from one calculation to the next:
    formulas calling a volatile function, and formulas that refer to such a cell on the
    same sheet, directly or not. References to other sheets and to defined names are not
    followed: in a workbook with any volatile call, formulas holding them count too."""
    seeds = {}
    for name, _, formulas in export.sheets:
        seeds[name] = {place for place, text in formulas.items()
                       if text.startswith("=")
                       and VOLATILE_CALL.search(STRING_LITERAL.sub('""', text))}
    if not any(seeds.values()):
        return seeds
    try:
        stream = formula_cells.workbook_stream(path)
    except Exception:  # a file olefile cannot take: the calls themselves are all we know
        return seeds
    marked = dict(seeds)
    records, _ = cut_records(stream)
    for group in split_substreams(records):
        if group.kind != "worksheet" or group.name not in seeds:
            continue
        formulas = formula_cells.sheet_formulas(stream, group.records[0].offset)
        table = {place: (place in seeds[group.name] or scanned is None or scanned[0],
                         scanned[1] if scanned else [])
                 for place, scanned in formulas.items()}
        for place in seeds[group.name]:
            table.setdefault(place, (True, []))
        marked[group.name] = formula_cells.recalculated_cells(table)
    return marked


def same_text(a, b):
    """Two exported values agree: the same text, or numbers of the same value."""
    if a == b:
        return True
    try:
        return float(a) == float(b)
    except ValueError:
        return False


def unstable_places(exports):
    """Sheet name -> the cells whose value differs between loads of the same file."""
    loaded = [e for e in exports if e.status == "done"]
    places = {}
    for runs in zip(*(e.sheets for e in loaded)):
        name = runs[0][0]
        if any(run[0] != name for run in runs):
            continue
        cells = set().union(*(run[1] for run in runs))
        places[name] = {place for place in cells
                        if len({run[1].get(place, "") for run in runs}) > 1}
    return places


def check_recalculated(original, saved, before, after, unstable=None):
    """The `recalc` check for one workbook, from the LibreOffice exports of both files;
    `unstable`: sheet name -> cells left out as LibreOffice does not calculate them the
    same way twice."""
    findings = Findings()
    if before.problem():
        raise Unusable("the original: " + before.problem())
    if after.problem():
        findings.differ("not opened by LibreOffice", "the saved file: " + after.problem())
        return findings
    skip_a = volatile_places(original, before)
    skip_b = volatile_places(saved, after)
    unstable = unstable or {}
    sheets_b = {name: (values, formulas) for name, values, formulas in after.sheets}
    skipped = wavering = 0
    for index, (name, values, formulas) in enumerate(before.sheets):
        if name not in sheets_b:
            findings.differ("sheet missing", "sheet %r (%d cells) is missing" % (name,
                                                                                len(values)))
            continue
        got, got_formulas = sheets_b[name]
        skip = skip_a.get(name, set()) | skip_b.get(name, set())
        for place in sorted(set(values) | set(got)):
            want, have = values.get(place, ""), got.get(place, "")
            if same_text(want, have):
                continue
            if place in skip:
                skipped += 1
                continue
            if place in unstable.get(name, ()):
                wavering += 1
                continue
            findings.differ("value", "sheet %r cell %s: %r became %r" % (
                name, cell_name(place), want, have))
        for place in sorted(set(formulas) | set(got_formulas)):
            want, have = formulas.get(place, ""), got_formulas.get(place, "")
            if (want.startswith("=") or have.startswith("=")) and want != have:
                findings.differ("formula", "sheet %r cell %s: formula %r became %r" % (
                    name, cell_name(place), want, have))
    names_a = [name for name, _, _ in before.sheets]
    for name, values, _ in after.sheets:
        if name not in names_a:
            findings.differ("sheet extra", "sheet %r (%d cells) is extra" % (name, len(values)))
    order_b = [name for name, _, _ in after.sheets if name in names_a]
    if order_b != [name for name in names_a if name in sheets_b]:
        findings.differ("sheet order", "sheet order %r became %r" % (names_a, order_b))
    if skipped:
        findings.notes.append("%d cells with volatile formulas, or depending on one, differ"
                              % skipped)
    if wavering:
        findings.notes.append("%d cells that LibreOffice calculates differently from one load "
                              "to the next differ" % wavering)
    if before.formats_kept or after.formats_kept:
        findings.notes.append("number formats could not be reset on sheets %r / %r (protected)"
                              " : their values are compared as shown" % (
                                  before.formats_kept, after.formats_kept))
    return findings


def recalc_findings(pairs, exports, work_dir):
    """original -> Findings of the `recalc` check for every (original, saved) pair, from
    `exports` (path -> Export of every file). LibreOffice does not calculate every formula
    the same way twice (array formulas with FREQUENCY, for one): where values differ, both
    files are loaded REPEATS times more, and the cells whose values change from one load of
    the same file to the next are left out."""
    results = {original: guarded(check_recalculated, original, saved, exports[original],
                                 exports[saved]) for original, saved in pairs}
    unsettled = [pair for pair in pairs if results[pair[0]].kinds.get("value")]
    if not unsettled:
        return results
    paths = [path for pair in unsettled for path in pair] * REPEATS
    runs = {}
    for path, export in zip(paths, libreoffice_exports(paths, work_dir, "exports-again")):
        runs.setdefault(path, [exports[path]]).append(export)
    for original, saved in unsettled:
        unstable = unstable_places(runs[original])
        for name, places in unstable_places(runs[saved]).items():
            unstable[name] = unstable.get(name, set()) | places
        results[original] = guarded(check_recalculated, original, saved, exports[original],
                                    exports[saved], unstable)
    return results


# ---------------------------------------------------------------------------------------
# Messages of Gnumeric and LibreOffice.

def gnumeric_reading(path, out_dir):
    """(failure or None, messages) of ssconvert reading the file: what it says, without
    process numbers, times, addresses and the file's own path."""
    if shutil.which("ssconvert") is None:
        raise ToolFailure("ssconvert not found: install gnumeric (scripts/bootstrap.sh does)")
    os.makedirs(out_dir, exist_ok=True)
    target = os.path.join(out_dir, os.path.basename(path) + ".csv")
    try:
        done = run(["ssconvert", "-T", "Gnumeric_stf:stf_csv", path, target],
                   "ssconvert on " + path)
        text, failure = done.stderr.decode("utf-8", "replace"), None
    except ToolFailure as error:
        failure, _, text = str(error).partition("\n")
        failure = failure.replace(path, "FILE")
    return failure, said(text.replace(path, "FILE"))


def check_gnumeric(original, saved, out_dir):
    """The Gnumeric half of the `warnings` check for one workbook."""
    findings = Findings()
    failure_a, messages_a = gnumeric_reading(original, os.path.join(out_dir, "original"))
    if failure_a:
        raise Unusable("Gnumeric fails on the original: " + failure_a)
    failure_b, messages_b = gnumeric_reading(saved, os.path.join(out_dir, "saved"))
    if failure_b:
        findings.differ("Gnumeric fails", "Gnumeric fails on the saved file: " + failure_b)
    for message in sorted(messages_b - messages_a):
        findings.differ("Gnumeric message", "Gnumeric says of the saved file, not of the "
                        "original: %r" % message)
    for message in sorted(messages_a - messages_b):
        findings.notes.append("Gnumeric says of the original, not of the saved file: %r"
                              % message)
    return findings


def check_libreoffice_opens(before, after):
    """The LibreOffice half of the `warnings` check, from the exports of both files."""
    findings = Findings()
    if before.problem():
        raise Unusable("the original: " + before.problem())
    if after.problem():
        findings.differ("LibreOffice fails", "the saved file: " + after.problem())
    elif len(after.sheets) != len(before.sheets):
        findings.differ("LibreOffice sheet count", "LibreOffice reads %d sheets, the original "
                        "has %d" % (len(after.sheets), len(before.sheets)))
    return findings


def merged(*parts):
    """One Findings of several checks' parts; an error in any part is the whole's."""
    whole = Findings()
    for part in parts:
        whole.kinds.update(part.kinds)
        whole.lines += part.lines
        whole.notes += part.notes
        whole.error = whole.error or part.error
    return whole


# ---------------------------------------------------------------------------------------
# Command line.

def parse_codes(text):
    try:
        return frozenset(int(code, 16) for code in text.split(",") if code.strip())
    except ValueError:
        raise argparse.ArgumentTypeError("record codes are hex numbers separated by commas: %r"
                                         % text)


def pair_command(check, args):
    for path in (args.original, args.saved):
        if not os.path.isfile(path):
            print("%s: no such file" % path)
            return 2
    findings = guarded(*((check, args.original, args.saved) + (
        (args.rewritten,) if check is check_records else ())))
    for line in findings.report() + findings.summary():
        print(line)
    return findings.exit_status()


def folder_command(name, args):
    """`recalc` and `warnings`: every .xls of ORIGINAL_DIR against its saved copy."""
    for folder in (args.original_dir, args.saved_dir):
        if not os.path.isdir(folder):
            print("%s: no such folder" % folder)
            return 2
    os.makedirs(args.work_dir, exist_ok=True)
    names = sorted(n for n in os.listdir(args.original_dir) if n.lower().endswith(".xls"))
    originals = [os.path.join(args.original_dir, n) for n in names]
    saved = {n: os.path.join(args.saved_dir, n) for n in names
             if os.path.isfile(os.path.join(args.saved_dir, n))}
    try:
        paths = originals + list(saved.values())
        exports = dict(zip(paths, libreoffice_exports(paths, args.work_dir)))
        pairs = [(original, saved[n]) for n, original in zip(names, originals) if n in saved]
        if name == "recalc":
            found = recalc_findings(pairs, exports, args.work_dir)
        else:
            found = {original: merged(
                guarded(check_libreoffice_opens, exports[original], exports[copy]),
                guarded(check_gnumeric, original, copy,
                        os.path.join(args.work_dir, "gnumeric", "%05d" % number)))
                for number, (original, copy) in enumerate(pairs)}
        results = {}
        for n, original in zip(names, originals):
            if n in saved:
                results[n] = found[original]
            else:
                results[n] = Findings()
                results[n].differ("no saved file", "no saved file")
    except ToolFailure as failure:
        print(failure)
        return 2
    kinds = Counter()
    for n in names:
        for line in results[n].report(n + ": "):
            print(line)
        kinds.update(results[n].kinds)
    statuses = Counter(results[n].status for n in names)
    print("%d files: %d equal, %d differ, %d not compared" % (
        len(names), statuses["equal"], statuses["differs"], statuses["error"]))
    for kind, count in sorted(kinds.items()):
        print("  %s: %d" % (kind, count))
    return 1 if statuses["differs"] else 2 if statuses["error"] else 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    for name in ("records", "xlrd", "streams"):
        sub = commands.add_parser(name)
        sub.add_argument("original")
        sub.add_argument("saved")
        if name == "records":
            sub.add_argument("--rewritten", type=parse_codes, default=frozenset(),
                             help="hex record codes the save rewrites, e.g. 00FC,003C,00FF")
    for name in ("recalc", "warnings"):
        sub = commands.add_parser(name)
        sub.add_argument("original_dir")
        sub.add_argument("saved_dir")
        sub.add_argument("work_dir")
    try:
        args = parser.parse_args(argv)
    except SystemExit as stop:
        return 0 if stop.code == 0 else 2
    if args.command in ("recalc", "warnings"):
        return folder_command(args.command, args)
    return pair_command({"records": check_records, "xlrd": check_xlrd,
                         "streams": check_streams}[args.command], args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
