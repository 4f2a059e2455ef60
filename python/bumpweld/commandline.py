"""Command lines in Python: one command line run in this process with its report, and the
words of a batch file's line (the library reads both)."""
from __future__ import annotations

import time
from typing import Any, Dict, List, Sequence


def command_job(args: Sequence[str], threads: int = 0):
    """A job of the extension holding the command line `bumpweld ARGS` (the library reads the
    argument forms, the flag word and the long options); raises Error with the message a batch
    gives a line that is not a command line (its usage line, the refusal of an option)."""
    from ._bumpweld import Job

    job = Job()
    job.set_command([str(arg) for arg in args])
    job.set_threads(int(threads))
    return job


def run_command(args: Sequence[str], threads: int = 0) -> Dict[str, Any]:
    """Runs one command line in this process (no console output) and reports it as
    {"args", "status": "ok" or "failed", "message", "seconds", "outputs"}; message is the
    command line's error message, "" after success. A job with --stats that succeeded also
    reports "stats": each level's angle error, [{"level", "mean", "p99", "max"}, ...]."""
    import os

    from ._bumpweld import Error

    report: Dict[str, Any] = {"args": list(args), "status": "failed", "message": "", "seconds": 0.0,
                              "outputs": []}
    start = time.perf_counter()
    try:
        job = command_job(args, threads)
        job.run_command()
        report["outputs"] = [os.fsdecode(name) for name in job.outputs()]
        if job.stats():
            report["stats"] = job.stats()
        report["status"] = "ok"
    except Error as error:
        report["message"] = str(error)
    report["seconds"] = time.perf_counter() - start
    return report


def split_line(line: str) -> List[str]:
    """The arguments of one line of a batch file, split as `bumpweld --batch` splits them (a
    POSIX shell's quoting, '#' starting a comment); [] for a blank or comment line. Raises Error
    for an open quote or a backslash at the end of the line."""
    from ._bumpweld import Error, Job

    job = Job()
    try:
        job.set_command_line(line)
    except Error:
        if not job.words():  # not split; a refused command keeps its words
            raise
    return job.words()
