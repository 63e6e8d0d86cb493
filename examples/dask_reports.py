"""Recover every .xls file under a folder on a Dask cluster; collect the reports in one
DataFrame.

    python3 examples/dask_reports.py FOLDER [SCHEDULER]

Without SCHEDULER it starts a local cluster of two workers. With one (tcp://host:8786) the
same code runs on that cluster, whose workers need tabulix installed and FOLDER in reach.
"""

import sys
from pathlib import Path

import pandas as pd
from dask.distributed import Client, LocalCluster

import tabulix


def report_of(path):
    """The recovery report of one file, whether it was recovered or not."""
    try:
        return tabulix.recover(path).report
    except tabulix.Error as error:
        return error.report


def recover_folder(folder, scheduler=None):
    paths = sorted(str(p) for p in Path(folder).rglob("*") if p.suffix.lower() == ".xls")
    cluster = None if scheduler else LocalCluster(n_workers=2, threads_per_worker=1)
    try:
        with Client(scheduler or cluster) as client:
            reports = client.gather(client.map(report_of, paths))
    finally:
        if cluster is not None:
            cluster.close()
    columns = ["input", "status", "route.name", "cells", "lost_text", "dropped_cells", "error"]
    return pd.json_normalize(reports)[columns]


if __name__ == "__main__":
    print(recover_folder(*sys.argv[1:3]).to_string())
