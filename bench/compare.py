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
CASES = {
    "default": ("default", ["{base}", "{detail}"], "out.tga", ["numpy"]),
    "e": ("-e", ["-e", "{base}", "{detail}"], "out.tga", ["numpy"]),
    "m": ("-m", ["-m", "{base}", "{detail}"], "out.tga", ["numpy_mips"]),
    "height": ("-m height map", ["-m", "{base}", "{height}", "1.0"], "out.tga",
               ["numpy_height", "nvcompress"]),
    "i": ("-i (.kep)", ["-i", "{base}", "{detail}"], "out.kep", []),
}


def peer_commands(args):
    """key -> (label, argv template); only the peers that are available."""
    peers = {}
    if args.numpy_python and args.rnm:
        rnm = NUMPY_ENV + [args.numpy_python, args.rnm]
        peers["numpy"] = ("rnm_numpy", rnm + ["{base}", "{detail}", "{out}/out.tga"])
        peers["numpy_mips"] = ("rnm_numpy --mips",
                               rnm + ["--mips", "{base}", "{detail}", "{out}/out.tga"])
        peers["numpy_height"] = ("rnm_numpy --mips --height",
                                 rnm + ["--mips", "--height", "{base}", "{height}", "{out}/out.tga"])
    if args.nvcompress:
        peers["nvcompress"] = ("nvcompress -tonormal -rgb -repeat",
                               [args.nvcompress, "-tonormal", "-rgb", "-repeat", "{height}",
                                "{out}/out.dds"])
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


def run_once(argv, workdir, timeout):
    """Run argv with a fresh, empty output directory; return (wall seconds, peak RSS bytes)."""
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
    shutil.rmtree(outdir, ignore_errors=True)
    return wall, int(last[-1].split()[1]) * 1024


def fill(template, inputs):
    return [a.format(out="{out}", **inputs) for a in template]


def measure_case(size, key, args, peers, workdir):
    """Warm up, then the alternating loop. Returns one result row per peer (or one without)."""
    label, bw_args, out_name, peer_keys = CASES[key]
    inputs = args.inputs[size]
    commands = [("bumpweld", [args.bumpweld] + fill(bw_args, inputs) + ["{out}/" + out_name])]
    for pk in peer_keys:
        if pk in peers:
            commands.append((peers[pk][0], fill(peers[pk][1], inputs)))
    results = {name: [] for name, _ in commands}
    failed = set()
    for name, argv in commands:
        for _ in range(args.warmup):
            try:
                run_once(argv, workdir, args.timeout)
            except RunFailed as e:
                if name == "bumpweld":
                    raise
                log("  warning: peer %s failed, left out: %s" % (name, e))
                failed.add(name)
                break
    commands = [c for c in commands if c[0] not in failed]
    for i in range(args.runs):
        line = []
        for name, argv in list(commands):
            try:
                wall, rss = run_once(argv, workdir, args.timeout)
            except RunFailed as e:
                if name == "bumpweld":
                    raise
                log("  warning: peer %s failed, left out: %s" % (name, e))
                failed.add(name)
                commands.remove((name, argv))
                continue
            results[name].append((wall, rss))
            line.append("%s %.3f s" % (name.split()[0], wall))
        bw = results["bumpweld"][-1][0]
        ratios = ["ratio vs %s %.3f" % (n.split()[0], bw / results[n][-1][0])
                  for n, _ in commands[1:]]
        log("  %5d %-14s pair %d/%d: %s" % (size, label, i + 1, args.runs,
                                            ", ".join(line + ratios)))
    texels = size * size
    bw_times = [w for w, _ in results["bumpweld"]]
    row = {"size": size, "case": label, "bw": statistics.median(bw_times),
           "bw_rss": max(r for _, r in results["bumpweld"]) / texels}
    rows = []
    for pk in peer_keys:
        name = peers[pk][0] if pk in peers else None
        if name is None:
            continue
        if name in failed:
            rows.append(dict(row, peer=name + " (failed)"))
            continue
        pt = [w for w, _ in results[name]]
        rows.append(dict(row, peer=name, peer_t=statistics.median(pt),
                         ratio=statistics.median(b / p for b, p in zip(bw_times, pt)),
                         peer_rss=max(r for _, r in results[name]) / texels))
    return rows or [row]


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
    return ["- machine: %s, %d CPUs online, %d usable by this run%s, Linux %s, THP `%s`"
            % (cpu, os.cpu_count() or 0, len(os.sched_getaffinity(0)), mem, platform.release(),
               thp),
            "- other load: %s CPUs busy with other processes just before the runs, %s just after"
            % (fmt(args.busy_start, "%.2f"), fmt(args.busy_end, "%.2f")),
            "- bumpweld: `%s` (%s)" % (args.bumpweld, args.revision or "revision unknown"),
            "- inputs: %s" % args.input_source,
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
]


def target_lines(rows):
    lines = []
    for size, case, peer, limit, what in TARGETS:
        for r in rows:
            if r["size"] != size or r["case"] != case:
                continue
            if what == "ratio" and r.get("peer") == peer and r.get("ratio") is not None:
                value, text = r["ratio"], "%d² `%s` time ≤ %.2f × %s" % (size, case, limit, peer)
            elif what == "rss":
                value, text = r["bw_rss"], "%d² `%s` peak RSS ≤ %g bytes/texel" % (size, case,
                                                                                   limit)
            else:
                continue
            lines.append("- %s: %.3f — %s" % (text, value, "met" if value <= limit else
                                              "NOT met"))
            break
    return lines


def print_table(rows, args):
    out = ["## bumpweld benchmark", ""] + machine_lines(args) + [""]
    out.append("| size | case | bumpweld median s | peer | peer median s | ratio "
               "| RSS bytes/texel | peer RSS bytes/texel |")
    out.append("|---|---|---:|---|---:|---:|---:|---:|")
    for r in rows:
        out.append("| %d² | %s | %.3f | %s | %s | %s | %.1f | %s |" % (
            r["size"], r["case"], r["bw"], r.get("peer", "—"), fmt(r.get("peer_t"), "%.3f"),
            fmt(r.get("ratio"), "%.3f"), r["bw_rss"], fmt(r.get("peer_rss"), "%.1f")))
    busy = max(args.busy_start or 0.0, args.busy_end or 0.0)
    if busy > 0.25:
        out += ["", "**Warning:** other processes kept %.2f of %d CPUs busy: times and ratios "
                "are unreliable; rerun on a quiet machine." % (busy, os.cpu_count() or 0)]
    goals = target_lines(rows)
    if goals:
        out += ["", "Targets:"] + goals
    print("\n".join(out), flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bumpweld", required=True, help="the executable to time")
    ap.add_argument("--input", action="append", default=[], metavar="N:BASE:DETAIL:HEIGHT",
                    help="inputs of one size (repeatable)")
    ap.add_argument("--huge", metavar="N:BASE:DETAIL",
                    help="also one default merge of this size (no warm-up, no peer)")
    ap.add_argument("--cases", default="default,e,m,height,i",
                    help="comma-separated subset of: %s" % ",".join(CASES))
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--warmup", type=int, default=1)
    ap.add_argument("--timeout", type=float, default=1800.0, help="seconds per run")
    ap.add_argument("--numpy-python", help="Python with numpy and PIL for the numpy peer")
    ap.add_argument("--rnm", help="path of rnm_numpy.py")
    ap.add_argument("--nvcompress", help="path of nvcompress")
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
        n, base, detail, height = item.split(":")
        args.inputs[int(n)] = {"base": base, "detail": detail, "height": height}
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
                log("%d² %s" % (size, CASES[key][0]))
                rows += measure_case(size, key, args, peers, args.workdir)
        if args.huge:
            n, base, detail = args.huge.split(":")
            n = int(n)
            log("%d² default, one run" % n)
            wall, rss = run_once([args.bumpweld, base, detail, "{out}/out.tga"], args.workdir,
                                 args.timeout)
            log("  %d default: %.3f s, %.1f bytes/texel" % (n, wall, rss / (n * n)))
            rows.append({"size": n, "case": "default (1 run)", "bw": wall,
                         "bw_rss": rss / (n * n)})
    except RunFailed as e:
        sys.exit("compare.py: bumpweld failed: %s" % e)
    except KeyboardInterrupt:
        log("compare.py: interrupted")
        sys.exit(130)
    args.busy_end = busy_cpus()
    print_table(rows, args)


if __name__ == "__main__":
    main()
