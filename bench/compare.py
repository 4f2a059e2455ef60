#!/usr/bin/env python3
"""Time bumpweld against its comparison commands and print a markdown table.

Normally started by bench/run.sh, which builds the tool and prepares the inputs; run it
directly with --help for the options. Standard library only.

Each case runs its commands in one loop, bumpweld first and then each peer (A B A B ...), so
slow drift of a noisy machine hits both sides alike. Every command gets its warm-up runs before
the loop. Wall time is measured from just before the process is started to just after it is
reaped; peak RSS comes from /usr/bin/time (%M), which forks a small process, so the figure is
the command's own and not that of this Python driver.

The ratio column is the median of the per-pair ratios bumpweld / peer (pair i = the i-th run of
each), which is steadier than a ratio of medians when the machine drifts.

With --old-bumpweld the loop runs the old executable, then the new one, then the peers, and a
second table compares the two: each one's ratio against the peer, and how much the new one moved.
Sizes given with --huge get one run of each case that has a huge form, without peers (time and
peak RSS only).
"""
import argparse
import os
import platform
import signal
import shutil
import statistics
import subprocess
import sys
import time

NUMPY_ENV = ["env", "-u", "OPENBLAS_CORETYPE", "-u", "OPENBLAS_L2_SIZE"]

# key: (label, bumpweld arguments, output name, [peer keys])
# The peer "floor" is the least any run of the case can take: reading its inputs and writing and
# syncing as many bytes as it writes, in one file (see floor_command).
CASES = {
    "default": ("default", ["{base}", "{detail}"], "out.tga", ["floor", "numpy"]),
    "e": ("-e", ["-e", "{base}", "{detail}"], "out.tga", ["floor", "numpy"]),
    "m": ("-m", ["-m", "{base}", "{detail}"], "out.tga", ["floor", "numpy_mips"]),
    "height": ("-m height map", ["-m", "{base}", "{height}", "1.0"], "out.tga",
               ["floor", "numpy_height", "nvcompress"]),
    "i": ("-i (.kep)", ["-i", "{base}", "{detail}"], "out.kep", ["floor"]),
    # The same run three ways: as it is, with fsync made a no-op, and writing to memory.
    "fsync": ("default, synced", ["{base}", "{detail}"], "out.tga", ["nofsync", "tmpfs"]),
    "png": ("PNG in and out", ["{base_png}", "{detail_png}"], "out.png", ["numpy_png"]),
    # "-" is an empty flag word: with four file arguments a base path holding a "-" would be
    # taken for the flag word.
    "png16": ("--bits=16 PNG, 16-bit PNG height",
              ["--bits=16", "-", "{base}", "{height16}", "1.0"], "out.png", []),
    "dds": ("-m .dds (BC5)", ["-m", "{base}", "{detail}"], "out.dds", ["tga_nvcompress"]),
    # The artist controls against the plain merge of the same maps (the height map as the mask).
    "strength": ("--detail-strength=0.5 --mask", ["--detail-strength=0.5", "--mask={height}", "{base}",
                                                  "{detail}"], "out.tga", ["plain"]),
    "blend": ("--blend=whiteout", ["--blend=whiteout", "{base}", "{detail}"], "out.tga", ["plain"]),
    "fillall": ("--fill=all, half empty", ["--fill=all", "{base_half}", "{detail}"], "out.tga",
                ["plain_half"]),
    # A half-float OpenEXR chain (one tiled file) against the same chain as 16-bit PNG files.
    "exr": ("-m .exr (half)", ["-m", "{base}", "{detail}"], "out.exr", ["png16_chain"]),
}
# Cases that --huge sizes run once (the others need peers or inputs that are not made so large).
HUGE_CASES = ("default", "png16", "dds")


def case_inputs(key):
    """The input names a case's commands refer to."""
    names = set()
    for a in CASES[key][1]:
        names.update(n for n in ("base", "detail", "height", "base_png", "detail_png", "height16", "base_half")
                     if "{%s}" % n in a)
    for pk in CASES[key][3]:
        if pk in ("numpy_height", "nvcompress"):
            names.add("height")
    return names


def floor_command(bw_argv, inputs, written):
    """Reads the files the bumpweld command reads, then writes `written` bytes (rounded up to a
    MiB) to one file with dd and syncs it."""
    files = [a for a in bw_argv if a in inputs.values()]
    mib = max(1, (written + (1 << 20) - 1) >> 20)
    return ["sh", "-c", 'cat "$@" > /dev/null && dd if=/dev/zero of="$0/floor" bs=1M count=%d conv=fsync '
            'status=none' % mib, "{out}"] + files


def peer_commands(args):
    """key -> (label, argv template, working directory or None); only the available peers.
    A template of None means the bumpweld command of the case itself."""
    peers = {
        "floor": ("floor: read the inputs, write and sync the output's bytes", None, None),
        "plain": ("bumpweld default", [args.bumpweld, "{base}", "{detail}", "{out}/out.tga"], None),
        "plain_half": ("bumpweld default, half empty",
                       [args.bumpweld, "{base_half}", "{detail}", "{out}/out.tga"], None),
        "png16_chain": ("bumpweld -m --bits=16 .png",
                        [args.bumpweld, "-m", "--bits=16", "{base}", "{detail}", "{out}/out.png"], None),
    }
    if args.numpy_python and args.rnm:
        rnm = NUMPY_ENV + [args.numpy_python, args.rnm]
        peers["numpy"] = ("rnm_numpy", rnm + ["{base}", "{detail}", "{out}/out.tga"], None)
        peers["numpy_mips"] = ("rnm_numpy --mips",
                               rnm + ["--mips", "{base}", "{detail}", "{out}/out.tga"], None)
        peers["numpy_height"] = ("rnm_numpy --mips --height",
                                 rnm + ["--mips", "--height", "{base}", "{height}", "{out}/out.tga"],
                                 None)
        peers["numpy_png"] = ("rnm_numpy, PNG in and out",
                              rnm + ["{base_png}", "{detail_png}", "{out}/out.png"], None)
    if args.nvcompress:
        peers["nvcompress"] = ("nvcompress -tonormal -rgb -repeat",
                               [args.nvcompress, "-tonormal", "-rgb", "-repeat", "{height}",
                                "{out}/out.dds"], None)
        # bumpweld's Targa chain, then nvcompress making its own BC5 chain from the top level.
        peers["tga_nvcompress"] = (
            "bumpweld -m .tga + nvcompress -bc5 -normal",
            ["sh", "-c", '"$0" -m "$1" "$2" "$3/out.tga" && "$4" -bc5 -normal "$3/out00.tga" '
             '"$3/out.dds"', args.bumpweld, "{base}", "{detail}", "{out}", args.nvcompress], None)
    if args.nofsync:
        peers["nofsync"] = ("same, fsync a no-op (LD_PRELOAD)",
                            ["env", "LD_PRELOAD=" + args.nofsync], None)
    if args.tmpfs_workdir:
        peers["tmpfs"] = ("same, output on tmpfs", [], args.tmpfs_workdir)
    return peers


class RunFailed(Exception):
    pass


def stop(proc):
    """End the command that /usr/bin/time runs, so that time reaps it and exits, then anything
    left in its session."""
    try:
        with open("/proc/%d/task/%d/children" % (proc.pid, proc.pid)) as f:
            for child in f.read().split():
                os.kill(int(child), signal.SIGKILL)
        proc.wait(5)
    except (OSError, ValueError, subprocess.TimeoutExpired):
        pass
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except OSError:
        pass
    proc.wait()


def output_bytes(outdir):
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(outdir)
               for f in files)


def run_once(argv, workdir, timeout):
    """Run argv with a fresh, empty output directory; return (wall seconds, peak RSS bytes,
    bytes of the files it wrote)."""
    outdir = os.path.join(workdir, "out")
    shutil.rmtree(outdir, ignore_errors=True)
    os.mkdir(outdir)
    argv = [a.replace("{out}", outdir) for a in argv]
    timefile = os.path.join(workdir, "time.txt")
    start = time.perf_counter()
    proc = subprocess.Popen(["/usr/bin/time", "-f", "%e %M", "-o", timefile] + argv,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        proc.wait(timeout)
    except BaseException as e:          # time-out or Ctrl-C: end the timed command too
        stop(proc)                      # (its own session, so it did not see the Ctrl-C)
        if isinstance(e, subprocess.TimeoutExpired):
            raise RunFailed("timed out after %.0f s: %s" % (timeout, " ".join(argv)))
        raise
    wall = time.perf_counter() - start
    with open(timefile) as f:
        last = f.read().strip().splitlines()
    if proc.returncode != 0:
        # The timed run discards standard output; run it once more to show what it said.
        try:
            again = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, timeout=timeout, check=False)
            said = again.stdout[-2000:].decode("utf-8", "replace")
        except subprocess.TimeoutExpired:
            said = ""
        raise RunFailed("exit status %d from: %s\n%s" % (proc.returncode, " ".join(argv),
                                                           said))
    written = output_bytes(outdir)
    shutil.rmtree(outdir, ignore_errors=True)
    return wall, int(last[-1].split()[1]) * 1024, written


def fill(template, inputs):
    return [a.format(out="{out}", **inputs) for a in template]


def pair_median(results, num, den, index=0):
    """Median over the rounds that have both commands of num's value / den's value."""
    pairs = [r[num][index] / r[den][index] for r in results if num in r and den in r]
    return statistics.median(pairs) if pairs else None


def measure_case(size, key, args, peers, workdir):
    """Warm up, then the alternating loop. Returns one result row per peer (or one without)."""
    label, bw_args, out_name, peer_keys = CASES[key]
    inputs = args.inputs[size]
    bw_argv = fill(bw_args, inputs) + ["{out}/" + out_name]
    commands = []
    if args.old_bumpweld:
        commands.append(("bumpweld (old)", [args.old_bumpweld] + bw_argv, workdir))
    commands.append(("bumpweld", [args.bumpweld] + bw_argv, workdir))
    for pk in peer_keys:
        if pk in peers:
            plabel, template, pdir = peers[pk]
            if pk == "floor":                   # made once the warm-up tells the bytes written
                continue
            if pk in ("nofsync", "tmpfs"):       # the bumpweld command, changed around the edges
                argv = template + [args.bumpweld] + bw_argv
            else:
                argv = fill(template, inputs)
            commands.append((plabel, argv, pdir or workdir))
    failed = set()

    def attempt(name, argv, where):
        try:
            return run_once(argv, where, args.timeout)
        except RunFailed as e:
            if name.startswith("bumpweld"):
                raise
            log("  warning: peer %s failed, left out: %s" % (name, e))
            failed.add(name)
            return None

    written = None                               # bytes bumpweld wrote in a warm-up run
    for name, argv, where in commands:
        for _ in range(args.warmup):
            outcome = attempt(name, argv, where)
            if outcome is None:
                break
            if name == "bumpweld":
                written = outcome[2]
    if "floor" in peer_keys:                     # right after bumpweld, once its bytes are known
        if written is None:
            _, _, written = run_once([args.bumpweld] + bw_argv, workdir, args.timeout)
        at = [n for n, _, _ in commands].index("bumpweld") + 1
        commands.insert(at, (peers["floor"][0], floor_command(bw_argv, inputs, written), workdir))
        attempt(*commands[at])
    results = []                                 # one dict name -> (wall, rss, bytes) a round
    for i in range(args.runs):
        got = {}
        for name, argv, where in commands:
            if name not in failed:
                outcome = attempt(name, argv, where)
                if outcome is not None:
                    got[name] = outcome
        results.append(got)
        line = ["%s %.3f s" % (n, got[n][0]) for n, _, _ in commands if n in got]
        ratios = ["ratio vs %s %.3f" % (n, got["bumpweld"][0] / got[n][0])
                  for n, _, _ in commands if n in got and n != "bumpweld"]
        log("  %5d %-14s pair %d/%d: %s" % (size, label, i + 1, args.runs,
                                            ", ".join(line + ratios)))
    texels = size * size

    def summary(name):
        runs = [r[name] for r in results if name in r]
        return (statistics.median(w for w, _, _ in runs), max(m for _, m, _ in runs) / texels,
                statistics.median(b for _, _, b in runs))

    bw_t, bw_rss, bw_bytes = summary("bumpweld")
    row = {"size": size, "case": label, "bw": bw_t, "bw_rss": bw_rss, "bw_bytes": bw_bytes}
    if args.old_bumpweld:
        old_t, old_rss, _ = summary("bumpweld (old)")
        row.update(old=old_t, old_rss=old_rss,
                   new_over_old=pair_median(results, "bumpweld", "bumpweld (old)"))
    rows = []
    for pk in peer_keys:
        name = peers[pk][0] if pk in peers else None
        if name is None:
            continue
        if name in failed:
            rows.append(dict(row, peer=name + " (failed)"))
            continue
        peer_t, peer_rss, peer_bytes = summary(name)
        extra = {}
        if args.old_bumpweld:
            extra["old_ratio"] = pair_median(results, "bumpweld (old)", name)
        if pk == "numpy_png":
            extra["size_ratio"] = bw_bytes / peer_bytes
        if pk in ("nofsync", "tmpfs"):
            extra["cost"] = statistics.median(r["bumpweld"][0] - r[name][0] for r in results
                                              if name in r)
        rows.append(dict(row, peer=name, peer_t=peer_t, peer_rss=peer_rss,
                         ratio=pair_median(results, "bumpweld", name), **extra))
    # The floor is a column of the case's rows, not a peer of its own.
    floors = [r for r in rows if r.get("peer") == peers["floor"][0]]
    rows = [r for r in rows if r not in floors] or [dict(row)]
    for f in floors:
        for r in rows:
            r.update(floor_t=f["peer_t"], floor_ratio=f["ratio"])
    return rows


def measure_huge(size, key, args, workdir):
    """One run of the bumpweld command of a case, for its time and peak memory."""
    label, bw_args, out_name, _ = CASES[key]
    label = label + " (1 run)"
    log("%d² %s" % (size, label))
    wall, rss, written = run_once([args.bumpweld] + fill(bw_args, args.inputs[size]) +
                                  ["{out}/" + out_name], workdir, args.timeout)
    log("  %d %s: %.3f s, %.1f bytes/texel" % (size, label, wall, rss / (size * size)))
    return {"size": size, "case": label, "bw": wall, "bw_rss": rss / (size * size),
            "bw_bytes": written}


def log(text):
    print(text, file=sys.stderr, flush=True)


def fmt(value, pattern):
    return "—" if value is None else pattern % value


def busy_cpus(seconds=1.0):
    """How many CPUs other processes keep busy, sampled over a second while this benchmark
    runs nothing: other work on the machine skews every figure, so the table says so."""
    def sample():
        with open("/proc/stat") as f:
            values = [int(v) for v in f.readline().split()[1:]]
        return sum(values), values[3] + values[4]          # total, idle + iowait
    try:
        total0, idle0 = sample()
        time.sleep(seconds)
        total1, idle1 = sample()
    except (OSError, ValueError, IndexError):
        return None
    if total1 <= total0:
        return None
    return (1.0 - (idle1 - idle0) / (total1 - total0)) * (os.cpu_count() or 1)


def fs_type(path):
    """The file system type of the mount that holds path (longest mount point prefix)."""
    best, kind = "", "?"
    try:
        real = os.path.realpath(path)
        with open("/proc/mounts") as f:
            for line in f:
                fields = line.split()
                point = fields[1]
                inside = real == point or real.startswith(point.rstrip("/") + "/")
                if inside and len(point) > len(best):
                    best, kind = point, fields[2]
    except (OSError, IndexError):
        pass
    return kind


def machine_lines(args):
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            mem = ", %.0f GiB" % (int(f.readline().split()[1]) / 2 ** 20)
    except (OSError, ValueError, IndexError):
        pass
    thp = "?"
    try:
        with open("/sys/kernel/mm/transparent_hugepage/enabled") as f:
            thp = f.read().strip()
    except OSError:
        pass
    lines = ["- machine: %s, %d CPUs online, %d usable by this run%s, Linux %s, THP `%s`"
            % (cpu, os.cpu_count() or 0, len(os.sched_getaffinity(0)), mem, platform.release(),
               thp),
            "- other load: %s CPUs busy with other processes just before the runs, %s just after"
            % (fmt(args.busy_start, "%.2f"), fmt(args.busy_end, "%.2f")),
            "- bumpweld: `%s` (%s)" % (args.bumpweld, args.revision or "revision unknown")]
    if args.old_bumpweld:
        lines.append("- old bumpweld: `%s` (%s)" % (args.old_bumpweld,
                                                   args.old_revision or "revision unknown"))
    dirs = "- outputs written to `%s` (%s)" % (args.workdir, fs_type(args.workdir))
    if args.tmpfs_workdir:
        dirs += " and, for the tmpfs comparison, `%s` (%s)" % (args.tmpfs_workdir,
                                                             fs_type(args.tmpfs_workdir))
    return lines + [dirs, "- inputs: %s" % args.input_source,
            "- method: median of %d runs after %d warm-up(s) per command; peers alternate with "
            "bumpweld in the same loop; ratio = median of per-pair ratios bumpweld/peer (< 1: "
            "bumpweld faster); RSS = peak RSS / texels (largest of the runs); numpy peer runs with "
            "OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset" % (args.runs, args.warmup)]


# (size, case label, peer label or None, limit, what) -- the goals the table is read against.
TARGETS = [
    (4096, "-e", "rnm_numpy", 0.33, "ratio"),
    (4096, "default", "rnm_numpy", 0.5, "ratio"),
    (4096, "-m height map", "rnm_numpy --mips --height", 0.33, "ratio"),
    (4096, "-m height map", "nvcompress -tonormal -rgb -repeat", 0.05, "ratio"),
    (1024, "default", "rnm_numpy", 0.25, "ratio"),
    (4096, "default", None, 32.0, "rss"),
    (16384, "default (1 run)", None, 32.0, "rss"),
    (4096, "PNG in and out", "rnm_numpy, PNG in and out", 0.33, "ratio"),
    (4096, "PNG in and out", "rnm_numpy, PNG in and out", 1.15, "size"),
    (16384, "--bits=16 PNG, 16-bit PNG height (1 run)", None, 16.0, "rss"),
    (4096, "-m .dds (BC5)", "bumpweld -m .tga + nvcompress -bc5 -normal", 0.2, "ratio"),
    (16384, "-m .dds (BC5) (1 run)", None, 16.0, "rss"),
    (4096, "--detail-strength=0.5 --mask", "bumpweld default", 1.15, "ratio"),
    (4096, "--blend=whiteout", "bumpweld default", 1.15, "ratio"),
    (4096, "--fill=all, half empty", "bumpweld default, half empty", 2.0, "ratio"),
    (4096, "-m .exr (half)", "bumpweld -m --bits=16 .png", 1.5, "ratio"),
]


def target_lines(rows):
    lines = []
    for size, case, peer, limit, what in TARGETS:
        for r in rows:
            if r["size"] != size or r["case"] != case:
                continue
            if what == "ratio" and r.get("peer") == peer and r.get("ratio") is not None:
                value, text = r["ratio"], "%d² `%s` time ≤ %.2f × %s" % (size, case, limit, peer)
            elif what == "size" and r.get("peer") == peer and r.get("size_ratio") is not None:
                value, text = r["size_ratio"], "%d² `%s` output size ≤ %.2f × %s" % (
                    size, case, limit, peer)
            elif what == "rss":
                value, text = r["bw_rss"], "%d² `%s` peak RSS ≤ %g bytes/texel" % (size, case,
                                                                                   limit)
            else:
                continue
            lines.append("- %s: %.3f — %s" % (text, value, "met" if value <= limit else
                                              "NOT met"))
            break
    return lines


def warning_lines(args):
    busy = max(args.busy_start or 0.0, args.busy_end or 0.0)
    if busy <= 0.25:
        return []
    return ["", "**Warning:** other processes kept %.2f of %d CPUs busy: times and ratios "
            "are unreliable; rerun on a quiet machine." % (busy, os.cpu_count() or 0)]


def print_table(rows, args):
    out = ["## bumpweld benchmark", ""] + machine_lines(args) + [""]
    # Columns that only some cases fill appear only when one of them ran.
    extra = [(key, title, pattern) for key, title, pattern in
             (("floor_t", "floor s", "%.3f"), ("floor_ratio", "ratio to floor", "%.3f"),
              ("size_ratio", "output size ratio", "%.3f"), ("cost", "difference s", "%+.3f"))
             if any(key in r for r in rows)]
    out.append("| size | case | bumpweld median s | peer | peer median s | ratio "
               "| RSS bytes/texel | peer RSS bytes/texel |" +
               "".join(" %s |" % title for _, title, _ in extra))
    out.append("|---|---|---:|---|---:|---:|---:|---:|" + "---:|" * len(extra))
    for r in rows:
        out.append("| %d² | %s | %.3f | %s | %s | %s | %.1f | %s |" % (
            r["size"], r["case"], r["bw"], r.get("peer", "—"), fmt(r.get("peer_t"), "%.3f"),
            fmt(r.get("ratio"), "%.3f"), r["bw_rss"], fmt(r.get("peer_rss"), "%.1f")) +
            "".join(" %s |" % fmt(r.get(key), pattern) for key, _, pattern in extra))
    out += warning_lines(args)
    goals = target_lines(rows)
    if goals:
        out += ["", "Targets:"] + goals
    print("\n".join(out), flush=True)


def print_regression_table(rows, args, limit=0.05):
    """Old and new executable against the same peers in the same loop: the new one's ratio
    should stay within limit of the old one's (a smaller ratio is better). In each round the
    peer's time cancels out of (new / peer) / (old / peer), so the change is judged on the
    median of the rounds' new / old, which is steadier than two medians divided."""
    out = ["## bumpweld benchmark: old and new executable", ""] + machine_lines(args) + [""]
    out.append("| size | case | old median s | new median s | peer | peer median s "
               "| old ratio | new ratio | change (new/old) | old RSS bytes/texel "
               "| new RSS bytes/texel |")
    out.append("|---|---|---:|---:|---|---:|---:|---:|---:|---:|---:|")
    verdicts = []
    for r in rows:
        out.append("| %d² | %s | %.3f | %.3f | %s | %s | %s | %s | %s | %.1f | %.1f |" % (
            r["size"], r["case"], r["old"], r["bw"], r.get("peer", "—"),
            fmt(r.get("peer_t"), "%.3f"), fmt(r.get("old_ratio"), "%.3f"),
            fmt(r.get("ratio"), "%.3f"), fmt(r.get("new_over_old"), "%.3f"), r["old_rss"],
            r["bw_rss"]))
        line = "- %d² `%s`: %+.1f %% — %s" % (
            r["size"], r["case"], (r["new_over_old"] - 1) * 100,
            "met" if r["new_over_old"] <= 1 + limit else "NOT met")
        if line not in verdicts:
            verdicts.append(line)
    out += warning_lines(args)
    out += ["", "Target: the ratios at most %.0f %% above the old executable's (median over the "
            "rounds of new/old):" % (limit * 100)] + verdicts
    print("\n".join(out), flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bumpweld", required=True, help="the executable to time")
    ap.add_argument("--old-bumpweld", help="an older executable to time in the same loop")
    ap.add_argument("--old-revision", default="")
    ap.add_argument("--input", action="append", default=[], metavar="N:NAME=PATH,...",
                    help="inputs of one size (repeatable); names: base, detail, height, "
                    "base_png, detail_png, height16")
    ap.add_argument("--huge", action="append", default=[], type=int, metavar="N",
                    help="sizes (given inputs by --input) that get one run of each case in "
                    "%s, without warm-up or peer" % ", ".join(HUGE_CASES))
    ap.add_argument("--cases", default="default,e,m,height,i",
                    help="comma-separated subset of: %s" % ",".join(CASES))
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--warmup", type=int, default=1)
    ap.add_argument("--timeout", type=float, default=1800.0, help="seconds per run")
    ap.add_argument("--numpy-python", help="Python with numpy and PIL for the numpy peer")
    ap.add_argument("--rnm", help="path of rnm_numpy.py")
    ap.add_argument("--nvcompress", help="path of nvcompress")
    ap.add_argument("--nofsync", help="preloadable library that makes fsync a no-op")
    ap.add_argument("--tmpfs-workdir", help="scratch directory on tmpfs (case fsync)")
    ap.add_argument("--workdir", required=True, help="scratch directory for outputs")
    ap.add_argument("--revision", default="")
    ap.add_argument("--input-source", default="")
    args = ap.parse_args()

    if args.runs < 1 or args.warmup < 0:
        ap.error("--runs must be at least 1 and --warmup at least 0")
    keys = [k for k in args.cases.split(",") if k]
    bad = [k for k in keys if k not in CASES]
    if bad:
        ap.error("unknown case(s) %s; known: %s" % (",".join(bad), ",".join(CASES)))
    args.inputs = {}
    for item in args.input:
        n, _, named = item.partition(":")
        files = args.inputs.setdefault(int(n), {})
        for pair in named.split(","):
            name, _, path = pair.partition("=")
            files[name] = path
    for n, files in args.inputs.items():
        for key in keys if n not in args.huge else [k for k in keys if k in HUGE_CASES]:
            missing = case_inputs(key) - set(files)
            if missing:
                ap.error("size %d, case %s: no input %s" % (n, key, ", ".join(sorted(missing))))
    if not os.path.exists("/usr/bin/time"):
        sys.exit("compare.py: /usr/bin/time is needed for peak RSS (Debian package 'time')")

    def interrupted(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGINT, interrupted)   # also when started in the background
    signal.signal(signal.SIGTERM, interrupted)
    peers = peer_commands(args)
    args.busy_start = busy_cpus()
    rows = []
    try:
        for size in sorted(args.inputs):
            for key in keys:
                if size in args.huge:
                    if key in HUGE_CASES:
                        rows.append(measure_huge(size, key, args, args.workdir))
                    continue
                log("%d² %s" % (size, CASES[key][0]))
                rows += measure_case(size, key, args, peers, args.workdir)
    except RunFailed as e:
        sys.exit("compare.py: bumpweld failed: %s" % e)
    except KeyboardInterrupt:
        log("compare.py: interrupted")
        sys.exit(130)
    args.busy_end = busy_cpus()
    if args.old_bumpweld:
        print_regression_table([r for r in rows if "old" in r], args)
    else:
        print_table(rows, args)


if __name__ == "__main__":
    main()
