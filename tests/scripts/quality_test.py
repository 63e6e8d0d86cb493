#!/usr/bin/python3
"""The quality benchmark's instruments: the map of where cells lie, the damage models and
the scoring. A fault in any of them would show as a better or worse recovery than the
real one, so each is checked against something independent of it.

Usage: quality_test.py --corpus DIR --tabulix PATH --cellmap PATH [--verify PATH]
"""

import argparse
import csv
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.path.insert(0, os.path.join(ROOT, "bench", "quality"))
import damage  # noqa: E402
import quality  # noqa: E402

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message)


def stream_through(pieces, data):
    return b"".join(data[offset:offset + length] for offset, length in pieces)


def the_map_agrees_with_olefile_and_xlrd(corpus, cellmap):
    """On every corpus file: the pieces spell the workbook stream as olefile reads it, and
    every cell xlrd reads has a place in the map (an unmapped cell would be counted as
    recoverable whatever the damage)."""
    import olefile
    files = sorted(n for n in os.listdir(corpus) if n.lower().endswith(".xls"))
    mapped = cells = 0
    for name in files:
        path = os.path.join(corpus, name)
        code, out, err = quality.run([cellmap, path])
        if code != 0:
            check(False, "%s: tabulix-cellmap failed: %s" % (name, err.strip()))
            continue
        layout = quality.json.loads(out)
        with open(path, "rb") as f:
            data = f.read()
        with olefile.OleFileIO(path) as ole:
            stream_name = layout["stream"]["name"]
            expected = ole.openstream(stream_name).read()
        check(stream_through(layout["stream"]["pieces"], data) == expected,
              "%s: the pieces do not spell the %s stream" % (name, stream_name))
        opened, original, problems = quality.read_cells(path)
        if not opened or problems:
            continue
        places = quality.CellPlaces(layout)
        for sheet, sheet_cells in original:
            known = places.sheets.get(sheet, {})
            missing = [k for k in sheet_cells if k not in known]
            check(not missing, "%s: sheet %r: %d cells missing from the map, first %s" % (
                name, sheet, len(missing), missing[:3]))
            cells += len(sheet_cells)
            mapped += len(sheet_cells) - len(missing)
    print("map: %d files, %d of %d xlrd cells mapped" % (len(files), mapped, cells))


def damage_is_deterministic_and_fully_accounted(path, cellmap):
    """Same seed, same bytes. For models that change bytes in place, the bytes that differ
    are exactly those reported touched; truncation, insertion, deletion and swaps report
    what they cut, removed or only moved."""
    with open(path, "rb") as f:
        data = f.read()
    layout = damage.read_cellmap(cellmap, path)
    name = os.path.basename(path)
    pieces = layout["stream"]["pieces"]
    stream_bytes = {o + k for o, length in pieces for k in range(length)}
    for model in damage.MODELS:
        outputs = set()
        for seed in ("1", "2", "3"):
            first, d = damage.apply(model, seed, data, layout, name)
            again, _ = damage.apply(model, seed, data, layout, name)
            check(first == again, "%s seed %s: not deterministic" % (model, seed))
            outputs.add(first)
            check(first != data and d.what, "%s seed %s: left the file as it was" % (model, seed))
            info = d.to_json()
            if model == "truncate":
                check(info["touched"] == [[len(first), len(data)]] and data.startswith(first),
                      "truncate seed %s: %s" % (seed, info))
            elif model == "shift":
                if len(first) > len(data):
                    p = info["cuts"][0]
                    k = len(first) - len(data)
                    check(first[:p] == data[:p] and first[p + k:] == data[p:],
                          "shift seed %s: the insertion is not where it is reported" % seed)
                else:
                    (p, e), = info["touched"]
                    check(first == data[:p] + data[e:],
                          "shift seed %s: the deletion is not where it is reported" % seed)
            elif model == "swap":
                check(info["touched"] == [] and len(first) == len(data) and
                      sorted(first[i:i + 512] for i in range(0, len(first), 512)) ==
                      sorted(data[i:i + 512] for i in range(0, len(data), 512)),
                      "swap seed %s: more than two sectors traded places" % seed)
            else:
                differ = damage.changed(data, first, 0, len(data))
                check(damage.merge(differ) == info["touched"],
                      "%s seed %s: touched %s but the bytes differ at %s" % (
                          model, seed, info["touched"][:4], differ[:4]))
            if model in ("header", "fat", "directory", "root-entry"):
                check(not any(a <= b < e for a, e in info["touched"] for b in (a, e - 1)
                              if b in stream_bytes),
                      "%s seed %s: damaged the workbook stream's own bytes" % (model, seed))
        if model not in ("header", "fat", "directory", "root-entry"):
            check(len(outputs) > 1, "%s: every seed did the same" % model)


def the_best_possible_share_follows_the_damage(path, cellmap):
    """Nothing damaged: every cell is possible. Cut the file: the cells behind the cut are
    not, those before it are. Moved bytes lose nothing."""
    layout = damage.read_cellmap(cellmap, path)
    opened, original, _ = quality.read_cells(path)
    total = sum(len(c) for _, c in original)
    places = quality.CellPlaces(layout)
    check(places.possible(original, [], []) == (total, 0), "undamaged: not every cell possible")
    size = os.path.getsize(path)
    cut = size // 2
    possible, _ = places.possible(original, [[cut, size]], [])
    expected = sum(1 for sheet, cells in original for k in cells
                   if all(r[1] <= cut for r in places.sheets[sheet][k]))
    check(possible == expected and 0 < possible < total,
          "cut at %d: %d possible, %d expected of %d" % (cut, possible, expected, total))
    # A cut point inside a record breaks it; one at its edge does not.
    sheet, cells = original[0]
    key = next(iter(cells))
    a, b = places.sheets[sheet][key][0]
    check(places.possible([(sheet, {key: cells[key]})], [], [a + 1]) == (0, 0),
          "an insertion inside a record left it intact")
    check(places.possible([(sheet, {key: cells[key]})], [], [a]) == (1, 0),
          "an insertion before a record broke it")


def scoring_matches_sheets_and_values():
    original = [("Data", {(0, 0): (2, 1.0), (0, 1): (1, "a"), (5, 5): (4, 1)}),
                ("Notes", {(1, 1): (1, "x"), (2, 2): (1, "y")})]
    # Sheet names lost: matched by the cells in common; a wrong value or kind does not count.
    renamed = [("Recovered 1", {(1, 1): (1, "x"), (2, 2): (1, "z")}),
               ("Recovered 2", {(0, 0): (2, 1.0), (0, 1): (1, "a"), (5, 5): (2, 1.0)})]
    check(quality.score(original, renamed) == 3, "renamed sheets: %d" % quality.score(original, renamed))
    # One output sheet cannot serve two originals.
    check(quality.score(original, [("Data", original[0][1])]) == 3, "one sheet counted twice")
    check(quality.score(original, []) == 0, "nothing recovered scored above 0")


def floors_fail_when_not_reached(corpus, tabulix, cellmap):
    with tempfile.TemporaryDirectory() as scratch:
        listing = os.path.join(scratch, "files.txt")
        with open(listing, "w") as f:
            f.write("29942.xls\n")
        floors = os.path.join(scratch, "floors.csv")
        base = [sys.executable, os.path.join(ROOT, "bench", "quality", "quality.py"),
                "--corpus", corpus, "--files", listing, "--models", "truncate,swap",
                "--tabulix", tabulix, "--cellmap", cellmap, "--floors", floors, "--jobs", "1"]
        with open(floors, "w") as f:
            f.write("model,floor\ntruncate,0.0\nswap,1.01\n")
        done = subprocess.run(base, capture_output=True, text=True)
        check(done.returncode == 1 and "FLOOR NOT REACHED: swap" in done.stdout and
              "NOT REACHED: truncate" not in done.stdout,
              "a floor above reach passed: %d %s" % (done.returncode, done.stdout[-400:]))
        with open(floors, "w") as f:
            f.write("model,floor\ntruncate,0.0\nswap,0.0\n")
        done = subprocess.run(base + ["--out", scratch], capture_output=True, text=True)
        check(done.returncode == 0, "floors at 0 failed: %s" % done.stdout[-400:])
        for name in ("quality.md", "quality.csv", "cases.csv", "gaps.csv"):
            check(os.path.exists(os.path.join(scratch, name)), name + " not written")


def the_verifier_sees_every_output(corpus, tabulix, cellmap, verify):
    """Every output goes to the verifier: its first finding and the invariants broken reach
    cases.csv, the share of outputs without a finding the tables, and --require-well-formed
    fails the run on any finding. Stand-ins that always or never find fault make the
    outcome independent of how well-formed today's outputs are."""
    with tempfile.TemporaryDirectory() as scratch:
        listing = os.path.join(scratch, "files.txt")
        with open(listing, "w") as f:
            f.write("29942.xls\n")
        stand_ins = {
            "faulty": '#!/bin/sh\necho "$1: cell-order at 20: BLANK at row 1, column 1 comes '
                      'after row 2, column 0"\necho "$1: sst-index at 40: LABELSST"\n'
                      'echo "$1: ... and 12 more: cell-order 11, surrogate 1"\nexit 1\n',
            "clean": "#!/bin/sh\nexit 0\n",
            "unreadable": '#!/bin/sh\necho "tabulix-verify: $1: not a sound compound document" '
                          '>&2\nexit 2\n'}
        for name, text in stand_ins.items():
            path = os.path.join(scratch, name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o755)
        out = os.path.join(scratch, "out")
        base = [sys.executable, os.path.join(ROOT, "bench", "quality", "quality.py"),
                "--corpus", corpus, "--files", listing, "--models", "swap", "--jobs", "1",
                "--tabulix", tabulix, "--cellmap", cellmap, "--out", out]

        def cases():
            with open(os.path.join(out, "cases.csv")) as f:
                return list(csv.DictReader(f))

        done = subprocess.run(base + ["--verify", os.path.join(scratch, "faulty"),
                                      "--require-well-formed"], capture_output=True, text=True)
        rows = cases()
        check(done.returncode == 1 and "NOT WELL-FORMED: 29942.xls, swap seed 1: cell-order at "
              "20: BLANK at row 1" in done.stdout,
              "a finding passed --require-well-formed: %d %s" % (done.returncode,
                                                                  done.stdout[-400:]))
        check(len(rows) == 1 and rows[0]["verify_findings"].startswith("cell-order at 20: BLANK")
              and rows[0]["verify_invariants"] == "cell-order;sst-index;surrogate",
              "cases.csv: %s" % [(r.get("verify_findings"), r.get("verify_invariants"))
                                 for r in rows])
        with open(os.path.join(out, "quality.md")) as f:
            table = f.read()
        check("verifier passes" in table and "| 0.000 |" in table.split("verifier passes")[1],
              "quality.md has no verifier column at 0: %s" % table[-300:])

        done = subprocess.run(base + ["--verify", os.path.join(scratch, "unreadable"),
                                      "--require-well-formed"], capture_output=True, text=True)
        rows = cases()
        check(done.returncode == 1 and rows and
              rows[0]["verify_findings"].startswith("not readable strictly") and
              rows[0]["verify_invariants"] == "unreadable",
              "an output the verifier cannot open passed: %d %s" % (done.returncode,
                                                                     done.stdout[-300:]))

        done = subprocess.run(base + ["--verify", os.path.join(scratch, "clean"),
                                      "--require-well-formed"], capture_output=True, text=True)
        with open(os.path.join(out, "quality.csv")) as f:
            lines = list(csv.DictReader(f))
        check(done.returncode == 0 and cases()[0]["verify_findings"] == "" and
              all(float(line["tabulix_verified"]) == 1.0 for line in lines),
              "a clean output failed: %d %s" % (done.returncode, done.stdout[-300:]))

        if verify:
            # The verifier itself: whatever it finds today, the run does not fail without
            # --require-well-formed.
            done = subprocess.run(base + ["--verify", verify], capture_output=True, text=True)
            check(done.returncode == 0 and "verifier: " in done.stdout,
                  "the verifier's run failed: %d %s" % (done.returncode, done.stdout[-300:]))


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--corpus", required=True)
    parser.add_argument("--tabulix", required=True)
    parser.add_argument("--cellmap", required=True)
    parser.add_argument("--verify")
    args = parser.parse_args(argv[1:])
    sample = os.path.join(args.corpus, "29942.xls")
    damage_is_deterministic_and_fully_accounted(sample, args.cellmap)
    the_best_possible_share_follows_the_damage(sample, args.cellmap)
    scoring_matches_sheets_and_values()
    floors_fail_when_not_reached(args.corpus, args.tabulix, args.cellmap)
    the_verifier_sees_every_output(args.corpus, args.tabulix, args.cellmap, args.verify)
    the_map_agrees_with_olefile_and_xlrd(args.corpus, args.cellmap)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
