#!/usr/bin/env python3
"""Runs the command lines of a batch file on a dask.distributed cluster and prints the reports
as JSON, one per job, in the file's order.

  dask_batch.py BATCHFILE [--scheduler tcp://host:8786] [--workers 2] [--retries 2]

A batch file holds one command line's arguments a line, without the program name, split as a
POSIX shell splits them; '#' starts a comment:

  -m base.tga detail.tga out.tga
  base.tga height.tga 2.5 fromheight.tga    # a height map
  -i base.tga "detail map.tga" out.kep

Without --scheduler a LocalCluster of worker processes on this machine runs them. The exit
status is 0 when every job succeeded, else 1.
"""
import argparse
import json
import sys

from dask.distributed import Client, LocalCluster

import bumpweld.dask


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("batch_file")
    parser.add_argument("--scheduler", help="address of a running scheduler")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes (default 2)")
    parser.add_argument("--retries", type=int, default=2, help="times a failed job is sent again")
    args = parser.parse_args(argv)
    with open(args.batch_file) as f:
        lines = f.read().splitlines()

    if args.scheduler:
        reports = bumpweld.dask.run_batch(lines, args.scheduler, retries=args.retries)
    else:
        with LocalCluster(n_workers=args.workers, threads_per_worker=1) as cluster, Client(cluster) as client:
            reports = bumpweld.dask.run_batch(lines, client, retries=args.retries)
    json.dump(reports, sys.stdout, indent=2)
    print()
    return 0 if all(report["status"] == "ok" for report in reports) else 1


if __name__ == "__main__":
    sys.exit(main())
