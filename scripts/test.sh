#!/usr/bin/env bash
# Sets up, builds every preset and runs every test suite: native, ASan+UBSan, ThreadSanitizer,
# Windows x64 under Wine, Windows x86 under 32-bit Wine, then every fuzz target for a short while
# (scripts/fuzz.sh runs them longer). Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --tests

export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/tarnfs-ccache}"
export TARN_WINEPREFIX="${TARN_WINEPREFIX:-$PWD/build/wineprefix}"
# No display is needed by any suite; dialogs fail cleanly without one.
unset DISPLAY

run_preset() {
  local preset=$1
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: test"
  ctest --preset "$preset"
}

run_preset linux
run_preset linux-asan
run_preset linux-tsan
run_preset win64
run_preset win32
echo "=== fuzz: every target for ${TARN_FUZZ_SECONDS:-12} s under ASan+UBSan"
scripts/fuzz.sh "${TARN_FUZZ_SECONDS:-12}"
echo "=== all suites passed"
