#!/usr/bin/python3
"""The command line as its users drive it: the real executable on copies of the corpus and
on damaged and foreign files made here, its outputs read back by independent programs.

  cli_end_to_end.py --tabulix EXE --corpus DIR [--build DIR] GROUP

GROUP is one of:
  batch      a recursive batch over a copy of the corpus and damaged copies, two jobs,
             JSON Lines checked against the schema, every output read by xlrd and the sound
             files' cells compared, the inputs untouched, a second run refused
  xlsx       --format xlsx checked cell by cell by openpyxl against xlrd's reading of the
             originals, a sample opened by LibreOffice; --format csv
  refusals   bad input, each kind of file that is not an .xls workbook, outputs that may
             not be written, usage errors and the exit statuses, inspect and preview
  interrupt  a batch stopped by SIGINT and SIGTERM mid-way leaves only whole outputs
  parallel   the README's GNU parallel recipe, two local job slots standing in for hosts
  shell      bash completion, the manual page and what `cmake --install` installs
Exit status 0 when every check holds; 1 with one line per failed check otherwise.
"""
import argparse
import csv
import datetime
import hashlib
import io
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

import xlrd

FAILURES = []
HERE = Path(__file__).resolve().parent
SCHEMA = HERE.parent.parent / "docs" / "report.schema.json"
README = HERE.parent.parent / "README.md"


def check(condition, what):
    if not condition:
        FAILURES.append(what)
    return condition


def run(args, cwd=None, env=None, stdin=None):
    result = subprocess.run([str(a) for a in args], cwd=cwd, env=env, input=stdin,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=1200)
    return result.returncode, result.stdout.decode("utf-8", "replace"), \
        result.stderr.decode("utf-8", "replace")


def digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def tree_digests(folder):
    return {str(p.relative_to(folder)): digest(p) for p in sorted(Path(folder).rglob("*"))
            if p.is_file() and not p.is_symlink()}


def open_book(path):
    return xlrd.open_workbook(str(path), logfile=open(os.devnull, "w"))


def valued_cells(sheet):
    """(row, column, cell) of every cell of an xlrd sheet that holds a value."""
    for r in range(sheet.nrows):
        for c in range(sheet.ncols):
            cell = sheet.cell(r, c)
            if cell.ctype in (xlrd.XL_CELL_EMPTY, xlrd.XL_CELL_BLANK):
                continue
            if cell.ctype == xlrd.XL_CELL_TEXT and cell.value == "":
                continue
            yield r, c, cell


def cells_of(book):
    """(sheet index, row, column) -> (type, value) of every cell with a value."""
    return {(s, r, c): (cell.ctype, cell.value)
            for s, sheet in enumerate(book.sheets()) for r, c, cell in valued_cells(sheet)}


def same_value(a, b):
    return a == b or (a[0] == b[0] and a[1] != a[1] and b[1] != b[1])


def sound_files(corpus, limit=None):
    files = sorted((corpus / "real").glob("*.xls"))
    return files[:limit] if limit else files


def damaged_copies(corpus, folder, count=12, seed=20261209):
    """Copies of corpus files cut short, with bytes overwritten, or with their header
    zeroed: damage that a download, a disk or a careless program leaves."""
    rng = random.Random(seed)
    folder.mkdir(parents=True, exist_ok=True)
    sources = [f for f in sound_files(corpus) if 20000 < f.stat().st_size < 400000]
    made = []
    for i, source in enumerate(rng.sample(sources, count)):
        data = bytearray(source.read_bytes())
        kind = i % 3
        if kind == 0:
            data = data[:int(len(data) * 0.7)]
        elif kind == 1:
            for _ in range(4):
                at = rng.randrange(4096, len(data) - 16)
                data[at:at + 8] = bytes(rng.randrange(256) for _ in range(8))
        else:
            data[0:512] = bytes(512)
        target = folder / ("damaged%02d_%s" % (i, source.name))
        target.write_bytes(bytes(data))
        made.append(target)
    return made


def load_schema():
    import jsonschema
    schema = json.loads(SCHEMA.read_text())
    return jsonschema.Draft202012Validator(schema)


def json_lines(text, validator, what):
    lines = []
    for n, line in enumerate(text.splitlines(), 1):
        try:
            report = json.loads(line)
        except ValueError as error:
            check(False, "%s: line %d is not JSON: %s" % (what, n, error))
            continue
        errors = list(validator.iter_errors(report))
        check(not errors, "%s: line %d does not meet the schema: %s" %
              (what, n, errors[0].message if errors else ""))
        lines.append(report)
    return lines


# ---------------------------------------------------------------------------------------

def group_batch(tabulix, corpus, work):
    inputs = work / "in"
    shutil.copytree(corpus / "real", inputs / "real", ignore=shutil.ignore_patterns("*.tsv"))
    damaged = damaged_copies(corpus, inputs / "damaged")
    before = tree_digests(inputs)
    out = work / "out"
    validator = load_schema()

    logs = work / "logs"
    status, stdout, stderr = run([tabulix, "recover", "-r", "--jobs", "2", "--json",
                                  "--out-dir", out, "--log-dir", logs, inputs])
    # Two files worked on side by side write to the same logs: every line stays whole.
    header = re.compile(rb"^(=+|Last Log On|Date : [0-9/]+|Time : [0-9:]+)\r$")
    entry = re.compile(rb"^Code:-?[0-9]+  Error:-?[0-9]+  MSG:")
    for name in ("TabulixExecLog.log", "TabulixErrorLog.log"):
        data = (logs / name).read_bytes() if (logs / name).exists() else b""
        check(data.endswith(b"\r\n"), "batch: %s is missing or cut" % name)
        broken = [line for line in data.split(b"\n")[:-1]
                  if not (header.match(line) or entry.match(line))]
        check(not broken, "batch: %s has %d broken lines, the first %.120r" %
              (name, len(broken), broken[:1]))
    reports = json_lines(stdout, validator, "batch")
    names = {Path(r["input"]).name for r in reports if r["input"]}
    expected = {p.name for p in inputs.rglob("*.xls")}
    check(names == expected, "batch: one report per input file (%d reports, %d files)" %
          (len(names), len(expected)))
    failed = [r for r in reports if r["status"] != "recovered"]
    check(status == (1 if failed else 0), "batch: exit status %d with %d failed files" %
          (status, len(failed)))
    check(all(r["input"].find("/damaged/") >= 0 for r in failed),
          "batch: sound files failed: %s" % [r["input"] for r in failed if "/damaged/" not in r["input"]])
    check("Recovered %d of %d files" % (len(reports) - len(failed), len(reports)) in stderr,
          "batch: the closing summary counts the files: " + stderr[-300:])
    check(tree_digests(inputs) == before, "batch: the inputs were changed")
    check(sorted(p.name for p in out.iterdir() if p.name.startswith(".")) == [],
          "batch: temporaries left in the output folder")

    differences = 0
    for report in reports:
        if report["status"] != "recovered":
            continue
        output = Path(report["output"])
        check(output.parent == out, "batch: output outside --out-dir: %s" % output)
        try:
            saved = open_book(output)
        except Exception as error:
            check(False, "batch: xlrd refuses %s: %s" % (output.name, error))
            continue
        check(report["cells"] == sum(s["cells"] for s in report["sheets"]),
              "batch: %s: the cell total is not the sum of the sheets" % output.name)
        if "/damaged/" in report["input"]:
            continue
        original = cells_of(open_book(report["input"]))
        recovered = cells_of(saved)
        if set(original) != set(recovered) or not all(
                same_value(original[k], recovered[k]) for k in original):
            differences += 1
            check(False, "batch: %s: xlrd reads other cells from the output" % output.name)
    print("batch: %d reports, %d failed (damaged copies), %d sound outputs differ"
          % (len(reports), len(failed), differences))

    # The same batch again: every output exists, so every file is refused and nothing
    # changes; --force replaces them.
    sample = work / "again"
    sample.mkdir()
    for source in sorted((inputs / "real").glob("*.xls"))[:3]:
        shutil.copy(source, sample / source.name)
    status, _, _ = run([tabulix, "recover", "-q", sample])
    check(status == 0, "again: first run")
    outputs = tree_digests(sample)
    status, _, stderr = run([tabulix, "recover", sample / sorted(os.listdir(sample))[0]])
    check(status == 1 and "already exists; use --force to replace it" in stderr,
          "again: an existing output is refused: %d %s" % (status, stderr))
    check(tree_digests(sample) == outputs, "again: the refused run changed files")
    status, _, stderr = run([tabulix, "recover", "-q", "--force", sample])
    check(status == 0 and stderr == "", "again: --force replaces: %d %s" % (status, stderr))


def compare_xlsx(original_path, xlsx_path, what):
    import openpyxl
    book = open_book(original_path)
    wanted_sheets = [s.name for s in book.sheets()]
    workbook = openpyxl.load_workbook(str(xlsx_path), read_only=True, data_only=True)
    got_sheets = workbook.sheetnames
    if not check(len(got_sheets) == len(wanted_sheets),
                 "%s: %d sheets in the xlsx, xlrd reads %d" % (what, len(got_sheets),
                                                            len(wanted_sheets))):
        return False
    good = True
    for s, sheet in enumerate(book.sheets()):
        wanted = {(r, c): cell for r, c, cell in valued_cells(sheet)}
        got = {}
        for row in workbook[got_sheets[s]].iter_rows():
            for cell in row:
                if cell.value is None or cell.value == "":
                    continue
                got[(cell.row - 1, cell.column - 1)] = cell.value
        for place in set(wanted) | set(got):
            cell = wanted.get(place)
            value = got.get(place)
            if cell is None or value is None:
                good = False
                break
            if cell.ctype == xlrd.XL_CELL_TEXT:
                # A cell of an .xlsx holds at most 32,767 characters.
                ok = value == cell.value[:32767]
            elif cell.ctype == xlrd.XL_CELL_BOOLEAN:
                ok = value is bool(cell.value) or value == bool(cell.value)
            elif cell.ctype == xlrd.XL_CELL_ERROR:
                ok = value == xlrd.error_text_from_code.get(cell.value)
            elif isinstance(value, (datetime.datetime, datetime.date, datetime.time,
                                    datetime.timedelta)):
                ok = cell.ctype in (xlrd.XL_CELL_DATE, xlrd.XL_CELL_NUMBER)
                try:
                    as_date = xlrd.xldate_as_datetime(cell.value, book.datemode)
                    if isinstance(value, datetime.time):
                        ok = ok and as_date.time().replace(microsecond=0) == \
                            value.replace(microsecond=0)
                    elif isinstance(value, datetime.timedelta):
                        ok = ok and abs(value.total_seconds() - cell.value * 86400) < 1
                    else:
                        ok = ok and abs((as_date - value).total_seconds()) < 0.002
                except Exception:
                    ok = False
            else:
                # libxlsxwriter writes numbers with 16 significant digits ("%.16G"); the
                # 17th, which some doubles need to read back exactly, is lost there.
                # No .xlsx number is NaN: such a cell shows the error #NUM!.
                ok = (isinstance(value, (int, float)) and (
                    value == cell.value or value == float("%.16G" % cell.value))) or (
                    cell.value != cell.value and value == "#NUM!")
            if not ok:
                good = False
                break
        if not good:
            check(False, "%s: sheet %d cell %s: xlrd reads %.80r, openpyxl %.80r" %
                  (what, s, place, wanted.get(place), got.get(place)))
            break
    workbook.close()
    return good


def group_xlsx(tabulix, corpus, work):
    files = [f for f in sound_files(corpus)]
    inputs = work / "in"
    inputs.mkdir()
    for f in files:
        shutil.copy(f, inputs / f.name)
    out = work / "out"
    status, stdout, stderr = run([tabulix, "recover", "--format", "xlsx", "--jobs", "2",
                                  "--json", "--out-dir", out, inputs])
    reports = [json.loads(line) for line in stdout.splitlines()]
    check(status == 0, "xlsx: exit status %d: %s" % (status, stderr[-500:]))
    compared = 0
    for report in reports:
        if report["status"] != "recovered":
            continue
        check(report["format"] == "xlsx" and report["output"].endswith("_recovered.xlsx"),
              "xlsx: output name %s" % report["output"])
        if compare_xlsx(report["input"], report["output"], "xlsx " + Path(report["input"]).name):
            compared += 1
    print("xlsx: %d of %d outputs hold every cell xlrd reads from the original"
          % (compared, len(reports)))

    # LibreOffice opens a sample of them: converted back to .xls, the sheets come through.
    sample = sorted(out.glob("*.xlsx"))[:: max(1, len(reports) // 4)][:4]
    converted = work / "lo"
    profile = work / "lo-profile"
    status, _, stderr = run(["soffice", "-env:UserInstallation=" + profile.resolve().as_uri(),
                             "--headless", "--convert-to", "xls", "--outdir", converted] + sample)
    for xlsx in sample:
        back = converted / (xlsx.stem + ".xls")
        if check(back.exists(), "xlsx: LibreOffice did not open %s: %s" % (xlsx.name, stderr)):
            check(len(open_book(back).sheets()) >= 1, "xlsx: LibreOffice's copy of %s" % xlsx.name)

    # CSV: a folder of one file per sheet, each row as xlrd reads it.
    source = max(files, key=lambda f: len(open_book(f).sheets()) if f.stat().st_size < 200000 else 0)
    status, _, stderr = run([tabulix, "recover", "-q", "--format", "csv", "-o", work / "csv", source])
    book = open_book(source)
    written = sorted((work / "csv").glob("*.csv")) if (work / "csv").is_dir() else []
    check(status == 0 and len(written) == len(book.sheets()),
          "csv: %d files for %d sheets (%d %s)" % (len(written), len(book.sheets()), status, stderr))
    for path in written:
        rows = list(csv.reader(io.StringIO(path.read_text(encoding="utf-8"), newline="")))
        check(all(isinstance(r, list) for r in rows), "csv: %s parses" % path.name)


def write_zip(path, entries):
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in entries.items():
            archive.writestr(name, data)


def foreign_files(folder, corpus):
    """One file of each kind that is not an Excel 97-2003 workbook, all named .xls, with
    words the refusal must use."""
    folder.mkdir(parents=True, exist_ok=True)
    made = {}
    write_zip(folder / "xlsx.xls", {"[Content_Types].xml": "<Types/>",
                                    "xl/workbook.xml": "<workbook/>"})
    made["xlsx.xls"] = "2007"
    write_zip(folder / "zip.xls", {"notes.txt": "hello"})
    made["zip.xls"] = "zip"
    (folder / "html.xls").write_text(
        "<html><body><table><tr><td>1</td></tr></table></body></html>\n")
    made["html.xls"] = "HTML"
    (folder / "xmlss.xls").write_text(
        '<?xml version="1.0"?>\n<Workbook xmlns="urn:schemas-microsoft-com:office:spreadsheet">'
        "<Worksheet/></Workbook>\n")
    made["xmlss.xls"] = "XML"
    (folder / "csv.xls").write_text("name,amount\nalpha,1\nbeta,2\n")
    made["csv.xls"] = "text"
    (folder / "empty.xls").write_bytes(b"")
    made["empty.xls"] = "empty"
    (folder / "zeros.xls").write_bytes(bytes(65536))
    made["zeros.xls"] = "zero"
    shutil.copy(corpus / "odd" / "testEXCEL_95.xls", folder / "biff5.xls")
    made["biff5.xls"] = "5.0/95"
    return made


def group_refusals(tabulix, corpus, work):
    validator = load_schema()
    sound = corpus / "real" / "29942.xls"

    # Usage errors: exit status 2 and nothing written.
    for args in (["recover"], ["frobnicate"], ["recover", "--bogus", sound],
                 ["recover", "--format", "pdf", sound], ["recover", "--jobs", "0", sound],
                 ["recover", "-o", work / "a.xls", "--out-dir", work, sound],
                 ["recover", "-o", work / "a.xls", sound, sound],
                 ["preview", sound, "--rows", "0"], []):
        status, _, stderr = run([tabulix] + args)
        check(status == 2, "usage: %s gives %d: %s" % (args, status, stderr))
    status, stdout, _ = run([tabulix, "--help"])
    check(status == 0 and "Exit status" in stdout and "password-protected" in stdout,
          "usage: --help documents the exit statuses")
    status, stdout, _ = run([tabulix, "--version"])
    check(status == 0 and stdout.startswith("tabulix "), "usage: --version")

    # A file that is its own output, under any of its names.
    own = work / "own"
    own.mkdir()
    original = own / "book.xls"
    shutil.copy(sound, original)
    os.link(original, own / "hard.xls")
    os.symlink(original, own / "soft.xls")
    for name in (original, own / ".." / "own" / "book.xls", own / "hard.xls", own / "soft.xls"):
        status, _, stderr = run([tabulix, "recover", original, "-o", name])
        check(status == 2 and "never overwritten" in stderr,
              "own output %s: %d %s" % (name, status, stderr))
    check(digest(original) == digest(sound), "own output: the input changed")
    check(sorted(os.listdir(own)) == ["book.xls", "hard.xls", "soft.xls"],
          "own output: something was written")

    # An input whose default output is another input is refused in a batch.
    pair = work / "pair"
    pair.mkdir()
    shutil.copy(sound, pair / "a.xls")
    shutil.copy(sound, pair / "a_recovered.xls")
    status, _, stderr = run([tabulix, "recover", "--force", pair / "a.xls", pair / "a_recovered.xls"])
    check(status == 1 and "is one of the input files" in stderr,
          "pair: %d %s" % (status, stderr))
    check(digest(pair / "a_recovered.xls") == digest(sound), "pair: an input was written")

    # Paths that name nothing to work on.
    empty_folder = work / "nothing"
    (empty_folder / "sub").mkdir(parents=True)
    (empty_folder / "notes.txt").write_text("no workbooks here\n")
    loop = work / "loop.xls"
    os.symlink(loop, loop)
    for path, words in ((work / "missing.xls", "no such file or folder"),
                        (empty_folder, "no .xls files in this folder"),
                        (loop, "cannot be examined")):
        status, stdout, stderr = run([tabulix, "recover", "--json", path])
        check(status == 1 and words in stderr, "bad path %s: %d %s" % (path.name, status, stderr))
        json_lines(stdout, validator, "bad path " + path.name)
    if os.geteuid() != 0:
        locked = work / "locked.xls"
        shutil.copy(sound, locked)
        locked.chmod(0)
        status, _, stderr = run([tabulix, "recover", "-o", work / "locked_out.xls", locked])
        check(status == 1 and not (work / "locked_out.xls").exists(),
              "unreadable file: %d %s" % (status, stderr))
    check(sorted(os.listdir(empty_folder)) == ["notes.txt", "sub"], "bad path: something written")

    # Each kind of file that is not an .xls workbook: named for what it is, status 1,
    # nothing written.
    foreign = work / "foreign"
    for name, words in foreign_files(foreign, corpus).items():
        status, stdout, stderr = run([tabulix, "recover", "--json", foreign / name])
        reports = json_lines(stdout, validator, "foreign " + name)
        check(status == 1 and words.lower() in stderr.lower(),
              "foreign %s: status %d, message %r" % (name, status, stderr))
        check(reports and reports[0]["file_kind"] not in ("xls",) and reports[0]["status"] == "failed",
              "foreign %s: report %s" % (name, reports[0]["file_kind"] if reports else None))
    check(not any(p.name.endswith("_recovered.xls") for p in foreign.iterdir()),
          "foreign: something was written")

    # Password protection: 3 alone or beside a recovered file, 1 beside a failed one.
    locked = corpus / "odd" / "password.xls"
    for args, wanted in (([locked], 3), ([locked, sound], 3), ([locked, work / "missing.xls"], 1)):
        status, _, stderr = run([tabulix, "inspect", "-q"] + args)
        check(status == wanted, "password %s: %d (wanted %d) %s" %
              ([Path(a).name for a in args], status, wanted, stderr))

    # inspect writes nothing; its JSON says so.
    folder = work / "inspect"
    folder.mkdir()
    shutil.copy(sound, folder / "book.xls")
    status, stdout, _ = run([tabulix, "inspect", "--json", folder])
    reports = json_lines(stdout, validator, "inspect")
    check(status == 0 and len(reports) == 1 and reports[0]["status"] == "inspected"
          and reports[0]["output"] is None and reports[0]["cells"] > 0,
          "inspect: %d %s" % (status, stdout[:300]))
    check(os.listdir(folder) == ["book.xls"], "inspect wrote a file")
    status, stdout, _ = run([tabulix, "inspect", folder / "book.xls"])
    check(status == 0 and "Worksheets recovered: 3 (5356 cells with values)" in stdout,
          "inspect: text report: " + stdout)

    # Dumps of a batch: one subfolder per file, so that they do not overwrite each other.
    dumps = work / "dumps"
    dumps.mkdir()
    status, _, stderr = run([tabulix, "inspect", "-q", "--dump-dir", dumps, sound,
                             corpus / "real" / "12561-1.xls"])
    check(status == 0 and sorted(os.listdir(dumps)) == ["1_29942.xls", "2_12561-1.xls"]
          and all((dumps / d / "payload.bin").exists() for d in os.listdir(dumps)),
          "dumps: %d %s %s" % (status, sorted(os.listdir(dumps)), stderr))

    # preview: the sheet's corner with the cells xlrd reads, numbers as exact as they are.
    book = open_book(sound)
    for chosen in ("2", book.sheet_names()[1]):
        status, stdout, stderr = run([tabulix, "preview", sound, "--sheet", chosen,
                                      "--rows", "15", "--cols", "6", "--width", "200"])
        check(status == 0, "preview %s: %d %s" % (chosen, status, stderr))
        sheet = book.sheet_by_index(1)
        lines = stdout.splitlines()
        check(lines and ("Sheet 2 of 3: " + sheet.name) in lines[0], "preview: title " + lines[0])
        rows = [line.split(" | ") for line in lines[3:3 + min(15, sheet.nrows)]]
        for r, cells in enumerate(rows):
            for c in range(min(6, sheet.ncols)):
                cell = sheet.cell(r, c)
                shown = cells[c + 1].strip() if c + 1 < len(cells) else ""
                if cell.ctype == xlrd.XL_CELL_TEXT:
                    ok = shown == cell.value.replace("\n", " ").strip()
                elif cell.ctype == xlrd.XL_CELL_NUMBER:
                    ok = shown in ("#FORMULA",) or float(shown) == cell.value
                elif cell.ctype == xlrd.XL_CELL_DATE:
                    ok = shown in ("#DATE/TIME", "#FORMULA") or float(shown) == cell.value
                else:
                    ok = True
                check(ok, "preview: row %d column %d shows %r, xlrd reads %r" % (r, c, shown, cell.value))
    status, _, stderr = run([tabulix, "preview", sound, "--sheet", "No such sheet"])
    check(status == 2 and "has no sheet" in stderr, "preview: unknown sheet %d %s" % (status, stderr))


def temporaries(folder):
    return [p.name for p in Path(folder).rglob(".*")]


def group_interrupt(tabulix, corpus, work):
    files = [f for f in sound_files(corpus) if f.stat().st_size > 30000][:40]
    for sig, fmt in ((signal.SIGINT, "xls"), (signal.SIGTERM, "xlsx"), (signal.SIGINT, "csv")):
        inputs = work / ("in-%s" % fmt)
        inputs.mkdir()
        for f in files:
            shutil.copy(f, inputs / f.name)
        out = work / ("out-%s" % fmt)
        env = dict(os.environ, TABULIX_TEST_PAUSE_BEFORE_RENAME_MS="150")
        child = subprocess.Popen([str(tabulix), "recover", "-q", "--jobs", "2", "--format", fmt,
                                  "--out-dir", str(out), str(inputs)], env=env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.time() + 300
        while time.time() < deadline and child.poll() is None:
            done = [p for p in out.iterdir() if not p.name.startswith(".")] if out.exists() else []
            if len(done) >= 3:
                break
            time.sleep(0.02)
        child.send_signal(sig)
        child.wait(timeout=120)
        what = "interrupt %s (%s)" % (fmt, signal.Signals(sig).name)
        check(child.returncode == -sig, "%s: ended with %s" % (what, child.returncode))
        left = temporaries(out)
        check(left == [], "%s: temporaries left: %s" % (what, left))
        outputs = [p for p in out.iterdir()]
        check(0 < len(outputs) < len(files), "%s: %d outputs of %d: not stopped mid-way?" %
              (what, len(outputs), len(files)))
        for output in outputs:
            if fmt == "xls":
                try:
                    open_book(output)
                except Exception as error:
                    check(False, "%s: %s is not whole: %s" % (what, output.name, error))
            elif fmt == "xlsx":
                check(zipfile.is_zipfile(output) and zipfile.ZipFile(output).testzip() is None,
                      "%s: %s is not whole" % (what, output.name))
            else:
                check(output.is_dir() and any(output.glob("*.csv")),
                      "%s: %s is not whole" % (what, output.name))


def group_parallel(tabulix, corpus, work):
    """The README's recipe for a batch spread over hosts, with two job slots on this
    machine standing in for them: the same command, the reports gathered in one file."""
    inputs = work / "rescue"
    inputs.mkdir()
    files = sound_files(corpus, 24)
    for f in files:
        shutil.copy(f, inputs / f.name)
    recipe = None
    for block in README.read_text().split("```"):
        if "parallel" in block and "--sshlogin" in block:
            recipe = block
    if not check(recipe is not None, "parallel: the README shows no GNU parallel recipe"):
        return
    # The hosts the README names become two slots of the local machine (":").
    lines = [line for line in recipe.splitlines()[1:] if not line.startswith("#")]
    script = "\n".join("HOSTS=1/:,1/:" if line.startswith("HOSTS=") else line for line in lines)
    env = dict(os.environ, PATH=str(tabulix.parent) + ":" + os.environ["PATH"],
               PARALLEL="--will-cite")
    result = subprocess.run(["bash", "-euo", "pipefail", "-c", script], cwd=work, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=900)
    check(result.returncode == 0, "parallel: the recipe failed (%d): %s" %
          (result.returncode, result.stderr.decode()[-800:]))
    report = work / "reports.jsonl"
    validator = load_schema()
    lines = json_lines(report.read_text() if report.exists() else "", validator, "parallel")
    check(sorted(Path(r["input"]).name for r in lines) == sorted(f.name for f in files),
          "parallel: one report per file in reports.jsonl (%d)" % len(lines))
    for r in lines:
        check(r["status"] == "recovered" and (work / r["output"]).exists(),
              "parallel: %s" % r["input"])


def group_shell(tabulix, corpus, work, build):
    completion = HERE.parent.parent / "scripts" / "completion" / "tabulix.bash"
    (work / "book.xls").write_bytes(b"")
    (work / "notes.txt").write_text("")
    (work / "sub").mkdir()
    for words, wanted in ((["tabulix", "re"], {"recover"}),
                          (["tabulix", "recover", "--fo"], {"--format", "--force"}),
                          (["tabulix", "recover", "--format", "x"], {"xls", "xlsx"}),
                          (["tabulix", "inspect", ""], {"book.xls", "sub"})):
        script = ("shopt -s extglob; source %s; COMP_WORDS=(%s); COMP_CWORD=%d; _tabulix; "
                  "printf '%%s\\n' \"${COMPREPLY[@]}\"" %
                  (completion, " ".join("'%s'" % w for w in words), len(words) - 1))
        result = subprocess.run(["bash", "-c", script], cwd=work, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        got = set(result.stdout.decode().split())
        check(got == wanted, "completion %s: %s (wanted %s)" % (words, got, wanted))
    if build:
        prefix = work / "prefix"
        status, _, stderr = run(["cmake", "--install", build, "--prefix", prefix])
        wanted = ["bin/tabulix", "share/man/man1/tabulix.1",
                  "share/bash-completion/completions/tabulix", "share/tabulix/report.schema.json"]
        # The desktop program, when the build has it, with its guide beside it.
        if (Path(build) / "tabulix-gui").exists():
            wanted += ["bin/tabulix-gui", "bin/Tabulix.html"]
        for path in wanted:
            check(status == 0 and (prefix / path).exists(), "install: %s (%s)" % (path, stderr))
        # The Python module, when the build has it, into the interpreter's site-packages
        # under the prefix, and importable from there.
        if (Path(build) / "python" / "tabulix").exists():
            found = sorted(prefix.glob("lib/python3*/*-packages/tabulix/_tabulix*.so"))
            check(len(found) == 1, "install: the Python module (%s)" % stderr)
            if found:
                package = found[0].parent
                for name in ("__init__.py", "__init__.pyi", "py.typed"):
                    check((package / name).exists(), "install: tabulix/%s" % name)
                env = dict(os.environ, PYTHONPATH=str(package.parent))
                # A module built with the sanitizers needs their runtime loaded first.
                libraries = subprocess.run(["ldd", str(found[0])], stdout=subprocess.PIPE).stdout
                for line in libraries.decode().splitlines():
                    if "libasan" in line and "=>" in line:
                        env["LD_PRELOAD"] = line.split("=>")[1].split()[0]
                        env["ASAN_OPTIONS"] = "detect_leaks=0"
                result = subprocess.run(
                    ["/usr/bin/python3", "-c", "import tabulix; print(tabulix.__file__)"],
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, cwd=work)
                check(result.returncode == 0 and str(package) in result.stdout.decode(),
                      "installed module imports: %s" % result.stderr.decode()[-500:])
        if shutil.which("man"):
            result = subprocess.run(["man", "-l", str(prefix / "share/man/man1/tabulix.1")],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    env=dict(os.environ, MANWIDTH="80", MAN_KEEP_FORMATTING=""))
            text = result.stdout.decode()
            check(result.returncode == 0 and "EXIT STATUS" in text, "man page: %s" % result.stderr)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tabulix", required=True, type=Path)
    parser.add_argument("--corpus", required=True, type=Path)
    parser.add_argument("--build", type=Path)
    parser.add_argument("group", choices=["batch", "xlsx", "refusals", "interrupt", "parallel",
                                          "shell"])
    args = parser.parse_args()
    tabulix = args.tabulix.resolve()
    with tempfile.TemporaryDirectory(prefix="tabulix-cli-") as temp:
        work = Path(temp)
        if args.group == "shell":
            group_shell(tabulix, args.corpus, work, args.build)
        else:
            globals()["group_" + args.group](tabulix, args.corpus, work)
    for failure in FAILURES:
        print("FAIL", failure)
    print("%s: %d checks failed" % (args.group, len(FAILURES)))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
