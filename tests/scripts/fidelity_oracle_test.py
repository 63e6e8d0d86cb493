#!/usr/bin/python3
"""The fidelity checks against workbooks made or altered here, where the right answer is
known: a check that misses a difference, or reports one that is allowed, would misjudge
every save it measures.

Usage: fidelity_oracle_test.py [--corpus DIR]   (DIR holds real/12561-1.xls)
"""

import argparse
import os
import shutil
import struct
import sys
import tempfile

import olefile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "document"))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import fidelity_oracle as oracle  # noqa: E402
from compare_outputs import single_stream_document  # noqa: E402

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message)


def rec(code, data=b""):
    return struct.pack("<HH", code, len(data)) + data


def bof(kind):
    return rec(0x0809, struct.pack("<HHHHII", 0x0600, kind, 0x0DBB, 0x07CC, 0, 6))


def number(row, column, value):
    return rec(0x0203, struct.pack("<HHHd", row, column, 15, value))


def workbook(sheets, globals_extra=b"", dbcells=1):
    """A BIFF8 stream: globals (BOF, globals_extra, a BOUNDSHEET per sheet, EOF), then per
    (name, body) a worksheet: BOF, INDEX with its positions filled in, body, EOF."""
    def boundsheet(position, name):
        return rec(0x0085, struct.pack("<IBBBB", position, 0, 0, len(name), 0) + name.encode())

    globals_size = len(bof(5) + globals_extra + rec(0x000A)) + sum(
        len(boundsheet(0, name)) for name, _ in sheets)
    positions, at = [], globals_size
    parts = []
    for name, body in sheets:
        positions.append(at)
        index = rec(0x020B, struct.pack("<IIII", 0, 0, len(body), at + 20) +
                    struct.pack("<%dI" % dbcells, *[at + 100 + k for k in range(dbcells)]))
        part = bof(0x10) + index + body + rec(0x000A)
        parts.append(part)
        at += len(part)
    head = bof(5) + globals_extra + b"".join(
        boundsheet(p, name) for p, (name, _) in zip(positions, sheets)) + rec(0x000A)
    return head + b"".join(parts)


def cells(count, skip=None):
    return b"".join(number(r, 0, r * 1.5) for r in range(count) if r != skip)


class Files:
    """Writes streams as one-stream compound documents in a folder of its own."""

    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    def __call__(self, stream, name="Workbook"):
        self.count += 1
        path = os.path.join(self.folder, "f%02d.xls" % self.count)
        with open(path, "wb") as out:
            out.write(single_stream_document(name, stream))
        return path


def kinds(findings):
    return dict(findings.kinds)


def test_records(make):
    sheets = [("One", cells(40)), ("Two", cells(5))]
    original = make(workbook(sheets, rec(0x005C, b"a" * 10)))
    same = oracle.check_records(original, make(workbook(sheets, rec(0x005C, b"a" * 10))))
    check(same.status == "equal", "an identical stream is equal: %s" % kinds(same))

    # A longer record in the globals moves every sheet: BOUNDSHEET and INDEX then differ
    # in positions alone, which is allowed; the longer record is the one difference.
    moved = oracle.check_records(original, make(workbook(sheets, rec(0x005C, b"a" * 12))))
    check(kinds(moved) == {"record differs: WRITEACCESS (0x005C)": 1},
          "moved sheets: only the changed record differs: %s" % kinds(moved))
    table = "\n".join(moved.tables)
    check(any(line.startswith("BOUNDSHEET") and line.split()[3] == "2"
              for line in moved.tables), "both BOUNDSHEETs counted as positions:\n" + table)
    check(any(line.startswith("INDEX") and line.split()[3] == "2" for line in moved.tables),
          "both INDEXes counted as positions:\n" + table)

    # One dropped cell record is one missing record, not a cascade.
    dropped = oracle.check_records(original, make(workbook(
        [("One", cells(40, skip=17)), ("Two", cells(5))], rec(0x005C, b"a" * 10))))
    check(kinds(dropped) == {"record missing: NUMBER (0x0203)": 1,
                             "record differs: INDEX (0x020B)": 1},
          "one dropped cell (and INDEX's row count): %s" % kinds(dropped))

    # An INDEX listing another number of DBCELLs is no mere position change.
    longer = oracle.check_records(original, make(workbook(sheets, rec(0x005C, b"a" * 10),
                                                          dbcells=2)))
    check(kinds(longer) == {"record differs: INDEX (0x020B)": 2},
          "INDEX with more DBCELL positions differs: %s" % kinds(longer))

    # A dropped sheet is a missing substream, a changed cell a differing record.
    fewer = oracle.check_records(original, make(workbook(sheets[:1], rec(0x005C, b"a" * 10))))
    check(kinds(fewer).get("substream missing") == 1, "dropped sheet: %s" % kinds(fewer))
    # Zero bytes padding a stream hold nothing to keep; other bytes behind it do.
    stream = workbook(sheets, rec(0x005C, b"a" * 10))
    padded = oracle.check_records(make(stream + bytes(7)), original)
    check(padded.status == "equal" and len(padded.notes) == 2,
          "zero padding is a note: %s %s" % (kinds(padded), padded.notes))
    tail = oracle.check_records(make(stream + b"\x01\x00"), original)
    check(kinds(tail) == {"bytes behind the last record": 1}, "bytes behind the last record")
    changed = bytearray(workbook(sheets, rec(0x005C, b"a" * 10)))
    changed[-30] ^= 0xFF
    altered = oracle.check_records(original, make(bytes(changed)))
    check(kinds(altered) == {"record differs: NUMBER (0x0203)": 1},
          "one altered cell: %s" % kinds(altered))


def test_rewritten(make):
    def strings(*pieces):
        return rec(0x00FC, pieces[0]) + b"".join(rec(0x003C, p) for p in pieces[1:])

    original = make(workbook([("S", cells(3))], strings(b"abcdef", b"gh")))
    resplit = make(workbook([("S", cells(3))], strings(b"abcd", b"ef", b"gh")))
    rewritten = frozenset({0x00FC, 0x003C})
    kept = oracle.check_records(original, resplit, rewritten)
    check(kept.status == "equal", "a rewritten table split otherwise is equal: %s"
          % kinds(kept))
    strict = oracle.check_records(original, resplit)
    check(strict.status == "differs", "without --rewritten the new split differs")
    gone = oracle.check_records(original, make(workbook([("S", cells(3))])), rewritten)
    check(kinds(gone) == {"record missing: SST (0x00FC)": 1,
                          "record missing: CONTINUE (0x003C)": 1},
          "a rewritten record that is gone is missing: %s" % kinds(gone))


def test_streams(make):
    stream = workbook([("S", cells(3))])
    book = make(stream, "Book")
    renamed = oracle.check_streams(book, make(stream, "Workbook"))
    check(renamed.status == "equal" and renamed.notes,
          "Book saved as Workbook is accepted, with a note: %s" % kinds(renamed))
    check(oracle.check_records(book, make(stream)).status == "equal",
          "records reads a Book stream")
    lost = oracle.check_streams(book, make(stream, "Other"))
    check(kinds(lost).get("workbook stream missing") == 1,
          "a saved file without workbook stream: %s" % kinds(lost))
    unusable = oracle.guarded(oracle.check_streams, make(stream, "Other"), book)
    check(unusable.status == "error", "an original without workbook stream is not compared")


def formula(row, column, tokens):
    return rec(0x0006, struct.pack("<HHHdHIH", row, column, 15, 0.0, 0, 0, len(tokens)) +
               tokens)


def test_volatile(make):
    check(oracle.VOLATILE_CALL.search("=A1+rand()") is not None, "rand() is volatile")
    check(oracle.VOLATILE_CALL.search("=SNOW(1)+MYTODAY()") is None,
          "names ending in a volatile name are not")
    body = (formula(0, 0, b"\x41\x4a\x00") +                      # A1 =NOW()
            formula(0, 1, b"\x44\x00\x00\x00\xc0\x1e\x01\x00\x03") +  # B1 =A1+1
            formula(0, 2, b"\x1e\x05\x00") +                      # C1 =5
            formula(0, 3, b"\x44\x00\x00\x02\xc0\x1e\x02\x00\x05") +  # D1 =C1*2
            formula(0, 4, b"\x5a\x00\x00\x00\x00\x00\xc0"))       # E1 =Two!A1
    path = make(workbook([("One", body), ("Two", cells(1))]))
    texts = {(0, 0): "=NOW()", (0, 1): "=A1+1", (0, 2): "=5", (0, 3): "=C1*2",
             (0, 4): "=$Two.A1"}
    values = {(0, 0): "46000.25", (0, 1): "46001.25", (0, 2): "5", (0, 3): "10", (0, 4): "0"}
    before = oracle.Export("done", sheets=[("One", values, texts), ("Two", {}, {})])
    marked = oracle.volatile_places(path, before)["One"]
    check(marked == {(0, 0), (0, 1), (0, 4)},
          "NOW, what refers to it and (conservatively) other sheets: %s" % sorted(marked))

    later = dict(values)
    later.update({(0, 0): "46000.5", (0, 1): "46001.5", (0, 3): "12"})
    after = oracle.Export("done", sheets=[("One", later, dict(texts))])
    found = oracle.check_recalculated(path, path, before, after)
    check(kinds(found) == {"value": 1, "sheet missing": 1},
          "only D1 and the lost sheet differ: %s" % kinds(found))
    check(oracle.same_text("1", "1.0") and not oracle.same_text("1", "1.5"),
          "numbers compare by value")


def test_corpus_file(corpus, folder):
    """A real workbook with one cell value, then one byte of another stream, altered."""
    source = os.path.join(corpus, "real", "12561-1.xls")
    if not os.path.isfile(source):
        check(False, "corpus file %s missing" % source)
        return
    cell = os.path.join(folder, "cell.xls")
    shutil.copyfile(source, cell)
    with olefile.OleFileIO(cell, write_mode=True) as ole:
        stream = bytearray(ole.openstream("Workbook").read())
        at = next(r.offset for r in oracle.cut_records(bytes(stream))[0] if r.code == 0x027E)
        stream[at + 4 + 6:at + 4 + 10] = struct.pack("<I", (12345 << 2) | 2)
        ole.write_stream("Workbook", bytes(stream))
    found = oracle.check_xlrd(source, cell)
    check(kinds(found) == {"cell value": 1}, "xlrd sees the altered cell: %s" % kinds(found))
    found = oracle.check_records(source, cell)
    check(kinds(found) == {"record differs: RK (0x027E)": 1},
          "records sees the altered RK: %s" % kinds(found))
    check(oracle.check_streams(source, cell).status == "equal",
          "streams leaves the workbook stream to the other checks")
    check(oracle.check_xlrd(source, source).status == "equal", "xlrd: a file equals itself")

    summary = os.path.join(folder, "summary.xls")
    shutil.copyfile(source, summary)
    with olefile.OleFileIO(summary, write_mode=True) as ole:
        data = bytearray(ole.openstream("\x05SummaryInformation").read())
        data[-1] ^= 0x01
        ole.write_stream("\x05SummaryInformation", bytes(data))
    found = oracle.check_streams(source, summary)
    check(kinds(found) == {"stream differs": 1}, "a changed summary stream: %s" % kinds(found))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--corpus", default=os.path.join(os.path.dirname(ROOT), "shared",
                                                         "corpus"))
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        make = Files(folder)
        test_records(make)
        test_rewritten(make)
        test_streams(make)
        test_volatile(make)
        test_corpus_file(args.corpus, folder)
    print("%d failed" % len(failures) if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
