#!/usr/bin/python3
"""Fails when a source file includes a header of a layer it may not call.

Usage: scripts/check_layers.py [SRC_DIR]     (default: src/ of this repository)

Each folder of SRC_DIR is one layer, and a layer calls only the layers below it:

    base -> format -> compound, storage -> biff -> recovery -> document -> cli (app, python)

(biff and recovery need neither container reader, and compound and storage share the
on-disk layout in format but nothing else). Every `#include "..."` of every file is
resolved to the folder it names; a folder not in the table below is an error too, so that
a new folder is given its place before anything depends on it. Exit status 0 when every
include points downwards, 1 when any does not (each listed), 2 on a usage error.
"""

import os
import re
import sys

# The layers each folder may include, besides itself.
ALLOWED = {
    "base": set(),
    "format": {"base"},
    "compound": {"base", "format"},
    "storage": {"base", "format"},
    "biff": {"base"},
    "recovery": {"base", "biff"},
    "document": {"base", "format", "compound", "storage", "biff", "recovery"},
    # Front ends show what the document returns; they never read a file's bytes.
    "cli": {"base", "document"},
    "app": {"base", "document"},
    "python": {"base", "document"},
    # Developer tools that look at a sound original's layout for the benchmarks.
    "tools": {"base", "format", "storage", "biff"},
}

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
SOURCE_SUFFIXES = (".cpp", ".hpp", ".h", ".cc", ".def", ".inc")


def layer_of(path, src):
    """The top folder of `path` under `src`, or None when it lies outside."""
    rel = os.path.relpath(os.path.normpath(path), src)
    if rel.startswith(".."):
        return None
    parts = rel.split(os.sep)
    return parts[0] if len(parts) > 1 else ""


def included_layer(name, including_file, src):
    """The layer a quoted include names: relative to the including file when that file
    exists there, else relative to `src` (the project's include root)."""
    beside = os.path.join(os.path.dirname(including_file), name)
    if os.path.exists(beside):
        return layer_of(beside, src)
    return layer_of(os.path.join(src, name), src)


def main(argv):
    if len(argv) > 2 or (len(argv) == 2 and argv[1] in ("-h", "--help")):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    src = os.path.abspath(argv[1] if len(argv) == 2 else os.path.join(root, "src"))
    if not os.path.isdir(src):
        print(f"check_layers: no such folder: {src}", file=sys.stderr)
        return 2

    problems = []
    files = 0
    for folder in sorted(os.listdir(src)):
        path = os.path.join(src, folder)
        if not os.path.isdir(path):
            continue
        if folder not in ALLOWED:
            problems.append(f"src/{folder}/: a folder no layer is given to "
                            "(add it to scripts/check_layers.py)")
            continue
        for dirpath, _, names in os.walk(path):
            for name in sorted(names):
                if not name.endswith(SOURCE_SUFFIXES):
                    continue
                file = os.path.join(dirpath, name)
                files += 1
                with open(file, encoding="utf-8", errors="replace") as text:
                    for number, line in enumerate(text, 1):
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        target = included_layer(match.group(1), file, src)
                        if target == folder:
                            continue
                        if target is None or target == "" or target not in ALLOWED[folder]:
                            where = os.path.relpath(file, os.path.dirname(src))
                            what = f"layer '{target}'" if target else "outside the layers"
                            problems.append(f"{where}:{number}: includes \"{match.group(1)}\" "
                                            f"({what}), which '{folder}' may not call")

    for problem in problems:
        print(problem)
    if problems:
        print(f"check_layers: {len(problems)} wrong-way dependencies", file=sys.stderr)
        return 1
    print(f"check_layers: {files} files, every include points downwards")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
