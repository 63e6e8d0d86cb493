"""Opens original workbooks and the workbooks saved from them in LibreOffice and Gnumeric
and compares what the two programs read, sheet by sheet and cell by cell.

  other_readers.py ORIGINAL_DIR SAVED_DIR WORK_DIR

ORIGINAL_DIR and SAVED_DIR hold .xls files of the same names; WORK_DIR takes the exports.
A saved workbook whose globals could not be kept as they stood loses its defined names and
its table of references to other sheets, so the formulas that use them (and those that
depend on them) may be recalculated to other values: differences there are counted in
notes, not reported (formula_cells.py finds those cells). Gnumeric's messages about a saved
file that it does not give about the original are reported, unless the same loss explains
them. Chart sheets are saved only beside globals kept as they stood: an original sheet
without values may be missing.

Prints notes, each difference and a summary; exit status 0 when both programs read the
same from both sides, 1 when something differs, 2 when a program is missing or fails.
"""
import os
import re
import shutil
import sys

import formula_cells
from program_exports import ToolFailure, gnumeric_sheets, libreoffice_sheets

MAX_REPORTED_PER_SHEET = 10
# The save shortens sheet names to the 31 characters spreadsheet programs allow.
MAX_SHEET_NAME = 31


def cell_name(place):
    row, column = place
    name = ""
    column += 1
    while column:
        column, rest = divmod(column - 1, 26)
        name = chr(ord("A") + rest) + name
    return name + str(row + 1)


def column_number(letters):
    number = 0
    for letter in letters:
        number = number * 26 + ord(letter) - ord("A") + 1
    return number - 1


# What Gnumeric says of formulas that name a defined name, an add-in function or another
# sheet once the workbook has no names and no table of references to other sheets. A
# formula it cannot read is named by its cell, and must be one of those.
LOST_REFERENCES = re.compile(
    r"^(excel_externsheet_v8: assertion .*|EXCEL: \d+ \(of [0-9a-f]+\) UNKNOWN name 0x\.|"
    r"error making func var|So much for that theory\.|formula data: \(NOT shared\))$")
UNREAD_FORMULA = re.compile(r"^(.*)!([A-Z]+)(\d+) : Unknown Formula/Array$")


def compare_messages(name, original, saved, recalculated):
    """Lines for what Gnumeric says of the saved file and not of the original, unless the
    lost names and references explain it."""
    problems = []
    for message in sorted(saved - original):
        if any(recalculated.values()) and LOST_REFERENCES.match(message):
            continue
        unread = UNREAD_FORMULA.match(message)
        if unread:
            sheet, column, row = unread.groups()
            sheet = sheet.strip("'")
            place = (int(row) - 1, column_number(column))
            if any(place in recalculated.get(candidate, ()) for candidate in recalculated
                   if candidate[:MAX_SHEET_NAME] == sheet):
                continue
        problems.append("Gnumeric %s: says of the saved file, not of the original: %r" %
                        (name, message))
    return problems


def compare_book(tool, name, original, saved, recalculated):
    """(problems, notes): lines describing every difference between the sheets read from
    the two files, and the count of differences at cells that may be recalculated."""
    problems = []
    notes = []
    saved_by_name = dict(saved)
    paired = []
    for sheet, cells in original:
        saved_name = sheet if sheet in saved_by_name else sheet[:MAX_SHEET_NAME]
        if saved_name not in saved_by_name:
            # Chart sheets are saved only beside kept globals; they export as empty sheets.
            if cells:
                problems.append("%s %s: sheet %r with %d cells is missing" %
                                (tool, name, sheet, len(cells)))
            continue
        paired.append(saved_name)
        if saved_name != sheet:
            notes.append("%s %s: sheet %r saved as %r" % (tool, name, sheet, saved_name))
        got = saved_by_name[saved_name]
        may_differ = recalculated.get(sheet, set())
        reported = 0
        tolerated = []
        for place in sorted(set(cells) | set(got)):
            want, have = cells.get(place, ""), got.get(place, "")
            if want == have:
                continue
            if place in may_differ:
                tolerated.append(place)
                continue
            reported += 1
            if reported <= MAX_REPORTED_PER_SHEET:
                problems.append("%s %s sheet %r cell %s: expected %r, got %r" %
                                (tool, name, sheet, cell_name(place), want, have))
        if reported > MAX_REPORTED_PER_SHEET:
            problems.append("%s %s sheet %r: %d more cells differ" %
                            (tool, name, sheet, reported - MAX_REPORTED_PER_SHEET))
        if tolerated:
            notes.append("%s %s sheet %r: %d of %d formula cells that name a defined name or "
                         "another sheet, or depend on one, recalculated differently (%s%s)" %
                         (tool, name, sheet, len(tolerated), len(may_differ),
                          " ".join(cell_name(place) for place in tolerated[:5]),
                          " ..." if len(tolerated) > 5 else ""))
    for sheet, cells in saved:
        if sheet not in paired:
            problems.append("%s %s: sheet %r (%d cells) is not in the original" %
                            (tool, name, sheet, len(cells)))
    order = [sheet for sheet, _ in saved if sheet in paired]
    if order != paired:
        problems.append("%s %s: sheet order %r, expected %r" % (tool, name, order, paired))
    return problems, notes


def main():
    if len(sys.argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    original_dir, saved_dir, work_dir = sys.argv[1:]
    for tool, package in (("soffice", "libreoffice-calc-nogui"), ("ssconvert", "gnumeric")):
        if shutil.which(tool) is None:
            print("%s not found: install %s (scripts/bootstrap.sh does)" % (tool, package))
            return 2
    names = sorted(n for n in os.listdir(original_dir) if n.endswith(".xls"))
    recalculated = {name: formula_cells.workbook_recalculated_cells(
        os.path.join(original_dir, name)) for name in names}
    # A private profile, so that runs side by side do not share LibreOffice's lock.
    profile = os.path.abspath(os.path.join(work_dir, "libreoffice-profile"))
    problems = []
    notes = []
    messages = {"original": {}, "saved": {}}
    try:
        for tool, read in (
                ("LibreOffice", lambda folder, side: libreoffice_sheets(
                    folder, names, os.path.join(work_dir, "lo-" + side), profile)),
                ("Gnumeric", lambda folder, side: gnumeric_sheets(
                    folder, names, os.path.join(work_dir, "gnumeric-" + side),
                    messages[side]))):
            originals = read(original_dir, "original")
            saved = read(saved_dir, "saved")
            for name in names:
                found, noted = compare_book(tool, name, originals[name], saved[name],
                                            recalculated[name])
                problems += found
                notes += noted
        for name in names:
            problems += compare_messages(name, messages["original"][name],
                                         messages["saved"][name], recalculated[name])
    except ToolFailure as failure:
        print(failure)
        return 2
    for line in notes:
        print("note: " + line)
    for line in problems:
        print(line)
    print("%d files, %d differences" % (len(names), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
