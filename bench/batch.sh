#!/bin/sh
# Batches against one process per job: `bumpweld --batch` on 2,000 jobs of 256 x 256 map pairs
# against a shell script that runs the same command lines one by one, and on 8 jobs of
# 4096 x 4096 pairs against the same 8 command lines one after another. Prints one row per case:
# wall seconds, CPU use ((user + sys) / wall) and the ratio of the wall times; the outputs of
# both ways are compared byte for byte.
#
# Usage: bench/batch.sh [BUILD_DIR] [SMALL_JOBS] [LARGE_JOBS]   (defaults: build 2000 8)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
small=${2:-2000}
large=${3:-8}
bw="$build/bumpweld"
py=/usr/bin/python3
work=$(mktemp -d "${TMPDIR:-/tmp}/bumpweld-batch-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

$py "$here/make_pairs.py" "$work/in" 256 8
$py "$here/make_pairs.py" "$work/in" 4096 4

# jobs SIZE COUNT OUTDIR: one command line per line; pairs are reused in turn.
jobs() {
  i=0
  while [ "$i" -lt "$2" ]; do
    k=$((i % ($1 == 256 ? 8 : 4)))
    echo "$work/in/base_$1_$k.tga $work/in/detail_$1_$k.tga $3/out$i.tga"
    i=$((i + 1))
  done
}

# timed OUTFILE COMMAND...: runs the command, writes "wall user sys" to OUTFILE.
timed() {
  out=$1
  shift
  /usr/bin/time -f "%e %U %S" -o "$out" "$@" > /dev/null 2>&1 || true
}

# compare NAME SIZE COUNT: the batch against one process per line.
compare() {
  name=$1
  mkdir -p "$work/$name-batch" "$work/$name-loop"
  jobs "$2" "$3" "$work/$name-batch" > "$work/$name.batch"
  jobs "$2" "$3" "$work/$name-loop" | sed "s|^|\"$bw\" |" > "$work/$name.sh"
  sync
  timed "$work/$name.tb" "$bw" --batch "$work/$name.batch"
  sync
  timed "$work/$name.tl" sh "$work/$name.sh"
  if ! diff -r "$work/$name-batch" "$work/$name-loop" > /dev/null; then
    echo "$name: the outputs differ" >&2
    exit 1
  fi
  read -r bwall buser bsys < "$work/$name.tb"
  read -r lwall luser lsys < "$work/$name.tl"
  awk -v n="$name" -v j="$3" -v bw="$bwall" -v bu="$buser" -v bs="$bsys" \
      -v lw="$lwall" -v lu="$luser" -v ls="$lsys" 'BEGIN {
    printf "| %s | %d | %.2f | %.2f | %.2f | %.2f | %.3f |\n", n, j, bw, (bu + bs) / bw, lw,
           (lu + ls) / lw, bw / lw }'
  rm -rf "$work/$name-batch" "$work/$name-loop"
}

echo "| case | jobs | batch wall s | batch CPU use | one by one wall s | one by one CPU use | ratio |"
echo "|---|---:|---:|---:|---:|---:|---:|"
compare "256x256" 256 "$small"
compare "4096x4096" 4096 "$large"
