#!/usr/bin/env bash
# Speed and memory benchmark of bumpweld, with the numpy script and nvcompress as comparisons.
#
# Usage: bench/run.sh [options]            (from anywhere inside the repository)
#
#   --sizes "N ..."     square sizes to time (default: 1024 2048 4096)
#   --large             add 8192 to the sizes
#   --huge              also one run at 16384 x 16384 of each chosen case among default, png16
#                       and dds (time and RSS only)
#   --cases LIST        comma-separated subset of default,e,m,height,i,fsync,png,png16,dds,
#                       strength,blend,fillall,exr
#                       (default: default,e,m,height,i)
#   --runs N            timed runs per command (default 5; the median is reported)
#   --warmup N          untimed runs per command before the timed ones (default 1)
#   --build-dir DIR     Release build directory (default: build-bench in the repository)
#   --no-build          use DIR/bumpweld as it is
#   --bumpweld PATH     time this executable instead of building one
#   --old-bumpweld PATH time an older executable in the same loop too (old, new, peers) and
#                       print how the new one's ratios moved against the old one's
#   --bc5-quality       after the timings, BC5 angular errors of bumpweld's DDS and of
#                       nvcompress -bc5 -normal on bumpweld's Targa, on the merged maps of each
#                       size and on the real textures in ../shared/textures (needs nvcompress)
#   --gpu               after the timings, the GPU layouts' angle errors (bc5, eacrg11, bc3n,
#                       ASTC 4x4 and 6x6 against astcenc and nvcompress -bc3n) on the real
#                       textures and the merged maps of each size, and the chains' speed on the
#                       largest size (needs astcenc, nvcompress and the Python module)
#   --codecs            after the timings, the PNG and TIFF jobs at 4096² (against
#                       --old-bumpweld when given, alternating) and each container's floor:
#                       its library alone reading and writing the same maps (bench/codec_table.py,
#                       bench/ContainerFloor.cpp); with --sizes '' only these
#   --cache DIR         where generated inputs are kept between runs
#                       (default: $BUMPWELD_BENCH_CACHE, else ~/.cache/bumpweld-bench)
#   --samples           make the inputs from the project's 512 x 512 sample maps, tiled, even
#                       when gen_inputs.py is there (their base map has an empty patch, so
#                       dilation has work to do); sizes must be multiples of 512
#   --no-peers          time bumpweld alone
#   --install           as root, install the missing Debian packages without asking
#                       (python3-numpy, python3-pil, libnvtt-bin, time)
#   --no-install        never install anything; run with what is there
#   -h, --help          this text
#
# What it does: builds bumpweld in Release into its own directory; makes inputs (base and detail
# normal maps, a height map) with ../shared/peers/gen_inputs.py next to the repository when
# that and a Python with numpy and PIL are there, else by tiling the 512 x 512 pictures of
# bumpweld_samples; then, per size, times these runs, each as the median of --runs runs after
# the warm-up, with peak RSS:
#
#   case     bumpweld command                       compared with
#   default  bumpweld base detail out.tga           rnm_numpy.py base detail out.tga
#   e        bumpweld -e base detail out.tga        rnm_numpy.py base detail out.tga
#   m        bumpweld -m base detail out.tga        rnm_numpy.py --mips base detail out.tga
#   height   bumpweld -m base height 1.0 out.tga    rnm_numpy.py --mips --height base height out.tga
#                                                   nvcompress -tonormal -rgb -repeat height out.dds
#   i        bumpweld -i base detail out.kep        (none)
#   fsync    bumpweld base detail out.tga           the same with fsync a no-op (LD_PRELOAD of
#                                                   bench_nofsync), and writing to /dev/shm
#   png      bumpweld base.png detail.png out.png   rnm_numpy.py base.png detail.png out.png
#                                                   (also the ratio of the output sizes)
#   png16    bumpweld --bits=16 - base height16.png 1.0 out.png (none; 16-bit PNG height)
#   dds      bumpweld -m base detail out.dds        bumpweld -m base detail out.tga, then
#                                                   nvcompress -bc5 -normal out00.tga out.dds
#   exr      bumpweld -m base detail out.exr        bumpweld -m --bits=16 base detail out.png
#
# The cases default, e, m, height and i are also timed against their floor, in the same loop:
# cat of the input files, then dd writing and syncing as many bytes as bumpweld wrote, in one
# file (columns "floor s" and "ratio to floor").
#
# A comparison runs in the same loop as bumpweld, alternating with it (A B A B ...); the ratio
# is bumpweld / comparison, pair by pair (progress and every pair on stderr), and the table
# shows the median ratio. The numpy script runs with OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE
# unset, so numpy is not held back by them. Outputs go to a temporary directory that is removed
# at the end; bumpweld's console output is discarded. The markdown table goes to stdout.
#
# Threads: bumpweld uses the CPUs the process may run on, so `taskset -c 0 bench/run.sh` gives
# the single-threaded figures.
#
# Examples:
#   bench/run.sh > bench.md                       # the standard table
#   bench/run.sh --sizes 1024 --cases default,e   # a quick look
#   bench/run.sh --large --huge                   # adds 8192 and the 16384 memory check
#   bench/run.sh --sizes 4096 --old-bumpweld OLD  # old and new executable, same loop
#   bench/run.sh --sizes 4096 --cases png         # PNG job against numpy + PIL
#   bench/run.sh --sizes '' --huge --cases png16  # 16384² 16-bit PNG memory check
#   bench/run.sh --sizes 4096 --cases dds --huge --bc5-quality   # BC5 time, memory, quality
#   bench/run.sh --sizes '' --codecs --old-bumpweld OLD   # PNG/TIFF old and new, floors
set -euo pipefail

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; }
die() { echo "bench/run.sh: $*" >&2; exit 1; }
note() { echo "bench/run.sh: $*" >&2; }

bench_dir=$(cd "$(dirname "$0")" && pwd)
repo=$(git -C "$bench_dir" rev-parse --show-toplevel 2>/dev/null) || repo=$(dirname "$bench_dir")
peers_dir="$repo/../shared/peers"

sizes="1024 2048 4096"
large=0
huge=0
cases="default,e,m,height,i"
runs=5
warmup=1
build_dir="$repo/build-bench"
build=1
bumpweld=""
old_bumpweld=""
bc5_quality=0
gpu=0
codecs=0
cache="${BUMPWELD_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/bumpweld-bench}"
use_peers=1
samples=0
install=auto

while [ $# -gt 0 ]; do
  case "$1" in
    --sizes) [ $# -ge 2 ] || die "--sizes needs a value"; sizes=$2; shift
             # also accept --sizes 1024 2048 (several words)
             while [ $# -ge 2 ] && [[ $2 =~ ^[0-9]+$ ]]; do sizes="$sizes $2"; shift; done ;;
    --large) large=1 ;;
    --huge) huge=1 ;;
    --cases) [ $# -ge 2 ] || die "--cases needs a value"; cases=$2; shift ;;
    --runs) [ $# -ge 2 ] || die "--runs needs a value"; runs=$2; shift ;;
    --warmup) [ $# -ge 2 ] || die "--warmup needs a value"; warmup=$2; shift ;;
    --build-dir) [ $# -ge 2 ] || die "--build-dir needs a value"; build_dir=$2; shift ;;
    --no-build) build=0 ;;
    --bumpweld) [ $# -ge 2 ] || die "--bumpweld needs a value"; bumpweld=$2; build=0; shift ;;
    --old-bumpweld) [ $# -ge 2 ] || die "--old-bumpweld needs a value"; old_bumpweld=$2; shift ;;
    --bc5-quality) bc5_quality=1 ;;
    --gpu) gpu=1 ;;
    --codecs) codecs=1 ;;
    --cache) [ $# -ge 2 ] || die "--cache needs a value"; cache=$2; shift ;;
    --samples) samples=1 ;;
    --no-peers) use_peers=0 ;;
    --install) install=yes ;;
    --no-install) install=no ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; die "unknown option '$1'" ;;
  esac
  shift
done

sizes=${sizes//,/ }
[ "$large" = 1 ] && sizes="$sizes 8192"
read -r -a size_list <<< "$sizes"
sizes=$( ( [ ${#size_list[@]} -eq 0 ] || printf '%s\n' "${size_list[@]}" ) | sort -n -u | tr '\n' ' ')
for n in $sizes; do
  [[ $n =~ ^[0-9]+$ ]] && [ "$n" -ge 1 ] && [ "$n" -le 16384 ] || die "bad size '$n'"
done
[ -n "${sizes// /}" ] || [ "$huge" = 1 ] || [ "$codecs" = 1 ] || die "no sizes to time"
for c in ${cases//,/ }; do
  case "$c" in
    default|e|m|height|i|fsync|png|png16|dds|strength|blend|fillall|exr) ;;
    *) die "unknown case '$c' (default, e, m, height, i, fsync, png, png16, dds, strength, blend, fillall, exr)" ;;
  esac
done
has_case() { [[ ",$cases," == *",$1,"* ]]; }
[[ $runs =~ ^[0-9]+$ ]] && [ "$runs" -ge 1 ] || die "--runs must be a positive number"
[[ $warmup =~ ^[0-9]+$ ]] || die "--warmup must be a number"
[ "$runs" -ge 5 ] || note "fewer than 5 runs: fine for a look, too few for figures to quote"

# --- Debian packages -------------------------------------------------------------------------
# Inputs and the numpy comparison need a Python with numpy and PIL; peak RSS needs GNU time.
# As root they are installed when missing (unless --no-install); nvcompress only with --install.
apt_install() {
  note "installing $* (Debian packages)"
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@"; } >&2 ||
    die "could not install $*"
}
can_install() { [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; }

numpy_python=""
find_numpy_python() {
  numpy_python=""
  for py in /usr/bin/python3 python3; do
    if command -v "$py" >/dev/null && "$py" -c 'import numpy, PIL.Image' 2>/dev/null; then
      numpy_python=$(command -v "$py"); return 0
    fi
  done
  return 1
}

missing=()
[ -x /usr/bin/time ] || missing+=(time)
find_numpy_python || missing+=(python3-numpy python3-pil)
if { [ "$use_peers" = 1 ] || [ "$bc5_quality" = 1 ]; } && ! command -v nvcompress >/dev/null &&
   [ "$install" = yes ]; then
  missing+=(libnvtt-bin)
fi
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$install" != no ] && can_install; then
    apt_install "${missing[@]}"
    find_numpy_python || true
  else
    note "missing: ${missing[*]} (as root: apt-get install -y ${missing[*]}; or rerun with --install)"
  fi
fi
[ -x /usr/bin/time ] || die "/usr/bin/time is needed for peak RSS (Debian package 'time')"
py=$(command -v /usr/bin/python3 || command -v python3) || die "python3 is needed"

# --- Build -----------------------------------------------------------------------------------
if [ -z "$bumpweld" ]; then
  bumpweld="$build_dir/bumpweld"
  if [ "$build" = 1 ]; then
    note "building bumpweld (Release) in $build_dir"
    { cmake -S "$repo" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DBUMPWELD_TESTS=OFF &&
      cmake --build "$build_dir" -j2 --target bumpweld; } >&2 ||
      die "the build failed (output above)"
  fi
fi
[ -x "$bumpweld" ] || die "no executable at $bumpweld (build it, or drop --no-build)"
bumpweld=$(cd "$(dirname "$bumpweld")" && pwd)/$(basename "$bumpweld")

# Programs that are not part of the tool (the fsync shim, the BC5 quality program) are built in
# the build directory, even when the executable timed comes from elsewhere.
build_extra() {
  if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DBUMPWELD_TESTS=OFF >&2 ||
      die "configuring $build_dir failed"
  fi
  cmake --build "$build_dir" -j2 --target "$1" >&2 || die "building $1 failed"
}
nofsync=""
if has_case fsync; then
  build_extra bench_nofsync
  nofsync="$build_dir/libbench_nofsync.so"
  [ -f "$nofsync" ] || die "no $nofsync after the build"
  nofsync=$(cd "$(dirname "$nofsync")" && pwd)/$(basename "$nofsync")
fi
if [ "$codecs" = 1 ]; then
  build_extra container_floor
fi
if [ "$bc5_quality" = 1 ]; then
  build_extra bc5_quality
  command -v nvcompress >/dev/null || die "--bc5-quality needs nvcompress (Debian package libnvtt-bin)"
fi

old_args=()
if [ -n "$old_bumpweld" ]; then
  [ -x "$old_bumpweld" ] || die "no executable at $old_bumpweld"
  old_bumpweld=$(cd "$(dirname "$old_bumpweld")" && pwd)/$(basename "$old_bumpweld")
  old_revision="$(git -C "$(dirname "$old_bumpweld")" rev-parse --short HEAD 2>/dev/null ||
                  echo unknown)"
  old_args=(--old-bumpweld "$old_bumpweld" --old-revision "$old_revision")
fi

revision="$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)"
if [ -n "$(git -C "$repo" status --porcelain --untracked-files=no 2>/dev/null)" ]; then
  revision="$revision with uncommitted changes"
fi

# --- Inputs ----------------------------------------------------------------------------------
# gen_inputs.py writes base_N.tga, detail_N.tga and height_N.tga (plus PNG copies); the
# fallback writes the same names, tiled from the 512 x 512 samples.
if [ "$samples" = 0 ] && [ -f "$peers_dir/gen_inputs.py" ] && [ -n "$numpy_python" ]; then
  input_dir="$cache/generated"
  source_text="gen_inputs.py (tileable synthetic maps, no empty texels)"
  make_inputs() { "$numpy_python" "$peers_dir/gen_inputs.py" --out "$input_dir" --sizes "$@" >&2; }
else
  input_dir="$cache/samples"
  source_text="bumpweld_samples 512² pictures, tiled"
  [ "$samples" = 1 ] ||
    note "gen_inputs.py or numpy/PIL not found: tiling the project's 512 x 512 sample maps"
  make_inputs() {
    local sample_dir="$input_dir/512"
    if [ ! -f "$sample_dir/height.tga" ]; then
      local gen
      gen="$(dirname "$bumpweld")/bumpweld_samples"
      if [ ! -x "$gen" ]; then
        [ -f "$build_dir/CMakeCache.txt" ] || die "no bumpweld_samples to make inputs with"
        cmake --build "$build_dir" -j2 --target bumpweld_samples >&2 ||
          die "building bumpweld_samples failed"
        gen="$build_dir/bumpweld_samples"
      fi
      mkdir -p "$sample_dir" && "$gen" "$sample_dir" >&2 || die "bumpweld_samples failed"
    fi
    local n name
    for n in "$@"; do
      [ $((n % 512)) = 0 ] || die "size $n: the sample fallback only makes multiples of 512"
      for name in base detail height; do
        "$py" "$bench_dir/tile_tga.py" "$sample_dir/$name.tga" "$input_dir/${name}_$n.tga" \
          $((n / 512)) || die "tiling $name failed"
      done
    done
  }
fi
mkdir -p "$input_dir" || die "cannot create the cache directory $input_dir"

have_inputs() { [ -s "$input_dir/base_$1.tga" ] && [ -s "$input_dir/detail_$1.tga" ] &&
                [ -s "$input_dir/height_$1.tga" ]; }
todo=()
for n in $sizes; do have_inputs "$n" || todo+=("$n"); done
if [ "$codecs" = 1 ] && ! have_inputs 4096 && [[ " ${todo[*]} " != *" 4096 "* ]]; then todo+=(4096); fi
if [ ${#todo[@]} -gt 0 ]; then
  note "making inputs ${todo[*]} in $input_dir"
  make_inputs "${todo[@]}" || die "making the inputs failed"
fi
# PNG copies of the normal maps (gen_inputs.py writes them; the sample fallback needs PIL).
png_inputs() {
  local n=$1 name
  for name in base detail; do
    [ -s "$input_dir/${name}_$n.png" ] && continue
    [ -n "$numpy_python" ] || die "making PNG inputs needs python3-pil"
    "$numpy_python" -c 'import sys; from PIL import Image
Image.open(sys.argv[1]).save(sys.argv[2] + ".part", format="PNG", compress_level=1)' \
      "$input_dir/${name}_$n.tga" "$input_dir/${name}_$n.png" &&
      mv "$input_dir/${name}_$n.png.part" "$input_dir/${name}_$n.png" ||
      die "making ${name}_$n.png failed"
  done
  printf ',base_png=%s,detail_png=%s' "$input_dir/base_$n.png" "$input_dir/detail_$n.png"
}
# A 16-bit PNG height map of size n (made once, kept in the cache).
height16_input() {
  local n=$1 file="$input_dir/height16_$1.png"
  if [ ! -s "$file" ]; then
    [ -n "$numpy_python" ] || die "making the 16-bit height map needs python3-numpy"
    note "making the 16-bit PNG height map $file"
    "$numpy_python" "$bench_dir/make_height16.py" "$file" "$n" || die "making $file failed"
  fi
  printf ',height16=%s' "$file"
}
# The base map with its left half empty (bytes 127, 127, 127), for the gap-filling case.
half_input() {
  local n=$1 file="$input_dir/base_half_$1.tga"
  if [ ! -s "$file" ]; then
    "$py" -c 'import sys
data = bytearray(open(sys.argv[1], "rb").read()); n = int(sys.argv[3])
for y in range(n):
    row = 18 + y * n * 3
    data[row:row + n // 2 * 3] = b"\x7f" * (n // 2 * 3)
open(sys.argv[2], "wb").write(data)' "$input_dir/base_$n.tga" "$file.part" "$n" && mv "$file.part" "$file" ||
      die "making $file failed"
  fi
  printf ',base_half=%s' "$file"
}
input_args=()
for n in $sizes; do
  have_inputs "$n" || die "inputs of size $n are missing in $input_dir"
  files="$n:base=$input_dir/base_$n.tga,detail=$input_dir/detail_$n.tga,height=$input_dir/height_$n.tga"
  if has_case png; then files+=$(png_inputs "$n"); fi
  if has_case png16; then files+=$(height16_input "$n"); fi
  if has_case fillall; then files+=$(half_input "$n"); fi
  input_args+=(--input "$files")
done

# 16384²: tile a 4096² pair four times each way (the generated maps wrap seamlessly).
huge_args=()
if [ "$huge" = 1 ] && { has_case default || has_case png16 || has_case dds; }; then
  if [ ! -s "$input_dir/base_16384.tga" ] ||
     { [ ! -s "$input_dir/detail_16384.tga" ] && { has_case default || has_case dds; }; }; then
    have_inputs 4096 || make_inputs 4096 || die "making the 4096 inputs failed"
    note "tiling the 16384 x 16384 pair in $input_dir"
    for name in base detail; do
      [ -s "$input_dir/${name}_16384.tga" ] && continue
      [ "$name" = detail ] && ! has_case default && ! has_case dds && continue
      "$py" "$bench_dir/tile_tga.py" "$input_dir/${name}_4096.tga" \
        "$input_dir/${name}_16384.tga.part" 4 &&
        mv "$input_dir/${name}_16384.tga.part" "$input_dir/${name}_16384.tga" ||
        die "tiling the 16384 $name map failed"
    done
  fi
  files="16384:base=$input_dir/base_16384.tga"
  if has_case default || has_case dds; then files+=",detail=$input_dir/detail_16384.tga"; fi
  if has_case png16; then files+=$(height16_input 16384); fi
  huge_args=(--huge 16384 --input "$files")
elif [ "$huge" = 1 ]; then
  note "--huge: none of the chosen cases has a 16384 form (default, png16, dds)"
fi

# --- Comparisons -----------------------------------------------------------------------------
peer_args=()
if [ "$use_peers" = 1 ]; then
  if [ -f "$peers_dir/rnm_numpy.py" ] && [ -n "$numpy_python" ]; then
    peer_args+=(--numpy-python "$numpy_python" --rnm "$(cd "$peers_dir" && pwd)/rnm_numpy.py")
  else
    note "no numpy comparison (needs $peers_dir/rnm_numpy.py and python3-numpy, python3-pil)"
  fi
  if command -v nvcompress >/dev/null; then
    peer_args+=(--nvcompress "$(command -v nvcompress)")
  else
    note "no nvcompress comparison (Debian package libnvtt-bin; rerun with --install as root)"
  fi
fi

# --- Measure ---------------------------------------------------------------------------------
workdir=$(mktemp -d "${TMPDIR:-/tmp}/bumpweld-bench.XXXXXX")
tmpfs_dir=""
trap 'rm -rf "$workdir" ${tmpfs_dir:+"$tmpfs_dir"}' EXIT
if has_case fsync; then
  # fsync is timed against a no-op fsync on the same disk, and against a file system in memory.
  [ "$(stat -f -c %T "$workdir")" != tmpfs ] ||
    note "$workdir is on tmpfs: the synced run syncs nothing there (set TMPDIR to a disk)"
  if [ -d /dev/shm ] && [ "$(stat -f -c %T /dev/shm)" = tmpfs ]; then
    tmpfs_dir=$(mktemp -d /dev/shm/bumpweld-bench.XXXXXX)
    peer_args+=(--tmpfs-workdir "$tmpfs_dir")
  else
    note "no tmpfs at /dev/shm: the fsync case runs without the tmpfs comparison"
  fi
  peer_args+=(--nofsync "$nofsync")
fi
# The driver runs in the background so that Ctrl-C or a TERM reaches it at once; it then ends
# the command being timed (each runs in a session of its own) before this script cleans up.
if [ ${#input_args[@]} -gt 0 ] || [ ${#huge_args[@]} -gt 0 ]; then
  "$py" "$bench_dir/compare.py" --bumpweld "$bumpweld" --workdir "$workdir" \
    --cases "$cases" --runs "$runs" --warmup "$warmup" \
    --revision "$revision" --input-source "$source_text" \
    "${input_args[@]}" "${huge_args[@]}" "${peer_args[@]}" "${old_args[@]}" &
  driver=$!
  trap 'kill -TERM "$driver" 2>/dev/null; wait "$driver"; exit 130' INT TERM
  wait "$driver"
fi

if [ "$codecs" = 1 ]; then
  png_inputs 4096 >/dev/null
  "$py" "$bench_dir/codec_table.py" --bumpweld "$bumpweld" ${old_bumpweld:+--old-bumpweld "$old_bumpweld"} \
    --floor "$build_dir/container_floor" --inputs "$input_dir" --size 4096 --workdir "$workdir/codecs" \
    --runs "$runs" --warmup "$warmup" &
  driver=$!
  trap 'kill -TERM "$driver" 2>/dev/null; wait "$driver"; exit 130' INT TERM
  wait "$driver"
fi

if [ "$gpu" = 1 ]; then
  command -v astcenc >/dev/null || die "--gpu needs astcenc (Debian package astcenc)"
  command -v nvcompress >/dev/null || die "--gpu needs nvcompress (Debian package libnvtt-bin)"
  pairs=()
  for n in $sizes; do pairs+=(--pair "$n² merged:$input_dir/base_$n.tga:$input_dir/detail_$n.tga"); done
  PYTHONPATH="$(dirname "$bumpweld")/python" "$py" "$bench_dir/gpu_table.py" --bumpweld "$bumpweld" \
    --textures "$repo/../shared/textures" --workdir "$workdir/gpu" --runs "$runs" "${pairs[@]}" &
  driver=$!
  wait "$driver"
fi

if [ "$bc5_quality" = 1 ]; then
  pairs=()
  for n in $sizes; do pairs+=(--pair "$n² merged:$input_dir/base_$n.tga:$input_dir/detail_$n.tga"); done
  "$py" "$bench_dir/bc5_table.py" --bumpweld "$bumpweld" --bc5-quality "$build_dir/bc5_quality" \
    --nvcompress "$(command -v nvcompress)" --textures "$repo/../shared/textures" \
    --workdir "$workdir" "${pairs[@]}" &
  driver=$!
  wait "$driver"
fi
