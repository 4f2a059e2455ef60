#!/usr/bin/env python3
"""Benchmark inputs for batches: make_pairs.py DIR SIZE COUNT

Writes COUNT pairs of SIZE x SIZE maps into DIR: base_SIZE_K.tga (a smooth normal map) and
detail_SIZE_K.tga (a finer one), 24-bit uncompressed Targa, bottom row first; K from 0. The
maps are sums of periodic waves whose phases depend on K, with no empty texel, so every pair
is different and every job takes the same route through the pipeline.
"""
import os
import struct
import sys

import numpy as np


def normal_map(size, waves, seed):
    rng = np.random.default_rng(seed)
    t = np.arange(size) * (2.0 * np.pi / size)
    x, y = np.meshgrid(t, t)
    dx = np.zeros((size, size))
    dy = np.zeros((size, size))
    for frequency in waves:
        phase, angle = rng.uniform(0, 2 * np.pi, 2)
        fx, fy = frequency * np.cos(angle), frequency * np.sin(angle)
        # Gradient of sin(fx x + fy y + phase) / frequency: periodic when fx, fy are whole.
        c = np.cos(np.round(fx) * x + np.round(fy) * y + phase) * 0.6
        dx += c * np.round(fx) / frequency
        dy += c * np.round(fy) / frequency
    n = np.stack([-dx, -dy, np.ones_like(dx)], axis=-1)
    n /= np.linalg.norm(n, axis=-1, keepdims=True)
    texels = np.clip(n * 127.5 + 127.5, 0, 255).astype(np.uint8)
    # No texel may read as empty (127, 127, 127).
    empty = np.all(texels == 127, axis=-1)
    texels[empty, 2] = 128
    return texels[:, :, ::-1]  # blue, green, red


def write_tga(path, texels):
    h, w, _ = texels.shape
    with open(path, "wb") as f:
        f.write(struct.pack("<BBBHHBHHHHBB", 0, 0, 2, 0, 0, 0, 0, 0, w, h, 24, 0))
        f.write(np.ascontiguousarray(texels).tobytes())


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__.strip())
    out, size, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    os.makedirs(out, exist_ok=True)
    for k in range(count):
        write_tga(os.path.join(out, "base_%d_%d.tga" % (size, k)), normal_map(size, [2, 3, 5], k))
        write_tga(os.path.join(out, "detail_%d_%d.tga" % (size, k)), normal_map(size, [17, 29, 41], 1000 + k))


if __name__ == "__main__":
    main()
