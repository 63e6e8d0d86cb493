#!/usr/bin/python3
"""Whole-run speed and memory of tabulix on large workbooks, beside LibreOffice and Gnumeric.

Usage: bench/perf/perf.py [--build DIR] [--work DIR] [--runs N] [--no-peers]
                          [--only A,B,...] [--out FILE.md]

  --build DIR   a Release build with the benchmarks (default: build/perf, then
                build/release); its tabulix, tabulix-cellmap and bench/bench_stages_bench
  --work DIR    where the workbooks are made, and kept for the next run (default: a
                temporary folder, removed at the end); workbooks already there are reused
                when a stamp says the same workbooks.py and damage.py made them
  --runs N      runs of every measurement; the tables give medians (default: 3)
  --no-peers    leave LibreOffice and Gnumeric out
  --only LIST   what to measure, of A, B, C, A1, B1, B2, A3, batch, stages (default: all)
  --out FILE    also writes the tables there (markdown)

The workbooks (workbooks.py makes them): A one sheet of 65,536 x 16 cells, B 60 sheets of
20,000 cells, C the largest corpus file, and damaged copies of A and B: A1 (EOF destroyed,
broken lengths), B1 (the same), B2 (one broken length per sheet), A3 (allocation table
destroyed). For each, `tabulix recover IN -o OUT --force --quiet --log-dir LOGS` runs as a
whole process under /usr/bin/time -v, logs on: the median wall time, the median peak
resident memory and that peak per byte of input, with the cells tabulix recovers (from
`tabulix inspect --json`). For the intact A, B and C, LibreOffice's headless conversion to
xls (its profile warmed up once first, untimed) and Gnumeric's ssconvert do the same work,
and their time is given as a multiple of tabulix's.

The batch: `tabulix recover --quiet --jobs 2` over every .xls file of the corpus folders
real and odd into a fresh folder (exit status 1 is expected: some corpus files hold
nothing recoverable). The stages: bench_stages_bench (bench/stages_bench.cpp) on the same
workbooks, its throughput per stage.

MB are 2^20 bytes. Progress goes to standard error, the tables to standard output.
Exit status: 0; 1 when tabulix failed on a workbook (an exit status other than 0, a crash
or a timeout), the batch ended otherwise than with status 0 or 1, or a stage benchmark
failed or is not built; 2 on a usage error.
"""

import argparse
import datetime
import hashlib
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
import workbooks  # noqa: E402

CORPUS = os.path.join(os.path.dirname(ROOT), "shared", "corpus")
LARGEST = os.path.join(CORPUS, "real", "46904.xls")
LABELS = ["A", "B", "C", "A1", "B1", "B2", "A3"]
INTACT = {"A", "B", "C"}
PARTS = LABELS + ["batch", "stages"]
TIME = "/usr/bin/time"
TIMEOUT = 900  # seconds for one process
MB = 1 << 20
STAMP = "workbooks.stamp"


def say(text):
    print(text, file=sys.stderr, flush=True)


def find_build(wanted):
    candidates = [wanted] if wanted else [os.path.join(ROOT, "build", "perf"),
                                          os.path.join(ROOT, "build", "release")]
    for folder in candidates:
        if os.access(os.path.join(folder, "tabulix"), os.X_OK):
            return os.path.abspath(folder)
    return None


def commit():
    def git(*args):
        try:
            return subprocess.run(["git", "-C", ROOT] + list(args), capture_output=True,
                                  text=True).stdout.strip()
        except OSError:
            return ""
    head = git("rev-parse", "--short", "HEAD") or "unknown"
    # The build measured may hold edits the commit does not.
    if git("status", "--porcelain", "--untracked-files=no"):
        head += " (with uncommitted changes)"
    return head


def made_by():
    """What the stamp records: the scripts that make the workbooks, by content."""
    digest = hashlib.sha256()
    for script in (workbooks.__file__, workbooks.damage.__file__):
        with open(script, "rb") as f:
            digest.update(f.read())
    return "workbooks.py+damage.py sha256 " + digest.hexdigest()


def prepare_workbooks(build, work):
    """The workbooks {label: path}, made anew unless `work` holds a matching set."""
    paths = {name: os.path.join(work, name + ".xls") for name in LABELS if name != "C"}
    stamp = os.path.join(work, STAMP)
    wanted = made_by()
    try:
        with open(stamp) as f:
            reuse = f.read().strip() == wanted and all(map(os.path.isfile, paths.values()))
    except OSError:
        reuse = False
    if reuse:
        say("reusing the workbooks in %s" % work)
    else:
        say("making the workbooks in %s (a minute or two)" % work)
        # No stamp while they are being made: an interrupted run leaves nothing to reuse.
        if os.path.exists(stamp):
            os.remove(stamp)
        paths = workbooks.make_all(os.path.join(build, "tabulix"),
                                   os.path.join(build, "tabulix-cellmap"), work)
        with open(stamp, "w") as f:
            f.write(wanted + "\n")
    paths["C"] = LARGEST
    return paths


def fresh(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    return folder


def timed(command, scratch):
    """Runs `command` once as a whole process under /usr/bin/time -v.

    Returns (wall seconds, peak MB or None, status, the end of its standard error). The
    status is the exit status, or "signal N", or "timeout".
    """
    report = os.path.join(scratch, "time-v.txt")
    if os.path.exists(report):
        os.remove(report)
    start = time.perf_counter()
    # A session of its own, so that a timeout ends the whole process group it started.
    with subprocess.Popen([TIME, "-v", "-o", report] + command, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, start_new_session=True) as process:
        try:
            _, err = process.communicate(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.communicate()
            return time.perf_counter() - start, None, "timeout", ""
    seconds = time.perf_counter() - start
    text = ""
    if os.path.exists(report):
        with open(report) as f:
            text = f.read()
    peak = re.search(r"Maximum resident set size \(kbytes\): (\d+)", text)
    killed = re.search(r"Command terminated by signal (\d+)", text)
    if killed:
        status = "signal " + killed.group(1)
    else:
        exited = re.search(r"Exit status: (\d+)", text)
        status = int(exited.group(1)) if exited else process.returncode
    tail = err.decode(errors="replace").strip().splitlines()[-3:]
    return seconds, int(peak.group(1)) / 1024 if peak else None, status, " / ".join(tail)


def repeat(command, runs, scratch, before=None):
    """Runs `command` `runs` times (calling `before` untimed ahead of each).

    Returns (median seconds, median peak MB or None, the first status other than 0 (else
    0), the end of that run's standard error).
    """
    seconds, peaks, status, err = [], [], 0, ""
    for _ in range(runs):
        if before:
            before()
        s, peak, code, tail = timed(command, scratch)
        seconds.append(s)
        if peak is not None:
            peaks.append(peak)
        if code != 0 and status == 0:
            status, err = code, tail
    return (statistics.median(seconds), statistics.median(peaks) if peaks else None, status,
            err)


def count_cells(tabulix, path, logs):
    """The cells with a value tabulix recovers from `path`, by its JSON report."""
    done = subprocess.run([tabulix, "inspect", "--json", "--quiet", "--log-dir", logs, path],
                          capture_output=True, text=True, timeout=TIMEOUT)
    try:
        return json.loads(done.stdout.splitlines()[0])["cells"]
    except (IndexError, KeyError, ValueError):
        return None


def measure_tabulix(tabulix, label, path, runs, scratch):
    say("%s: tabulix, %d run(s)" % (label, runs))
    logs = os.path.join(scratch, "logs")
    out = os.path.join(scratch, label + "_recovered.xls")
    command = [tabulix, "recover", path, "-o", out, "--force", "--quiet", "--log-dir", logs]
    # A fresh log folder each run, so that every run writes the same logs.
    result = repeat(command, runs, scratch, before=lambda: fresh(logs))
    cells = count_cells(tabulix, path, fresh(logs))
    shutil.rmtree(logs, ignore_errors=True)
    if os.path.exists(out):
        os.remove(out)
    return result, cells


def peer_runs(name, command, output, runs, scratch):
    """(A peer's median seconds, None) or (None, why there are none)."""
    say("  %s, %d run(s)" % (name, runs))
    seconds = []
    for _ in range(runs):
        if os.path.exists(output):
            os.remove(output)
        s, _, status, err = timed(command, scratch)
        # LibreOffice says 0 even when it could not convert; the output tells.
        if status == "timeout":
            return None, "timed out after %d s" % TIMEOUT
        if status != 0:
            return None, "failed (exit %s)%s" % (status, ": " + err if err else "")
        if not os.path.exists(output):
            return None, "wrote nothing (exit 0)%s" % (": " + err if err else "")
        seconds.append(s)
    os.remove(output)
    return statistics.median(seconds), None


class Peers:
    def __init__(self, work):
        self.soffice = shutil.which("soffice")
        self.ssconvert = shutil.which("ssconvert")
        self.profile = os.path.join(work, "lo-profile")
        self.warm = False

    def libreoffice(self, label, path, runs, scratch):
        if not self.soffice:
            return None, "not installed"
        outdir = fresh(os.path.join(scratch, "libreoffice"))
        command = [self.soffice, "--headless", "--norestore",
                   "-env:UserInstallation=file://" + self.profile,
                   "--convert-to", "xls", "--outdir", outdir, path]
        if not self.warm:
            # Its first start builds the profile: that is no conversion's cost.
            say("  LibreOffice: warming its profile up (untimed)")
            timed(command, scratch)
            self.warm = True
        output = os.path.join(outdir, os.path.splitext(os.path.basename(path))[0] + ".xls")
        return peer_runs("LibreOffice", command, output, runs, scratch)

    def gnumeric(self, label, path, runs, scratch):
        if not self.ssconvert:
            return None, "not installed"
        output = os.path.join(scratch, label + "_gnumeric.xls")
        return peer_runs("Gnumeric", [self.ssconvert, path, output], output, runs, scratch)


def corpus_inputs(folders):
    """The files a recover over `folders` works on: their .xls files, not in subfolders,
    earlier outputs (NAME_recovered.xls) left out as tabulix leaves them out."""
    count = 0
    for folder in folders:
        for entry in os.scandir(folder):
            stem, ext = os.path.splitext(entry.name)
            if entry.is_file() and ext.lower() == ".xls" and \
                    not stem.lower().endswith("_recovered"):
                count += 1
    return count


def measure_batch(tabulix, runs, scratch):
    folders = [os.path.join(CORPUS, "real"), os.path.join(CORPUS, "odd")]
    say("batch over %s: %d run(s)" % (", ".join(folders), runs))
    outdir = os.path.join(scratch, "batch-out")
    logs = os.path.join(scratch, "batch-logs")
    command = [tabulix, "recover", "--quiet", "--jobs", "2", "--out-dir", outdir,
               "--log-dir", logs] + folders

    def before():
        fresh(outdir)
        fresh(logs)

    seconds, peak, status, err = repeat(command, runs, scratch, before)
    written = len(os.listdir(outdir))
    shutil.rmtree(outdir, ignore_errors=True)
    shutil.rmtree(logs, ignore_errors=True)
    return seconds, peak, status, err, corpus_inputs(folders), written


def measure_stages(build, work, runs):
    """[(name, ms per iteration, throughput)] of bench_stages_bench, and the problems."""
    binary = os.path.join(build, "bench", "bench_stages_bench")
    if not os.access(binary, os.X_OK):
        return [], ["%s is not built: ninja -C %s bench_stages_bench" % (binary, build)]
    say("stages: bench_stages_bench (a few minutes)")
    command = [binary, "--benchmark_format=json"]
    if runs > 1:
        command += ["--benchmark_repetitions=%d" % runs, "--benchmark_report_aggregates_only=true"]
    # The heap on huge pages, as tabulix itself asks for before a large load.
    env = dict(os.environ, TABULIX_PERF_WORKBOOKS=work)
    if "glibc.malloc.hugetlb" not in env.get("GLIBC_TUNABLES", ""):
        env["GLIBC_TUNABLES"] = ":".join(
            filter(None, [env.get("GLIBC_TUNABLES"), "glibc.malloc.hugetlb=1"]))
    done = subprocess.run(command, capture_output=True, text=True, timeout=4 * 3600, env=env)
    problems = []
    if done.returncode != 0:
        problems.append("bench_stages_bench exited with status %d: %s" % (
            done.returncode, done.stderr.strip()[-300:]))
    try:
        results = json.loads(done.stdout)["benchmarks"]
    except (ValueError, KeyError):
        return [], problems + ["bench_stages_bench printed no JSON report"]
    rows = []
    for r in results:
        if r.get("error_occurred"):
            problems.append("%s: %s" % (r["run_name"].removesuffix("/real_time"),
                                        r.get("error_message", "failed")))
            continue
        if runs > 1 and r.get("aggregate_name") != "median":
            continue
        ms = r["real_time"] * {"ns": 1e-6, "us": 1e-3, "ms": 1, "s": 1e3}[r["time_unit"]]
        if "bytes_per_second" in r:
            rate = "%.1f MB/s" % (r["bytes_per_second"] / MB)
        elif "items_per_second" in r:
            rate = "%.2f M cells/s" % (r["items_per_second"] / 1e6)
        else:
            rate = ""
        # Timed by the wall clock, the benchmarks carry "/real_time" in their names.
        rows.append((r["run_name"].removesuffix("/real_time"), ms, rate))
    return rows, problems


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build")
    parser.add_argument("--work")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--no-peers", action="store_true")
    parser.add_argument("--only", default=",".join(PARTS))
    parser.add_argument("--out")
    args = parser.parse_args(argv[1:])
    only = [part.strip() for part in args.only.split(",") if part.strip()]
    unknown = [part for part in only if part not in PARTS]
    if unknown or not only:
        parser.error("--only takes some of %s, not %s" % (",".join(PARTS), ",".join(unknown)))
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    build = find_build(args.build)
    if not build:
        parser.error("no tabulix in %s: build it (see bench/README.md) or pass --build" %
                     (args.build or "build/perf or build/release"))
    if not os.access(os.path.join(build, "tabulix-cellmap"), os.X_OK):
        parser.error("no tabulix-cellmap in %s" % build)
    if not os.access(TIME, os.X_OK):
        parser.error("%s is missing (Debian's package time)" % TIME)
    if "C" in only and not os.path.isfile(LARGEST):
        parser.error("the corpus file %s is missing" % LARGEST)
    tabulix = os.path.join(build, "tabulix")

    temporary = not args.work
    work = os.path.abspath(args.work) if args.work else tempfile.mkdtemp(prefix="tabulix-perf-")
    os.makedirs(work, exist_ok=True)
    scratch = fresh(os.path.join(work, "runs"))
    try:
        return measure(args, only, build, tabulix, work, scratch)
    finally:
        shutil.rmtree(work if temporary else scratch, ignore_errors=True)


def measure(args, only, build, tabulix, work, scratch):
    paths = prepare_workbooks(build, work)
    peers = None if args.no_peers else Peers(work)
    failed = False
    warnings = []
    lines = ["Measured on %s, commit %s, build %s, %d run(s) each (medians), %d processors." % (
                 datetime.date.today().isoformat(), commit(), build, args.runs, os.cpu_count())]
    labels = [name for name in LABELS if name in only]
    if labels:
        lines += ["", "| workbook | size MB | cells | tabulix s | peak MB | peak/size | "
                  "LibreOffice s | ratio | Gnumeric s | ratio |",
                  "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for label in labels:
        path = paths[label]
        size = os.path.getsize(path)
        (seconds, peak, status, err), cells = measure_tabulix(tabulix, label, path, args.runs,
                                                              scratch)
        ours = "%.2f" % seconds
        if status != 0:
            failed = True
            ours += " (exit %s)" % status
            warnings.append("tabulix on %s: exit status %s%s" % (
                label, status, ": " + err if err else ""))
            say("WARNING: " + warnings[-1])
        peer_cells = ["", "", "", ""]
        if label in INTACT:
            if peers is None:
                peer_cells = ["not run", "", "not run", ""]
            else:
                peer_cells = []
                for name, run in (("LibreOffice", peers.libreoffice),
                                  ("Gnumeric", peers.gnumeric)):
                    theirs, problem = run(label, path, args.runs, scratch)
                    if problem is None:
                        peer_cells += ["%.2f" % theirs, "%.1f" % (theirs / seconds)]
                    else:
                        # The table keeps the words before the peer's own message.
                        peer_cells += [problem.split(":")[0], ""]
                        warnings.append("%s on %s: %s" % (name, label, problem))
                        say("WARNING: " + warnings[-1])
        row = [label, "%.1f" % (size / MB), "{:,}".format(cells) if cells is not None else "?",
               ours, "%.0f" % peak if peak is not None else "?",
               "%.1f" % (peak * MB / size) if peak is not None else "?"] + peer_cells
        lines.append("| " + " | ".join(row) + " |")
        say(lines[-1])

    if "batch" in only:
        seconds, peak, status, err, files, written = measure_batch(tabulix, args.runs, scratch)
        lines += ["", "Batch (`tabulix recover --quiet --jobs 2 --out-dir D` over corpus/real "
                  "and corpus/odd): %d files, %.2f s, %.1f files/s, peak %s MB, %d outputs "
                  "written, exit status %s." % (files, seconds, files / seconds,
                                               "%.0f" % peak if peak is not None else "?",
                                               written, status)]
        # Some corpus files hold nothing recoverable: status 1 says so; anything else is
        # a fault.
        if status not in (0, 1):
            failed = True
            warnings.append("the batch ended with %s%s" % (status, ": " + err if err else ""))
            say("WARNING: " + warnings[-1])

    if "stages" in only:
        rows, problems = measure_stages(build, work, args.runs)
        lines += ["", "Stages alone (bench_stages_bench, see bench/stages_bench.cpp):", "",
                  "| benchmark | ms per iteration | throughput |", "|---|---:|---:|"]
        lines += ["| %s | %.1f | %s |" % row for row in rows]
        if problems:
            failed = True
            warnings += problems
            for problem in problems:
                say("WARNING: " + problem)

    if warnings:
        lines += ["", "Warnings:"] + ["- " + w for w in warnings]
    text = "\n".join(lines) + "\n"
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
