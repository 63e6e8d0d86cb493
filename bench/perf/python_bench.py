#!/usr/bin/python3
"""The Python module's two figures: threads against one after another, and the peak memory
of a DataFrame of workbook A (a million cells).

    bench/perf/python_bench.py [--build build/perf] [--work DIR] [--runs 3]

Threads: the largest corpus file is copied 8 times and recovered one after another, then on
2 threads (tabulix.recover releases the interpreter lock), then in 2 processes for
comparison; medians of --runs rounds. Then the pace of plain Python code in one thread
while another recovers, against its pace alone: near 100% when the lock is released.

Memory: each case runs in a fresh interpreter, which reports its peak resident size
(from GNU time): pandas imported alone; `tabulix.read_excel(A, header=None)`; a recovery kept
beside its DataFrame; and, for scale, a frame built the naive way from `Sheet.cells()` (a
list of every cell, then the frame). `tabulix inspect` gives the command line's peak for
the same file. The workbooks are made by bench/perf/workbooks.py when missing.
"""

import argparse
import concurrent.futures
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)

CASES = {
    "pandas imported": "import pandas",
    "read_excel(A)": "import tabulix\nframe = tabulix.read_excel(PATH, header=None)",
    "recovery + DataFrame": (
        "import tabulix\nrecovery = tabulix.recover(PATH)\n"
        "frame = recovery.worksheets[0].to_pandas(header=None)"),
    "naive: cells() then DataFrame": (
        "import pandas, tabulix\ncells = tabulix.recover(PATH).worksheets[0].cells()\n"
        "grid = {}\nfor r, c, v in cells: grid.setdefault(c, {})[r] = v\n"
        "frame = pandas.DataFrame(grid)"),
}


def time_v_peak_mb(command, env=None):
    """The peak resident size of `command`, from GNU time: a child forked here would
    inherit this process's own peak."""
    run = subprocess.run(["/usr/bin/time", "-v", *command], capture_output=True, text=True,
                         env=env)
    if run.returncode != 0:
        raise RuntimeError("%s failed: %s" % (command, run.stderr[-500:]))
    for line in run.stderr.splitlines():
        if "Maximum resident set size" in line:
            return int(line.split()[-1]) // 1024
    return None


def peak_mb(python_path, code, path):
    env = dict(os.environ, PYTHONPATH=python_path)
    return time_v_peak_mb(["/usr/bin/python3", "-c", "import sys\nPATH = sys.argv[1]\n" + code,
                           path], env)


def _recover_path(path):
    import tabulix

    return tabulix.recover(path).report["cells"]


def _python_pace(seconds, until=None):
    """Loop iterations per second of plain Python code, for `seconds` or until `until()`."""
    count = 0
    start = time.perf_counter()
    while True:
        for _ in range(1000):
            count += 1
        elapsed = time.perf_counter() - start
        if (seconds is not None and elapsed >= seconds) or (until is not None and until()):
            return count / elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "perf"))
    parser.add_argument("--work", default=os.path.join(tempfile.gettempdir(), "tabulix-perf"))
    parser.add_argument("--corpus", default=os.path.join(ROOT, "..", "shared", "corpus", "real"))
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    python_path = os.path.join(args.build, "python")
    sys.path.insert(0, python_path)
    os.environ["PYTHONPATH"] = python_path  # for the worker processes
    import tabulix

    tabulix_cli = os.path.join(args.build, "tabulix")
    os.makedirs(args.work, exist_ok=True)

    largest = max((os.path.join(args.corpus, n) for n in os.listdir(args.corpus)),
                  key=os.path.getsize)
    copies = []
    for i in range(8):
        copy = os.path.join(args.work, "copy%d.xls" % i)
        shutil.copy(largest, copy)
        copies.append(copy)
    serial, threaded, processes = [], [], []
    with concurrent.futures.ProcessPoolExecutor(2) as workers:
        list(workers.map(_recover_path, copies))  # started and warm
        for _ in range(args.runs):
            start = time.perf_counter()
            for copy in copies:
                tabulix.recover(copy)
            serial.append(time.perf_counter() - start)
            start = time.perf_counter()
            with concurrent.futures.ThreadPoolExecutor(2) as pool:
                list(pool.map(tabulix.recover, copies))
            threaded.append(time.perf_counter() - start)
            start = time.perf_counter()
            list(workers.map(_recover_path, copies))
            processes.append(time.perf_counter() - start)
    one, two, apart = (statistics.median(x) for x in (serial, threaded, processes))
    print("8 copies of %s (%.1f MB): one after another %.2f s, on 2 threads %.2f s (%.2fx), "
          "in 2 processes %.2f s (%.2fx)" % (os.path.basename(largest),
                                              os.path.getsize(largest) / 1e6, one, two,
                                              one / two, apart, one / apart))
    # While one thread recovers, Python code in another keeps its pace only when the
    # recovery runs without the interpreter lock.
    alone = _python_pace(0.5)
    done = []
    worker = threading.Thread(target=lambda: done.append([tabulix.recover(c) for c in copies * 2]))
    worker.start()
    beside = _python_pace(None, until=lambda: not worker.is_alive())
    worker.join()
    print("Python in another thread during 16 recoveries: %.0f%% of its pace alone" %
          (100.0 * beside / alone))

    path = os.path.join(args.work, "A.xls")
    if not os.path.exists(path):
        import workbooks

        workbooks.make_all(tabulix_cli, os.path.join(args.build, "tabulix-cellmap"), args.work)
    frame = tabulix.read_excel(path, header=None)
    print("A: %.1f MB, %d x %d cells; the DataFrame holds %.0f MB (deep)" % (
        os.path.getsize(path) / 1e6, frame.shape[0], frame.shape[1],
        frame.memory_usage(deep=True).sum() / 1e6))
    del frame
    print("tabulix inspect A: peak %s MB" % time_v_peak_mb([tabulix_cli, "inspect", "-q", path]))
    for name, code in CASES.items():
        print("%s: peak %d MB" % (name, peak_mb(python_path, code, path)))


if __name__ == "__main__":
    main()
