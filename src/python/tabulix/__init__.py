"""Rescue the cells of damaged Excel 97-2003 workbooks (.xls) from Python.

Tabulix reads what survives of a damaged .xls file (a truncated download, bad sectors, a
broken container, records with wrong lengths) and gives back every cell it can, with a
report of what it could not. Sound files come through cell for cell.

    >>> import tabulix
    >>> recovery = tabulix.recover("damaged.xls")        # a path, or the file's bytes
    >>> recovery.report["cells"]                          # the same report as the command line's
    2349
    >>> [sheet.name for sheet in recovery.sheets]
    ['Sales', 'Costs']
    >>> frame = recovery.sheets[0].to_pandas()            # a pandas DataFrame
    >>> recovery.save("rescued.xlsx", format="xlsx")      # or "xls", or "csv" (a folder)

    >>> frames = tabulix.read_excel("damaged.xls", sheet_name=None)  # like pandas.read_excel

The work runs without Python's global interpreter lock, so threads recover files side by
side. Failures raise tabulix.Error, or one of its kinds: NotAWorkbook, PasswordProtected,
NothingRecovered; each carries the report of the failed file as `report`.

The module writes no log files unless set_log_folder() names a folder for them. pandas is
imported only by to_pandas() and read_excel().
"""

from __future__ import annotations

import errno as _errno
import os as _os

from . import _tabulix

__all__ = [
    "recover",
    "read_excel",
    "Recovery",
    "Sheet",
    "CellError",
    "Error",
    "NotAWorkbook",
    "PasswordProtected",
    "NothingRecovered",
    "set_log_folder",
    "__version__",
]

__version__ = _tabulix.version


class Error(Exception):
    """A file could not be recovered. `report` is its recovery report (a dict of the same
    shape as `tabulix inspect --json` prints, with "status" "failed" or
    "password-protected" and the reason in "error"); str(error) is the reason, in the
    words the command line prints."""

    def __init__(self, message: str, report: dict | None = None):
        super().__init__(message)
        self.report = report if report is not None else {}

    def __reduce__(self):
        # Raised on a Dask worker, the error reaches the client with its report.
        return (type(self), (str(self), self.report))


class NotAWorkbook(Error):
    """The file is not an Excel 97-2003 workbook: an .xlsx or OpenDocument file, a zip
    archive, a web page, a text file, an older Excel version, an empty file. The message
    says what it is and what to use instead."""


class PasswordProtected(Error):
    """The workbook is encrypted with a password; its cells cannot be read without it."""


class NothingRecovered(Error):
    """The file is an .xls workbook (or was one), but no worksheet cell could be
    recovered from it."""


_FAILURES = {
    "not-a-workbook": NotAWorkbook,
    "password-protected": PasswordProtected,
    "nothing-recovered": NothingRecovered,
    "unreadable": Error,
}

# The error codes of the file format, by their text.
_ERROR_CODES = {
    "#NULL!": 0x00,
    "#DIV/0!": 0x07,
    "#VALUE!": 0x0F,
    "#REF!": 0x17,
    "#NAME?": 0x1D,
    "#NUM!": 0x24,
    "#N/A": 0x2A,
}


class CellError:
    """The value of a cell that holds an error, such as #DIV/0! or #N/A: `text` is what the
    spreadsheet shows, `code` the file format's number for it (xlrd's error code)."""

    __slots__ = ("text", "code")

    def __init__(self, text: str):
        self.text = text
        self.code = _ERROR_CODES.get(text, 0x2A)

    def __repr__(self) -> str:
        return f"CellError({self.text!r})"

    def __str__(self) -> str:
        return self.text

    def __eq__(self, other: object) -> bool:
        return isinstance(other, CellError) and other.text == self.text

    def __hash__(self) -> int:
        return hash(("CellError", self.text))


def set_log_folder(folder: str | _os.PathLike | None) -> None:
    """Write the recovery's execution and error logs ("TabulixExecLog.log",
    "TabulixErrorLog.log") into `folder`, which is made when missing; None stops them.
    By default the module writes no logs."""
    if folder is None:
        _tabulix.set_log_folder("")
        return
    folder = _os.fspath(folder)
    _os.makedirs(folder, exist_ok=True)
    _tabulix.set_log_folder(folder)


def _parse_report(text: str) -> dict:
    import json

    return json.loads(text)


def recover(source, name: str | None = None) -> "Recovery":
    """Load a damaged (or sound) .xls workbook and recover every cell that survives.

    `source` is a path (str or os.PathLike), or the file's bytes (bytes, bytearray,
    memoryview), which are read in memory with no temporary file; `name` is what the
    report calls bytes (default: none). The work runs with the interpreter lock released.

    Raises FileNotFoundError or IsADirectoryError for a path that names no file,
    NotAWorkbook, PasswordProtected or NothingRecovered when nothing could be recovered
    (all are tabulix.Error, with the report), and tabulix.Error when the file could not be
    read.
    """
    path = name
    if isinstance(source, (bytes, bytearray, memoryview)):
        view = memoryview(source)
        if not view.c_contiguous:
            view = memoryview(view.tobytes())
        failure, line, native = _tabulix.load_bytes(view.cast("B"), name or "", CellError)
    else:
        path = _os.fspath(source)
        if isinstance(path, bytes):
            path = _os.fsdecode(path)
        if not _os.path.exists(path):
            raise FileNotFoundError(_errno.ENOENT, "No such file or directory", path)
        if _os.path.isdir(path):
            raise IsADirectoryError(_errno.EISDIR, "Is a directory (give a file)", path)
        failure, line, native = _tabulix.load_path(path, CellError)
    if failure:
        report = _parse_report(line)
        raise _FAILURES.get(failure, Error)(report.get("error") or "nothing could be recovered", report)
    return Recovery(native, line, path)


class Sheet:
    """One recovered sheet.

    `name` is the name the file gives it, as other readers of the file name it (or, for a
    sheet the file names no more, the saved name); `saved_name` is the name the saved
    workbook gives it, which may be shortened or made unique; `index` is its place in
    Recovery.sheets, `kind` "worksheet" (or "chart", "macro sheet": those are kept for the
    .xls save but hold no cells here), `intact` whether it was read whole or rebuilt
    record by record, `nrows` and `ncols` the extent of its value cells counted from A1
    (as xlrd counts them), `value_cells` how many cells hold a value.
    """

    __slots__ = ("_native", "index", "name", "saved_name", "kind", "intact", "nrows", "ncols",
                 "value_cells")

    def __init__(self, native, index: int):
        info = native.sheet_info(index)
        self._native = native
        self.index = index
        self.name = info["name"]
        self.saved_name = info["saved_name"]
        self.kind = info["kind"]
        self.intact = info["intact"]
        self.nrows = info["nrows"]
        self.ncols = info["ncols"]
        self.value_cells = info["value_cells"]

    @property
    def rebuilt(self) -> bool:
        """The sheet was rebuilt record by record from a damaged part of the file."""
        return not self.intact

    @property
    def shape(self) -> tuple[int, int]:
        """(nrows, ncols)."""
        return (self.nrows, self.ncols)

    def __repr__(self) -> str:
        state = "intact" if self.intact else "rebuilt"
        return f"<tabulix.Sheet {self.index} {self.name!r} {self.kind}, {self.nrows}x{self.ncols}, {state}>"

    def cells(self) -> list:
        """Every cell that holds a value, as (row, column, value) tuples in row order, rows
        and columns counted from 0. Values are float, str, bool, datetime.datetime (numbers
        in a date or time format, in the workbook's date system) or CellError. Blank cells
        are left out."""
        return self._native.cells(self.index)

    def to_pandas(self, header: int | None = 0):
        """The sheet as a pandas DataFrame, as pandas.read_excel would give it.

        `header` is the row (from 0) that names the columns; rows above it are skipped,
        None names the columns 0, 1, 2... The frame spans A1 to the last cell that holds a
        value. Whole numbers come out as int, dates as datetimes, errors and empty cells as
        NaN (NaT in a column of dates); columns of one type get that dtype. Texts are kept
        as they are (no "NA" strings are turned into NaN).

        The columns are built straight from the recovered cells, without a list of every
        cell in between.
        """
        import pandas as pd

        if header is not None:
            header = int(header)
            if header < 0:
                raise ValueError("header must be a row number from 0, or None")
        names, columns, rows = self._native.columns(self.index, header)
        data = {}
        for position, (dtype, values) in enumerate(columns):
            data[position] = values.view(dtype) if dtype == "datetime64[ns]" else values
        columns.clear()
        frame = pd.DataFrame(data, index=pd.RangeIndex(rows), copy=False)
        if names is not None:
            frame.columns = _column_labels(names)
        return frame

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Sheet) and other._native is self._native and other.index == self.index

    def __hash__(self) -> int:
        return hash((id(self._native), self.index))


def _column_labels(names: list) -> list:
    """Column labels from a header row, as pandas gives them: "Unnamed: i" where the row
    is empty, and ".1", ".2"... after a repeated name."""
    labels = []
    seen: dict = {}
    for position, name in enumerate(names):
        if name is None or (isinstance(name, str) and name == ""):
            name = f"Unnamed: {position}"
        label = name
        count = seen.get(label, 0)
        while label in seen:
            count += 1
            label = f"{name}.{count}"
        seen[name] = count
        seen.setdefault(label, 0)
        labels.append(label)
    return labels


class Recovery:
    """What recover() got back from one file.

    `report` is the recovery report as a dict, the same shape as one line of
    `tabulix inspect --json` (docs/report.schema.json): the route to the workbook stream,
    the substreams, each sheet with its cell count, what was lost and repaired. `sheets`
    lists the recovered sheets, `worksheets` those that hold cells. `date1904` tells
    whether the workbook counts its dates from 1904-01-01 (else 1900-01-01).
    """

    __slots__ = ("_native", "_line", "_input", "_sheets")

    def __init__(self, native, line: str, source: str | None):
        self._native = native
        self._line = line
        self._input = source  # the path loaded, or the name given to bytes
        self._sheets = None

    @property
    def report(self) -> dict:
        """The recovery report (a fresh dict on each call)."""
        return _parse_report(self._line)

    @property
    def sheets(self) -> list[Sheet]:
        """Every recovered sheet, in the order the saved workbook holds them."""
        if self._sheets is None:
            self._sheets = [Sheet(self._native, i) for i in range(self._native.sheet_count())]
        return list(self._sheets)

    @property
    def worksheets(self) -> list[Sheet]:
        """The recovered sheets that hold cells (chart and macro sheets left out)."""
        return [sheet for sheet in self.sheets if sheet.kind == "worksheet"]

    @property
    def date1904(self) -> bool:
        """The workbook counts its dates from 1904-01-01 (else from 1900-01-01)."""
        return self._native.date1904

    def sheet(self, key: int | str) -> Sheet:
        """A worksheet by its place among the worksheets (from 0) or by its name."""
        worksheets = self.worksheets
        if isinstance(key, str):
            for sheet in worksheets:
                if sheet.name == key:
                    return sheet
            raise ValueError(f"Worksheet named '{key}' not found")
        if isinstance(key, bool) or not isinstance(key, int):
            raise TypeError("a sheet is chosen by its number (from 0) or its name")
        if not -len(worksheets) <= key < len(worksheets):
            raise IndexError(f"Worksheet index {key} is invalid, {len(worksheets)} worksheets found")
        return worksheets[key]

    def save(self, path: str | _os.PathLike, format: str = "xls") -> None:
        """Save the recovered workbook at `path`, replacing a file there.

        "xls": a clean Excel 97-2003 workbook (every sheet, and what else the file held
        that survived); "xlsx": an Excel 2007+ workbook of the worksheets; "csv": a folder
        at `path` of one UTF-8 CSV file per worksheet (an existing folder is replaced only
        when it holds nothing but CSV files). All or nothing: a failed save leaves what
        was there. The source file is never written. The work runs with the interpreter
        lock released. Raises tabulix.Error with the reason when it could not be saved.
        """
        if format not in ("xls", "xlsx", "csv"):
            raise ValueError(f"format must be 'xls', 'xlsx' or 'csv', not {format!r}")
        path = _os.fsdecode(_os.fspath(path))
        source = self._input
        if source and _os.path.exists(path) and _os.path.exists(source):
            if _os.path.samefile(path, source):
                raise Error(f"could not save '{path}': it is the input file; inputs are never written")
        error = self._native.save(path, format)
        if error:
            raise Error(f"could not save '{path}': {error}")

    def __repr__(self) -> str:
        report = _parse_report(self._line)
        name = report.get("input") or "bytes"
        return (f"<tabulix.Recovery {name!r}: {len(report.get('sheets', []))} sheets, "
                f"{report.get('cells', 0)} cells>")


def read_excel(io, sheet_name=0, header: int | None = 0):
    """Read the sheets of a damaged or sound .xls workbook into pandas DataFrames, like
    pandas.read_excel.

    `io` is a path, the file's bytes, or a binary file object. `sheet_name` is a
    worksheet's place (from 0) or name, a list of them, or None for every worksheet; a
    list or None gives a dict of DataFrames (keyed by name for None, by the keys given for
    a list). `header` is as for Sheet.to_pandas. Raises what recover() raises.
    """
    if hasattr(io, "read"):
        io = io.read()
    recovery = recover(io)
    if sheet_name is None:
        return {sheet.name: sheet.to_pandas(header=header) for sheet in recovery.worksheets}
    if isinstance(sheet_name, (list, tuple)):
        return {key: recovery.sheet(key).to_pandas(header=header) for key in sheet_name}
    return recovery.sheet(sheet_name).to_pandas(header=header)

