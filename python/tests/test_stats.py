"""--stats against an independent numpy statement of the angle error on the real maps: the float
normals of each level (bits=32), the output files decoded by numpy (Targa, the uncompressed DDS
layouts, BC5), and the angles between them in double precision."""
import struct

import numpy as np
import pytest

import bumpweld

from conftest import read_output, texture_path

PAIRS = [("rock058_normal_1024.tga", "fabric_normal_1024.tga"), ("cube_normal_348.tga", "cube_normal_348.tga")]


def bc4(blocks, signed):
    """Decodes BC4 blocks (N x 8 bytes) into N x 16 values in [-1, 1], row-major in the block."""
    e = blocks[:, :2].astype(np.int64)
    if signed:
        e = np.maximum(np.where(e >= 128, e - 256, e), -127)
    e0, e1 = e[:, :1].astype(np.float64), e[:, 1:2].astype(np.float64)
    i = np.arange(2, 8)
    eight = ((8 - i) * e0 + (i - 1) * e1) / 7.0
    j = np.arange(2, 6)
    six = ((6 - j) * e0 + (j - 1) * e1) / 5.0
    low, high = (-127.0, 127.0) if signed else (0.0, 255.0)
    six = np.concatenate([six, np.full_like(e0, low), np.full_like(e0, high)], 1)
    palette = np.concatenate([e0, e1, np.where(e0 > e1, eight, six)], 1)
    bits = np.zeros(len(blocks), np.uint64)
    for k in range(6):
        bits |= blocks[:, 2 + k].astype(np.uint64) << np.uint64(8 * k)
    index = ((bits[:, None] >> (np.arange(16, dtype=np.uint64) * np.uint64(3))) & np.uint64(7)).astype(np.int64)
    values = np.take_along_axis(palette, index, 1)
    return values / 127.0 if signed else values / 255.0 * 2.0 - 1.0


def dds_levels(path):
    """Every level of a DX10 DDS file in bc5, bc5s, rg16s or rgba8, as x, y, z in picture order."""
    data = open(path, "rb").read()
    h, w, levels = struct.unpack_from("<II", data, 12) + struct.unpack_from("<I", data, 28)
    dxgi, at, out = struct.unpack_from("<I", data, 128)[0], 148, []
    for _ in range(max(levels, 1)):
        if dxgi in (83, 84):
            bw, bh = (w + 3) // 4, (h + 3) // 4
            blocks = np.frombuffer(data, np.uint8, bw * bh * 16, at).reshape(-1, 16)
            xy = [bc4(np.ascontiguousarray(blocks[:, k:k + 8]), dxgi == 84) for k in (0, 8)]
            xy = [v.reshape(bh, bw, 4, 4).transpose(0, 2, 1, 3).reshape(bh * 4, bw * 4)[:h, :w] for v in xy]
            at += bw * bh * 16
            x, y = xy
            z = np.sqrt(np.maximum(0.0, 1.0 - x * x - y * y))
        elif dxgi == 37:
            v = np.frombuffer(data, "<i2", w * h * 2, at).reshape(h, w, 2) / 32767.0
            at += w * h * 4
            x, y = np.maximum(v[..., 0], -1), np.maximum(v[..., 1], -1)
            z = np.sqrt(np.maximum(0.0, 1.0 - x * x - y * y))
        else:
            v = np.frombuffer(data, np.uint8, w * h * 4, at).reshape(h, w, 4) / 255.0 * 2.0 - 1.0
            at += w * h * 4
            x, y, z = v[..., 0], v[..., 1], v[..., 2]
        out.append(np.stack([x, y, z], -1))
        w, h = max(1, w // 2), max(1, h // 2)
    return out


def angles(exact, decoded):
    """Degrees between the float normals and the decoded ones, empty float normals left out."""
    exact, decoded = exact.astype(np.float64).reshape(-1, 3), decoded.astype(np.float64).reshape(-1, 3)
    keep = np.abs(exact).max(1) > 1e-7
    a = exact[keep] / np.linalg.norm(exact[keep], axis=1, keepdims=True)
    b = decoded[keep] / np.linalg.norm(decoded[keep], axis=1, keepdims=True)
    return np.degrees(np.arctan2(np.linalg.norm(np.cross(a, b), axis=1), (a * b).sum(1)))


@pytest.mark.parametrize("pair", PAIRS, ids=lambda p: p[0])
@pytest.mark.parametrize("output,options", [(".tga", {}), (".dds", {}), (".dds", {"format": "bc5s"}),
                                            (".dds", {"format": "rg16s"}), (".dds", {"format": "rgba8"})])
def test_stats_agree_with_numpy(tmp_path, pair, output, options):
    base, second = texture_path(pair[0]), texture_path(pair[1])
    floats = bumpweld.merge(read_output(base)[..., :3], read_output(second)[..., :3], flags="-m", dtype=np.float32)
    name = str(tmp_path / ("out" + output))
    written, stats = bumpweld.run_files(base, second, name, flags="-m", stats=True, **options)
    plain = bumpweld.run_files(base, second, str(tmp_path / ("plain" + output)), flags="-m", **options)
    # Asking for the figures changes no byte.
    assert [open(a, "rb").read() for a in written] == [open(b, "rb").read() for b in plain]
    decoded = dds_levels(name) if output == ".dds" else \
        [(read_output(f).astype(np.float64) - 127.5) / 127.5 for f in written]
    assert [s["level"] for s in stats] == list(range(len(floats)))
    for level, (exact, got) in enumerate(zip(floats, decoded)):
        a = angles(exact, got)
        figures = stats[level]
        assert figures["mean"] == pytest.approx(a.mean(), abs=0.01), level
        assert figures["max"] == pytest.approx(a.max(), abs=0.01), level
        assert figures["p99"] == pytest.approx(np.percentile(a, 99, method="inverted_cdf"), abs=0.01), level


def test_command_reports_carry_the_figures(maps, tmp_path):
    """A command line run for Dask reports what the batch report holds: one entry a level."""
    from bumpweld.commandline import run_command
    args = ["-m", str(maps["dir"] / "base.tga"), str(maps["dir"] / "detail.tga"), str(tmp_path / "o.ktx2")]
    report = run_command(args + ["--stats", "--format=eacrg11"])
    assert report["status"] == "ok" and [s["level"] for s in report["stats"]] == list(range(6))
    assert "stats" not in run_command(args)
