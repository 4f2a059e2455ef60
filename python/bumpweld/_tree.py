"""tree: an asset tree's jobs, as the library plans them, run in this process; the jobs whose
records show them up to date are skipped."""
from __future__ import annotations

import os
import warnings
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, Dict, Iterable, Iterator, List, Union

from . import _bumpweld
from .commandline import run_command

Report = Dict[str, Any]


def _skipped(args: List[str], outputs: List[bytes]) -> Report:
    return {"args": args, "status": "skipped", "message": "up to date", "seconds": 0.0,
            "outputs": [os.fsdecode(name) for name in outputs]}


def run_plan(manifest: Union[str, "os.PathLike[str]"],
             run_jobs: Callable[[_bumpweld.Tree, List[int]], Iterable[Report]]) -> List[Report]:
    """Plans the tree of a manifest, reports the jobs its records show up to date as skipped,
    runs the others through run_jobs(plan, indices) (a report for each, in their order), records
    each that succeeded and writes the records; one report per job in the plan's order. Raises
    Error, before anything is written, for a manifest that is not one or a plan with problems."""
    plan = _bumpweld.Tree(os.fsdecode(manifest))
    plan.make_folders()
    reports: List[Any] = [None] * len(plan)
    todo = []
    for index in range(len(plan)):
        outputs = plan.up_to_date(index)
        if outputs is None:
            todo.append(index)
        else:
            reports[index] = _skipped(plan.words(index), outputs)
    for index, report in zip(todo, run_jobs(plan, todo)):
        reports[index] = report
        if report["status"] == "ok":
            plan.record(index, [os.fsencode(name) for name in report["outputs"]])
    # The records not written yet; their warnings (a damaged database) as RuntimeWarning.
    for line in plan.finish().splitlines():
        warnings.warn(line, RuntimeWarning, stacklevel=3)
    return reports


def tree(manifest: Union[str, "os.PathLike[str]"], *, jobs: int = 0, threads: int = 0) -> List[Report]:
    """Runs the jobs of an asset tree's manifest (see README, "Asset trees") as `bumpweld --tree
    MANIFEST` runs them, and returns one report per job in the plan's order: {"args", "status":
    "ok", "failed" or "skipped" (up to date), "message", "seconds", "outputs"} (a skipped job's
    outputs are the files it stands for).

    jobs: jobs at once (0: one per CPU); threads: threads of each job (0: the CPUs shared among
    the jobs at once). Raises Error, before anything is written, for a manifest that is not one
    or a plan with problems (the message lists every one, a line each).
    """
    def run_here(plan: _bumpweld.Tree, todo: List[int]) -> Iterator[Report]:
        cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
        workers = max(1, min(int(jobs) or cpus, len(todo) or 1))
        each = int(threads) or max(1, cpus // workers)
        with ThreadPoolExecutor(max_workers=workers) as pool:
            yield from pool.map(lambda i: run_command(plan.words(i), each), todo)

    return run_plan(manifest, run_here)
