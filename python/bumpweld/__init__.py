"""Bumpweld for Python: merge a base normal map with a detail normal map or a height map.

    import bumpweld
    merged = bumpweld.merge(base, detail)              # H x W x 3 uint8, picture order
    chain = bumpweld.merge(base, heights, height_scale=2.5, flags="-m")
    bumpweld.run_files("base.tga", "detail.tga", "out.tga", flags="-m")

Arrays are in picture order (first row = top, as PIL and imageio give them), channels red,
green, blue; uint8, uint16, float32 or float64 values (float64 read as float32). Failures
raise bumpweld.Error with the command line's message and a bumpweld.ErrorCode as its `code`.
`bumpweld.dask.run_batch` runs many command lines on a dask.distributed cluster.
"""
from ._bumpweld import Error, ErrorCode, Job, version
from ._jobs import merge, run_files

__version__ = version()
__all__ = ["Error", "ErrorCode", "Job", "merge", "run_files", "version"]


def __getattr__(name: str):
    # bumpweld.dask imports dask.distributed, which is slow to import and optional: load it on
    # first use only.
    if name == "dask":
        import importlib

        return importlib.import_module(".dask", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
