#!/usr/bin/env python3
"""Write a 16-bit greyscale PNG height map for the benchmark: make_height16.py OUT N

An N x N tileable relief (integer frequencies, so it wraps without a seam): a few broad waves
plus fine grain in the low bits, using the whole 16-bit range the way a scanned or sculpted
height map does. The file is written a band of rows at a time (filter None, zlib level 1), so a
16384 x 16384 map needs a few hundred megabytes of memory, not the 512 MiB of its texels at
once. Needs numpy.
"""
import os
import struct
import sys
import zlib

import numpy as np

# (cycles along x, cycles along y, amplitude, phase): broad forms first, finer ones weaker.
WAVES = [(1, 2, 9000.0, 0.3), (3, 1, 6000.0, 1.1), (5, 7, 3000.0, 2.0), (11, 4, 1800.0, 0.7),
         (17, 23, 900.0, 2.9), (41, 29, 450.0, 1.7)]
GRAIN = 48        # low-bit grain, +/- this many steps


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip())
    out, n = sys.argv[1], int(sys.argv[2])
    if not 1 <= n <= 65535:
        sys.exit("make_height16.py: size must be 1 to 65535")
    x = np.arange(n, dtype=np.float64) * (2 * np.pi / n)
    rng = np.random.default_rng(16 + n)
    band = max(1, min(n, (1 << 22) // n))      # rows a band: about 4 M texels
    compressor = zlib.compressobj(1)
    part = out + ".part"
    with open(part, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", n, n, 16, 0, 0, 0, 0)))
        for y0 in range(0, n, band):
            y = np.arange(y0, min(n, y0 + band), dtype=np.float64) * (2 * np.pi / n)
            h = np.full((len(y), n), 32768.0)
            for fx, fy, amp, phase in WAVES:
                # sin(a + b) from the sines and cosines of each axis: no N x N calls to sin.
                a, b = fx * x + phase, fy * y
                h += amp * (np.cos(b)[:, None] * np.sin(a)[None, :] +
                            np.sin(b)[:, None] * np.cos(a)[None, :])
            h += rng.integers(-GRAIN, GRAIN + 1, size=h.shape)
            rows = np.clip(h, 0, 65535).astype(">u2")
            raw = np.zeros((len(y), 1 + 2 * n), np.uint8)       # filter byte 0 (None) a row
            raw[:, 1:] = rows.view(np.uint8).reshape(len(y), 2 * n)
            data = compressor.compress(raw.tobytes())
            if data:
                f.write(chunk(b"IDAT", data))
        f.write(chunk(b"IDAT", compressor.flush()))
        f.write(chunk(b"IEND", b""))
    os.replace(part, out)


if __name__ == "__main__":
    main()
