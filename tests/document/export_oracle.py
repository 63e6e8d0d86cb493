"""Independent checks of the .xlsx and CSV exports, for the export tests.

  export_oracle.py check LIST
      LIST holds lines "xlsx<TAB>ORIGINAL.xls<TAB>EXPORTED.xlsx" and
      "csv<TAB>ORIGINAL.xls<TAB>FOLDER". For xlsx: openpyxl must open EXPORTED and find,
      sheet by sheet, the worksheets and cells xlrd reads from ORIGINAL: the same names,
      numbers, texts, booleans, error texts, dates (xlrd's date numbers as openpyxl's
      datetimes), each value cell's look (font, solid fill, alignment, custom number
      format), merged ranges and column widths, and no value where xlrd has none. For
      csv: every worksheet of ORIGINAL has its CSV file in FOLDER, named after the sheet,
      and FOLDER holds nothing else; each is UTF-8 without a byte-order mark, with lines
      ending in CR LF; Python's csv module reads from it, field by field, what xlrd reads
      from the worksheet (dates as ISO text).
      Prints one "DIFF" line per difference (at most 20 a line of LIST) and a line of
      counts over all ("sheets N cells N dates N formats N merged N widths N", each
      counted per format: "xlsx-cells N csv-cells N ..."); exits 1 when anything differs.
  export_oracle.py dump EXPORTED.xlsx
      Prints what openpyxl reads from EXPORTED, one fact a line (see dump()).
"""
import csv
import datetime
import io
import math
import os
import re
import sys
import zipfile

import openpyxl
import xlrd
from openpyxl.utils import get_column_letter

ERROR_TEXTS = {0x00: "#NULL!", 0x07: "#DIV/0!", 0x0F: "#VALUE!", 0x17: "#REF!",
               0x1D: "#NAME?", 0x24: "#NUM!", 0x2A: "#N/A"}

diffs = []
counts = {"sheets": 0, "cells": 0, "dates": 0, "formats": 0, "merged": 0, "widths": 0}


def diff(text):
    diffs.append(text)


def open_xls(path):
    return xlrd.open_workbook(path, formatting_info=True, logfile=open(os.devnull, "w"))


def acceptable(name):
    """A sheet name as the export gives it (the names spreadsheet programs accept)."""
    name = "".join("_" if c in ':\\/?*[]' or ord(c) < 0x20 else c for c in name)
    return name.strip("'")[:31]


def value_cells(sheet):
    for r in range(sheet.nrows):
        for c in range(sheet.ncols):
            cell = sheet.cell(r, c)
            if cell.ctype not in (xlrd.XL_CELL_EMPTY, xlrd.XL_CELL_BLANK):
                yield r, c, cell


def same_number(a, b):
    # libxlsxwriter writes 16 significant digits.
    if isinstance(b, bool) or not isinstance(b, (int, float)):
        return False
    return a == b or math.isclose(a, b, rel_tol=1e-15, abs_tol=1e-300)


def serial_of(value):
    """The 1900-system serial number of what openpyxl read as a date or time."""
    if isinstance(value, datetime.datetime):
        delta = value - datetime.datetime(1899, 12, 30)
        serial = delta.days + delta.seconds / 86400 + delta.microseconds / 86400e6
        return serial - 1 if serial < 61 else serial
    if isinstance(value, datetime.date):
        return serial_of(datetime.datetime(value.year, value.month, value.day))
    if isinstance(value, datetime.time):
        return (value.hour * 3600 + value.minute * 60 + value.second +
                value.microsecond / 1e6) / 86400
    if isinstance(value, datetime.timedelta):
        return value.total_seconds() / 86400
    return None


def same_date(number, datemode, value):
    """xlrd's date number against openpyxl's value: the same moment in the calendar (a
    time of day alone: the same time)."""
    got = serial_of(value)
    if got is None:
        return False
    if isinstance(value, (datetime.time, datetime.timedelta)) or datemode == 0:
        if isinstance(value, datetime.time):
            number = number % 1
        return abs(got - number) < 0.5 / 86400
    # A 1904 workbook's date: the day it shows.
    return abs(got - (number + 1462)) < 0.5 / 86400


HORIZONTAL = {0: None, 1: "left", 2: "center", 3: "right", 4: "fill", 5: "justify",
              6: "centerContinuous", 7: "distributed"}
VERTICAL = {0: "top", 1: "center", 2: None, 3: "justify", 4: "distributed"}
SYSTEM_FILLS = {64: (0, 0, 0), 65: (255, 255, 255)}


def rgb_text(rgb):
    return "FF%02X%02X%02X" % rgb


def format_problems(book, cell, got):
    """What of the cell's look did not come through: its font (name, size, weight,
    slant, underline, colour), its solid fill, its alignment and its custom number
    format."""
    xf = book.xf_list[cell.xf_index]
    font = book.font_list[xf.font_index]
    problems = []

    def expect(what, value, wanted):
        if value != wanted:
            problems.append("%s %r, expected %r" % (what, value, wanted))

    expect("font", got.font.name, font.name)
    expect("size", got.font.sz, font.height / 20)
    expect("bold", bool(got.font.b), font.weight >= 600)
    expect("italic", bool(got.font.i), bool(font.italic))
    underline = {0: None, 1: "single", 2: "double", 0x21: "singleAccounting",
                 0x22: "doubleAccounting"}.get(font.underline_type)
    expect("underline", got.font.u, underline)
    colour = book.colour_map.get(font.colour_index)
    if colour is not None:
        expect("colour", got.font.color and got.font.color.rgb, rgb_text(colour))
    if xf.background.fill_pattern == 1:
        index = xf.background.pattern_colour_index
        fill = SYSTEM_FILLS.get(index) or book.colour_map.get(index)
        expect("fill", (got.fill.patternType, got.fill.fgColor.rgb), ("solid", rgb_text(fill)))
    expect("horizontal", got.alignment.horizontal, HORIZONTAL.get(xf.alignment.hor_align))
    expect("vertical", got.alignment.vertical, VERTICAL.get(xf.alignment.vert_align))
    expect("wrap", bool(got.alignment.wrap_text), bool(xf.alignment.text_wrapped))
    number_format = book.format_map.get(xf.format_key)
    if xf.format_key >= 164 and number_format is not None:
        expect("number format", got.number_format, number_format.format_str)
    return problems


def check_xlsx(original, exported):
    book = open_xls(original)
    out = openpyxl.load_workbook(exported)
    names = [acceptable(s.name) for s in book.sheets()]
    if out.sheetnames != names:
        diff("sheet names %r, expected %r" % (out.sheetnames, names))
        return
    for sheet in book.sheets():
        counts["sheets"] += 1
        ws = out.worksheets[sheet.number]
        seen = set()
        for r, c, cell in value_cells(sheet):
            seen.add((r + 1, c + 1))
            got = ws.cell(row=r + 1, column=c + 1).value
            where = "%s!%s%d" % (sheet.name, get_column_letter(c + 1), r + 1)
            counts["cells"] += 1
            if cell.ctype == xlrd.XL_CELL_NUMBER:
                ok = same_number(cell.value, got) if math.isfinite(cell.value) else got == "#NUM!"
            elif cell.ctype == xlrd.XL_CELL_TEXT:
                ok = got == cell.value or (cell.value == "" and got is None)
            elif cell.ctype == xlrd.XL_CELL_BOOLEAN:
                ok = got is bool(cell.value)
            elif cell.ctype == xlrd.XL_CELL_ERROR:
                ok = got == ERROR_TEXTS.get(cell.value, "#N/A")
            elif cell.ctype == xlrd.XL_CELL_DATE:
                counts["dates"] += 1
                ok = same_date(cell.value, book.datemode, got)
            else:
                ok = False
            if not ok:
                diff("%s: %r (type %d) read back as %r" % (where, cell.value, cell.ctype, got))
            counts["formats"] += 1
            for problem in format_problems(book, cell, ws.cell(row=r + 1, column=c + 1)):
                diff("%s: %s" % (where, problem))
        for row in ws.iter_rows():
            for cell in row:
                if cell.value is not None and (cell.row, cell.column) not in seen:
                    diff("%s!%s: %r where the original has none" %
                         (sheet.name, cell.coordinate, cell.value))
        expected = set()
        for rlo, rhi, clo, chi in sheet.merged_cells:
            if rhi - rlo > 1 or chi - clo > 1:
                expected.add((rlo + 1, rhi, clo + 1, chi))
        got = set((m.min_row, m.max_row, m.min_col, m.max_col) for m in ws.merged_cells.ranges)
        counts["merged"] += len(got)
        if got != expected:
            diff("%s: merged ranges %r, expected %r" %
                 (sheet.name, sorted(got), sorted(expected)))
        widths = {}
        for dimension in ws.column_dimensions.values():
            for c in range(dimension.min or 0, (dimension.max or 0) + 1):
                widths[c] = dimension
        for c, info in sheet.colinfo_map.items():
            if info.hidden or info.width == 0 or c > 255:
                continue
            counts["widths"] += 1
            dimension = widths.get(c + 1)
            # One pixel is a seventh of a digit's width.
            if dimension is None or abs(dimension.width - info.width / 256) > 0.15:
                diff("%s: column %d %r wide, expected %r" %
                     (sheet.name, c, dimension and dimension.width, info.width / 256))


def csv_names(sheet_names):
    """The file names the export gives the sheets' CSV files."""
    taken = set()
    files = []
    for name in sheet_names:
        name = "".join("_" if c in '/\\:*?"<>|' or ord(c) < 0x20 or ord(c) == 0x7F else c
                       for c in name)
        if name.startswith("."):
            name = "_" + name[1:]
        name = name or "Sheet"
        candidate, k = name, 2
        while candidate.upper() in taken:
            candidate, k = "%s (%d)" % (name, k), k + 1
        taken.add(candidate.upper())
        files.append(candidate + ".csv")
    return files


def field_of(book, cell):
    if cell.ctype == xlrd.XL_CELL_NUMBER:
        return cell.value
    if cell.ctype == xlrd.XL_CELL_TEXT:
        return cell.value
    if cell.ctype == xlrd.XL_CELL_BOOLEAN:
        return "TRUE" if cell.value else "FALSE"
    if cell.ctype == xlrd.XL_CELL_ERROR:
        return ERROR_TEXTS.get(cell.value, "#N/A")
    if cell.ctype == xlrd.XL_CELL_DATE:
        return ("date", cell.value)
    return None


def same_field(book, expected, text):
    if isinstance(expected, float):
        if not math.isfinite(expected):
            return text == "#NUM!"
        try:
            return float(text) == expected and not text.endswith(".0")
        except ValueError:
            return False
    if isinstance(expected, tuple):
        counts["dates"] += 1
        number = expected[1]
        try:
            moment = xlrd.xldate_as_datetime(number, book.datemode)
        except Exception:
            return text == repr(number)
        if "-" not in text:  # a time of day
            return moment.strftime("%H:%M:%S") == text
        for shape in ("%Y-%m-%d %H:%M:%S", "%Y-%m-%d"):
            try:
                read = datetime.datetime.strptime(text, shape)
            except ValueError:
                continue
            return abs((read - moment).total_seconds()) <= 0.5
        return False
    return text == expected


def check_csv(original, folder):
    book = open_xls(original)
    files = csv_names([acceptable(s.name) for s in book.sheets()])
    if sorted(os.listdir(folder)) != sorted(files):
        diff("files %r, expected %r" % (sorted(os.listdir(folder)), sorted(files)))
        return
    for sheet, name in zip(book.sheets(), files):
        counts["sheets"] += 1
        with open(os.path.join(folder, name), "rb") as f:
            raw = f.read()
        if raw.startswith(b"\xef\xbb\xbf"):
            diff("%s begins with a byte-order mark" % name)
        text = raw.decode("utf-8")
        rows = list(csv.reader(io.StringIO(text, newline="")))
        if raw and not raw.endswith(b"\r\n"):
            diff("%s does not end its last line with CR LF" % name)
        expected = {(r, c): field_of(book, cell) for r, c, cell in value_cells(sheet)}
        last_row = max((r for r, _ in expected), default=-1)
        last_column = max((c for _, c in expected), default=-1)
        if len(rows) != last_row + 1:
            diff("%s: %d rows, expected %d" % (name, len(rows), last_row + 1))
            continue
        for r, row in enumerate(rows):
            if len(row) != last_column + 1:
                diff("%s: row %d has %d fields, expected %d" % (name, r, len(row), last_column + 1))
                continue
            for c, field in enumerate(row):
                want = expected.get((r, c))
                if want is None:
                    if field != "":
                        diff("%s: %d,%d is %r where the original has none" % (name, r, c, field))
                    continue
                counts["cells"] += 1
                if not same_field(book, want, field):
                    diff("%s: %d,%d is %r, expected %r" % (name, r, c, field, want))


def dump(exported):
    """What openpyxl reads from an export, one fact a line, for tests that know what to
    expect: the sheet names, then per sheet each value (long texts by their length), the
    merged ranges, the solid fills and the column widths; then the shared strings that
    hold escaped characters, as written."""
    out = openpyxl.load_workbook(exported)
    print("sheets %r" % out.sheetnames)
    for ws in out.worksheets:
        print("sheet %r" % ws.title)
        for row in ws.iter_rows():
            for cell in row:
                value = cell.value
                if isinstance(value, str) and len(value) > 100:
                    value = "%d characters" % len(value)
                if value is not None:
                    print("%s %r" % (cell.coordinate, value))
                if cell.fill.patternType == "solid":
                    print("fill %s %s" % (cell.coordinate, cell.fill.fgColor.rgb))
        print("merged %s" % " ".join(sorted(str(m) for m in ws.merged_cells.ranges)))
        for letter, dimension in sorted(ws.column_dimensions.items()):
            if dimension.customWidth:
                print("width %s %.2f" % (letter, dimension.width))
    # Shared strings holding "_x", as written: the spreadsheet programs read "_x0041_" in
    # them as "A", which openpyxl does not.
    with zipfile.ZipFile(exported) as package:
        if "xl/sharedStrings.xml" in package.namelist():
            for text in re.findall(r"<t[^>]*>([^<]*)</t>",
                                   package.read("xl/sharedStrings.xml").decode("utf-8")):
                if "_x" in text:
                    print("xml text %r" % text)


def main():
    if sys.argv[1] == "dump":
        dump(sys.argv[2])
        return 0
    totals = {}
    failed = False
    with open(sys.argv[2], encoding="utf-8") as pairs:
        for line in pairs:
            mode, original, exported = line.rstrip("\n").split("\t")
            del diffs[:]
            for key in counts:
                counts[key] = 0
            try:
                (check_xlsx if mode == "xlsx" else check_csv)(original, exported)
            except Exception as error:  # a file the readers refuse is the finding
                diff("%s: %s" % (type(error).__name__, error))
            for text in diffs[:20]:
                print("DIFF %s %s: %s" % (mode, os.path.basename(original), text))
            failed = failed or bool(diffs)
            for key, value in counts.items():
                totals[mode + "-" + key] = totals.get(mode + "-" + key, 0) + value
    print(" ".join("%s %d" % item for item in sorted(totals.items())))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
