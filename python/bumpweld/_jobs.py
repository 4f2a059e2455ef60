"""merge and run_files: a job's settings from keyword arguments, arrays in and out, the names of
the files a run writes."""
from __future__ import annotations

import os
from typing import Any, Dict, List, Union

import numpy as np

from . import _bumpweld
from ._bumpweld import Error

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
HeightScale = Union[float, int, str, None]

def _apply_option(job: _bumpweld.Job, option: str, value: Any) -> None:
    """Sets the long option OPTION ("--flip-green"): True sets a switch, False or None leaves
    it off, a list or tuple is joined with commas (flip_green=("base", "output")), anything
    else is its value."""
    if value is True:
        job.set_option(option)
    elif value is not False and value is not None:
        text = ",".join(map(str, value)) if isinstance(value, (list, tuple)) else str(value)
        job.set_option(f"{option}={text}")


_IMAGE_TYPES = (np.dtype(np.uint8), np.dtype(np.uint16), np.dtype(np.float32), np.dtype(np.float64))


def _make_job(caller: str, flags: str, height_scale: HeightScale, threads: int,
              options: Dict[str, Any]) -> _bumpweld.Job:
    # Keyword flip_green is the long option --flip-green; the library knows which exist.
    for name in options:
        if not _bumpweld.is_option("--" + name.replace("_", "-")):
            raise TypeError(f"{caller}() got an unexpected keyword argument '{name}'")
    if not isinstance(flags, str):
        raise TypeError(f"{caller}() flags must be a str such as \"-mB\", not {type(flags).__name__}")
    job = _bumpweld.Job()
    job.set_flags(flags)
    if isinstance(height_scale, str):
        job.set_height_scale_text(height_scale)  # read, and refused when not finite, as typed
    elif height_scale is not None:
        job.set_height_scale(float(height_scale))
    job.set_threads(int(threads))  # ValueError out of range
    for name, value in options.items():
        _apply_option(job, "--" + name.replace("_", "-"), value)
    return job


def _image(picture: Any, what: str, channels: tuple) -> np.ndarray:
    """The picture as an array the extension takes: uint8, uint16 or float32 in the machine's byte
    order in place, float64 as a float32 copy (anything else is refused, a swapped byte order is
    copied once), with
    one of `channels` values a texel (an H x W array has one)."""
    array = np.asarray(picture)
    native = array.dtype.newbyteorder("=")
    if native not in _IMAGE_TYPES:
        raise TypeError(f"{what} must hold uint8, uint16, float32 or float64 values, not {array.dtype}")
    if array.dtype != native:
        array = array.astype(native)
    if array.ndim not in (2, 3):
        raise ValueError(f"{what} must have shape (height, width) or (height, width, channels), "
                         f"not {array.shape}")
    count = 1 if array.ndim == 2 else array.shape[2]
    if count not in channels:
        allowed = ", ".join(map(str, channels[:-1])) + " or " + str(channels[-1])
        raise ValueError(f"{what} must have {allowed} channels, not {count} "
                         f"(shape {array.shape})")
    return array


def _mip_chain(flags: str) -> bool:
    return "m" in flags or "M" in flags


def merge(base: Any, second: Any, *, height_scale: HeightScale = None, flags: str = "",
          threads: int = 0, dtype: Any = None, **options: Any) -> Union[np.ndarray, List[np.ndarray]]:
    """Merges two pictures in memory and returns what the command line would write for them.

    base: the base normal map, H x W x 3 or H x W x 4, uint8 (127 is 0), uint16 (32767.5 is 0)
        or float32 components; a texel of 127, 127, 127 (high bytes, for uint16; all three
        within 1e-7 of 0, for float32) is empty.
    second: a normal map of the same kinds, or with height_scale a height map, H x W or
        H x W x 1 (or the blue channel of a colour picture), uint8, uint16 or float32; heights
        are v / 255 (uint8), v / 65535 (uint16) or v (float32), times height_scale.
    Both in picture order (first row = top), red, green, blue; any strides (an array whose
    texels are not side by side within a row is copied once). Do not change them from another
    thread during the call.
    height_scale: a number, or text read as C's atof reads it; None: second is a normal map.
    flags: the command line's flag word, e.g. "-mB" (unknown letters raise Error).
    threads: threads of this call; 0 uses every CPU the process may use.
    dtype: None or np.uint8 for what the flags write (Targa texels, or .kep words); np.uint16
        for x, y, z as a 16-bit PNG file holds them ((c + 1) / 2 * 65535, as bits=16);
        np.float32 for the float normals x, y, z of each level, as a bits=32 .exr file holds
        them (as bits=32).
    **options: the command line's long options, dashes as underscores:
        round=True            round to nearest (clamped) instead of truncating
        bits=8 | 16 | 32      as dtype: 8 (the default), 16 (uint16 x, y, z), 32 (float32 x, y, z)
        flip_green="base" | "second" | "output" (or a tuple of them): negate y there
        alpha_empty=True      a texel with alpha 0 is empty
        height_channel="r" | "g" | "b" | "a" | "luma": height of a colour height map
        exr_channel="NAME"    the channel of an OpenEXR height map, the layer of a normal map
        exr_normals="snorm" | "unorm": how OpenEXR normals are stored
        format="bc5" | ...    not in memory (.dds, .ktx2 and .astc files only; see run_files)
        detail_strength=S     S >= 0 scales the tilt of the second map's normals (1: as they are)
        mask="FILE"           a grey map of the inputs' size whose values 0 to 1 scale the strength
        blend="rnm" | "whiteout" | "udn" | "linear"
        edges="wrap" | "clamp"  what lies past an edge for heights, dilation and the box filter
        fill=N | "all"        N dilation passes (0: none), or until no texel is left empty
        stats=True            also return each level's angle error (see below)

    Returns one array, or a list of levels when flags ask for a mip chain (m or M), in picture
    order: H x W x 3 uint8 red, green, blue for Targa output (the default); for .kep outputs the
    texel words: h -> H x W x 2 int16, H -> H x W x 4 int16, i -> H x W uint32 (x in bits
    31-22, y 21-12, z 11-2), s and S -> H x W x 4 uint16. With stats=True the result is a pair:
    that, and a list of one dict a level, {"level", "mean", "p99", "max"}: the angle error in
    degrees between the normals the output decodes to and the float normals it was made from
    (empty texels left out), as --stats prints it.

    Raises Error with the command line's message (e.g. "Normal map sizes must match! (64x64
    32x32)"), TypeError for an unknown keyword or value type, ValueError for a bad shape or
    a thread count out of range (0 to 2**31 - 1).
    The interpreter lock is released while the merge runs.
    """
    if dtype is not None:
        bits = {np.dtype(np.uint8): None, np.dtype(np.uint16): 16, np.dtype(np.float32): 32}.get(np.dtype(dtype), 0)
        if bits == 0:
            raise TypeError(f"dtype must be uint8, uint16 or float32, not {np.dtype(dtype)}")
        if bits:
            options = dict(options, bits=bits)
    job = _make_job("merge", flags, height_scale, threads, options)
    heights = height_scale is not None
    levels = job.run_images(_image(base, "base", (3, 4)), _image(second, "second", (1, 2, 3, 4) if heights else (3, 4)))
    result = levels if _mip_chain(flags) else levels[0]
    return (result, job.stats()) if options.get("stats") else result


def run_files(base: PathLike, second: PathLike, output: PathLike, flags: str = "",
              height_scale: HeightScale = None, threads: int = 0, **options: Any) -> List[str]:
    """Writes exactly the files `bumpweld [flags] base second [height_scale] output` writes and
    returns their names: the output name, or with m or M one name per mip level (a .dds or
    .ktx2 output holds the whole chain in one file).

    height_scale as in merge: a number, or text read as the command line reads it; None: second
    is a normal map. Outputs are complete or absent: a failure leaves none behind and raises
    Error with the command line's message (e.g. "ERROR: Unable to open base.tga"). The
    interpreter lock is released while the run goes.
    **options: the command line's long options, as merge lists them; for files bits=16 also
    writes 16-bit .png and .tif files, bits=32 float .exr files, format= chooses the layout of
    a .dds, .ktx2 or .astc file ("bc5", "bc5s", "bc3n", "rg16s", "rgba16s", "rgb10a2", "rgba8",
    "eacrg11", "eacrg11s", "astc4x4", "astc5x5", "astc6x6", "astc8x8"), astc_quality= the ASTC
    encoder's effort and dds_header="dx9" the legacy DDS header. With stats=True the result is a
    pair: the names, and each level's angle error as merge gives it.
    """
    job = _make_job("run_files", flags, height_scale, threads, options)
    names = [os.fsencode(name) for name in (base, second, output)]
    job.run_files(*names)
    written = [os.fsdecode(name) for name in job.outputs()]
    return (written, job.stats()) if options.get("stats") else written
