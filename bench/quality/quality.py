#!/usr/bin/python3
"""The recovery quality benchmark: what a user gets back from damaged workbooks.

For every corpus file with cells, each damage model of tools/damage.py and each seed, it
damages a copy, recovers it with tabulix and scores the output against the undamaged
original, python3-xlrd reading both: a cell counts when the output holds the same value at
the same place of the matching sheet (sheets match by name, then by the most cells in
common). An output xlrd refuses scores 0 for what it refused: the whole file, or a sheet.
Beside it stands the best possible share: the original's cells whose record bytes, with the
shared string or formula text they use, lie wholly in bytes the damage left untouched
(tabulix-cellmap says where those bytes lie). No tool can do better.

With --peers the same damaged files go to LibreOffice (headless conversion to xls) and
Gnumeric's ssconvert, with a timeout each, scored the same way, and ssconvert reads each
of our outputs to see whether it warns.

With tabulix-verify (--verify, or found beside the other programs) every output tabulix
writes is also checked for well-formedness: the score says what a reader got back, the
verifier whether every reader can read it at all.

Usage:
  bench/quality/quality.py [--corpus DIR | --files LIST] [--limit N] [--models M,...]
                           [--seeds S,...] [--peers] [--jobs N] [--out DIR]
                           [--floors CSV] [--tabulix PATH] [--cellmap PATH] [--keep DIR]
                           [--verify PATH] [--require-well-formed] [--open-everywhere]

  --corpus DIR   the originals (default: ../shared/corpus/real beside this repository)
  --files LIST   a text file naming the originals, one a line (relative to --corpus)
  --seeds        seeds for every model (default: 1)
  --out DIR      writes quality.md and quality.csv (per model), cases.csv (per damaged
                 file) and gaps.csv (every case where tabulix is below the best possible,
                 with the command that remakes its damaged copy)
  --floors CSV   model,floor lines: exit status 1 when tabulix's mean share for a model is
                 below its floor (each such model is named), or when tabulix crashed, hung
                 or drew a sanitizer's report on any damaged copy
  --keep DIR     keep the damaged copies and the outputs there
  --verify PATH  tabulix-verify, run on every output: cases.csv gets the first finding
                 (verify_findings) and the invariants broken (verify_invariants), the
                 tables the share of outputs with no finding ("verifier passes")
  --open-everywhere
                 LibreOffice opens and writes again every output, and ssconvert reads it:
                 "LO opens ours" and "Gnumeric warns on ours" (a warning for the output
                 that it does not print for the original) without running the peers
  --require-well-formed
                 exit status 1 when any output has a finding or xlrd refuses any
                 output in whole or in part (each is named)

Exit status: 0 on success, 1 when a floor is not reached or tabulix crashed (with
--floors) or an output is not well-formed (with --require-well-formed), 2 on a usage
error.
"""

import argparse
import bisect
import csv
import json
import multiprocessing
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import damage  # noqa: E402

TOOLS = ("tabulix", "libreoffice", "gnumeric")
TIMEOUT = 120  # seconds for one recovery or conversion


# ---------------------------------------------------------------------------------------
# Reading cells with xlrd

class ReadTimeout(Exception):
    pass


def _alarm(signum, frame):
    raise ReadTimeout()


def read_cells(path, timeout=TIMEOUT):
    """(opened, sheets, failures): sheets is a list of (name, {(row, col): (kind, value)})
    of the sheets xlrd could read; failures names what it refused. Empty text and blanks
    carry no value and are left out; dates count as numbers (formats are not what is
    scored)."""
    import xlrd
    signal.signal(signal.SIGALRM, _alarm)
    signal.alarm(timeout)
    try:
        try:
            with open(os.devnull, "w") as quiet:
                book = xlrd.open_workbook(path, formatting_info=False, on_demand=True,
                                          logfile=quiet)
        except ReadTimeout:
            return False, [], ["open: timed out"]
        except Exception as e:  # xlrd raises anything on damaged input
            return False, [], ["open: %s: %s" % (type(e).__name__, e)]
        sheets = []
        failures = []
        for index in range(book.nsheets):
            try:
                sheet = book.sheet_by_index(index)
                cells = {}
                for r in range(sheet.nrows):
                    types = sheet.row_types(r)
                    values = sheet.row_values(r)
                    for c, (t, v) in enumerate(zip(types, values)):
                        if t in (0, 6) or (t == 1 and v == ""):
                            continue
                        kind = 2 if t == 3 else t
                        # A number that is no number (a NaN some writers store) must
                        # still match itself.
                        if isinstance(v, float) and v != v:
                            v = "nan"
                        cells[(r, c)] = (kind, v)
                sheets.append((sheet.name, cells))
            except ReadTimeout:
                failures.append("sheet %d: timed out" % index)
                break
            except Exception as e:
                failures.append("sheet %d: %s: %s" % (index, type(e).__name__, e))
        return True, sheets, failures
    finally:
        signal.alarm(0)


def score(original, recovered):
    """Cells of `original` (a list of (name, cells)) found with the same value at the
    same place of the matching sheet of `recovered`."""
    claimed = set()
    pairs = []
    names = {}
    for j, (name, _) in enumerate(recovered):
        names.setdefault(name, j)
    unmatched = []
    for i, (name, _) in enumerate(original):
        j = names.get(name)
        if j is not None and j not in claimed:
            claimed.add(j)
            pairs.append((i, j))
        else:
            unmatched.append(i)

    def common(a, b):
        return sum(1 for k, v in a.items() if b.get(k) == v)

    for i in unmatched:
        best, best_j = 0, None
        for j, (_, cells) in enumerate(recovered):
            if j in claimed:
                continue
            n = common(original[i][1], cells)
            if n > best:
                best, best_j = n, j
        if best_j is not None:
            claimed.add(best_j)
            pairs.append((i, best_j))
    return sum(common(original[i][1], recovered[j][1]) for i, j in pairs)


# ---------------------------------------------------------------------------------------
# The best possible share

def file_ranges(stream_ranges, pieces, unit):
    """Stream ranges turned into the file ranges that hold them."""
    out = []
    for first, end in stream_ranges:
        k = first // unit
        while first < end and k < len(pieces):
            offset, length = pieces[k]
            base = k * unit
            a = offset + first - base
            b = offset + min(end, base + length) - base
            if out and out[-1][1] == a:
                out[-1][1] = b
            else:
                out.append([a, b])
            first = base + length
            k += 1
        if first < end:
            out.append(None)  # the stream does not hold these bytes: never intact
    return out


class CellPlaces:
    """Where each cell of an original lies in its file, from tabulix-cellmap."""

    def __init__(self, layout):
        stream = layout["stream"]
        pieces, unit = stream["pieces"], stream["unit"] or 1
        self.sheets = {}
        for sheet in layout["sheets"]:
            places = {}
            for row, col, ranges in sheet["cells"]:
                places[(row, col)] = file_ranges(ranges, pieces, unit)
            self.sheets.setdefault(sheet["name"], places)

    def possible(self, original, touched, cuts):
        """(cells that could be recovered, cells the map does not know)."""
        starts = [t[0] for t in touched]
        ends = [t[1] for t in touched]

        def intact(r):
            if r is None:
                return False
            a, b = r
            i = bisect.bisect_right(ends, a)  # first touched range ending past a
            if i < len(starts) and starts[i] < b:
                return False
            j = bisect.bisect_right(cuts, a)  # first cut past a
            return not (j < len(cuts) and cuts[j] < b)

        possible = unknown = 0
        for name, cells in original:
            places = self.sheets.get(name, {})
            for key in cells:
                ranges = places.get(key)
                if ranges is None:
                    unknown += 1
                    possible += 1  # an upper bound stays an upper bound
                elif all(intact(r) for r in ranges):
                    possible += 1
        return possible, unknown


# ---------------------------------------------------------------------------------------
# Running the tools

def run(command, timeout=TIMEOUT, **kwargs):
    try:
        done = subprocess.run(command, capture_output=True, timeout=timeout, **kwargs)
        return done.returncode, done.stdout.decode(errors="replace"), \
            done.stderr.decode(errors="replace")
    except subprocess.TimeoutExpired:
        return None, "", "timed out after %d s" % timeout


def libreoffice_convert(inputs, outdir, profile):
    """Converts the files to xls in outdir, several in one start; a start that hangs or
    dies is retried file by file so one hostile file costs only itself."""
    soffice = shutil.which("soffice") or shutil.which("libreoffice")
    if not soffice or not inputs:
        return
    base = [soffice, "-env:UserInstallation=file://" + profile, "--headless", "--norestore",
            "--convert-to", "xls", "--outdir", outdir]
    code, _, _ = run(base + inputs, timeout=TIMEOUT + 30 * len(inputs))
    if code == 0:
        return
    for path in inputs:
        target = os.path.join(outdir, os.path.basename(path))
        if not os.path.exists(target):
            run(base + [path])


GLIB_PREFIX = re.compile(r"^(\*\* )?\(ssconvert:\d+\): [\w:-]*(WARNING|CRITICAL) \*\*: [\d:.]+: ")


def gnumeric_warnings(path, scratch):
    """The lines ssconvert prints when it reads `path`, without process ids and times."""
    code, _, err = run(["ssconvert", "--export-type=Gnumeric_stf:stf_csv", path, scratch])
    if os.path.exists(scratch):
        os.remove(scratch)
    if code is None:
        return {"timed out"}
    return {GLIB_PREFIX.sub("", line).strip() for line in err.splitlines() if line.strip()}


def verify_output(verify, path):
    """(first finding, invariants broken) of tabulix-verify on `path`, both empty for a
    well-formed file. A file the verifier cannot open strictly is not well-formed either."""
    code, out, err = run([verify, path])
    if code == 0:
        return "", ""
    if code is None:
        return "the verifier timed out", "timeout"
    prefix = path + ": "
    lines = [line[len(prefix):] if line.startswith(prefix) else line
             for line in out.splitlines() if line.strip()]
    if code != 1 or not lines:
        why = err.strip().splitlines()[-1] if err.strip() else "exit status %s" % code
        return ("not readable strictly: " + why)[:300], "unreadable"
    invariants = set()
    for line in lines:
        if line.startswith("... and "):  # "... and N more: invariant n, invariant m"
            invariants.update(part.split()[0] for part in line.split(": ", 1)[-1].split(", "))
        else:
            invariants.add(line.split(" ", 1)[0])
    return lines[0][:300], ";".join(sorted(invariants))


def versions():
    found = {}
    try:
        import xlrd
        found["xlrd"] = xlrd.__VERSION__
    except Exception:
        found["xlrd"] = "missing"
    code, out, _ = run(["soffice", "--version"], timeout=60) if shutil.which("soffice") else (1, "", "")
    found["libreoffice"] = out.strip() if code == 0 else "missing"
    code, out, err = run(["ssconvert", "--version"], timeout=60) if shutil.which("ssconvert") else (1, "", "")
    found["gnumeric"] = (out or err).strip().splitlines()[0] if code == 0 else "missing"
    return found


# ---------------------------------------------------------------------------------------
# One original and all of its damaged copies

def one_file(job):
    (path, models, seeds, options) = job
    name = os.path.basename(path)
    work = tempfile.mkdtemp(prefix="q-", dir=options["work"])
    rows = []
    try:
        code, out, err = run([options["cellmap"], path])
        if code != 0:
            return name, rows, "cellmap failed: " + err.strip()
        layout = json.loads(out)
        opened, original, failures = read_cells(path)
        if not opened or failures:
            return name, rows, "xlrd cannot read the original: " + "; ".join(failures)
        total = sum(len(cells) for _, cells in original)
        if total == 0:
            return name, rows, "no cells"
        places = CellPlaces(layout)
        with open(path, "rb") as f:
            data = f.read()

        cases = []
        for model in models:
            for seed in seeds:
                damaged, d = damage.apply(model, seed, data, layout, name)
                stem = "%s-%s" % (model, seed)
                target = os.path.join(work, stem + ".xls")
                with open(target, "wb") as f:
                    f.write(damaged)
                info = d.to_json()
                possible, unknown = places.possible(original, info["touched"], info["cuts"])
                cases.append((model, seed, stem, target, d.what, possible, unknown))

        # Gnumeric notes some things about sound files too (fonts it has no widths for,
        # features it does not support): only what it says of an output and not of the
        # original counts as a warning.
        if options["peers"] or options["open_everywhere"]:
            usual = gnumeric_warnings(path, os.path.join(work, "check.csv"))

        outputs = {tool: os.path.join(work, tool) for tool in TOOLS}
        for folder in outputs.values():
            os.mkdir(folder)
        if options["peers"]:
            libreoffice_convert([c[3] for c in cases], outputs["libreoffice"],
                                os.path.join(work, "lo-profile"))

        for model, seed, stem, target, what, possible, unknown in cases:
            row = {"file": name, "model": model, "seed": seed, "cells": total,
                   "best": possible / total, "unmapped": unknown, "damage": what, "stem": stem}
            ours = os.path.join(outputs["tabulix"], stem + ".xls")
            # An output left by an earlier run in the same folder would be refused.
            if os.path.lexists(ours):
                os.remove(ours)
            # No diagnostic dumps: they would go to ~/Morvendal when that folder exists.
            code, _, err = run([options["tabulix"], "recover", target, "-o", ours],
                               env=dict(os.environ, HOME=work))
            row["tabulix_exit"] = "timeout" if code is None else code
            # A signal, a hang or a sanitizer's report is a fault whatever the output.
            row["tabulix_crash"] = int(code is None or code < 0 or "Sanitizer" in err or
                                       "runtime error:" in err)
            if row["tabulix_crash"]:
                row["crash_report"] = err.strip()[-300:]
            produced = {"tabulix": ours if os.path.exists(ours) else None}
            if options["peers"]:
                lo = os.path.join(outputs["libreoffice"], stem + ".xls")
                produced["libreoffice"] = lo if os.path.exists(lo) else None
                gn = os.path.join(outputs["gnumeric"], stem + ".xls")
                run(["ssconvert", "--export-type=Gnumeric_Excel:excel_biff8", target, gn])
                produced["gnumeric"] = gn if os.path.exists(gn) else None
            for tool, output in produced.items():
                row[tool + "_output"] = int(output is not None)
                if output is None:
                    row[tool] = 0.0
                    row[tool + "_xlrd_opens"] = ""
                    continue
                opened, sheets, failures = read_cells(output)
                row[tool] = score(original, sheets) / total
                row[tool + "_xlrd_opens"] = int(opened and not failures)
                if tool == "tabulix":
                    row["xlrd_error"] = "; ".join(failures)[:300]
            if options["verify"] and produced["tabulix"]:
                row["verify_findings"], row["verify_invariants"] = verify_output(
                    options["verify"], produced["tabulix"])
                row["tabulix_verified"] = int(not row["verify_findings"])
            if (options["peers"] or options["open_everywhere"]) and produced["tabulix"]:
                new = gnumeric_warnings(produced["tabulix"], os.path.join(work, "check.csv")) - usual
                row["gnumeric_warns"] = int(bool(new))
                row["gnumeric_warning"] = " | ".join(sorted(new))[:300]
            rows.append(row)
        if options["open_everywhere"]:
            # LibreOffice opens each of our outputs and writes it again: no file, no open.
            ours = [os.path.join(outputs["tabulix"], r["stem"] + ".xls") for r in rows
                    if r.get("tabulix_output")]
            reopened = os.path.join(work, "lo-check")
            os.mkdir(reopened)
            libreoffice_convert(ours, reopened, os.path.join(work, "lo-profile"))
            for r in rows:
                if r.get("tabulix_output"):
                    r["libreoffice_opens_ours"] = int(
                        os.path.exists(os.path.join(reopened, r["stem"] + ".xls")))
        for r in rows:
            r.pop("stem", None)
        if options["keep"]:
            kept = os.path.join(options["keep"], os.path.splitext(name)[0])
            shutil.rmtree(kept, ignore_errors=True)
            shutil.copytree(work, kept, ignore=shutil.ignore_patterns("lo-profile"))
        return name, rows, ""
    except Exception as e:  # one file's trouble must not end the benchmark
        return name, rows, "%s: %s" % (type(e).__name__, e)
    finally:
        shutil.rmtree(work, ignore_errors=True)


# ---------------------------------------------------------------------------------------
# Summaries

def mean(values):
    values = list(values)
    return sum(values) / len(values) if values else float("nan")


def summarise(rows, models, peers):
    table = []
    groups = [(m, [r for r in rows if r["model"] == m]) for m in models]
    groups.append(("all", rows))
    for model, group in groups:
        if not group:
            continue
        line = {"model": model, "cases": len(group),
                "best": mean(r["best"] for r in group),
                "tabulix": mean(r["tabulix"] for r in group)}
        line["gap"] = line["best"] - line["tabulix"]
        line["crashes"] = sum(r["tabulix_crash"] for r in group)
        line["below_best"] = sum(1 for r in group if r["tabulix"] < r["best"] - 1e-12)
        # Above the best possible: a stale copy of the stream that the writer left in
        # unused sectors, or a cell whose damaged record still held its value.
        line["above_best"] = sum(1 for r in group if r["tabulix"] > r["best"] + 1e-12)
        tools = TOOLS if peers else ("tabulix",)
        for tool in tools:
            if tool != "tabulix":
                line[tool] = mean(r[tool] for r in group)
            with_output = [r for r in group if r.get(tool + "_output")]
            line[tool + "_output"] = len(with_output) / len(group)
            line[tool + "_xlrd_opens"] = mean(r[tool + "_xlrd_opens"] for r in with_output)
        checked = [r for r in group if "gnumeric_warns" in r]
        if checked:
            line["gnumeric_warns"] = mean(r["gnumeric_warns"] for r in checked)
        reopened = [r for r in group if "libreoffice_opens_ours" in r]
        if reopened:
            line["libreoffice_opens_ours"] = mean(r["libreoffice_opens_ours"] for r in reopened)
        verified = [r for r in group if "tabulix_verified" in r]
        if verified:
            line["tabulix_verified"] = mean(r["tabulix_verified"] for r in verified)
        table.append(line)
    return table


def fmt(value, digits=3):
    if isinstance(value, float):
        return "-" if value != value else "%.*f" % (digits, value)
    return str(value)


def markdown(table, peers, header, verified=False, reopened=False):
    columns = [("model", "model"), ("cases", "cases"), ("best", "best possible"),
               ("tabulix", "Tabulix"), ("gap", "gap")]
    if peers:
        columns += [("libreoffice", "LibreOffice"), ("gnumeric", "Gnumeric")]
    columns += [("tabulix_output", "our outputs"), ("tabulix_xlrd_opens", "xlrd opens ours")]
    if verified:
        columns += [("tabulix_verified", "verifier passes")]
    if reopened:
        columns += [("libreoffice_opens_ours", "LO opens ours")]
    if peers or reopened:
        columns += [("gnumeric_warns", "Gnumeric warns on ours")]
    if peers:
        columns += [("libreoffice_output", "LO outputs"), ("gnumeric_output", "Gnumeric outputs")]
    columns += [("below_best", "cases below best"), ("above_best", "above best"),
                ("crashes", "crashes")]
    lines = [header, "",
             "| " + " | ".join(title for _, title in columns) + " |",
             "|" + "|".join("---" if key == "model" else "---:" for key, _ in columns) + "|"]
    for line in table:
        lines.append("| " + " | ".join(fmt(line.get(key, float("nan"))) for key, _ in columns) + " |")
    return "\n".join(lines) + "\n"


def write_csv(path, rows, fields=None):
    fields = fields or sorted({k for r in rows for k in r})
    with open(path, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=fields, extrasaction="ignore")
        writer.writeheader()
        for r in rows:
            writer.writerow({k: fmt(v, 6) if isinstance(v, float) else v for k, v in r.items()})


def check_floors(table, rows, path):
    floors = {}
    with open(path) as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if not line or line.startswith("model,"):
                continue
            model, floor = line.split(",")
            floors[model.strip()] = float(floor)
    reached = {line["model"]: line["tabulix"] for line in table}
    failed = []
    for r in rows:
        if r["tabulix_crash"]:
            failed.append(r["model"])
            print("CRASH: %s, %s seed %s: exit %s: %s" % (r["file"], r["model"], r["seed"],
                                                        r["tabulix_exit"], r.get("crash_report", "")))
    for model, floor in floors.items():
        if model not in reached:
            continue
        if reached[model] < floor:
            failed.append(model)
            print("FLOOR NOT REACHED: %s: Tabulix %.4f < floor %.3f" % (model, reached[model], floor))
        else:
            print("floor reached: %s: Tabulix %.4f >= floor %.3f" % (model, reached[model], floor))
    return failed


def check_well_formed(rows):
    """Names every output the verifier found fault with, or xlrd refused in whole or in
    part; returns how many there were."""
    faulty = 0
    for r in rows:
        if r.get("verify_findings"):
            print("NOT WELL-FORMED: %s, %s seed %s: %s" % (r["file"], r["model"], r["seed"],
                                                         r["verify_findings"]))
            faulty += 1
        elif r.get("tabulix_output") == 1 and r.get("tabulix_xlrd_opens") == 0:
            print("XLRD REFUSES: %s, %s seed %s: %s" % (r["file"], r["model"], r["seed"],
                                                      r.get("xlrd_error", "")))
            faulty += 1
    return faulty


def invariant_tally(rows):
    """'invariant (outputs), ...' over the outputs that broke each, most first."""
    counts = {}
    for r in rows:
        for invariant in filter(None, r.get("verify_invariants", "").split(";")):
            counts[invariant] = counts.get(invariant, 0) + 1
    return ", ".join("%s %d" % (k, n) for k, n in sorted(counts.items(), key=lambda kv: -kv[1]))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog=__doc__.split("Usage:")[1])
    parser.add_argument("--corpus", default=os.path.join(os.path.dirname(ROOT), "shared", "corpus", "real"))
    parser.add_argument("--files")
    parser.add_argument("--limit", type=int, default=0)
    parser.add_argument("--models", default=",".join(damage.MODELS))
    parser.add_argument("--seeds", default="1")
    parser.add_argument("--peers", action="store_true")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--out")
    parser.add_argument("--floors")
    parser.add_argument("--tabulix")
    parser.add_argument("--cellmap")
    parser.add_argument("--keep")
    parser.add_argument("--verify")
    parser.add_argument("--require-well-formed", action="store_true")
    parser.add_argument("--open-everywhere", action="store_true")
    args = parser.parse_args(argv[1:])

    models = [m for m in args.models.split(",") if m]
    unknown = [m for m in models if m not in damage.MODELS]
    if unknown:
        parser.error("unknown model(s): %s (tools/damage.py --list)" % ", ".join(unknown))
    seeds = [s for s in args.seeds.split(",") if s]

    def binary(given, name, required=True):
        if given:
            return os.path.abspath(given)
        for build in ("build/release", "build/rel", "build/dev", "build"):
            path = os.path.join(ROOT, build, name)
            if os.access(path, os.X_OK):
                return path
        if not required:
            return None
        parser.error("%s not found: build it (scripts/quality.sh does) or pass --%s" %
                     (name, name.split("-")[-1]))
    tabulix = binary(args.tabulix, "tabulix")
    cellmap = binary(args.cellmap, "tabulix-cellmap")
    verify = binary(args.verify, "tabulix-verify", required=args.require_well_formed)
    if args.peers:
        missing = [p for p in ("soffice", "ssconvert") if not shutil.which(p)]
        if missing:
            parser.error("--peers needs %s (scripts/bootstrap.sh installs them)" % ", ".join(missing))

    if args.files:
        with open(args.files) as f:
            names = [line.strip() for line in f if line.strip() and not line.startswith("#")]
    else:
        names = sorted(n for n in os.listdir(args.corpus) if n.lower().endswith(".xls"))
    if args.limit:
        names = names[:args.limit]
    paths = [os.path.join(args.corpus, n) for n in names]
    missing = [p for p in paths if not os.path.isfile(p)]
    if missing:
        parser.error("no such original: " + ", ".join(missing[:5]))

    scratch = tempfile.mkdtemp(prefix="tabulix-quality-")
    try:
        # tabulix writes its logs beside its executable: a private copy keeps them here.
        private = os.path.join(scratch, "bin")
        os.mkdir(private)
        shutil.copy2(tabulix, os.path.join(private, "tabulix"))
        options = {"tabulix": os.path.join(private, "tabulix"), "cellmap": cellmap,
                   "verify": verify, "peers": args.peers, "work": scratch,
                   "keep": os.path.abspath(args.keep) if args.keep else None,
                   "open_everywhere": args.open_everywhere}
        jobs = [(p, models, seeds, options) for p in paths]
        rows, skipped = [], []
        started = time.time()
        with multiprocessing.Pool(max(1, args.jobs)) as pool:
            for k, (name, file_rows, problem) in enumerate(pool.imap_unordered(one_file, jobs), 1):
                rows.extend(file_rows)
                if problem:
                    skipped.append((name, problem))
                if file_rows:
                    note = "best %.3f, Tabulix %.3f" % (mean(r["best"] for r in file_rows),
                                                       mean(r["tabulix"] for r in file_rows))
                else:
                    note = "skipped: " + problem
                print("[%d/%d %.0fs] %s: %s" % (k, len(jobs), time.time() - started, name, note),
                      file=sys.stderr, flush=True)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    rows.sort(key=lambda r: (r["file"], list(damage.MODELS).index(r["model"]), r["seed"]))
    table = summarise(rows, models, args.peers)
    files = len({r["file"] for r in rows})
    header = ("%d damaged copies of %d originals (%d model(s) x %d seed(s)); mean share of the "
              "original's cells each tool gives back, as xlrd reads its output."
              % (len(rows), files, len(models), len(seeds)))
    text = markdown(table, args.peers, header, verified=verify is not None,
                    reopened=args.open_everywhere)
    print(text)
    if verify is not None:
        tally = invariant_tally(rows)
        print("verifier: %d of %d outputs well-formed%s" % (
            sum(r.get("tabulix_verified", 0) for r in rows),
            sum(1 for r in rows if "tabulix_verified" in r),
            "; outputs breaking each invariant: " + tally if tally else ""))
    unmapped = sum(r["unmapped"] for r in rows)
    if unmapped:
        print("note: %d cells of the originals were not found by tabulix-cellmap and counted as "
              "possible" % unmapped)
    if skipped:
        print("%d originals skipped (no cells, or unreadable): %s" % (
            len(skipped), ", ".join(n for n, _ in skipped[:10]) + (" ..." if len(skipped) > 10 else "")))

    if args.out:
        os.makedirs(args.out, exist_ok=True)
        found = versions() if args.peers else {}
        with open(os.path.join(args.out, "quality.md"), "w") as f:
            f.write(text)
            if found:
                f.write("\nxlrd %s; %s; %s.\n" % (found["xlrd"], found["libreoffice"], found["gnumeric"]))
        write_csv(os.path.join(args.out, "quality.csv"), table)
        fields = ["file", "model", "seed", "cells", "best", "tabulix", "libreoffice", "gnumeric",
                  "unmapped", "tabulix_exit", "tabulix_crash", "crash_report", "tabulix_output", "tabulix_xlrd_opens", "xlrd_error",
                  "verify_findings", "verify_invariants",
                  "gnumeric_warns", "gnumeric_warning", "libreoffice_opens_ours", "libreoffice_output",
                  "libreoffice_xlrd_opens", "gnumeric_output", "gnumeric_xlrd_opens", "damage"]
        write_csv(os.path.join(args.out, "cases.csv"), rows, fields)
        gaps = [dict(r, gap=r["best"] - r["tabulix"],
                     remake="tools/damage.py %s %s %s damaged.xls" % (
                         r["model"], r["seed"], os.path.join(args.corpus, r["file"])))
                for r in rows if r["tabulix"] < r["best"] - 1e-12]
        gaps.sort(key=lambda r: -r["gap"] * r["cells"])
        write_csv(os.path.join(args.out, "gaps.csv"), gaps,
                  ["file", "model", "seed", "cells", "best", "tabulix", "gap", "xlrd_error",
                   "damage", "remake"])
        print("written: %s/{quality.md,quality.csv,cases.csv,gaps.csv}" % args.out)

    failed = False
    if args.floors:
        failed = bool(check_floors(table, rows, args.floors))
    if args.require_well_formed:
        failed = check_well_formed(rows) > 0 or failed
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
