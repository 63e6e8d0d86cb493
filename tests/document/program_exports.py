"""The cells LibreOffice and Gnumeric read from .xls files, through their CSV exports.

LibreOffice converts a whole folder in one call (it is slow to start), every sheet into a
CSV of its own, each cell as shown (formatted). Gnumeric converts one file per call,
writes numbers raw (every digit it keeps), and tells what it did not like on standard
error; those messages are kept for comparison.
"""
import csv
import os
import re
import shutil
import subprocess

import xlrd

# Below the test's own time limit, so that a hung program is named in the report.
TIMEOUT_SECONDS = 240
# Field separator 44 (comma), text delimiter 34 ("), character set 76 (UTF-8), first line
# 1, no column formats, language 0, do not quote every text, detect special numbers, save
# cell contents as shown, do not export formulas, do not trim spaces, and sheet -1: every
# sheet into its own file named BASE-SHEET.csv.
LIBREOFFICE_FILTER = "csv:Text - txt - csv (StarCalc):44,34,76,1,,0,false,true,true,false,false,-1"
# "raw" writes numbers unformatted; with -S, %n in the file name is the sheet's number from
# 0 and %s its name.
GNUMERIC_OPTIONS = "separator=, format=raw quoting-mode=auto charset=UTF-8"
GNUMERIC_FILE = re.compile(r"^(\d+)\.(.*)\.csv$")


class ToolFailure(Exception):
    pass


def read_cells(path):
    """(row, column) -> text of every non-empty field of a CSV file."""
    cells = {}
    with open(path, newline="", encoding="utf-8", errors="replace") as handle:
        for row, fields in enumerate(csv.reader(handle)):
            for column, value in enumerate(fields):
                if value != "":
                    cells[(row, column)] = value
    return cells


def run(command, what):
    try:
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=TIMEOUT_SECONDS)
    except subprocess.TimeoutExpired:
        raise ToolFailure("%s: no answer after %d seconds" % (what, TIMEOUT_SECONDS))
    if done.returncode != 0:
        raise ToolFailure("%s: exit status %d\n%s" % (what, done.returncode,
                                                      done.stderr.decode(errors="replace")))
    return done


def libreoffice_sheets(folder, names, out_dir, profile):
    """name -> list of (sheet name, cells), in no particular sheet order."""
    # LibreOffice names each CSV BASE-SHEET.csv: inputs named by number keep one file's
    # sheets apart from those of a file whose name begins with the same BASE and a dash.
    in_dir = out_dir + "-input"
    os.makedirs(in_dir)
    os.makedirs(out_dir)
    bases = ["b%03d" % number for number in range(len(names))]
    for base, name in zip(bases, names):
        shutil.copyfile(os.path.join(folder, name), os.path.join(in_dir, base + ".xls"))
    command = ["soffice", "-env:UserInstallation=file://" + profile, "--headless",
               "--convert-to", LIBREOFFICE_FILTER, "--outdir", out_dir]
    command += [os.path.join(in_dir, base + ".xls") for base in bases]
    run(command, "soffice on " + folder)
    files = sorted(os.listdir(out_dir))
    books = {}
    for base, name in zip(bases, names):
        sheets = [(f[len(base) + 1:-4], read_cells(os.path.join(out_dir, f)))
                  for f in files if f.startswith(base + "-") and f.endswith(".csv")]
        if not sheets:
            raise ToolFailure("soffice wrote no sheet of " + os.path.join(folder, name))
        books[name] = sheets
    return books


def gnumeric_sheets(folder, names, out_dir, messages):
    """name -> list of (sheet name, cells), in sheet order. Fills `messages` with name ->
    the set of what Gnumeric said while reading the file."""
    os.makedirs(out_dir)
    books = {}
    for name in names:
        path = os.path.join(folder, name)
        book_dir = os.path.join(out_dir, os.path.splitext(name)[0])
        os.makedirs(book_dir)
        done = run(["ssconvert", "-S", "-T", "Gnumeric_stf:stf_assistant", "-O",
                    GNUMERIC_OPTIONS, path, os.path.join(book_dir, "%n.%s.csv")],
                   "ssconvert on " + path)
        messages[name] = said(done.stderr.decode("utf-8", errors="replace"))
        sheets = []
        for f in os.listdir(book_dir):
            match = GNUMERIC_FILE.match(f)
            if match:
                sheets.append((int(match.group(1)), match.group(2),
                               read_cells(os.path.join(book_dir, f))))
        if not sheets:
            raise ToolFailure("ssconvert wrote no sheet of " + path)
        places = value_places(path)
        books[name] = [(sheet, placed(cells, places.get(sheet, set()), path, sheet))
                       for _, sheet, cells in sorted(sheets)]
    return books


# "(ssconvert:123): gnumeric:read-WARNING **: 04:44:55.357: " and the like.
MESSAGE_HEAD = re.compile(r"^.*\*\*: \d+:\d+:\d+\.\d+: ")
POINTER = re.compile(r"0x[0-9a-f]{6,}")


def said(text):
    """The messages of a run, without process numbers, times and addresses."""
    return {POINTER.sub("0x", MESSAGE_HEAD.sub("", line)).strip()
            for line in text.splitlines() if line.strip()}


def value_places(path):
    """Sheet name -> the places of the cells that hold a value, as xlrd reads them."""
    places = {}
    with open(os.devnull, "w") as quiet:
        book = xlrd.open_workbook(path, on_demand=True, logfile=quiet)
        for index in range(book.nsheets):
            sheet = book.sheet_by_index(index)
            places[sheet.name] = {(row, column) for row in range(sheet.nrows)
                                  for column, kind in enumerate(sheet.row_types(row))
                                  if kind not in (xlrd.XL_CELL_EMPTY, xlrd.XL_CELL_BLANK)}
            book.unload_sheet(index)
    return places


def placed(cells, places, path, sheet):
    """The cells of a Gnumeric CSV at their places on the sheet. Gnumeric's CSV begins at
    the corner of the sheet's extent, which takes in drawing objects, comments and
    conditional formats besides the cells; the saved workbook keeps none of them, so its
    CSV may begin further right or down although every cell is where it was. The corner
    is found as the shift that puts every value of the CSV on a cell that holds one; the
    largest when several would, as a sheet without objects begins at its first cell."""
    if not cells:
        return cells
    order = sorted(cells)
    top = min((row for row, _ in places), default=0)
    left = min((column for _, column in places), default=0)
    for down in range(top, -1, -1):
        for right in range(left, -1, -1):
            if all((row + down, column + right) in places for row, column in order):
                return {(row + down, column + right): value
                        for (row, column), value in cells.items()}
    raise ToolFailure("cannot place Gnumeric's CSV of sheet %r of %s" % (sheet, path))
