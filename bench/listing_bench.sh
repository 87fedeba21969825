#!/usr/bin/env bash
# Listing benchmarks (not tests): a cached 10,000-item repository listed folder by folder, cached
# folders of 1,000 and 10,000 files, and a 5,000-repository organisation paged at 500 against the fake
# hub; natively and under Wine.
#
# usage: bench/listing_bench.sh      (env: NATIVE_BUILD=build/br-linux WIN_BUILD=build/br-win64)
# A missing build folder skips that half. Under Wine a private prefix keeps the benchmark's
# configuration folder away from test runs (TARN_WINEPREFIX, made on first use).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
NATIVE_BUILD=${NATIVE_BUILD:-$ROOT/build/br-linux}
WIN_BUILD=${WIN_BUILD:-$ROOT/build/br-win64}
export TARN_WINEPREFIX=${TARN_WINEPREFIX:-${TMPDIR:-/tmp}/tarnfs-wineprefix-bench-$(id -u)}
HUB=(python3 "$ROOT/tools/fakehub/run_with_hub.py" --scenario "$ROOT/bench/listing_scenario.json" --)

if [ -d "$NATIVE_BUILD" ]; then
  make -C "$NATIVE_BUILD" -j2 tarn_listing_bench >/dev/null
  echo "== native ($NATIVE_BUILD)"
  "$NATIVE_BUILD/bin/tarn_listing_bench" cached-tree
  "$NATIVE_BUILD/bin/tarn_listing_bench" cached-folder
  "${HUB[@]}" "$NATIVE_BUILD/bin/tarn_listing_bench" org-paging
  "${HUB[@]}" "$NATIVE_BUILD/bin/tarn_listing_bench" folders
fi
if [ -d "$WIN_BUILD" ]; then
  make -C "$WIN_BUILD" -j2 tarn_listing_bench >/dev/null
  echo "== Wine ($WIN_BUILD)"
  "$ROOT/cmake/wine-run.sh" "$WIN_BUILD/bin/tarn_listing_bench.exe" cached-tree
  "$ROOT/cmake/wine-run.sh" "$WIN_BUILD/bin/tarn_listing_bench.exe" cached-folder
  "${HUB[@]}" "$ROOT/cmake/wine-run.sh" "$WIN_BUILD/bin/tarn_listing_bench.exe" org-paging
  "${HUB[@]}" "$ROOT/cmake/wine-run.sh" "$WIN_BUILD/bin/tarn_listing_bench.exe" folders
fi
