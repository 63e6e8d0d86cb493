"""Prints what xlrd reads in the top-left corner of every worksheet of some workbooks.

  xlrd_corner.py ROWS COLUMNS FILE...

One line per non-blank cell: file number (from 0, in argument order), sheet name as
UTF-8 hex, row, column, kind and value, separated by tabs. Kinds: "n" number (value as
Python's repr of the float), "s" text (UTF-8 hex), "b" boolean and "e" error code
(decimal). Hex keeps tabs and line ends of the texts out of the way of the reader.
"""
import sys

import xlrd

KIND = {xlrd.XL_CELL_NUMBER: "n", xlrd.XL_CELL_DATE: "n", xlrd.XL_CELL_TEXT: "s",
        xlrd.XL_CELL_BOOLEAN: "b", xlrd.XL_CELL_ERROR: "e"}

rows = int(sys.argv[1])
columns = int(sys.argv[2])
out = sys.stdout
for number, path in enumerate(sys.argv[3:]):
    book = xlrd.open_workbook(path, formatting_info=False, logfile=open("/dev/null", "w"))
    for sheet in book.sheets():
        name = sheet.name.encode("utf-8").hex()
        for r in range(min(rows, sheet.nrows)):
            for c in range(min(columns, sheet.ncols)):
                cell = sheet.cell(r, c)
                kind = KIND.get(cell.ctype)
                if kind is None:
                    continue
                if kind == "n":
                    value = repr(float(cell.value))
                elif kind == "s":
                    value = cell.value.encode("utf-8").hex()
                else:
                    value = str(int(cell.value))
                out.write("%d\t%s\t%d\t%d\t%s\t%s\n" % (number, name, r, c, kind, value))
