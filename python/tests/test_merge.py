"""bumpweld.merge and bumpweld.run_files against the command line: every encoding, dtype and
array layout, errors, threads, the interpreter lock and memory over many calls."""
import os
import threading
import time
import tracemalloc

import numpy as np
import pytest

import bumpweld
from bumpweld.commandline import run_command, split_line

from conftest import read_output, write_tga


@pytest.mark.parametrize("heights", [False, True], ids=["normals", "heights"])
@pytest.mark.parametrize("flags", ["-", "-m", "-B", "-e", "-h", "-H", "-i", "-s", "-S", "-Mi"])
def test_arrays_equal_the_command_line_files(cli, maps, tmp_path, flags, heights):
    out = tmp_path / ("out.kep" if any(c in flags for c in "hHisS") else "out.tga")
    second = "height" if heights else "detail"
    scale = ["2.5"] if heights else []
    assert cli([flags, maps["dir"] / "base.tga", maps["dir"] / (second + ".tga")] + scale + [out], tmp_path).returncode == 0
    got = bumpweld.merge(maps["base"], maps[second], flags=flags, height_scale=2.5 if heights else None)
    levels = got if "m" in flags or "M" in flags else [got]
    names = sorted(os.listdir(tmp_path))
    assert len(names) == len(levels)
    for level, name in zip(levels, names):
        expected = read_output(tmp_path / name)
        assert level.dtype == expected.dtype and level.shape == expected.shape
        np.testing.assert_array_equal(level, expected)


def test_every_dtype_and_layout_gives_the_8bit_result(maps):
    base, detail, height = maps["base"], maps["detail"], maps["height"]
    rgba = np.concatenate([base, np.arange(base[..., :1].size, dtype=np.uint8).reshape(37, 61, 1)], -1)
    cases = [  # what, base, second, height scale, largest difference
        ("uint16 normals", base.astype(np.uint16) * 257, detail.astype(np.uint16) * 257, None, 0),
        ("uint8 RGBA base", rgba, detail, None, 0),
        ("float32 normals", base, ((detail - np.float32(127.5)) / np.float32(127.5)), None, 1),
        ("float64 normals", base, detail / 127.5 - 1, None, 1),
        ("uint8 H x W x 1", base, height[..., None], 3.0, 0),
        ("uint16 heights", base, height.astype(np.uint16) * 257, 3.0, 0),
        ("float32 heights", base, height.astype(np.float32) / np.float32(255), 3.0, 0),
        ("heights as blue", base, np.stack([255 - height, height // 2, height], -1), 3.0, 0),
    ]
    padded = np.zeros((37, 70, 3), np.uint8)
    padded[:, 3:64] = base
    wide = base.astype(np.uint16) * 257
    unaligned = np.frombuffer(b"\0" + wide.tobytes(), np.uint16, offset=1).reshape(wide.shape)
    for what, view in [("rows padded", padded[:, 3:64]), ("rows reversed", np.ascontiguousarray(base[::-1])[::-1]),
                       ("BGR in memory", np.ascontiguousarray(base[..., ::-1])[..., ::-1]),
                       ("every other column", np.repeat(base, 2, axis=1)[:, ::2]), ("column-major", np.asfortranarray(base)),
                       ("big-endian uint16", wide.astype(">u2")), ("unaligned uint16", unaligned)]:
        cases.append((what, view, detail, None, 0))
    for what, b, s, scale, tolerance in cases:
        reference = bumpweld.merge(base, height if scale else detail, height_scale=scale, flags="-m")
        for level, expected in zip(bumpweld.merge(b, s, height_scale=scale, flags="-m"), reference):
            assert np.abs(level.astype(int) - expected).max() <= tolerance, what
    same_rows = np.broadcast_to(base[5], base.shape)
    np.testing.assert_array_equal(bumpweld.merge(same_rows, detail), bumpweld.merge(same_rows.copy(), detail))


def test_arrays_with_rows_side_by_side_are_not_copied():
    big = np.full((512, 1024, 3), 30000, np.uint16)
    second = np.full((512, 512, 3), 200, np.uint8)
    for view, copies in ((big[:, ::2], 1), (big[::-1, 256:768], 0)):
        tracemalloc.start()
        bumpweld.merge(view, second, flags="-e")
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        result_bytes = 512 * 512 * 3
        assert result_bytes + copies * view.nbytes <= peak < result_bytes + (copies + 0.5) * view.nbytes


def test_failures_raise_with_the_command_line_message(maps, tmp_path, monkeypatch):
    base, detail = maps["base"], maps["detail"]
    monkeypatch.chdir(maps["dir"])
    E = bumpweld.Error
    cases = [
        (E, "Normal map sizes must match! (61x37 2x2)", lambda: bumpweld.merge(base, detail[:2, :2])),
        (ValueError, "base must have 3 or 4 channels, not 2", lambda: bumpweld.merge(base[..., :2], detail)),
        (ValueError, "second must have 1, 2, 3 or 4 channels, not 5",
         lambda: bumpweld.merge(base, np.zeros((37, 61, 5), np.uint8), height_scale=1)),
        (MemoryError, "would need a copy of 12884508675 bytes",
         lambda: bumpweld.merge(np.broadcast_to(base[:1, :1], (65535, 65535, 3)), detail)),
        (E, "ERROR: base image has no texels (61x0)", lambda: bumpweld.merge(base[:0], detail[:0])),
        (E, "ERROR: Unknown flag letter 'x' in -mx", lambda: bumpweld.merge(base, detail, flags="-mx")),
        (E, "ERROR: The height scale 1e39 is not a finite number", lambda: bumpweld.merge(base, detail, height_scale="1e39")),
        (E, "ERROR: Bad value in --bits=7 (8 or 16)", lambda: bumpweld.merge(base, detail, bits=7)),
        (E, "ERROR: Unable to open none.tga", lambda: bumpweld.run_files("base.tga", "none.tga", tmp_path / "o.tga")),
        (TypeError, "unexpected keyword argument 'rond'", lambda: bumpweld.merge(base, detail, rond=True)),
        (TypeError, "uint8, uint16, float32 or float64", lambda: bumpweld.merge(base.astype(np.int32), detail)),
        (ValueError, "shape (height, width)", lambda: bumpweld.merge(base.ravel(), detail)),
    ]
    for kind, message, call in cases:
        with pytest.raises(kind) as caught:
            call()
        assert message in str(caught.value)
        assert kind is not E or (str(caught.value) == message and isinstance(caught.value.code, bumpweld.ErrorCode))
    with pytest.raises(E) as caught:
        bumpweld.run_files("base.tga", "none.tga", tmp_path / "o.tga")
    assert caught.value.code is bumpweld.ErrorCode.OPEN and caught.value.code == bumpweld._bumpweld.ERROR_OPEN
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("threads", [-1, 2**31, 2**40, -2**70])
def test_thread_counts_out_of_range_raise_value_error_everywhere(maps, tmp_path, threads):
    import bumpweld.dask
    files = [str(maps["dir"] / "base.tga"), str(maps["dir"] / "detail.tga"), str(tmp_path / "o.tga")]
    for call in (lambda: bumpweld.merge(maps["base"], maps["detail"], threads=threads), lambda: run_command(files, threads),
                 lambda: bumpweld.run_files(*files, threads=threads), lambda: bumpweld.Job().set_threads(threads),
                 lambda: bumpweld.dask.run_batch([files], "tcp://127.0.0.1:1", threads=threads)):
        with pytest.raises(ValueError, match=f"threads must be 0 \\(every CPU\\) to 2147483647, not {threads}$"):
            call()
    assert os.listdir(tmp_path) == []


def test_run_files_writes_the_command_line_files_and_names_them(cli, maps, tmp_path):
    write_tga(tmp_path / "tall.tga", maps["base"][:, :5])
    # flags, base, second, output name: every file written must be listed, and nothing else
    for flags, base, output in (("-m", maps["dir"] / "base.tga", "a.tga"), ("-Mi", maps["dir"] / "base.tga", "b.kep"),
                                ("-m", tmp_path / "tall.tga", "c"), ("-B", maps["dir"] / "base.tga", "d.tga"),
                                ("-m", maps["dir"] / "base.tga", "e.png"), ("-m", maps["dir"] / "base.tga", "f.dds"),
                                ("-m", maps["dir"] / "base.tga", "g.KTX2"), ("-m", maps["dir"] / "base.tga", "h.exr"),
                                ("-m", maps["dir"] / "base.tga", "i.tif")):
        folder = tmp_path / output.replace(".", "_")
        (folder / "lib").mkdir(parents=True)
        second = base if base == tmp_path / "tall.tga" else maps["dir"] / "height.tga"
        assert cli([flags, base, second, "1.5", folder / output], tmp_path).returncode == 0
        names = bumpweld.run_files(base, second, folder / "lib" / output, flags, height_scale="1.5")
        assert sorted(names) == sorted(str(folder / "lib" / n) for n in os.listdir(folder / "lib"))
        for name in names:
            assert open(name, "rb").read() == open(name.replace("/lib/", "/"), "rb").read()


def test_the_interpreter_runs_on_while_a_merge_does():
    base = np.full((2048, 2048, 3), 200, np.uint8)
    worker = threading.Thread(target=bumpweld.merge, args=(base, base), kwargs=dict(flags="-G", threads=1))
    start = time.perf_counter()
    worker.start()
    stamps = []
    while worker.is_alive():
        stamps.append(time.perf_counter())
    took = time.perf_counter() - start
    gaps = np.diff([start] + stamps)
    assert took > 0.02 and gaps.max() < took / 2, (took, gaps.max())


def test_many_calls_do_not_leak():
    base = np.full((32, 32, 3), 200, np.uint8)

    def calls(n):
        for i in range(n):
            bumpweld.merge(base, base, flags="-m")
            with pytest.raises(bumpweld.Error):
                bumpweld.merge(base, base[:8])
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    before = calls(100)
    assert calls(1000) - before < 2 << 20


def test_text_scales_and_batch_lines_read_as_the_command_line_reads_them(maps):
    got = bumpweld.merge(maps["base"], maps["height"], height_scale="0x10 x")
    assert np.array_equal(got, bumpweld.merge(maps["base"], maps["height"], height_scale=16.0))
    assert split_line("--rond 'a b' c d # x") == ["--rond", "a b", "c", "d"] and split_line("  # only") == []
    with pytest.raises(bumpweld.Error, match="ERROR: The double quote is not closed") as failure:
        split_line('a "b')
    assert failure.value.code == bumpweld._bumpweld.ERROR_COMMAND


def test_float_and_16bit_results_hold_the_values_of_exr_and_png_files(cli, maps, tmp_path):
    oiio = pytest.importorskip("OpenImageIO", reason="python3-openimageio reads the files")
    base, detail = maps["dir"] / "base.tga", maps["dir"] / "detail.tga"
    assert cli(["-m", "--bits=32", base, detail, tmp_path / "o.exr"], tmp_path).returncode == 0
    assert cli(["--bits=16", base, detail, tmp_path / "o.png"], tmp_path).returncode == 0
    floats = bumpweld.merge(maps["base"], maps["detail"], flags="-m", dtype=np.float32)
    exr = oiio.ImageInput.open(str(tmp_path / "o.exr"))
    for level, values in enumerate(floats):
        assert values.dtype == np.float32 and exr.seek_subimage(0, level)
        np.testing.assert_array_equal(exr.read_image("float"), values)
    exr.close()
    wide = bumpweld.merge(maps["base"], maps["detail"], dtype=np.uint16)
    np.testing.assert_array_equal(oiio.ImageInput.open(str(tmp_path / "o.png")).read_image("uint16"), wide)
    with pytest.raises(TypeError, match="dtype must be uint8, uint16 or float32"):
        bumpweld.merge(maps["base"], maps["detail"], dtype=np.int8)
