#!/usr/bin/env python3
"""Tile an uncompressed Targa k x k times: tile_tga.py IN OUT K

Makes large benchmark inputs from smaller ones without numpy (the generated inputs wrap around
seamlessly, so the tiled picture has no seams either). Handles true-colour and greyscale
uncompressed Targa (types 2 and 3) without a colour map; the image ID is dropped.
"""
import struct
import sys


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__.strip())
    src, dst, k = sys.argv[1], sys.argv[2], int(sys.argv[3])
    with open(src, "rb") as f:
        data = f.read()
    (idlen, cmtype, imtype, _, _, _, xo, yo, w, h, depth, desc) = struct.unpack_from(
        "<BBBHHBHHHHBB", data)
    if cmtype != 0 or imtype not in (2, 3) or depth % 8:
        sys.exit("tile_tga.py: %s: only uncompressed true-colour or grey Targa" % src)
    if w * k > 65535 or h * k > 65535:
        sys.exit("tile_tga.py: %d x %d tiled %d times does not fit a Targa" % (w, h, k))
    row = w * depth // 8
    start = 18 + idlen
    if len(data) < start + row * h:
        sys.exit("tile_tga.py: %s is truncated" % src)
    with open(dst, "wb") as f:
        f.write(struct.pack("<BBBHHBHHHHBB", 0, 0, imtype, 0, 0, 0, xo, yo, w * k, h * k,
                            depth, desc))
        rows = [data[start + y * row:start + (y + 1) * row] * k for y in range(h)]
        for _ in range(k):
            for r in rows:
                f.write(r)


if __name__ == "__main__":
    main()
