#!/usr/bin/env bash
# Installs the build into a scratch prefix, builds the C example against the installed package
# through find_package and through pkg-config, and checks both against the command line.
set -euo pipefail
build=$1 source=$2
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
