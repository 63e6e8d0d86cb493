"""The Python module against xlrd and the command line: the cells of every corpus file,
damaged copies, bytes against paths, the failures, the saves and the sheet choices.

Run by ctest with PYTHONPATH naming the build's python/ folder, and TABULIX_CLI,
TABULIX_CORPUS_DIR and TABULIX_SOURCE_DIR set.
"""

import ast
import concurrent.futures
import datetime
import json
import math
import os
import pickle
import shutil
import subprocess
import sys
import zipfile

import jsonschema
import numpy as np
import pytest
import xlrd

import tabulix

CLI = os.environ["TABULIX_CLI"]
CORPUS = os.environ["TABULIX_CORPUS_DIR"]
SOURCE = os.environ["TABULIX_SOURCE_DIR"]
sys.path.insert(0, os.path.join(SOURCE, "tools"))
import damage  # noqa: E402

SAMPLE = [
    os.path.join(CORPUS, "real", line.strip())
    for line in open(os.path.join(SOURCE, "bench", "quality", "ci_sample.txt"))
    if line.strip() and not line.startswith("#")
]
SCHEMA = json.load(open(os.path.join(SOURCE, "docs", "report.schema.json")))
QUIET = open(os.devnull, "w")  # xlrd tells its warnings there
PASSWORD = os.path.join(CORPUS, "odd", "password.xls")


def corpus_files():
    files = []
    for folder in ("real", "odd"):
        for name in sorted(os.listdir(os.path.join(CORPUS, folder))):
            if name.lower().endswith(".xls"):
                files.append(os.path.join(CORPUS, folder, name))
    return files


def inspect_json(paths):
    """The command line's JSON report of each path, by path."""
    run = subprocess.run([CLI, "inspect", "--json", "--jobs", "2", *paths],
                         capture_output=True, text=True, timeout=900)
    assert run.returncode in (0, 1, 3), run.stderr
    lines = [json.loads(line) for line in run.stdout.splitlines() if line.strip()]
    return {line["input"]: line for line in lines}


def expected_value(cell, datemode):
    """What a DataFrame should hold for an xlrd cell: NaN for an error, as pandas gives."""
    if cell.ctype == xlrd.XL_CELL_DATE:
        try:
            return xlrd.xldate.xldate_as_datetime(cell.value, datemode)
        except (OverflowError, ValueError):
            return cell.value
    if cell.ctype == xlrd.XL_CELL_BOOLEAN:
        return bool(cell.value)
    if cell.ctype == xlrd.XL_CELL_ERROR:
        return None
    return cell.value


def same_value(ours, wanted, ctype):
    if ctype == xlrd.XL_CELL_TEXT:
        return isinstance(ours, str) and ours == wanted
    if ctype == xlrd.XL_CELL_BOOLEAN:
        return isinstance(ours, (bool, np.bool_)) and bool(ours) == wanted
    if ctype == xlrd.XL_CELL_DATE and isinstance(wanted, datetime.datetime):
        return isinstance(ours, datetime.datetime) and ours == wanted
    # A number: int or float, never a bool or a text.
    if isinstance(ours, (bool, np.bool_, str)) or not isinstance(ours, (int, float, np.number)):
        return False
    return ours == wanted or (math.isnan(ours) and math.isnan(wanted))


def test_every_corpus_file_reads_as_xlrd_reads_the_original():
    compared_files = compared_cells = older = 0
    problems = []
    for path in corpus_files():
        try:
            book = xlrd.open_workbook(path, formatting_info=False, logfile=QUIET)
        except Exception:  # noqa: BLE001 - files xlrd cannot read have nothing to compare
            continue
        try:
            frames = tabulix.read_excel(path, sheet_name=None, header=None)
        except tabulix.NotAWorkbook as error:
            # Excel 5.0/95 and older files, which xlrd reads too, are refused by design.
            if error.report["file_kind"] in ("biff5", "biff2-4"):
                older += 1
                continue
            problems.append("%s: %s" % (os.path.basename(path), error))
            continue
        except tabulix.Error as error:
            problems.append("%s: %s" % (os.path.basename(path), error))
            continue
        sheets = book.sheets()
        if [s.name for s in sheets] != list(frames):
            problems.append("%s: sheets %s, xlrd %s" % (os.path.basename(path), list(frames),
                                                       [s.name for s in sheets]))
            continue
        compared_files += 1
        for sheet in sheets:
            frame = frames[sheet.name]
            values = frame.astype(object).to_numpy()
            wanted_places = set()
            for r in range(sheet.nrows):
                for c, cell in enumerate(sheet.row(r)):
                    if cell.ctype in (xlrd.XL_CELL_EMPTY, xlrd.XL_CELL_BLANK):
                        continue
                    wanted = expected_value(cell, book.datemode)
                    if wanted is None:
                        continue
                    wanted_places.add((r, c))
                    compared_cells += 1
                    ours = values[r, c] if r < values.shape[0] and c < values.shape[1] else None
                    if not same_value(ours, wanted, cell.ctype):
                        problems.append("%s %s!R%dC%d: ours %r, xlrd %r" % (
                            os.path.basename(path), sheet.name, r, c, ours, wanted))
            rows, cols = np.nonzero(frame.notna().to_numpy())
            extra = set(zip(rows.tolist(), cols.tolist())) - wanted_places
            for r, c in sorted(extra)[:3]:
                problems.append("%s %s!R%dC%d: ours %r, xlrd has no value" % (
                    os.path.basename(path), sheet.name, r, c, values[r, c]))
    assert not problems, "%d differences, the first:\n%s" % (len(problems), "\n".join(problems[:30]))
    # 378 files of the corpus are BIFF8 workbooks that xlrd reads, with 563,752 cells.
    assert compared_files >= 378 and compared_cells > 500_000 and older <= 8


def damaged_copies(folder):
    """Damaged copies of the CI sample, one per container and byte model."""
    models = ["truncate", "zero-sectors", "burst", "bytes", "header", "fat", "directory", "shift"]
    paths = []
    for original in SAMPLE:
        data = open(original, "rb").read()
        for model in models:
            damaged, _ = damage.apply(model, 1, data, name=os.path.basename(original))
            path = os.path.join(folder, "%s.%s.xls" % (os.path.basename(original)[:-4], model))
            with open(path, "wb") as out:
                out.write(damaged)
            paths.append(path)
    return paths


def test_damaged_copies_give_frames_and_the_command_lines_counts(tmp_path):
    paths = damaged_copies(str(tmp_path))
    cli = inspect_json(paths)
    recovered = 0
    for path in paths:
        line = cli[path]
        if line["status"] != "inspected":
            with pytest.raises(tabulix.Error) as raised:
                tabulix.recover(path)
            assert str(raised.value) == line["error"], path
            assert raised.value.report["status"] == line["status"]
            jsonschema.validate(raised.value.report, SCHEMA)
            continue
        recovery = tabulix.recover(path)
        report = recovery.report
        # The command line's shape: the same keys, valid by its schema.
        assert list(report) == list(line), path
        jsonschema.validate(report, SCHEMA)
        for key in ("cells", "lost_text", "dropped_cells", "formulas_as_values", "route",
                    "intact_substreams", "shared_strings_lost", "kept_records"):
            assert report[key] == line[key], (path, key)
        assert report["sheets"] == line["sheets"], path
        frames = tabulix.read_excel(path, sheet_name=None, header=None)
        worksheets = [s for s in line["sheets"] if s["type"] == "worksheet"]
        assert [s.saved_name for s in recovery.worksheets] == [s["name"] for s in worksheets]
        assert list(frames) == [s.name for s in recovery.worksheets], path
        for sheet, (name, frame) in zip(recovery.worksheets, frames.items()):
            cells = sheet.cells()
            assert len(cells) == sheet.value_cells, (path, name)
            kept = sum(1 for _, _, value in cells if not isinstance(value, tabulix.CellError))
            assert int(frame.notna().to_numpy().sum()) == kept, (path, name)
        recovered += 1
    # Most copies come back; the rest failed exactly as the command line said.
    assert recovered >= len(paths) // 2


def test_bytes_in_equal_path_in(tmp_path):
    files = SAMPLE[:6] + [os.path.join(CORPUS, "odd", n) for n in sorted(os.listdir(os.path.join(CORPUS, "odd")))[:6]]
    for path in files + damaged_copies(str(tmp_path))[:16]:
        data = open(path, "rb").read()
        try:
            by_path = tabulix.recover(path)
        except tabulix.Error as error:
            with pytest.raises(type(error)) as raised:
                tabulix.recover(data, name=path)
            assert str(raised.value) == str(error)
            continue
        for source in (data, bytearray(data), memoryview(data)):
            by_bytes = tabulix.recover(source, name=path)
            left, right = by_path.report, by_bytes.report
            left.pop("seconds"), right.pop("seconds")
            assert left == right, path
            for a, b in zip(by_path.worksheets, by_bytes.worksheets):
                assert a.cells() == b.cells()
                assert a.to_pandas(header=None).equals(b.to_pandas(header=None))
    nameless = tabulix.recover(open(SAMPLE[0], "rb").read())
    assert nameless.report["input"] is None


def test_failures_raise_the_command_lines_words(tmp_path):
    empty = tmp_path / "empty.xls"
    empty.write_bytes(b"")
    renamed = tmp_path / "renamed.xls"
    with zipfile.ZipFile(renamed, "w") as archive:
        archive.writestr("xl/workbook.xml", "<workbook/>")
        archive.writestr("[Content_Types].xml", "<Types/>")
    noise = tmp_path / "noise.xls"
    noise.write_bytes(bytes(range(256)) * 40)
    cases = [(renamed, tabulix.NotAWorkbook), (PASSWORD, tabulix.PasswordProtected),
             (empty, tabulix.NotAWorkbook), (noise, tabulix.NothingRecovered)]
    cli = inspect_json([str(path) for path, _ in cases])
    for path, kind in cases:
        for source in (str(path), open(path, "rb").read()):
            with pytest.raises(kind) as raised:
                tabulix.recover(source)
            line = cli[str(path)]
            assert str(raised.value) == line["error"], path
            assert isinstance(raised.value, tabulix.Error)
            assert raised.value.report["status"] == line["status"]
            assert raised.value.report["file_kind"] == line["file_kind"]
            # Raised on a worker process, it arrives whole.
            again = pickle.loads(pickle.dumps(raised.value))
            assert type(again) is kind and again.report == raised.value.report
    with pytest.raises(FileNotFoundError):
        tabulix.recover(str(tmp_path / "missing.xls"))
    with pytest.raises(IsADirectoryError):
        tabulix.read_excel(tmp_path)


def test_values_of_each_type_and_the_header_row():
    # A file with dates, booleans, errors and formulas: cells() against xlrd, type by type.
    path = os.path.join(CORPUS, "real", "xlrd-Formate.xls") if os.path.exists(
        os.path.join(CORPUS, "real", "xlrd-Formate.xls")) else SAMPLE[0]
    book = xlrd.open_workbook(path)
    recovery = tabulix.recover(path)
    assert recovery.date1904 == bool(book.datemode)
    for sheet, theirs in zip(recovery.worksheets, book.sheets()):
        assert (sheet.nrows, sheet.ncols) == (theirs.nrows, theirs.ncols)
        for r, c, value in sheet.cells():
            cell = theirs.cell(r, c)
            if cell.ctype == xlrd.XL_CELL_ERROR:
                assert isinstance(value, tabulix.CellError) and value.code == cell.value
            elif cell.ctype == xlrd.XL_CELL_NUMBER:
                assert type(value) is float and value == cell.value
            else:
                assert same_value(value, expected_value(cell, book.datemode), cell.ctype)

    # header=0 names the columns as pandas does and keeps the types of the rows below.
    sheet = tabulix.recover(os.path.join(CORPUS, "real", "46904.xls")).worksheets[0]
    frame = sheet.to_pandas()
    assert list(frame.columns[:3]) == ["NAVNETYPE", "NAVNEKODE", "NAVN1"]
    assert len(frame) == sheet.nrows - 1
    below = sheet.to_pandas(header=3).iloc[0].tolist()
    assert [v if v == v else None for v in below] == [
        v if v == v else None for v in sheet.to_pandas(header=None).iloc[4].tolist()]
    assert len(sheet.to_pandas(header=sheet.nrows + 5)) == 0
    with pytest.raises(ValueError):
        sheet.to_pandas(header=-1)


def test_column_types_and_labels_follow_pandas():
    from tabulix import _column_labels

    assert _column_labels(["a", None, "a", "", "a", 2020]) == [
        "a", "Unnamed: 1", "a.1", "Unnamed: 3", "a.2", 2020]
    # A sheet of whole numbers gets int64 columns; one with a gap gets float64 and NaN.
    for path in SAMPLE:
        for sheet in tabulix.recover(path).worksheets:
            frame = sheet.to_pandas(header=None)
            for position in range(frame.shape[1]):
                column = frame[position]
                if column.dtype == np.int64:
                    assert column.notna().all()
                if column.dtype == object:
                    kinds = {type(v) for v in column if not (isinstance(v, float) and math.isnan(v))}
                    assert len(kinds) > 1 or column.isna().any() or kinds <= {str, datetime.datetime}


def test_sheet_choice_mirrors_pandas():
    path = next(p for p in SAMPLE if len(xlrd.open_workbook(p).sheets()) > 1)
    names = [s.name for s in xlrd.open_workbook(path).sheets()]
    first = tabulix.read_excel(path)
    assert first.equals(tabulix.read_excel(path, sheet_name=names[0]))
    assert tabulix.read_excel(path, sheet_name=-1).equals(tabulix.read_excel(path, sheet_name=names[-1]))
    chosen = tabulix.read_excel(path, sheet_name=[1, names[0]])
    assert list(chosen) == [1, names[0]]
    with open(path, "rb") as handle:
        assert tabulix.read_excel(handle).equals(first)
    with pytest.raises(ValueError, match="not found"):
        tabulix.read_excel(path, sheet_name="no such sheet")
    with pytest.raises(IndexError):
        tabulix.read_excel(path, sheet_name=len(names))


def test_saves_open_in_other_readers_and_never_touch_the_input(tmp_path):
    import openpyxl

    path = SAMPLE[0]
    recovery = tabulix.recover(path)
    wanted = [sheet.cells() for sheet in recovery.worksheets]
    recovery.save(tmp_path / "out.xls")
    assert [s.cells() for s in tabulix.recover(str(tmp_path / "out.xls")).worksheets] == wanted
    xlrd.open_workbook(str(tmp_path / "out.xls"))
    recovery.save(str(tmp_path / "out.xlsx"), format="xlsx")
    book = openpyxl.load_workbook(tmp_path / "out.xlsx", read_only=True)
    assert book.sheetnames == [s.name for s in recovery.worksheets]
    recovery.save(str(tmp_path / "out-csv"), format="csv")
    assert len(os.listdir(tmp_path / "out-csv")) == len(recovery.worksheets)
    # The source is never written, under its own name or another.
    copy = tmp_path / "source.xls"
    shutil.copy(path, copy)
    os.link(copy, tmp_path / "alias.xls")
    before = copy.read_bytes()
    from_copy = tabulix.recover(str(copy))
    for target in (copy, tmp_path / "alias.xls"):
        with pytest.raises(tabulix.Error, match="inputs are never written"):
            from_copy.save(str(target))
    assert copy.read_bytes() == before
    with pytest.raises(tabulix.Error, match="could not save"):
        recovery.save(str(tmp_path / "no" / "such" / "folder.xls"))
    with pytest.raises(ValueError):
        recovery.save(str(tmp_path / "x.ods"), format="ods")


def test_threads_recover_side_by_side_with_the_same_results():
    path = max(SAMPLE, key=os.path.getsize)
    alone = tabulix.recover(path)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        results = list(pool.map(tabulix.recover, [path] * 8))
    for result in results:
        assert [s.cells() for s in result.worksheets] == [s.cells() for s in alone.worksheets]
    # One recovery read and saved from two threads at once.
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        frames = list(pool.map(lambda s: s.to_pandas(header=None), alone.worksheets * 4))
    assert all(f.shape[0] > 0 for f in frames)


def test_pandas_is_imported_only_when_asked_for():
    code = ("import sys, tabulix\n"
            "sheet = tabulix.recover(sys.argv[1]).worksheets[0]\n"
            "sheet.cells()\n"
            "assert 'pandas' not in sys.modules and 'numpy' not in sys.modules\n"
            "sheet.to_pandas()\n"
            "assert 'pandas' in sys.modules\n")
    run = subprocess.run([sys.executable, "-c", code, SAMPLE[0]], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr


def test_every_public_name_is_documented_and_typed():
    stub = open(os.path.join(os.path.dirname(tabulix.__file__), "__init__.pyi")).read()
    ast.parse(stub)
    for name in tabulix.__all__:
        if name != "__version__":
            assert getattr(tabulix, name).__doc__, name
        assert name in stub, name
    for cls in (tabulix.Recovery, tabulix.Sheet):
        for name, member in vars(cls).items():
            if not name.startswith("_"):
                assert "def %s(" % name in stub or "    %s:" % name in stub, (cls.__name__, name)
