#!/usr/bin/env python3
"""BC5 quality table: bumpweld's BC5 against nvcompress -bc5 -normal, as a markdown table.

Normally started by bench/run.sh --bc5-quality. For each merged pair, bumpweld writes the DDS
(one level) and the Targa of the same merge, nvcompress compresses that Targa, and bc5_quality
measures both against the float normals of the merge. For each single real normal map,
bc5_quality's own encoding (the library's BC5 encoder) is measured against nvcompress on the
map's Targa. Errors are angles between the decoded normal (z rebuilt from x and y) and the
float normal, in degrees, over the top level only; RMSE is per channel, in normal units.
Standard library only.
"""
import argparse
import os
import re
import subprocess
import sys

# Pairs and single maps of ../shared/textures (README there): name, base, detail.
TEXTURE_PAIRS = [
    ("rock + fabric", "rock058_normal_1024.tga", "fabric_normal_1024.tga"),
    ("helmet + scratches", "helmet_metal_normal_512.tga", "scratches_normal_512.tga"),
    ("cube + cube", "cube_normal_348.tga", "cube_normal_348.tga"),
]
TEXTURE_SINGLES = ["rock058_normal_1024.tga", "fabric_normal_1024.tga",
                   "helmet_metal_normal_512.tga", "scratches_normal_512.tga",
                   "cube_normal_348.tga"]

LINE = re.compile(r"^(?P<name>.*?)\s+mean (?P<mean>\S+)\s+p99 (?P<p99>\S+)\s+max (?P<max>\S+) deg"
                  r"\s+rmse x (?P<x>\S+)\s+y (?P<y>\S+)$")


def run(argv):
    done = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, check=False)
    text = done.stdout.decode("utf-8", "replace")
    if done.returncode != 0:
        sys.exit("bc5_table.py: exit status %d from %s\n%s" % (done.returncode, " ".join(argv),
                                                               text[-2000:]))
    return text


def measure(args, base, detail, tag):
    """{'size': 'W x H', 'ours': stats, 'nvcompress': stats} for a merge (detail given) or a
    single map (detail None)."""
    ours, nv = os.path.join(args.workdir, tag + "_ours.dds"), os.path.join(args.workdir,
                                                                         tag + "_nv.dds")
    if detail:
        merged = os.path.join(args.workdir, tag + ".tga")
        run([args.bumpweld, "-Q", base, detail, ours])
        run([args.bumpweld, "-Q", base, detail, merged])
        run([args.nvcompress, "-bc5", "-normal", "-nomips", merged, nv])
        os.remove(merged)
        text = run([args.bc5_quality, "--merge", base, detail, ours, nv])
        ours_name = ours
    else:
        run([args.nvcompress, "-bc5", "-normal", "-nomips", base, nv])
        text = run([args.bc5_quality, base, nv])
        ours_name = "ours bc5 (unorm)"
    found = {"size": text.splitlines()[0].strip()}
    for line in text.splitlines():
        m = LINE.match(line.strip())
        if not m:
            continue
        for key, name in (("ours", ours_name), ("nvcompress", nv)):
            if m.group("name") == name:
                found[key] = {k: float(m.group(k)) for k in ("mean", "p99", "max", "x", "y")}
    for path in (ours, nv):
        if os.path.exists(path):
            os.remove(path)
    if "ours" not in found or "nvcompress" not in found:
        sys.exit("bc5_table.py: bc5_quality did not report both encoders:\n" + text)
    return found


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bumpweld", required=True)
    ap.add_argument("--bc5-quality", required=True, help="the bc5_quality program")
    ap.add_argument("--nvcompress", required=True)
    ap.add_argument("--textures", help="directory of the real test textures")
    ap.add_argument("--pair", action="append", default=[], metavar="LABEL:BASE:DETAIL",
                    help="a merged pair to measure (repeatable)")
    ap.add_argument("--workdir", required=True)
    args = ap.parse_args()

    jobs = [(label, base, detail) for label, base, detail in
            (p.split(":") for p in args.pair)]
    if args.textures and os.path.isdir(args.textures):
        for label, base, detail in TEXTURE_PAIRS:
            jobs.append((label, os.path.join(args.textures, base),
                         os.path.join(args.textures, detail)))
        for name in TEXTURE_SINGLES:
            jobs.append((name[:-4] + " alone", os.path.join(args.textures, name), None))
    else:
        print("bc5_table.py: no real textures at %s" % args.textures, file=sys.stderr)

    out = ["## BC5 quality: bumpweld against nvcompress -bc5 -normal", "",
           "- angular error in degrees against the float normals of the merge (or of the map "
           "alone), top level; RMSE of x and y; nvcompress compresses bumpweld's 8-bit Targa "
           "of the same merge; single maps: the library's encoder as bc5_quality calls it", "",
           "| map | size | mean ours | mean nv | p99 ours | p99 nv | max ours | max nv "
           "| RMSE x, y ours | RMSE x, y nv |",
           "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for i, (label, base, detail) in enumerate(jobs):
        print("bc5 quality: %s" % label, file=sys.stderr, flush=True)
        r = measure(args, base, detail, "q%d" % i)
        o, n = r["ours"], r["nvcompress"]
        out.append("| %s | %s | %.3f | %.3f | %.3f | %.3f | %.2f | %.2f | %.4f, %.4f "
                   "| %.4f, %.4f |" % (label, r["size"], o["mean"], n["mean"], o["p99"],
                                       n["p99"], o["max"], n["max"], o["x"], o["y"], n["x"],
                                       n["y"]))
    print("\n".join(out), flush=True)


if __name__ == "__main__":
    main()
