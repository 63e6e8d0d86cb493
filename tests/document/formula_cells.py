"""Finds the formula cells of a workbook whose value another program may recalculate
differently once the workbook has been saved without its defined names and its table of
references to other sheets.

Such a cell is one whose formula names a defined name, an add-in function or a cell of
another sheet (such a reference goes through that table), or one whose formula refers,
on its own sheet, to such a cell, directly or through other cells. The workbook is read
here on its own, with olefile, so that the answer does not come from the code under test.
"""
import struct

import olefile

BOF, EOF, BOUNDSHEET = 0x0809, 0x000A, 0x0085
FORMULA_CODES = (0x0006, 0x0206, 0x0406)
SHRFMLA_CODES = (0x00BC, 0x04BC)
ARRAY = 0x0221
WORKSHEET_TYPE = 0x0010

# Bytes behind the token byte, for tokens of fixed size: operators and the like.
PLAIN_SIZES = {0x01: 4, 0x02: 4, 0x1C: 1, 0x1D: 1, 0x1E: 2, 0x1F: 8}
PLAIN_SIZES.update({code: 0 for code in range(0x03, 0x17)})
# The same for tokens of every class (reference, value, array), by their code in the
# reference class.
CLASSED_SIZES = {0x20: 7, 0x21: 2, 0x22: 3, 0x23: 4, 0x24: 4, 0x25: 8, 0x26: 6, 0x27: 6,
                 0x28: 6, 0x29: 2, 0x2A: 4, 0x2B: 8, 0x2C: 4, 0x2D: 8, 0x39: 6, 0x3A: 6,
                 0x3B: 10, 0x3C: 6, 0x3D: 10}
# Defined name, external name (add-in functions too), and the four references to other
# sheets.
CROSS_TOKENS = {0x23, 0x39, 0x3A, 0x3B, 0x3C, 0x3D}


def workbook_stream(path):
    with olefile.OleFileIO(path) as container:
        for name in ("Workbook", "Book"):
            if container.exists(name):
                return container.openstream(name).read()
    raise ValueError("no workbook stream in " + path)


def records(stream, pos):
    while pos + 4 <= len(stream):
        code, length = struct.unpack_from("<HH", stream, pos)
        yield code, stream[pos + 4:pos + 4 + length]
        pos += 4 + length


def signed(value, bits):
    return value - (1 << bits) if value & (1 << (bits - 1)) else value


def scan_tokens(tokens, row, column, relative):
    """(crosses, references): whether the tokens name anything of the kinds above, and the
    (first row, last row, first column, last column) of every reference to the own sheet.
    `relative`: references of the relative kinds hold offsets from (row, column). None for
    tokens that cannot be read."""
    crosses = False
    references = []
    pos = 0
    while pos < len(tokens):
        token = tokens[pos]
        pos += 1
        if token >= 0x20:
            base = (token & 0x1F) | 0x20
            size = CLASSED_SIZES.get(base)
            if size is None or pos + size > len(tokens):
                return None
            data = tokens[pos:pos + size]
            crosses = crosses or base in CROSS_TOKENS
            if base in (0x24, 0x2C):
                rows, columns = struct.unpack_from("<HH", data)
                references.append(place(rows, rows, columns, columns, row, column,
                                        relative and base == 0x2C))
            elif base in (0x25, 0x2D):
                first_row, last_row, first_column, last_column = struct.unpack_from("<HHHH", data)
                references.append(place(first_row, last_row, first_column, last_column, row,
                                        column, relative and base == 0x2D))
            pos += size
        elif token == 0x17:
            if pos + 2 > len(tokens):
                return None
            count, flags = tokens[pos], tokens[pos + 1]
            pos += 2 + count * (2 if flags & 1 else 1)
        elif token == 0x19:
            if pos + 3 > len(tokens):
                return None
            kind, count = tokens[pos], struct.unpack_from("<H", tokens, pos + 1)[0]
            pos += 3 + (2 * (count + 1) if kind & 0x04 else 0)
        elif token in PLAIN_SIZES:
            pos += PLAIN_SIZES[token]
        else:
            return None
    return crosses, references


def place(first_row, last_row, first_column, last_column, row, column, relative):
    """A reference's rectangle; relative parts of a shared formula's reference are offsets."""
    def at(value, flags, origin, bits, limit):
        if relative and flags:
            return (origin + signed(value, bits)) % limit
        return value

    top = at(first_row, first_column & 0x8000, row, 16, 65536)
    bottom = at(last_row, last_column & 0x8000, row, 16, 65536)
    left = at(first_column & 0xFF, first_column & 0x4000, column, 8, 256)
    right = at(last_column & 0xFF, last_column & 0x4000, column, 8, 256)
    return min(top, bottom), max(top, bottom), min(left, right), max(left, right)


def sheet_formulas(stream, pos):
    """(row, column) -> (crosses, references) of every formula cell of the worksheet at pos."""
    formulas = {}
    shared = {}   # (row, column) -> (whether relative, tokens)
    pending = []  # cells whose formula is a shared or array one: (row, column, anchor)
    depth = 0
    last = None
    for code, data in records(stream, pos):
        if code == BOF:
            depth += 1
        elif code == EOF:
            depth -= 1
            if depth == 0:
                break
        if depth != 1:
            continue
        if code in FORMULA_CODES and len(data) >= 22:
            row, column = struct.unpack_from("<HH", data)
            count = struct.unpack_from("<H", data, 20)[0]
            tokens = data[22:22 + count]
            last = (row, column)
            if len(tokens) == 5 and tokens[0] == 0x01:
                pending.append((row, column, struct.unpack_from("<HH", tokens, 1)))
            else:
                formulas[last] = scan_tokens(tokens, row, column, False)
        elif code in SHRFMLA_CODES + (ARRAY,) and last is not None and len(data) >= 10:
            first_row, _, first_column, _ = struct.unpack_from("<HHBB", data)
            start = 8 if code != ARRAY else 12
            count = struct.unpack_from("<H", data, start)[0]
            found = (code != ARRAY, data[start + 2:start + 2 + count])
            # The cells name the formula by the cell it follows, which need not be the
            # first of its range.
            shared[last] = found
            shared.setdefault((first_row, first_column), found)
    for row, column, anchor in pending:
        found = shared.get(anchor)
        formulas[(row, column)] = None if found is None else scan_tokens(
            found[1], row, column, found[0])
    return formulas


def recalculated_cells(formulas):
    """The cells that depend on what is lost: the crossing formulas and, on their own sheet,
    the formulas that refer to them, directly or not."""
    marked = set()
    work = []
    for cell, scanned in formulas.items():
        # A formula that cannot be read may name anything.
        if scanned is None or scanned[0]:
            marked.add(cell)
            work.append(cell)
    # Who refers to a cell: small rectangles by cell, large ones in a list to search.
    by_cell = {}
    large = []
    for cell, scanned in formulas.items():
        if scanned is None or cell in marked:
            continue
        for top, bottom, left, right in scanned[1]:
            if (bottom - top + 1) * (right - left + 1) <= 256:
                for r in range(top, bottom + 1):
                    for c in range(left, right + 1):
                        by_cell.setdefault((r, c), []).append(cell)
            else:
                large.append(((top, bottom, left, right), cell))
    while work:
        row, column = work.pop()
        dependents = list(by_cell.get((row, column), ()))
        dependents += [cell for (top, bottom, left, right), cell in large
                       if top <= row <= bottom and left <= column <= right]
        for cell in dependents:
            if cell not in marked:
                marked.add(cell)
                work.append(cell)
    return marked


def workbook_recalculated_cells(path):
    """Sheet name -> the cells of that worksheet that may be recalculated."""
    stream = workbook_stream(path)
    sheets = []
    for code, data in records(stream, 0):
        if code == BOUNDSHEET and len(data) >= 8:
            position = struct.unpack_from("<I", data)[0]
            count, flags = data[6], data[7]
            raw = data[8:8 + count * (2 if flags & 1 else 1)]
            sheets.append((position, raw.decode("utf-16-le" if flags & 1 else "latin-1")))
        elif code == EOF:
            break
    cells = {}
    for position, name in sheets:
        if position + 8 <= len(stream):
            code, _, _, kind = struct.unpack_from("<HHHH", stream, position)
            if code == BOF and kind == WORKSHEET_TYPE:
                cells[name] = recalculated_cells(sheet_formulas(stream, position))
    return cells
