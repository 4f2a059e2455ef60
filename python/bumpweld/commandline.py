"""The command line's argument forms in Python: the height scale read as C's atof reads it, the
forms of 3, 4 and 5 arguments, and one command line run in this process with its report."""
from __future__ import annotations

import math
import re
import time
from typing import Any, Dict, List, NamedTuple, Optional, Sequence

USAGE = "Usage: Bumpweld [-BeEgGhHimMqQ] normalmap1 bump/normalMap2 [heightscale] outputname"

# The letters the command line knows; it skips any other character of a flag word.
FLAG_LETTERS = "-BeEgGhHimMqQsS"

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


class Command(NamedTuple):
    """One command line's parts; flags holds only the letters the command line knows."""

    flags: str
    base: str
    second: str
    height_scale: Optional[str]  # as typed; None: the second map is a normal map
    output: str


class UsageError(ValueError):
    """An argument list that is none of the command line's forms; the message is its usage line."""


def parse_command(args: Sequence[str]) -> Command:
    """The parts of `bumpweld ARGS`: 3 arguments are base second output; 4 are flags base second
    output when the first contains a '-' anywhere, else base height scale output; 5 are flags
    base height scale output. Raises UsageError for any other count."""
    args = list(args)
    flags = ""
    if len(args) == 3:
        base, second, output = args
        scale = None
    elif len(args) == 4 and "-" in args[0]:
        flags, base, second, output = args
        scale = None
    elif len(args) == 4:
        base, second, scale, output = args
    elif len(args) == 5:
        flags, base, second, scale, output = args
    else:
        raise UsageError(USAGE)
    flags = "".join(letter for letter in flags if letter in FLAG_LETTERS)
    return Command(flags, base, second, scale, output)


def run_command(args: Sequence[str], threads: int = 0) -> Dict[str, Any]:
    """Runs one command line in this process (no console output) and reports it as
    {"args", "status": "ok" or "failed", "message", "seconds", "outputs"}; message is the
    command line's error message, "" after success."""
    from ._bumpweld import Error
    from ._jobs import run_files

    report: Dict[str, Any] = {"args": list(args), "status": "failed", "message": "", "seconds": 0.0,
                              "outputs": []}
    start = time.perf_counter()
    try:
        command = parse_command(args)
        report["outputs"] = run_files(command.base, command.second, command.output, flags=command.flags,
                                      height_scale=command.height_scale, threads=threads)
        report["status"] = "ok"
    except (Error, UsageError) as error:
        report["message"] = str(error)
    report["seconds"] = time.perf_counter() - start
    return report


def split_line(line: str) -> List[str]:
    """The arguments of one line of a batch file, split as a POSIX shell splits them, with '#'
    starting a comment."""
    import shlex

    return shlex.split(line, comments=True)
