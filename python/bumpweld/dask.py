"""Batches of command lines on a dask.distributed cluster, with retries and a report per job.

    from dask.distributed import Client, LocalCluster
    import bumpweld.dask
    with LocalCluster(n_workers=2, threads_per_worker=1) as cluster, Client(cluster) as client:
        report = bumpweld.dask.run_batch(["-m base.tga detail.tga out.tga"], client)

File names are opened by the workers, so they must mean the same files there (a shared file
system, or absolute paths on a single machine).
"""
from __future__ import annotations

import os
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Union

from ._bumpweld import Error
from ._bumpweld import Job as _Job
from .commandline import command_job, run_command, split_line

Job = Union[str, Sequence[Union[str, "os.PathLike[str]"]]]
Report = Dict[str, Any]


def _arguments(job: Job) -> Optional[List[str]]:
    """A job's argument list; None for a batch-file line with nothing but a comment or blanks."""
    if isinstance(job, str):
        args = split_line(job)
        return args or None
    return [os.fspath(arg) for arg in job]


def _failure(args: List[str], message: str) -> Report:
    return {"args": args, "status": "failed", "message": message, "seconds": 0.0, "outputs": []}


def run_batch(jobs: Iterable[Job], client: Any, retries: int = 2, *, threads: int = 0,
              _run: Optional[Callable[[List[str], int], Report]] = None) -> List[Report]:
    """Runs command lines on a dask.distributed cluster and returns one report per job, in the
    order of `jobs`.

    jobs: each the argument list of one command line (["-m", "base.tga", "detail.tga",
        "out.tga"], forms as the command line takes them: base second out; flags base second
        out when the first argument contains '-'; base height scale out; flags base height
        scale out), or a line of a batch file (a string, split as `bumpweld --batch` splits it; a
        line with only a comment or blanks is not a job and gets no report).
    client: a distributed.Client, or a scheduler address ("tcp://host:8786") to connect to for
        the length of the batch.
    retries: how many more times a failed job is sent before it counts as failed.
    threads: threads each job may use on its worker (0: all the worker's CPUs); a count out of
        range (below 0, past 2**31 - 1) raises ValueError.

    Each report is {"args": [...], "status": "ok" or "failed", "message": the command line's
    error message ("" after success), "seconds": the run's time on its worker (of the last
    attempt), "outputs": the files written}, and for a job with --stats "stats": each level's
    angle error, as the batch's report gives it. A line that is not a command line (a wrong number
    of arguments, an unknown option) fails as it fails in a batch, and is not sent.
    """
    _Job().set_threads(int(threads))  # a count out of range raises ValueError before anything is sent
    from distributed import Client, as_completed

    run = _run or run_command
    own_client = isinstance(client, str)
    if own_client:
        client = Client(client)
    try:
        reports: List[Optional[Report]] = []
        attempts: List[int] = []
        pending: Dict[Any, int] = {}
        completed = as_completed()

        def send(index: int) -> None:
            # pure=False: a retry of the same arguments is a new task, not the cached failure.
            future = client.submit(run, reports_args[index], threads, pure=False)
            pending[future] = index
            completed.add(future)

        reports_args: List[List[str]] = []
        for job in jobs:
            args = _arguments(job)
            if args is None:
                continue
            reports_args.append(args)
            attempts.append(0)
            try:
                command_job(args)  # a line that is not a command line is not sent
                reports.append(None)
                send(len(reports_args) - 1)
            except Error as error:
                reports.append(_failure(args, str(error)))

        for future in completed:
            index = pending.pop(future)
            try:
                report = dict(future.result())
            except Exception as error:  # the worker died or the task raised
                report = _failure(reports_args[index], f"{type(error).__name__}: {error}")
            report["args"] = reports_args[index]
            if report["status"] != "ok" and attempts[index] < retries:
                attempts[index] += 1
                send(index)
            else:
                reports[index] = report
            future.release()
        return [report for report in reports if report is not None]
    finally:
        if own_client:
            client.close()


def run_tree(manifest: Union[str, "os.PathLike[str]"], client: Any, retries: int = 2, *,
             threads: int = 0) -> List[Report]:
    """Runs the jobs of an asset tree's manifest on a dask.distributed cluster: the library plans
    the tree and checks its records here, the jobs not up to date run as run_batch runs them,
    and each that succeeded is recorded here. Returns one report per job in the plan's order, as
    bumpweld.tree gives them ("skipped" for a job up to date). The workers must see the tree's
    files under the same names (a shared file system, run from the same folder). Raises Error,
    before anything is sent, for a manifest that is not one or a plan with problems.
    """
    from ._tree import run_plan

    return run_plan(manifest, lambda plan, todo: run_batch([plan.words(index) for index in todo], client, retries,
                                                            threads=threads))
