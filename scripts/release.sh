#!/usr/bin/env bash
# Builds the three modules as shipped (Windows x64 and x86, Linux x86-64) in release mode and packs them:
#   dist/tarnfs-VERSION-windows.zip        tarnfs.wfx64, tarnfs.wfx, README.md, LICENSE, SHA256SUMS
#   dist/tarnfs-VERSION-linux-x86_64.tar.gz tarnfs.so, README.md, LICENSE, SHA256SUMS
# VERSION is the CMake project version. Two runs on the same sources give byte-identical archives; every
# member carries the time of the last commit (or SOURCE_DATE_EPOCH when set).
#   scripts/release.sh [--out DIR] [--build-prefix PREFIX]
# The build folders are PREFIX-linux, PREFIX-win64 and PREFIX-win32 (default build/release-*, the
# release-* presets); keep PREFIX directly inside build/ so that another set of folders shares ccache.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=dist
prefix=build/release
while [ $# -gt 0 ]; do
  case $1 in
    --out) out=$2; shift 2 ;;
    --build-prefix) prefix=$2; shift 2 ;;
    *) echo "usage: scripts/release.sh [--out DIR] [--build-prefix PREFIX]" >&2; exit 2 ;;
  esac
done

scripts/setup.sh
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/tarnfs-ccache}"
# Paths under the repository are hashed relative to the build folder, so folders at the same depth
# (build/release-*, build/release-again-*) reuse each other's objects.
export CCACHE_BASEDIR=$root

for target in linux win64 win32; do
  echo "=== release-$target: configure and build"
  cmake --preset "release-$target" -B "$prefix-$target" >/dev/null
  cmake --build "$prefix-$target" --target tarnfs -j 2
done

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$prefix-linux/CMakeCache.txt")
[ -n "$version" ] || { echo "release: no project version in $prefix-linux/CMakeCache.txt" >&2; exit 1; }
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 0)}

mkdir -p "$out"
windows=$out/tarnfs-$version-windows.zip
linux=$out/tarnfs-$version-linux-x86_64.tar.gz
python3 scripts/pack_release.py --version "$version" --epoch "$epoch" --out "$windows" \
  "$prefix-win64/bin/tarnfs.wfx64" "$prefix-win32/bin/tarnfs.wfx" README.md LICENSE
python3 scripts/pack_release.py --version "$version" --epoch "$epoch" --out "$linux" \
  "$prefix-linux/bin/tarnfs.so" README.md LICENSE
echo "=== tarnfs $version"
sha256sum "$windows" "$linux"
