"""Command lines in Python: the height scale read as C's atof reads it, and one command line
run in this process with its report (the library reads the line itself)."""
from __future__ import annotations

import math
import re
import time
from typing import Any, Dict, List, Sequence

# The longest prefix strtod takes in the C locale: white space, a sign, then a hexadecimal or
# decimal number, an infinity or a NaN.
_ATOF = re.compile(
    r"""[ \t\n\v\f\r]*
    (?P<sign>[+-]?)
    (?:
      (?P<hex>0[xX](?:[0-9a-fA-F]+(?:\.[0-9a-fA-F]*)?|\.[0-9a-fA-F]+)(?:[pP][+-]?[0-9]+)?)
    | (?P<inf>(?i:infinity|inf))
    | (?P<nan>(?i:nan)(?:\([0-9A-Za-z_]*\))?)
    | (?P<dec>(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?)
    )""",
    re.VERBOSE,
)


def atof(text: str) -> float:
    """The number at the start of text as C's atof reads it: "2.5", "1e-3", "16abc" (16),
    "0x10" (16), "inf", "nan"; 0.0 when it starts with no number."""
    match = _ATOF.match(text)
    if not match:
        return 0.0
    negative = match.group("sign") == "-"
    if match.group("hex"):
        try:
            value = float.fromhex(match.group("hex"))
        except OverflowError:
            value = math.inf
    elif match.group("inf"):
        value = math.inf
    elif match.group("nan"):
        value = math.nan
    else:
        value = float(match.group("dec"))
    return -value if negative else value


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
    command line's error message, "" after success."""
    import os

    from ._bumpweld import Error

    report: Dict[str, Any] = {"args": list(args), "status": "failed", "message": "", "seconds": 0.0,
                              "outputs": []}
    start = time.perf_counter()
    try:
        job = command_job(args, threads)
        job.run_command()
        report["outputs"] = [os.fsdecode(name) for name in job.outputs()]
        report["status"] = "ok"
    except Error as error:
        report["message"] = str(error)
    report["seconds"] = time.perf_counter() - start
    return report


def split_line(line: str) -> List[str]:
    """The arguments of one line of a batch file, split as a POSIX shell splits them, with '#'
    starting a comment."""
    import shlex

    return shlex.split(line, comments=True)
