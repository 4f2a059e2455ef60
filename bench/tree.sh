#!/bin/sh
# Asset trees: `bumpweld --tree` on PAIRS pairs of small maps (64 x 64, in folders of 100) against
# `bumpweld --batch` on the same jobs (the lines --plan prints), then the tree's rerun when
# nothing changed (every job skipped by its records, RUNS times), and one rerun after `touch` of
# every input (each input read and hashed again, nothing built). The first runs alternate, RUNS
# times each, in fresh output folders; the outputs of both ways are compared byte for byte.
# Prints the best wall and CPU (user + sys) seconds of each, and the first runs' ratios.
#
# Usage: bench/tree.sh [BUILD_DIR] [PAIRS] [RUNS]   (defaults: build 10000 2)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
pairs=${2:-10000}
runs=${3:-2}
bw="$build/bumpweld"
work=$(mktemp -d "${TMPDIR:-/tmp}/bumpweld-tree-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

/usr/bin/python3 "$here/make_pairs.py" "$work/maps" 64 8
i=0
while [ "$i" -lt "$pairs" ]; do
  d="$work/assets/f$((i / 100))"
  [ $((i % 100)) -eq 0 ] && mkdir -p "$d"
  cp "$work/maps/base_64_$((i % 8)).tga" "$d/m${i}_n.tga"
  cp "$work/maps/detail_64_$((i % 8)).tga" "$d/m${i}_detail.tga"
  i=$((i + 1))
done
cat > "$work/tree.toml" <<TOML
output = "out"
[[root]]
path = "assets"
[[rule]]
base = "{name}_n.tga"
second = "{name}_detail.tga"
flags = "q"
output = "{dir}/{name}.tga"
TOML
cd "$work"
"$bw" --tree tree.toml --plan > jobs.txt

# timed NAME COMMAND...: runs the command, appends "wall cpu" to NAME.times.
timed() {
  name=$1
  shift
  /usr/bin/time -f "%e %U %S" -o "$name.t" "$@" > /dev/null 2>&1 || { echo "$name failed" >&2; exit 1; }
  awk '{ print $1, $2 + $3 }' "$name.t" >> "$name.times"
}

r=0
while [ "$r" -lt "$runs" ]; do
  rm -rf out && sync
  mkdir -p out && (cd assets && find . -type d -exec mkdir -p ../out/{} \;)
  timed batch "$bw" --batch jobs.txt
  mv out out-batch && sync
  timed tree "$bw" --tree tree.toml
  rm -f out/.bumpweld.records*  # the next round starts without records
  diff -r out out-batch > /dev/null || { echo "the outputs differ" >&2; exit 1; }
  rm -rf out-batch
  r=$((r + 1))
done
"$bw" --tree tree.toml > /dev/null  # records of every job
r=0
while [ "$r" -lt "$runs" ]; do
  timed noop "$bw" --tree tree.toml
  r=$((r + 1))
done
find assets -type f -exec touch {} +
sleep 1.1  # past the second within which a file's times are not trusted
timed touched "$bw" --tree tree.toml  # once: it hashes every input again, the next run would not

# The best of each (the least disturbed by other work on the machine), and the median.
best() { sort -n "$1.times" | head -1; }
median() { sort -n "$1.times" | awk '{ w[NR] = $1 } END { print (NR % 2 ? w[(NR + 1) / 2] : (w[NR / 2] + w[NR / 2 + 1]) / 2) }'; }
echo "| run | wall s | CPU s | median wall s |"
echo "|---|---:|---:|---:|"
for name in batch tree noop touched; do
  best "$name" | awk -v n="$name" -v m="$(median "$name")" '{ printf "| %s | %.2f | %.2f | %.2f |\n", n, $1, $2, m }'
done
best batch > b.best
best tree > t.best
paste b.best t.best | awk -v n="$pairs" '{ printf "first run of %d pairs, tree / batch: wall %.3f, CPU %.3f\n", n, $3 / $1, $4 / $2 }'
awk -v t="$(median tree)" -v b="$(median batch)" 'BEGIN { printf "median wall, tree / batch: %.3f\n", t / b }'
