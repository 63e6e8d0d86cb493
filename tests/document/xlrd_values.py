"""Prints every cell with a value that xlrd reads from a workbook, one line each:
sheet, row, column, cell type and the value's repr, tab-separated. Exit status 1, with
xlrd's complaint on standard error, when it refuses the file or any sheet of it.

  xlrd_values.py FILE
"""
import sys

import xlrd

try:
    book = xlrd.open_workbook(sys.argv[1], logfile=sys.stderr)
    for sheet in book.sheets():
        for r in range(sheet.nrows):
            for c in range(sheet.ncols):
                cell = sheet.cell(r, c)
                if cell.ctype in (xlrd.XL_CELL_EMPTY, xlrd.XL_CELL_BLANK):
                    continue
                print("%s\t%d\t%d\t%d\t%r" % (sheet.name, r, c, cell.ctype, cell.value))
except Exception as error:  # any refusal is the finding
    print("xlrd: %s: %s" % (type(error).__name__, error), file=sys.stderr)
    sys.exit(1)
