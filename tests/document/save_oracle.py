"""Independent checks of saved workbooks, for the save tests.

  save_oracle.py compare PAIRS   PAIRS is a file of lines "ORIGINAL<TAB>SAVED". For each
                                 pair: olefile must list the stream "Workbook" and every
                                 other entry of ORIGINAL, unchanged, in SAVED; xlrd must
                                 read the same worksheets from both (names as
                                 spreadsheet programs accept them)
                                 and, sheet by sheet, the same cells (type and value).
                                 Prints one "DIFF" line per pair that differs and a
                                 summary; exits 1 when anything differs.
  save_oracle.py names FILE      The worksheet names xlrd reads from FILE, one per line,
                                 as UTF-8 hex (a name may hold any character).
"""
import sys

import olefile
import xlrd


def cells_of(sheet):
    """Every non-empty cell: (row, column) -> (type, value). Blank cells are not read
    without formatting information."""
    cells = {}
    for r in range(sheet.nrows):
        for c in range(sheet.ncols):
            cell = sheet.cell(r, c)
            if cell.ctype not in (xlrd.XL_CELL_EMPTY, xlrd.XL_CELL_BLANK):
                cells[(r, c)] = (cell.ctype, cell.value)
    return cells


def acceptable(name):
    """A sheet name as spreadsheet programs take it: none of : \\ / ? * [ ] or control
    characters, no apostrophe at either end, at most 31 characters."""
    name = "".join("_" if c in ':\\/?*[]' or ord(c) < 0x20 else c for c in name)
    return name.strip("'")[:31]


def same(a, b):
    if a[0] != b[0]:
        return False
    # NaN is not equal to itself; a NaN read back as NaN is the same value.
    return a[1] == b[1] or (a[1] != a[1] and b[1] != b[1])


def open_book(path):
    return xlrd.open_workbook(path, formatting_info=False, logfile=open("/dev/null", "w"))


WORKBOOK_STREAMS = ("workbook", "book")


def other_streams_problems(original, saved):
    """The saved document holds the stream Workbook and every other stream and storage of
    the original, byte for byte (an original whose directory olefile cannot read has only
    Workbook to compare against)."""
    problems = []
    try:
        with olefile.OleFileIO(original) as ole:
            entries = ["/".join(e) for e in ole.listdir(streams=True, storages=True)]
            # The stream the workbook was read from is written anew as Workbook; a Book
            # beside a Workbook is an older copy, kept as it was.
            replaced = ("workbook",) if "workbook" in [e.lower() for e in entries] \
                else WORKBOOK_STREAMS
            expected = {e: ole.openstream(e).read() if ole.get_type(e) == olefile.STGTY_STREAM
                        else None
                        for e in entries if e.lower() not in replaced}
    except Exception:
        expected = {}
    with olefile.OleFileIO(saved) as ole:
        entries = ["/".join(e) for e in ole.listdir(streams=True, storages=True)]
        if "Workbook" not in entries:
            problems.append("no stream Workbook in %r" % entries)
        got = {e: ole.openstream(e).read() if ole.get_type(e) == olefile.STGTY_STREAM else None
               for e in entries if e != "Workbook"}
    if expected and got != expected:
        missing = sorted(set(expected) - set(got))
        extra = sorted(set(got) - set(expected))
        changed = sorted(e for e in set(got) & set(expected) if got[e] != expected[e])
        problems.append("other entries: missing %r, extra %r, changed %r" %
                        (missing[:3], extra[:3], changed[:3]))
    elif not expected and got:
        problems.append("entries %r beside Workbook" % sorted(got)[:3])
    return problems


def compare(original, saved):
    problems = []
    problems += other_streams_problems(original, saved)
    before = open_book(original)
    after = open_book(saved)
    names_before = [acceptable(name) for name in before.sheet_names()]
    names_after = after.sheet_names()
    if names_before != names_after:
        problems.append("sheets %r became %r" % (before.sheet_names(), names_after))
    sheets = cells = 0
    for index, name in enumerate(names_before):
        if name not in names_after:
            continue
        expected = cells_of(before.sheet_by_index(index))
        got = cells_of(after.sheet_by_name(name))
        sheets += 1
        for place, value in expected.items():
            cells += 1
            mine = got.get(place)
            if (mine is None or not same(mine, value)) and len(problems) < 5:
                problems.append("%s!R%dC%d %r became %r" % (name, place[0], place[1], value, mine))
        extra = [p for p in got if p not in expected]
        if extra and len(problems) < 5:
            problems.append("%s: %d cells more, e.g. R%dC%d %r" %
                            (name, len(extra), extra[0][0], extra[0][1], got[extra[0]]))
    return problems, sheets, cells


def main():
    mode = sys.argv[1]
    if mode == "names":
        for name in open_book(sys.argv[2]).sheet_names():
            print(name.encode("utf-8").hex())
        return 0
    if mode != "compare":
        sys.exit("unknown mode " + mode)
    files = differing = sheets = cells = 0
    for line in open(sys.argv[2], encoding="utf-8"):
        original, saved = line.rstrip("\n").split("\t")
        files += 1
        try:
            problems, s, c = compare(original, saved)
        except Exception as error:  # one unreadable file is one difference, not the end
            problems, s, c = ["%s: %s" % (type(error).__name__, error)], 0, 0
        sheets += s
        cells += c
        if problems:
            differing += 1
            print("DIFF %s: %s" % (original.rsplit("/", 1)[-1], "; ".join(problems)))
    print("files %d, sheets %d, cells %d, differing %d" % (files, sheets, cells, differing))
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
