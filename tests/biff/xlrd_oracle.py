"""Compares the cells our record model reads with what xlrd reads from the same files.

  xlrd_oracle.py OURS.jsonl

Each line of OURS.jsonl is one workbook: {"file": path, "sheets": [{"name": name,
"cells": [[row, col, kind, value], ...]}]}, kind being "n" (number), "s" (text),
"b" (boolean), "e" (error code). Later cells at the same place replace earlier ones, as
they do for a reader of the stream. Blank cells are not listed: xlrd without formatting
drops them too.

Prints one line per file that differs and a summary; exits 1 when anything differs.
"""
import json
import sys

import xlrd

KIND = {xlrd.XL_CELL_NUMBER: "n", xlrd.XL_CELL_DATE: "n", xlrd.XL_CELL_TEXT: "s",
        xlrd.XL_CELL_BOOLEAN: "b", xlrd.XL_CELL_ERROR: "e"}


def xlrd_cells(path):
    book = xlrd.open_workbook(path, formatting_info=False, logfile=open("/dev/null", "w"))
    sheets = {}
    for sheet in book.sheets():
        cells = {}
        for r in range(sheet.nrows):
            for c in range(sheet.ncols):
                cell = sheet.cell(r, c)
                if cell.ctype in KIND:
                    value = cell.value
                    if KIND[cell.ctype] in ("b", "e"):
                        value = int(value)
                    cells[(r, c)] = (KIND[cell.ctype], value)
        sheets[sheet.name] = cells
    return sheets


def our_cells(sheet):
    cells = {}
    for r, c, kind, value in sheet["cells"]:
        cells[(r, c)] = (kind, value)
    return cells


def same(a, b):
    if a[0] != b[0]:
        return False
    if a[0] == "n":
        return a[1] == b[1] or (a[1] != a[1] and b[1] != b[1])
    return a[1] == b[1]


def main():
    files = differing = cells_total = cells_equal = 0
    for line in open(sys.argv[1], encoding="utf-8"):
        ours = json.loads(line)
        files += 1
        theirs = xlrd_cells(ours["file"])
        problems = []
        our_sheets = {s["name"]: our_cells(s) for s in ours["sheets"]}
        for name, expected in theirs.items():
            got = our_sheets.get(name)
            if got is None:
                if expected:
                    problems.append("sheet %r missing (%d cells)" % (name, len(expected)))
                cells_total += len(expected)
                continue
            for place, value in expected.items():
                cells_total += 1
                mine = got.get(place)
                if mine is not None and same(mine, value):
                    cells_equal += 1
                elif len(problems) < 5:
                    problems.append("%s!R%dC%d xlrd %r ours %r" % (name, place[0], place[1], value, mine))
            extra = [p for p in got if p not in expected and got[p] != ("s", "")]
            if extra and len(problems) < 5:
                problems.append("%s: %d cells xlrd does not have, e.g. R%dC%d %r" %
                                (name, len(extra), extra[0][0], extra[0][1], got[extra[0]]))
        if problems:
            differing += 1
            print("DIFF %s: %s" % (ours["file"].rsplit("/", 1)[-1], "; ".join(problems)))
    print("files %d, differing %d, cells %d, equal %d" % (files, differing, cells_total, cells_equal))
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
