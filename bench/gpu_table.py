#!/usr/bin/env python3
"""The GPU layouts against their peers: quality (angle error) and speed, as markdown tables.

  PYTHONPATH=build/python python3 bench/gpu_table.py --bumpweld build/bumpweld \\
      --textures ../shared/textures --workdir /tmp/gpu [--pair LABEL:BASE:DETAIL] [--runs 3]

Normally started by bench/run.sh --gpu. Quality, on each merged pair of real maps and on the
pairs given: bumpweld's own figures (--stats) for bc5, eacrg11, bc3n and ASTC 4x4 and 6x6 at
`medium`; the peers measured here against the float normals of the same merge (bumpweld.merge
with dtype float32): the two-tool workflow for ASTC (bumpweld writes the Targa, then
`astcenc -cl ... -medium -normal`, decoded by `astcenc -dl`) and `nvcompress -bc3n` (decoded by
`nvdecompress`). Angles in degrees between the decoded normal (z rebuilt from x and y) and the
float normal, empty texels left out, top level only.

Speed, on the largest pair given (a whole mip chain each): the ASTC 4x4 `medium` chain against
the two-tool workflow (bumpweld writing the Targa chain, then astcenc on every level), the EAC
chain against the BC5 chain, and a BC5 chain with --stats against one without. The commands
take turns, one run of each at a time, and the medians of --runs rounds are reported.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import time

import numpy as np
from PIL import Image

import bumpweld

TEXTURE_PAIRS = [
    ("rock + fabric", "rock058_normal_1024.tga", "fabric_normal_1024.tga"),
    ("helmet + scratches", "helmet_metal_normal_512.tga", "scratches_normal_512.tga"),
    ("cube + cube", "cube_normal_348.tga", "cube_normal_348.tga"),
]
ANGLE = re.compile(r"Angle error: mean (\S+), p99 (\S+), max (\S+) degrees")


def run(argv, cwd=None):
    done = subprocess.run(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, check=False)
    text = done.stdout.decode("utf-8", "replace")
    if done.returncode != 0:
        sys.exit("gpu_table.py: exit status %d from %s\n%s" % (done.returncode, " ".join(argv), text[-2000:]))
    return text


def figures(angles):
    return float(angles.mean()), float(np.percentile(angles, 99, method="inverted_cdf")), float(angles.max())


def angles(exact, x, y):
    """Degrees between the float normals and (x, y, z rebuilt), empty float normals left out."""
    exact = exact.astype(np.float64).reshape(-1, 3)
    x, y = x.astype(np.float64).reshape(-1), y.astype(np.float64).reshape(-1)
    decoded = np.stack([x, y, np.sqrt(np.maximum(0.0, 1.0 - x * x - y * y))], 1)
    keep = np.abs(exact).max(1) > 1e-7
    a = exact[keep] / np.linalg.norm(exact[keep], axis=1, keepdims=True)
    b = decoded[keep] / np.linalg.norm(decoded[keep], axis=1, keepdims=True)
    return np.degrees(np.arctan2(np.linalg.norm(np.cross(a, b), axis=1), (a * b).sum(1)))


def picture(path):
    """An image file as an H x W x C uint8 array in picture order."""
    with Image.open(path) as im:
        return np.asarray(im.convert("RGBA"))


def ours(args, base, detail, out, *options):
    m = ANGLE.search(run([args.bumpweld, "-q", "--stats", *options, base, detail, out]))
    return tuple(float(v) for v in m.groups())


def quality(args, label, base, detail):
    w = args.workdir
    exact = bumpweld.merge(picture(base)[..., :3], picture(detail)[..., :3], dtype=np.float32)
    tga = os.path.join(w, "merged.tga")
    run([args.bumpweld, "-Q", base, detail, tga])
    row = {"bc5": ours(args, base, detail, os.path.join(w, "o.dds")),
           "eacrg11": ours(args, base, detail, os.path.join(w, "o.ktx2"), "--format=eacrg11"),
           "bc3n": ours(args, base, detail, os.path.join(w, "o3.dds"), "--format=bc3n")}
    for block in ("4x4", "6x6"):
        row["astc" + block] = ours(args, base, detail, os.path.join(w, "a.ktx2"), "--format=astc" + block)
        astc, png = os.path.join(w, "p.astc"), os.path.join(w, "p.png")
        run(["astcenc", "-cl", tga, astc, block, "-medium", "-normal", "-silent"])
        run(["astcenc", "-dl", astc, png, "-silent"])
        p = picture(png).astype(np.float64) / 255.0 * 2.0 - 1.0  # x in red, y in alpha
        row["astcenc" + block] = figures(angles(exact, p[..., 0], p[..., 3]))
    nv = os.path.join(w, "nv.dds")
    run(["nvcompress", "-bc3n", "-nomips", tga, nv])
    run(["nvdecompress", nv])
    p = picture(os.path.join(w, "nv.tga")).astype(np.float64) / 255.0 * 2.0 - 1.0  # x in alpha, y in green
    row["nvcompress bc3n"] = figures(angles(exact, p[..., 3], p[..., 1]))
    return row


def timed(commands, runs, cwd):
    """Median seconds of each named command list, the lists taking turns."""
    times = {name: [] for name in commands}
    for _ in range(runs + 1):  # the first round warms the caches and is dropped
        for name, steps in commands.items():
            start = time.perf_counter()
            for step in steps:
                run(step, cwd=cwd)
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(t[1:]) for name, t in times.items()}


def speed(args, base, detail):
    w = args.workdir
    b = args.bumpweld
    chain = [b, "-Qm", "--no-sync", base, detail]
    run(chain + [os.path.join(w, "t.tga")])
    targas = sorted(f for f in os.listdir(w) if re.fullmatch(r"t\d\d\.tga", f))
    two_tool = [chain + [os.path.join(w, "t.tga")]] + [
        ["astcenc", "-cl", os.path.join(w, t), os.path.join(w, t[:-4] + ".astc"), "4x4", "-medium", "-normal", "-silent"]
        for t in targas]
    return timed({"astc4x4 ours": [chain + ["--format=astc4x4", os.path.join(w, "c.ktx2")]],
                  "astc4x4 two-tool": two_tool,
                  "eacrg11 ours": [chain + ["--format=eacrg11", os.path.join(w, "e.ktx2")]],
                  "bc5 ours": [chain + [os.path.join(w, "c.dds")]],
                  "bc5 --stats": [chain + ["--stats", os.path.join(w, "s.dds")]]}, args.runs, w)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bumpweld", required=True)
    ap.add_argument("--textures")
    ap.add_argument("--pair", action="append", default=[], metavar="LABEL:BASE:DETAIL")
    ap.add_argument("--workdir", required=True)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    os.makedirs(args.workdir, exist_ok=True)
    jobs = []
    if args.textures and os.path.isdir(args.textures):
        jobs += [(label, os.path.join(args.textures, b), os.path.join(args.textures, d)) for label, b, d in TEXTURE_PAIRS]
    jobs += [tuple(p.split(":")) for p in args.pair]

    names = ["bc5", "eacrg11", "bc3n", "nvcompress bc3n", "astc4x4", "astcenc4x4", "astc6x6", "astcenc6x6"]
    out = ["## GPU layouts: angle error (degrees, mean / p99 / max)", "",
           "- ours: bumpweld --stats; astcenc: the two-tool workflow (bumpweld's Targa, then astcenc -cl "
           "-medium -normal); nvcompress bc3n: nvcompress -bc3n on the same Targa", "",
           "| pair | " + " | ".join(names) + " |", "|---|" + "---:|" * len(names)]
    for label, base, detail in jobs:
        print("gpu quality: %s" % label, file=sys.stderr, flush=True)
        row = quality(args, label, base, detail)
        out.append("| %s | " % label + " | ".join("%.3f / %.3f / %.2f" % row[n] for n in names) + " |")
    print("\n".join(out), flush=True)
    if args.pair:
        label, base, detail = jobs[-1]
        print("gpu speed: %s" % label, file=sys.stderr, flush=True)
        t = speed(args, base, detail)
        print("\n## GPU layouts: speed, whole chain of %s (median of %d, seconds)\n" % (label, args.runs))
        print("| chain | seconds | ratio |\n|---|---:|---|")
        for name, against in (("astc4x4 ours", "astc4x4 two-tool"), ("astc4x4 two-tool", None),
                              ("eacrg11 ours", "bc5 ours"), ("bc5 ours", None), ("bc5 --stats", "bc5 ours")):
            ratio = "%.2f × %s" % (t[name] / t[against], against) if against else ""
            print("| %s | %.3f | %s |" % (name, t[name], ratio))


if __name__ == "__main__":
    main()
