#!/usr/bin/env bash
# Installs the Debian packages that building Bumpweld and running its tests need (when any is
# missing; as root, or through sudo), then builds the tool and runs it on the bundled sample
# maps. `tools/setup.sh --packages-only` stops after the packages.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make pkg-config libgtest-dev libspng-dev libdeflate-dev zlib1g-dev libopenexr-dev libtiff-dev libpng-dev
          libastcenc-dev astcenc libtomlplusplus-dev libsqlite3-dev libssl-dev
          pybind11-dev python3-dev python3-numpy python3-pytest python3-distributed python3-pil
          python3-venv openimageio-tools python3-openimageio libnvtt-bin emscripten chromium)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
# Node.js and npm from Debian only where no node or npm is there already (a Node.js of another
# origin, which brings its own npm, conflicts with Debian's npm package).
command -v node >/dev/null 2>&1 || missing+=(nodejs)
command -v npm >/dev/null 2>&1 || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi
[ "${1:-}" = "--packages-only" ] && exit 0

cmake -S . -B build && cmake --build build -j"$(nproc)" --target quickstart
