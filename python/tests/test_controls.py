"""The artist controls against independent numpy statements of their formulas, on the real maps:
every blend method at several detail strengths, and a mask."""
import numpy as np
import pytest

import bumpweld

from conftest import read_output, texture_path, write_tga


def texture(name):
    return read_output(texture_path(name))


def unit(v):
    """v / |v| in double precision, as float32."""
    v = v.astype(np.float64)
    return (v / np.linalg.norm(v, axis=-1, keepdims=True)).astype(np.float32)


def decode(picture):
    return unit((picture.astype(np.float64) - 127.5) / 127.5)


def with_strength(n, s):
    """The tilt scaled by s: (s x, s y, z) renormalised, z taken as 0 where it is not positive."""
    if s == 1:
        return n
    return unit(np.stack([np.float32(s) * n[..., 0], np.float32(s) * n[..., 1], np.maximum(n[..., 2], 0)], -1))


def blend(method, n1, n2):
    """The closed forms of "Blending in Detail" (Barre-Brisebois and Hill, 2012)."""
    if method == "rnm":
        t = n1 + np.float32([0, 0, 1])
        u = n2 * np.float32([-1, -1, 1])
        return unit(t * (np.sum(t * u, -1, keepdims=True) / t[..., 2:]) - u)
    x, y = n1[..., 0] + n2[..., 0], n1[..., 1] + n2[..., 1]
    z = {"whiteout": n1[..., 2] * n2[..., 2], "udn": n1[..., 2], "linear": n1[..., 2] + n2[..., 2]}[method]
    return unit(np.stack([x, y, z], -1))


def encode(n):
    return np.clip(np.floor((n.astype(np.float64) + 1) * 127.5), 0, 255).astype(np.uint8)


@pytest.mark.parametrize("method", ["rnm", "whiteout", "udn", "linear"])
def test_each_method_and_strength_is_its_formula(method):
    base, detail = texture("rock058_normal_1024.tga"), texture("fabric_normal_1024.tga")
    for strength in (0.0, 0.4, 1.0, 2.5):
        got = bumpweld.merge(base, detail, flags="-e", blend=method, detail_strength=strength)
        n1 = decode(base)
        expected = encode(n1 if strength == 0 else blend(method, n1, with_strength(decode(detail), strength)))
        assert np.abs(got.astype(int) - expected).max() <= 1, (method, strength)


def test_a_mask_applies_the_detail_where_it_is_white(tmp_path):
    base, detail = texture("helmet_metal_normal_512.tga"), texture("scratches_normal_512.tga")
    mask = np.zeros(base.shape[:2], np.uint8)
    mask[:, 256:] = 255
    write_tga(tmp_path / "mask.tga", mask)
    for method in ("rnm", "linear"):
        got = bumpweld.merge(base, detail, flags="-e", blend=method, mask=str(tmp_path / "mask.tga"))
        plain = bumpweld.merge(base, detail, flags="-e", blend=method)
        flat = bumpweld.merge(base, detail, flags="-e", blend=method, detail_strength=0)
        np.testing.assert_array_equal(got[:, 256:], plain[:, 256:])
        np.testing.assert_array_equal(got[:, :256], flat[:, :256])
    assert np.abs(flat.astype(int) - encode(decode(base))).max() <= 1
    write_tga(tmp_path / "small.tga", mask[:8])
    with pytest.raises(bumpweld.Error, match="The mask .*small.tga is 512x8, the maps are 512x512"):
        bumpweld.merge(base, detail, mask=str(tmp_path / "small.tga"))
    with pytest.raises(TypeError, match="unexpected keyword argument 'blend_mode'"):
        bumpweld.merge(base, detail, blend_mode="udn")
