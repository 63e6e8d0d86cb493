"""The README's Dask example on a sample of the corpus: one report per file, as the
command line gives it, from a local cluster of two workers."""

import os
import re
import shutil
import subprocess
import sys

import pytest

import tabulix  # noqa: F401 - the workers import it; fail here first when it is missing

SOURCE = os.environ["TABULIX_SOURCE_DIR"]
CORPUS = os.environ["TABULIX_CORPUS_DIR"]
CLI = os.environ["TABULIX_CLI"]
EXAMPLE = os.path.join(SOURCE, "examples", "dask_reports.py")
sys.path.insert(0, os.path.join(SOURCE, "examples"))
sys.path.insert(0, os.path.join(SOURCE, "tools"))
import damage  # noqa: E402
import dask_reports  # noqa: E402

# Debian's distributed starts its event loop in a way newer tornado frowns upon.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")


def test_the_readme_shows_the_example_as_it_runs():
    readme = open(os.path.join(SOURCE, "README.md")).read()
    blocks = re.findall(r"```python\n(.*?)```", readme, re.S)
    assert open(EXAMPLE).read() in blocks


def test_a_folder_recovered_on_two_workers_reports_as_the_command_line(tmp_path, monkeypatch):
    folder = tmp_path / "in"
    (folder / "sub").mkdir(parents=True)
    sample = [line.strip() for line in open(os.path.join(SOURCE, "bench", "quality", "ci_sample.txt"))
              if line.strip() and not line.startswith("#")][:8]
    for name in sample:
        shutil.copy(os.path.join(CORPUS, "real", name), folder / name)
    data = open(os.path.join(CORPUS, "real", sample[0]), "rb").read()
    (folder / "sub" / "cut.XLS").write_bytes(damage.apply("truncate", 1, data)[0])
    shutil.copy(os.path.join(CORPUS, "odd", "password.xls"), folder / "sub")
    (folder / "sub" / "renamed.xls").write_bytes(b"PK\x03\x04" + bytes(100))
    (folder / "notes.txt").write_text("not a workbook name")

    monkeypatch.chdir(tmp_path)  # the workers' scratch folder goes there
    frame = dask_reports.recover_folder(str(folder))

    run = subprocess.run([CLI, "inspect", "--json", "-r", str(folder)], capture_output=True,
                         text=True, timeout=600)
    import json

    cli = {line["input"]: line for line in map(json.loads, run.stdout.splitlines())}
    assert sorted(frame["input"]) == sorted(cli)
    assert len(frame) == len(sample) + 3
    for row in frame.itertuples(index=False):
        line = cli[row.input]
        assert (row.status, row.cells, row.error or None) == (line["status"], line["cells"], line["error"])
    assert set(frame["status"]) == {"inspected", "password-protected", "failed"}
