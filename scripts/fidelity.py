#!/usr/bin/python3
"""Recovers every corpus file with tabulix and measures how much of the original each saved
workbook keeps, with the checks of tests/document/fidelity_oracle.py.

Usage:
  scripts/fidelity.py --tabulix BUILD/tabulix [--corpus DIR] [--work DIR] [--jobs N]
                      [--files LIST] [--checks records,xlrd,streams,recalc,warnings]
                      [--rewritten CODES] [--keep]

  --tabulix PATH  the executable; it is copied first, so that a rebuild during the run
                  does not mix two builds
  --corpus DIR    the corpus, with real/ and odd/ (default: ../shared/corpus beside the
                  repository); a folder without them is taken as one folder of .xls files
  --work DIR      where the runs, the saved files and the results go (default: a new
                  temporary folder); it must be empty or absent
  --jobs N        parallel recoveries and checks (default: the number of CPUs)
  --files LIST    a text file naming the files to take, one a line, relative to the
                  corpus (real/NAME.xls) or bare names looked up in real/ then odd/
  --checks        which checks to run (default: all five)
  --rewritten     hex record codes the save rewrites, for the records check
  --keep          keep the saved files, the runs and the LibreOffice exports

Each file goes through `tabulix recover FILE -o OUT` in a folder of its own with a fresh
HOME and XDG folders and its own link to the executable (scripts/compare_outputs.py
runs it), so logs never mix. What tabulix printed tells the route the stream was read by
and how many substreams were intact: a file "loaded whole" was read from its compound
document's workbook stream with every substream intact; the records check is meant for
those, and the summary gives its numbers for them apart.

Writes into the work folder summary.txt (also printed): per check the files checked,
equal, differing and not compared, and per kind of difference the number of files and a
few of their names; results.csv, one line per file; details.txt, every file's difference
lines; loaded_whole.txt, the files loaded whole.

Exit status: 0 when every check found every saved file equal, 1 when not, 2 on a usage
error or when a program the checks need is missing or fails.
"""

import argparse
import csv
import multiprocessing
import os
import re
import shutil
import sys
import tempfile
import threading
import time
from collections import Counter
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "scripts"))
sys.path.insert(0, str(REPO / "tests" / "document"))
import fidelity_oracle as oracle  # noqa: E402
from compare_outputs import (UsageError, clock, default_work_parent, executable,  # noqa: E402
                             run_one)

CHECKS = ("records", "xlrd", "streams", "recalc", "warnings")
RECOVER_TIMEOUT = 120
EXAMPLES = 4
ROUTE = re.compile(r"^Route:\s+(.*?)(?: \(stream .*\))?$", re.M)
SUBSTREAMS = re.compile(r"^Substreams: (\d+) found \(([^)]*)\), (\d+) intact$", re.M)


class Item:
    """One corpus file, its recovery and what the checks found."""

    def __init__(self, index, name, path):
        self.index = index
        self.name = name            # relative to the corpus: real/NAME.xls
        self.path = path
        self.saved = None           # path of the saved workbook, when tabulix wrote one
        self.status = None          # tabulix's exit status
        self.route = ""
        self.substreams = self.intact = None
        self.boundaries = ""
        self.results = {}           # check -> Findings

    @property
    def loaded_whole(self):
        return (self.route == "structured storage" and self.substreams is not None
                and self.substreams > 0 and self.intact == self.substreams
                and self.boundaries == "boundaries pair up")


def gather(corpus, files):
    """The Items to run, in name order."""
    corpus = Path(corpus)
    folders = [f for f in ("real", "odd") if (corpus / f).is_dir()]
    if files:
        names = []
        for line in Path(files).read_text(encoding="utf-8").splitlines():
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            candidates = [line] if "/" in line else [f + "/" + line for f in folders] + [line]
            found = next((c for c in candidates if (corpus / c).is_file()), None)
            if found is None:
                raise UsageError("%s names %s, which is not in %s" % (files, line, corpus))
            names.append(found)
    elif folders:
        names = [f + "/" + n for f in folders for n in sorted(os.listdir(corpus / f))
                 if n.lower().endswith(".xls")]
    else:
        names = sorted(n for n in os.listdir(corpus) if n.lower().endswith(".xls"))
    if not names:
        raise UsageError("no .xls files in " + str(corpus))
    return [Item(i, name, str(corpus / name)) for i, name in enumerate(names)]


def recover(item, exe, work):
    """Runs tabulix on the item and keeps its saved workbook and what it said."""
    folder = work / "runs" / ("%05d" % item.index)
    done = run_one(exe, Path(item.path), folder, RECOVER_TIMEOUT)
    item.status = done.status
    text = done.stdout.decode("utf-8", "replace")
    route = ROUTE.search(text)
    item.route = route.group(1) if route else ""
    parts = SUBSTREAMS.search(text)
    if parts:
        item.substreams, item.boundaries, item.intact = (int(parts.group(1)), parts.group(2),
                                                         int(parts.group(3)))
    if done.output is not None:
        item.saved = str(work / "saved" / ("%05d.xls" % item.index))
        Path(item.saved).write_bytes(done.output)


def pair_checks(original, saved, checks, rewritten, gnumeric_dir):
    """The checks that need one pair of files only (run in a worker process)."""
    results = {}
    if "records" in checks:
        results["records"] = oracle.guarded(oracle.check_records, original, saved, rewritten)
    if "xlrd" in checks:
        results["xlrd"] = oracle.guarded(oracle.check_xlrd, original, saved)
    if "streams" in checks:
        results["streams"] = oracle.guarded(oracle.check_streams, original, saved)
    if "warnings" in checks:
        results["warnings"] = oracle.guarded(oracle.check_gnumeric, original, saved,
                                             gnumeric_dir)
    return results


def not_saved(item):
    findings = oracle.Findings()
    findings.error = "tabulix saved nothing (exit status %s)" % item.status
    return findings


def run_checks(items, checks, rewritten, work, jobs):
    """Fills every item's results. LibreOffice runs in one process of its own beside the
    workers, over every original and saved file."""
    saved = [item for item in items if item.saved]
    exports = {}
    failure = []
    lo_thread = None
    if {"recalc", "warnings"} & set(checks):
        def export_all():
            paths = [i.path for i in saved] + [i.saved for i in saved]
            try:
                exports.update(zip(paths, oracle.libreoffice_exports(paths, str(work / "lo"))))
            except oracle.ToolFailure as error:
                failure.append(error)

        lo_thread = threading.Thread(target=export_all)
    # Workers start from a fresh interpreter: the LibreOffice thread must not be forked.
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=jobs, mp_context=context) as pool:
        futures = {item.index: pool.submit(pair_checks, item.path, item.saved, checks,
                                           rewritten,
                                           str(work / "gnumeric" / ("%05d" % item.index)))
                   for item in saved}
        if lo_thread:
            lo_thread.start()
        started = time.monotonic()
        for count, item in enumerate(saved, 1):
            item.results.update(futures[item.index].result())
            if count % 50 == 0:
                print("  %d of %d files checked (%s)" % (count, len(saved),
                                                         clock(time.monotonic() - started)),
                      file=sys.stderr, flush=True)
    if lo_thread:
        lo_thread.join()
        if failure:
            raise failure[0]
        if "recalc" in checks:
            found = oracle.recalc_findings([(i.path, i.saved) for i in saved], exports,
                                           str(work / "lo"))
            for item in saved:
                item.results["recalc"] = found[item.path]
        if "warnings" in checks:
            for item in saved:
                item.results["warnings"] = oracle.merged(
                    oracle.guarded(oracle.check_libreoffice_opens, exports[item.path],
                                   exports[item.saved]),
                    item.results["warnings"])
    for item in items:
        if not item.saved:
            for check in checks:
                item.results[check] = not_saved(item)


def summarize(items, checks, elapsed, exe):
    """The summary's lines."""
    lines = ["Fidelity of %d corpus files saved by %s (%s)" % (len(items), exe, clock(elapsed))]
    saved = sum(1 for i in items if i.saved)
    whole = [i for i in items if i.loaded_whole]
    lines.append("Saved: %d; no saved file: %d" % (saved, len(items) - saved))
    routes = Counter(i.route or "(none)" for i in items)
    lines.append("Routes: " + ", ".join("%s %d" % r for r in sorted(routes.items())))
    lines.append("Loaded whole (structured storage, every substream intact): %d" % len(whole))
    for check in checks:
        groups = [("all files", items)]
        if check == "records":
            groups.append(("files loaded whole", whole))
        for label, group in groups:
            results = [(i, i.results[check]) for i in group]
            status = Counter(f.status for _, f in results)
            lines.append("")
            lines.append("%s, %s: %d files, %d equal, %d differ, %d not compared" % (
                check, label, len(results), status["equal"], status["differs"],
                status["error"]))
            kinds = {}
            for item, findings in results:
                for kind, count in findings.kinds.items():
                    entry = kinds.setdefault(kind, [0, 0, []])
                    entry[0] += 1
                    entry[1] += count
                    if len(entry[2]) < EXAMPLES:
                        entry[2].append(item.name)
                if findings.error:
                    reason = "not compared: " + re.sub(r"\d+", "N", findings.error)[:70]
                    entry = kinds.setdefault(reason, [0, 0, []])
                    entry[0] += 1
                    if len(entry[2]) < EXAMPLES:
                        entry[2].append(item.name)
            for kind, (files, count, examples) in sorted(kinds.items(),
                                                         key=lambda k: (-k[1][0], k[0])):
                lines.append("  %-52s %4d files %7s  e.g. %s" % (
                    kind, files, "(%d)" % count if count else "", ", ".join(examples)))
    return lines


def write_results(items, checks, work):
    with open(work / "results.csv", "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out)
        writer.writerow(["file", "tabulix_status", "route", "substreams", "intact",
                         "loaded_whole"] + [c + suffix for c in checks
                                            for suffix in ("", "_differences", "_kinds")])
        for item in items:
            row = [item.name, item.status, item.route, item.substreams, item.intact,
                   "yes" if item.loaded_whole else "no"]
            for check in checks:
                findings = item.results[check]
                said = ["%s=%d" % k for k in sorted(findings.kinds.items())]
                said += ["not compared: " + findings.error] if findings.error else []
                row += [findings.status, sum(findings.kinds.values()), "; ".join(said)]
            writer.writerow(row)
    with open(work / "details.txt", "w", encoding="utf-8") as out:
        for item in items:
            for check in checks:
                findings = item.results[check]
                if findings.status != "equal" or findings.notes:
                    out.write("== %s %s\n" % (item.name, check))
                    out.write("".join(line + "\n" for line in findings.report()))
    (work / "loaded_whole.txt").write_text(
        "".join(i.name + "\n" for i in items if i.loaded_whole), encoding="utf-8")


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     usage=argparse.SUPPRESS)
    parser.add_argument("--tabulix", required=True, help="the tabulix executable")
    parser.add_argument("--corpus", default=str(REPO.parent / "shared" / "corpus"))
    parser.add_argument("--work", help="folder for runs and results (default: a new one)")
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    parser.add_argument("--jobs", type=int, default=cpus or 1)
    parser.add_argument("--files", help="a list of corpus files to take")
    parser.add_argument("--checks", default=",".join(CHECKS))
    parser.add_argument("--rewritten", type=oracle.parse_codes, default=frozenset())
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args(argv)
    args.checks = [c.strip() for c in args.checks.split(",") if c.strip()]
    unknown = [c for c in args.checks if c not in CHECKS]
    if unknown or not args.checks:
        raise UsageError("unknown checks %s; choose from %s" % (unknown, ",".join(CHECKS)))
    if args.jobs < 1:
        raise UsageError("--jobs needs a number of 1 or more")
    if not Path(args.corpus).is_dir():
        raise UsageError("no corpus folder " + args.corpus)
    needed = [("soffice", "libreoffice-calc-nogui")] if {"recalc", "warnings"} & set(
        args.checks) else []
    needed += [("ssconvert", "gnumeric")] if "warnings" in args.checks else []
    for tool, package in needed:
        if shutil.which(tool) is None:
            raise UsageError("%s not found: install %s (scripts/bootstrap.sh does)"
                             % (tool, package))
    return args


def main(argv):
    try:
        args = parse_args(argv)
        exe = executable(args.tabulix)
        items = gather(args.corpus, args.files)
        if args.work:
            work = Path(args.work).resolve()
            if work.exists() and (not work.is_dir() or any(work.iterdir())):
                raise UsageError("the work folder %s exists and is not empty" % work)
            work.mkdir(parents=True, exist_ok=True)
        else:
            work = Path(tempfile.mkdtemp(prefix="tabulix-fidelity-", dir=default_work_parent()))
    except UsageError as error:
        print("fidelity.py: %s" % error, file=sys.stderr)
        return 2
    started = time.monotonic()
    copy = work / "bin" / "tabulix"
    copy.parent.mkdir(parents=True)
    shutil.copy2(exe, copy)
    (work / "saved").mkdir()
    print("tabulix: %s\nwork: %s\n%d files, checks %s, %d jobs" % (
        exe, work, len(items), ",".join(args.checks), args.jobs), flush=True)
    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        list(pool.map(lambda item: recover(item, copy, work), items))
    print("recovered in %s" % clock(time.monotonic() - started), flush=True)
    try:
        run_checks(items, args.checks, args.rewritten, work, args.jobs)
    except oracle.ToolFailure as failure:
        print("fidelity.py: %s" % failure, file=sys.stderr)
        return 2
    lines = summarize(items, args.checks, time.monotonic() - started, exe)
    (work / "summary.txt").write_text("".join(line + "\n" for line in lines), encoding="utf-8")
    write_results(items, args.checks, work)
    if not args.keep:
        for bulky in ("runs", "saved", "lo", "gnumeric", "bin"):
            shutil.rmtree(work / bulky, ignore_errors=True)
    print("\n".join(lines))
    print("\nResults in %s (summary.txt, results.csv, details.txt, loaded_whole.txt)" % work)
    differing = any(f.status != "equal" for i in items for f in i.results.values())
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
