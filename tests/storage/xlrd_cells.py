"""Prints what xlrd reads from a workbook, one line per sheet: name, rows, columns and a
SHA-256 over every cell's type and value, so two files with the same cells print the same.

  xlrd_cells.py FILE
"""
import hashlib
import sys

import xlrd

# xlrd prints its warnings to standard output by default; keep them out of the comparison.
book = xlrd.open_workbook(sys.argv[1], formatting_info=False, logfile=sys.stderr)
for sheet in book.sheets():
    digest = hashlib.sha256()
    for r in range(sheet.nrows):
        for c in range(sheet.ncols):
            cell = sheet.cell(r, c)
            digest.update(("%d,%d,%d,%r\n" % (r, c, cell.ctype, cell.value)).encode("utf-8"))
    print("%s\t%d\t%d\t%s" % (sheet.name, sheet.nrows, sheet.ncols, digest.hexdigest()))
