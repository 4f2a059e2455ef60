"""Bumpweld for Python: merge a base normal map with a detail normal map or a height map.

    import bumpweld
    merged = bumpweld.merge(base, detail)              # H x W x 3 uint8, picture order
    chain = bumpweld.merge(base, heights, height_scale=2.5, flags="-m")
    bumpweld.run_files("base.tga", "detail.tga", "out.tga", flags="-m")

Arrays are in picture order (first row = top, as PIL and imageio give them), channels red,
green, blue; uint8, uint16, float32 or float64 values (float64 read as float32). Failures
raise bumpweld.Error with the command line's message and a bumpweld.ErrorCode as its `code`.
`bumpweld.tree("tree.toml")` runs an asset tree's jobs, skipping those up to date.
`bumpweld.dask.run_batch` runs many command lines on a dask.distributed cluster, and
`bumpweld.dask.run_tree` an asset tree's.
"""
from ._bumpweld import Error, ErrorCode, Job, Tree, version
from ._jobs import merge, run_files
from ._tree import tree

__version__ = version()
__all__ = ["Error", "ErrorCode", "Job", "Tree", "merge", "run_files", "tree", "version"]


def __getattr__(name: str):
    # bumpweld.dask imports dask.distributed, which is slow to import and optional: load it on
    # first use only.
    if name == "dask":
        import importlib

        return importlib.import_module(".dask", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
