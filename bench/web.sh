#!/usr/bin/env bash
# Speed of the page's merge (the WebAssembly module in headless Chromium) against the native
# command line on one thread, on the same job.
#
# Usage: bench/web.sh [options]            (from anywhere inside the repository)
#
#   --sizes "N ..."     square sizes, multiples of 512 (default: 2048)
#   --runs N            merges per size and side; the first in the page also instantiates the
#                       module and is left out, the median of the others is reported (default 5)
#   --container EXT     output container of both sides: tga, kep, dds or ktx2 (default tga)
#   --build-dir DIR     the build whose page (DIR/page) and bumpweld are timed; it is built
#                       first (default: build in the repository)
#   --no-build          use DIR as it is
#   -h, --help          this text
#
# Inputs are the 512 x 512 sample maps (base.tga, detail.tga) tiled to each size, kept in
# $BUMPWELD_BENCH_CACHE (else ~/.cache/bumpweld-bench)/web. The page's time is its wall time
# from handing the maps to its worker to having the output file back (the maps are already in
# the page; the worker copies them into the module and the file out of it); the native time is
# `bumpweld --threads=1 -q base detail out.EXT` from start to exit. The markdown table goes to
# stdout. Needs node, Debian's chromium and the build's npm packages (the `web` target).
set -euo pipefail

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; }
die() { echo "bench/web.sh: $*" >&2; exit 1; }

bench_dir=$(cd "$(dirname "$0")" && pwd)
repo=$(git -C "$bench_dir" rev-parse --show-toplevel 2>/dev/null) || repo=$(dirname "$bench_dir")
sizes=2048
runs=5
container=tga
build_dir="$repo/build"
build=1
while [ $# -gt 0 ]; do
  case "$1" in
    --sizes) [ $# -ge 2 ] || die "--sizes needs a value"; sizes=$2; shift ;;
    --runs) [ $# -ge 2 ] || die "--runs needs a value"; runs=$2; shift ;;
    --container) [ $# -ge 2 ] || die "--container needs a value"; container=$2; shift ;;
    --build-dir) [ $# -ge 2 ] || die "--build-dir needs a value"; build_dir=$2; shift ;;
    --no-build) build=0 ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; die "unknown option '$1'" ;;
  esac
  shift
done
[[ $runs =~ ^[0-9]+$ ]] && [ "$runs" -ge 2 ] || die "--runs must be 2 or more"
case "$container" in tga|kep|dds|ktx2) ;; *) die "unknown container '$container'" ;; esac
flags=(-Q)
[ "$container" = kep ] && flags=(-iQ)

if [ "$build" = 1 ]; then
  cmake -S "$repo" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build_dir" -j"$(nproc)" --target bumpweld bumpweld_samples web >/dev/null
fi
[ -f "$build_dir/page/index.html" ] || die "no page in $build_dir/page (the web target needs emscripten)"
export NODE_PATH="$build_dir/npm/node_modules"

cache="${BUMPWELD_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/bumpweld-bench}/web"
mkdir -p "$cache"
[ -f "$cache/base.tga" ] || "$build_dir/bumpweld_samples" "$cache" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

echo "| size | page (ms) | native --threads=1 (ms) | page / native |"
echo "|---|---|---|---|"
for n in ${sizes//,/ }; do
  [[ $n =~ ^[0-9]+$ ]] && [ $((n % 512)) -eq 0 ] || die "bad size '$n' (a multiple of 512)"
  for map in base detail; do
    [ -f "$cache/$map-$n.tga" ] || /usr/bin/python3 "$bench_dir/tile_tga.py" "$cache/$map.tga" "$cache/$map-$n.tga" $((n / 512))
  done
  page=$(node "$bench_dir/web_merge.js" "$build_dir/page" "$cache/base-$n.tga" "$cache/detail-$n.tga" "$runs" "$container")
  grep -q '"message":"Merged' <<< "$page" || die "the page did not merge at $n: $page"
  page_ms=$(node -e 'const r = JSON.parse(process.argv[1]); for (const t of r.times.slice(1)) console.log(t.wall)' "$page" | median)
  native=()
  for _ in $(seq "$runs"); do
    start=$(date +%s%N)
    "$build_dir/bumpweld" "${flags[@]}" --threads=1 "$cache/base-$n.tga" "$cache/detail-$n.tga" "$work/out.$container"
    native+=($(( ($(date +%s%N) - start) / 1000 )))
  done
  native_ms=$(printf '%s\n' "${native[@]}" | median | awk '{ print $1 / 1000 }')
  awk -v n="$n" -v p="$page_ms" -v c="$native_ms" 'BEGIN { printf "| %d² | %.0f | %.0f | %.2f |\n", n, p, c, p / c }'
done
