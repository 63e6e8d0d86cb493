#!/usr/bin/python3
"""The layering check against small trees made here: it must pass a tree whose includes
point downwards and fail, naming the place, on each way of pointing the wrong way.

Usage: check_layers_test.py PATH/TO/check_layers.py
"""

import os
import subprocess
import sys
import tempfile


def run(script, tree):
    done = subprocess.run([sys.executable, script, tree], capture_output=True, text=True)
    return done.returncode, done.stdout


def make(root, files):
    for path, text in files.items():
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w", encoding="utf-8") as out:
            out.write(text)


SOUND = {
    "base/log.hpp": "#pragma once\n#include <string>\n",
    "format/layout.hpp": '#include "base/log.hpp"\n',
    "compound/reader.cpp": '#include "compound/reader.hpp"\n#include "format/layout.hpp"\n',
    "compound/reader.hpp": '#include "base/log.hpp"\n',
    "biff/record.hpp": '#include "base/log.hpp"\n',
    "recovery/scan.cpp": '#include "biff/record.hpp"\n#include "scan.hpp"\n',
    "recovery/scan.hpp": "#pragma once\n",
    "document/doc.cpp": '#include "compound/reader.hpp"\n#include "recovery/scan.hpp"\n',
    "cli/main.cpp": '#include "document/doc.cpp"\n#include <iostream>\n',
    "storage/writer.hpp": '#include "format/layout.hpp"\n',
}

# Each: a file to add to the sound tree, and the words the failure must name.
WRONG = [
    ("compound/extract.cpp", '#include "document/doc.cpp"\n', "compound/extract.cpp:1"),
    ("compound/both.cpp", '#include "storage/writer.hpp"\n', "compound/both.cpp:1"),
    ("biff/codec.cpp", '// the old home\n#include "compound/reader.hpp"\n', "biff/codec.cpp:2"),
    ("recovery/up.cpp", '#  include "document/doc.cpp"\n', "recovery/up.cpp:1"),
    ("cli/parse.cpp", '#include "biff/record.hpp"\n', "cli/parse.cpp:1"),
    ("base/up.hpp", '#include "../recovery/scan.hpp"\n', "base/up.hpp:1"),
    ("workbook/view.cpp", '#include "base/log.hpp"\n', "src/workbook/"),
]


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    script = argv[1]
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        sound = os.path.join(tmp, "sound", "src")
        make(sound, SOUND)
        code, out = run(script, sound)
        if code != 0:
            failures.append(f"sound tree refused ({code}):\n{out}")
        for k, (path, text, words) in enumerate(WRONG):
            tree = os.path.join(tmp, f"wrong{k}", "src")
            make(tree, SOUND)
            make(tree, {path: text})
            code, out = run(script, tree)
            if code != 1 or words not in out:
                failures.append(f"{path}: exit {code}, wanted 1 naming {words!r}:\n{out}")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
