#!/usr/bin/env bash
# Installs the build into a scratch prefix, builds the C example against the installed package
# through find_package and through pkg-config, and checks both against the command line.
set -euo pipefail
build=$(cd "$1" && pwd) source=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
"$build/bumpweld_samples" "$work" >/dev/null
"$work/prefix/bin/bumpweld" -q "$work/base.tga" "$work/detail.tga" "$work/cli.tga" >/dev/null

cmake -S "$source/examples" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/merge_maps" -q "$work/base.tga" "$work/detail.tga" "$work/cmake.tga"
cmp "$work/cli.tga" "$work/cmake.tga"

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
cc -Wall -Wextra -o "$work/pc_merge_maps" "$source/examples/merge_maps.c" $(pkg-config --cflags --libs bumpweld)
"$work/pc_merge_maps" -q "$work/base.tga" "$work/detail.tga" "$work/pc.tga"
cmp "$work/cli.tga" "$work/pc.tga"
echo "installed example equals the command line"

# pip reuses the build's extension module (the copied package has no project around it to
# compile one from).
if [ -d "$build/python/bumpweld" ] && /usr/bin/python3 -m venv --system-site-packages "$work/venv" 2>/dev/null; then
  cp -r "$source/python" "$work/pysrc"
  BUMPWELD_BUILD_DIR="$build" "$work/venv/bin/pip" install -q --no-build-isolation --no-deps --no-index "$work/pysrc"
  (cd "$work" && venv/bin/python -c "import bumpweld; bumpweld.run_files('base.tga', 'detail.tga', 'py.tga', flags='-q')")
  cmp "$work/cli.tga" "$work/py.tga"
  echo "pip installed the built module, which equals the command line"
else
  echo "pip install not checked: no Python module in the build or no python3-venv"
fi
