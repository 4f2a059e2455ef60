#!/usr/bin/env python3
"""PNG and TIFF jobs of two executables, and each container's floor (bench/run.sh --codecs).

Table 1: jobs on the 4096² inputs (PNG in and out, PNG in with Targa out, Targa in with PNG out,
16-bit PNG in and out, TIFF Deflate in and out at 8 and 16 bits), the old and the new executable
alternating (old, new, old, new, ...), each run with --no-sync into a directory of its own. For
each: the median processor time (user + system of the process and its threads) and wall time,
the medians of the new / old ratios pair by pair, and the output sizes.

Table 2: for each container, a merge job through bumpweld (both inputs and the output in that
container) against container_floor reading the same two inputs with the container's library
alone (side by side on two threads) and writing the picture bumpweld wrote; the ratios are
bumpweld / floor, pair by pair, medians.

Inputs other than the generated PNG and Targa pairs are made once by container_floor (the
container's library writing the Targa pair) into the work directory.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time


def timed(argv, outdir, keep=None):
    """Runs argv under its own wait4; returns (cpu seconds, wall seconds, bytes, stdout). With
    keep, the one file it wrote is moved there."""
    shutil.rmtree(outdir, ignore_errors=True)
    os.mkdir(outdir)
    argv = [a.replace("{out}", outdir) for a in argv]
    start = time.perf_counter()
    pid = os.fork()
    if pid == 0:
        try:
            fd = os.open(os.devnull, os.O_RDWR)
            os.dup2(fd, 0)
            os.dup2(fd, 2)
            capture = os.open(os.path.join(outdir, "..", "stdout.txt"),
                              os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
            os.dup2(capture, 1)
            os.execv(argv[0], argv)
        finally:
            os._exit(127)
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    if status != 0:
        sys.exit("codec_table.py: status %d from %s" % (status, " ".join(argv)))
    with open(os.path.join(outdir, "..", "stdout.txt")) as f:
        said = f.read()
    written = sum(os.path.getsize(os.path.join(outdir, f)) for f in os.listdir(outdir))
    if keep:
        shutil.move(os.path.join(outdir, os.listdir(outdir)[0]), keep)
    shutil.rmtree(outdir, ignore_errors=True)
    return usage.ru_utime + usage.ru_stime, wall, written, said


def median(values):
    return statistics.median(values) if values else float("nan")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--bumpweld", required=True)
    ap.add_argument("--old-bumpweld")
    ap.add_argument("--floor", required=True, help="the container_floor program")
    ap.add_argument("--inputs", required=True, help="directory with base_N and detail_N .tga and .png")
    ap.add_argument("--size", type=int, default=4096)
    ap.add_argument("--workdir", required=True)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--warmup", type=int, default=1)
    ap.add_argument("--only", choices=("jobs", "floors"), help="one of the two tables")
    args = ap.parse_args()

    n = args.size
    src = args.inputs
    work = args.workdir
    made = os.path.join(work, "inputs")
    os.makedirs(made, exist_ok=True)
    outdir = os.path.join(work, "out")

    def make(container, bits, name):
        path = os.path.join(made, "%s_%d.%s" % (name, bits, container))
        if not os.path.exists(path):
            subprocess.run([args.floor, "make", container, str(bits),
                            os.path.join(src, "%s_%d.tga" % (name, n)), path], check=True)
        return path

    tga = {k: os.path.join(src, "%s_%d.tga" % (k, n)) for k in ("base", "detail")}
    png = {k: os.path.join(src, "%s_%d.png" % (k, n)) for k in ("base", "detail")}
    png16 = {k: make("png", 16, k) for k in ("base", "detail")}
    tif8 = {k: make("tiff", 8, k) for k in ("base", "detail")}
    tif16 = {k: make("tiff", 16, k) for k in ("base", "detail")}
    exr = {k: make("exr", 16, k) for k in ("base", "detail")}
    dds = {k: make("dds", 8, k) for k in ("base", "detail")}

    jobs = [
        ("PNG in, PNG out", [], png, "out.png"),
        ("PNG in, Targa out", [], png, "out.tga"),
        ("Targa in, PNG out", [], tga, "out.png"),
        ("16-bit PNG in and out", ["--bits=16"], png16, "out.png"),
        ("TIFF Deflate in and out", [], tif8, "out.tif"),
        ("16-bit TIFF Deflate in and out", ["--bits=16"], tif16, "out.tif"),
    ]

    def job_argv(exe, opts, inputs, out):
        return [exe, "--no-sync"] + opts + [inputs["base"], inputs["detail"], "{out}/" + out]

    if args.only != "floors":
        job_table(args, jobs, job_argv, outdir)
    if args.only != "jobs":
        floor_table(args, tga, png, png16, tif8, tif16, exr, dds, job_argv, made, outdir)


def job_table(args, jobs, job_argv, outdir):
    n = args.size
    print("## PNG and TIFF jobs, %d² (%s)\n" % (n, time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())))
    print("Processor time is user + system of the whole process; medians of %d runs after %d "
          "warm-up, old and new alternating; ratios are medians of new / old pair by pair.\n"
          % (args.runs, args.warmup))
    if args.old_bumpweld:
        print("| job | old CPU s | new CPU s | CPU new/old | old wall s | new wall s | wall new/old "
              "| old bytes | new bytes | size new/old |")
        print("|---|---|---|---|---|---|---|---|---|---|")
    else:
        print("| job | CPU s | wall s | bytes |")
        print("|---|---|---|---|")
    for label, opts, inputs, out in jobs:
        exes = [args.old_bumpweld, args.bumpweld] if args.old_bumpweld else [args.bumpweld]
        results = {e: [] for e in exes}
        for i in range(args.warmup + args.runs):
            for e in exes:
                r = timed(job_argv(e, opts, inputs, out), outdir)
                if i >= args.warmup:
                    results[e].append(r)
            print("  %s: round %d done" % (label, i + 1), file=sys.stderr)
        if args.old_bumpweld:
            old, new = results[args.old_bumpweld], results[args.bumpweld]
            cpu_ratio = median([b[0] / a[0] for a, b in zip(old, new)])
            wall_ratio = median([b[1] / a[1] for a, b in zip(old, new)])
            print("| %s | %.3f | %.3f | %.2f | %.3f | %.3f | %.2f | %d | %d | %.4f |" % (
                label, median([r[0] for r in old]), median([r[0] for r in new]), cpu_ratio,
                median([r[1] for r in old]), median([r[1] for r in new]), wall_ratio,
                old[0][2], new[0][2], new[0][2] / old[0][2]))
        else:
            new = results[args.bumpweld]
            print("| %s | %.3f | %.3f | %d |" % (label, median([r[0] for r in new]),
                                                  median([r[1] for r in new]), new[0][2]))



def floor_table(args, tga, png, png16, tif8, tif16, exr, dds, job_argv, made, outdir):
    n = args.size
    floors = [
        ("Targa", "tga", [], tga, "out.tga"),
        ("PNG", "png", [], png, "out.png"),
        ("16-bit PNG", "png", ["--bits=16"], png16, "out.png"),
        ("TIFF", "tiff", [], tif8, "out.tif"),
        ("16-bit TIFF", "tiff", ["--bits=16"], tif16, "out.tif"),
        ("OpenEXR (half)", "exr", ["--bits=16"], exr, "out.exr"),
        ("DDS (rgba8)", "dds", ["--format=rgba8"], dds, "out.dds"),
    ]
    print("\n## Each container against its library alone, %d²\n" % n)
    print("Floor: container_floor reads both inputs with the library alone (two threads) and "
          "writes bumpweld's output picture again; bumpweld: the merge job, inputs and output in the container. Ratios "
          "are bumpweld / floor, pair by pair, medians.\n")
    print("| container | floor read CPU s | floor write CPU s | floor CPU s | bumpweld CPU s "
          "| CPU ratio | floor wall s | bumpweld wall s | wall ratio |")
    print("|---|---|---|---|---|---|---|---|---|")
    for label, container, opts, inputs, out in floors:
        # bumpweld's output of the job: the picture the floor writes.
        merged = os.path.join(made, "merged_%s_%s" % (label.split()[0], out))
        merged = merged.replace(" ", "_")
        timed(job_argv(args.bumpweld, opts, inputs, out), outdir, keep=merged)
        rounds = []
        for i in range(args.warmup + args.runs):
            f = timed([args.floor, "job", container, inputs["base"], inputs["detail"], merged,
                       "{out}/" + out], outdir)
            b = timed(job_argv(args.bumpweld, opts, inputs, out), outdir)
            if i >= args.warmup:
                # "read CPU WALL write CPU WALL": the floor is the two phases, without the
                # process's start and the change of sample layout between them.
                p = [float(x) for x in f[3].split()[1:3] + f[3].split()[4:6]]
                rounds.append((p[0] + p[2], p[1] + p[3], p[0], p[2], b[0], b[1]))
            print("  floor %s: round %d done" % (label, i + 1), file=sys.stderr)
        print("| %s | %.3f | %.3f | %.3f | %.3f | %.2f | %.3f | %.3f | %.2f |" % (
            label, median([r[2] for r in rounds]), median([r[3] for r in rounds]),
            median([r[0] for r in rounds]), median([r[4] for r in rounds]),
            median([r[4] / r[0] for r in rounds]), median([r[1] for r in rounds]),
            median([r[5] for r in rounds]), median([r[5] / r[1] for r in rounds])))


if __name__ == "__main__":
    main()
