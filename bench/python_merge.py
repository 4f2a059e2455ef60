#!/usr/bin/env python3
"""In-memory merge speed: bumpweld.merge against the numpy merge of rnm_numpy.py on the same
uint8 arrays, no file on either side.

  PYTHONPATH=build/python python3 bench/python_merge.py [--size 4096] [--runs 5] [--peer PATH]

The peer (default: ../shared/peers/rnm_numpy.py next to the repository) is timed as its own
functions run between reading and writing files: the two pictures decoded into planar float32
normals as its load_normals does, rnm(), and the byte encoding of its write_tga. bumpweld.merge
is timed with the default settings (10 dilation passes, which the peer does not do) and with
-e (no dilation: the peer's work). The cases take turns (A B C A B C ...) so that a change in
the machine's load falls on all of them; medians of --runs rounds after one warm-up round.
"""
import argparse
import os
import statistics
import time
import types

import numpy as np

import bumpweld

F32 = np.float32


def pictures(size):
    """A base of broad domes and a detail of ripples, H x W x 3 uint8 RGB, no empty texel."""
    t = np.linspace(0, 8 * np.pi, size, dtype=F32)
    x, y = np.sin(t)[None, :] * F32(0.5), np.cos(t * F32(1.5))[:, None] * F32(0.5)
    dx, dy = np.sin(t * F32(21))[None, :] * F32(0.3), np.sin(t * F32(17))[:, None] * F32(0.3)

    def encode(nx, ny):
        nx, ny = np.broadcast_arrays(nx, ny)
        nz = np.sqrt(np.maximum(F32(1) - nx * nx - ny * ny, F32(0)))
        return (np.stack([nx, ny, nz], -1) * F32(127.5) + F32(127.5)).astype(np.uint8)

    return encode(x, y), encode(dx, dy)


def peer_merge(peer, base, detail):
    """The peer's pipeline on arrays in picture order: its decode, rnm() and byte encoding."""
    def decode(picture):
        a = picture[::-1]                               # bottom row first, as load_bottom_first
        n = np.empty((3,) + a.shape[:2], F32)
        for c in range(3):
            n[c] = a[..., c]
        n -= F32(127.5)
        n *= F32(1.0 / 127.5)
        return peer.normalise(n)

    r = peer.rnm(decode(base), decode(detail))
    h, w = r.shape[1:]
    out = np.empty((h, w, 3), np.uint8)
    tmp = np.empty((h, w), F32)
    for byte, comp in ((0, 2), (1, 1), (2, 0)):
        np.multiply(r[comp], F32(127.5), out=tmp)
        tmp += F32(127.5)
        out[..., byte] = tmp
    return out


def median_seconds(cases, runs):
    """Median seconds of each callable, run in turns."""
    times = [[] for _ in cases]
    for round_number in range(runs + 1):
        for run, spent in zip(cases, times):
            start = time.perf_counter()
            run()
            if round_number > 0:
                spent.append(time.perf_counter() - start)
    return [statistics.median(spent) for spent in times]


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--peer", default=os.path.join(root, "..", "shared", "peers", "rnm_numpy.py"))
    args = parser.parse_args()
    peer = types.ModuleType("rnm_numpy")
    peer.__file__ = args.peer
    with open(args.peer) as source:
        exec(compile(source.read(), args.peer, "exec"), peer.__dict__)

    base, detail = pictures(args.size)
    ours = bumpweld.merge(base, detail, flags="-e")
    theirs = peer_merge(peer, base, detail)[::-1, :, ::-1]
    print(f"{args.size}^2, largest byte difference to the peer: {np.abs(ours.astype(int) - theirs).max()}")
    cases = [("rnm_numpy in memory", lambda: peer_merge(peer, base, detail)),
             ("bumpweld.merge", lambda: bumpweld.merge(base, detail)),
             ("bumpweld.merge -e", lambda: bumpweld.merge(base, detail, flags="-e"))]
    seconds = median_seconds([run for _, run in cases], args.runs)
    print(f"{'case':<24}{'median s':>10}{'ratio':>8}")
    for (label, _), s in zip(cases, seconds):
        print(f"{label:<24}{s:>10.3f}{s / seconds[0]:>8.3f}")


if __name__ == "__main__":
    main()
