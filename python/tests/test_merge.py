"""bumpweld.merge and bumpweld.run_files against the command line: every encoding, dtype and
array layout, errors, threads, the interpreter lock and memory over many calls."""
import ctypes
import os
import threading
import time
import tracemalloc

import numpy as np
import pytest

import bumpweld
from bumpweld.commandline import USAGE, UsageError, atof, parse_command

from conftest import read_output, write_tga

FLAG_WORDS = ["-", "-m", "-B", "-e", "-h", "-H", "-i", "-s", "-S", "-Mi"]


@pytest.mark.parametrize("heights", [False, True], ids=["normals", "heights"])
@pytest.mark.parametrize("flags", FLAG_WORDS)
def test_arrays_equal_the_command_line_files(cli, maps, tmp_path, flags, heights):
    out = tmp_path / ("out.kep" if any(c in flags for c in "hHisS") else "out.tga")
    second = "height.tga" if heights else "detail.tga"
    scale = ["2.5"] if heights else []
    assert cli([flags, maps["dir"] / "base.tga", maps["dir"] / second] + scale + [out], tmp_path).returncode == 0
    got = bumpweld.merge(maps["base"], maps["height" if heights else "detail"], flags=flags,
                         height_scale=2.5 if heights else None)
    chain = "m" in flags or "M" in flags
    levels = got if chain else [got]
    names = [bumpweld._jobs.level_file_name(str(out), chain, n) for n in range(len(levels))]
    assert sorted(os.listdir(tmp_path)) == sorted(os.path.basename(n) for n in names)
    for level, name in zip(levels, names):
        expected = read_output(name)
        assert level.dtype == expected.dtype and level.shape == expected.shape
        np.testing.assert_array_equal(level, expected)


def test_every_dtype_gives_the_8bit_result(maps):
    base, detail, height = maps["base"], maps["detail"], maps["height"]
    rgba = np.concatenate([base, np.arange(base[..., :1].size, dtype=np.uint8).reshape(37, 61, 1)], -1)
    cases = [  # what, base, second, height scale, largest difference
        ("uint16 normals", base.astype(np.uint16) * 257, detail.astype(np.uint16) * 257, None, 0),
        ("uint8 RGBA base", rgba, detail, None, 0),
        ("float32 normals", base, ((detail - np.float32(127.5)) / np.float32(127.5)), None, 1),
        ("uint8 H x W x 1", base, height[..., None], 3.0, 0),
        ("uint16 heights", base, height.astype(np.uint16) * 257, 3.0, 0),
        ("float32 heights", base, height.astype(np.float32) / np.float32(255), 3.0, 0),
        ("heights as blue", base, np.stack([255 - height, height // 2, height], -1), 3.0, 0),
    ]
    for what, b, s, scale, tolerance in cases:
        reference = bumpweld.merge(base, height if scale else detail, height_scale=scale, flags="-m")
        got = bumpweld.merge(b, s, height_scale=scale, flags="-m")
        for level, expected in zip(got, reference):
            assert np.abs(level.astype(int) - expected).max() <= tolerance, what


def test_any_layout_reads_like_a_packed_array(maps):
    base, detail = maps["base"], maps["detail"]
    padded = np.zeros((37, 70, 3), np.uint8)
    padded[:, 3:64] = base
    wide = base.astype(np.uint16) * 257
    unaligned = np.frombuffer(b"\0" + wide.tobytes(), np.uint16, offset=1).reshape(wide.shape)
    views = [  # base layouts, every one the same picture
        ("rows padded", padded[:, 3:64]),
        ("rows reversed", np.ascontiguousarray(base[::-1])[::-1]),
        ("blue, green, red in memory", np.ascontiguousarray(base[..., ::-1])[..., ::-1]),
        ("every other column", np.repeat(base, 2, axis=1)[:, ::2]),
        ("column-major", np.asfortranarray(base)),
        ("big-endian uint16", wide.astype(">u2")),
        ("unaligned uint16", unaligned),
    ]
    expected = bumpweld.merge(base, detail)
    for what, view in views:
        np.testing.assert_array_equal(bumpweld.merge(view, detail), expected, err_msg=what)
    same_rows = np.broadcast_to(base[5], base.shape)
    np.testing.assert_array_equal(bumpweld.merge(same_rows, detail),
                                  bumpweld.merge(np.ascontiguousarray(same_rows), detail))

    # Arrays with rows side by side reach the library without a copy; others are copied once.
    big = np.full((512, 1024, 3), 30000, np.uint16)
    second = np.full((512, 512, 3), 200, np.uint8)
    for view, copies in ((big[:, ::2][:, :, :], 1), (big[::-1, 256:768], 0)):
        tracemalloc.start()
        bumpweld.merge(view, second, flags="-e")
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        result_bytes = 512 * 512 * 3
        assert result_bytes + copies * view.nbytes <= peak < result_bytes + (copies + 0.5) * view.nbytes


def test_failures_raise_with_the_command_line_message(maps, tmp_path, monkeypatch):
    base, detail = maps["base"], maps["detail"]
    monkeypatch.chdir(maps["dir"])
    cases = [
        (lambda: bumpweld.merge(base, detail[:2, :2]), bumpweld.Error, "Normal map sizes must match! (61x37 2x2)"),
        (lambda: bumpweld.merge(base[..., :2], detail), bumpweld.Error,
         "ERROR: Normal map should be at 32 or 24bits per pixel!"),
        (lambda: bumpweld.merge(base[:0], detail[:0]), bumpweld.Error, "ERROR: base image has no texels (61x0)"),
        (lambda: bumpweld.merge(base, detail, flags="-mx"), bumpweld.Error, "ERROR: Unknown flag letter 'x' in -mx"),
        (lambda: bumpweld.merge(base, detail, height_scale=float("inf")), bumpweld.Error,
         "ERROR: The height scale inf is not a finite number"),
        (lambda: bumpweld.merge(base, detail, height_scale="1e39"), bumpweld.Error,
         "ERROR: The height scale 1e39 is not a finite number"),
        (lambda: bumpweld.run_files("base.tga", "none.tga", tmp_path / "o.tga"), bumpweld.Error,
         "ERROR: Unable to open none.tga"),
        (lambda: bumpweld.merge(base, detail, rond=True), TypeError, "unexpected keyword argument 'rond'"),
        (lambda: bumpweld.merge(base.astype(np.int32), detail), TypeError, "uint8, uint16 or float32"),
        (lambda: bumpweld.merge(base.ravel(), detail), ValueError, "shape (height, width)"),
    ]
    for call, kind, message in cases:
        with pytest.raises(kind) as caught:
            call()
        assert message in str(caught.value)
        assert kind is not bumpweld.Error or str(caught.value) == message
    assert os.listdir(tmp_path) == []


def test_run_files_writes_the_command_line_files_and_names_them(cli, maps, tmp_path):
    tall = maps["base"][:, :5]
    write_tga(tmp_path / "tall.tga", tall)
    cases = [  # flags, base, output name: every file written must be listed, and nothing else
        ("-m", maps["dir"] / "base.tga", "a.tga"),
        ("-Mi", maps["dir"] / "base.tga", "b.kep"),
        ("-m", tmp_path / "tall.tga", "c"),
        ("-B", maps["dir"] / "base.tga", "d.tga"),
    ]
    for flags, base, output in cases:
        folder = tmp_path / output.replace(".", "_")
        (folder / "lib").mkdir(parents=True)
        second = base if base == tmp_path / "tall.tga" else maps["dir"] / "height.tga"
        assert cli([flags, base, second, "1.5", folder / output], tmp_path).returncode == 0
        names = bumpweld.run_files(base, second, folder / "lib" / output, flags, height_scale="1.5")
        assert sorted(names) == sorted(str(folder / "lib" / n) for n in os.listdir(folder / "lib"))
        for name in names:
            assert open(name, "rb").read() == open(name.replace("/lib/", "/"), "rb").read()


def test_two_threads_merge_at_once_with_their_own_settings(maps):
    jobs = [dict(flags="-mB"), dict(flags="-iE", height_scale=2.5)]
    seconds = [maps["detail"], maps["height"]]
    expected = [bumpweld.merge(maps["base"], s, **j) for s, j in zip(seconds, jobs)]
    results = [[], []]

    def work(n):
        for _ in range(20):
            results[n].append(bumpweld.merge(maps["base"], seconds[n], threads=1, **jobs[n]))

    threads = [threading.Thread(target=work, args=(n,)) for n in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for n in range(2):
        for got in results[n]:
            for level, reference in zip(got if n == 0 else [got], expected[n] if n == 0 else [expected[n]]):
                np.testing.assert_array_equal(level, reference)


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
    assert took > 0.05 and gaps.max() < took / 2, (took, gaps.max())


def test_many_calls_do_not_leak():
    base = np.full((32, 32, 3), 200, np.uint8)

    def rss_bytes():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def calls(n):
        for i in range(n):
            bumpweld.merge(base, base, flags="-m")
            with pytest.raises(bumpweld.Error):
                bumpweld.merge(base, base[:8])

    calls(100)
    before = rss_bytes()
    calls(1000)
    assert rss_bytes() - before < 2 << 20


def test_command_line_forms_and_height_scales_read_as_atof():
    libc = ctypes.CDLL(None)
    libc.atof.restype, libc.atof.argtypes = ctypes.c_double, [ctypes.c_char_p]
    for text in ["2.5", " +1e-3x", "16abc", "0x10", "-0X1.8p1", "0x", "0xg", ".5", "5.", "1e", "1e+",
                 "inf", "-Infinity", "nan(12)", "abc", "", "1e400", "0x1p99999", "4.9e-324", "\t-0"]:
        expected = libc.atof(text.encode())
        assert np.array_equal(atof(text), expected, equal_nan=True) and np.signbit(atof(text)) == np.signbit(expected), text
    assert parse_command(["b", "d", "o"]) == ("", "b", "d", None, "o")
    assert parse_command(["my-map.tga", "b", "d", "o"]) == ("m-mg", "b", "d", None, "o")
    assert parse_command(["b", "h", "2", "o"]) == ("", "b", "h", "2", "o")
    assert parse_command(["-mz", "b", "h", "2", "o"]) == ("-m", "b", "h", "2", "o")
    for args in (["b", "d"], ["f", "b", "h", "2", "o", "x"]):
        with pytest.raises(UsageError, match=USAGE.replace("[", r"\[")):
            parse_command(args)


def test_real_textures_read_with_pil(cli, tmp_path):
    textures = os.environ.get("BUMPWELD_TEXTURES", "")
    Image = pytest.importorskip("PIL.Image")
    base, detail = (os.path.join(textures, n) for n in ("helmet_metal_normal_512.tga", "scratches_normal_512.tga"))
    if not (os.path.exists(base) and os.path.exists(detail)):
        pytest.skip("the shared textures are not there")
    assert cli(["-B", base, detail, tmp_path / "out.tga"], tmp_path).returncode == 0
    pictures = [np.asarray(Image.open(name).convert("RGB")) for name in (base, detail)]
    np.testing.assert_array_equal(bumpweld.merge(*pictures, flags="-B"), read_output(tmp_path / "out.tga"))


def test_long_options_as_keywords(tmp_path):
    """Long options are keywords (dashes as underscores) with the command line's meaning."""
    rng = np.random.default_rng(7)
    base = rng.integers(0, 256, (9, 13, 3), dtype=np.uint8)
    heights = rng.integers(0, 256, (9, 13), dtype=np.uint8)
    plain = bumpweld.merge(base, heights, height_scale=2.0)
    flipped = bumpweld.merge(base, heights, height_scale=2.0, flip_green="second", round=True)
    assert flipped.shape == plain.shape and not np.array_equal(flipped, plain)
    assert np.array_equal(bumpweld.merge(base, heights, height_scale=2.0, round=False), plain)
    with pytest.raises(bumpweld.Error, match="Bad value in --bits=7"):
        bumpweld.merge(base, heights, height_scale=2.0, bits=7)
