#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's own prefix, made once on first use.
# The loader follows the program: Debian's /usr/bin/wine prefers the 32-bit loader once wine32 is
# installed, and that loader cannot start at all where the kernel runs no 32-bit processes; so 64-bit
# programs (and Wine's own tools) go to wine64, 32-bit ones to wine. One 64-bit prefix serves both:
# wine32 beside wine64 fills its syswow64. Exit 77 (a CTest skip) when a 32-bit program cannot run here.
set -euo pipefail
: "${TARN_WINEPREFIX:=${TMPDIR:-/tmp}/tarnfs-wineprefix-$(id -u)}"
export WINEPREFIX="$TARN_WINEPREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine32=/usr/lib/wine/wine wine64=/usr/lib/wine/wine64
[ -x "$wine64" ] || wine64=wine

# The PE header's machine field: 14c for i386, 8664 for x86-64; empty when not a PE file.
pe_machine() {
  [ -f "$1" ] || return 0
  local offset
  offset=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ') || return 0
  [ -n "$offset" ] && od -An -tx2 -j$((offset + 4)) -N2 "$1" 2>/dev/null | tr -d ' '
}

loader=$wine64
if [ "$(pe_machine "$1")" = "014c" ]; then
  loader=$wine32
  if ! "$loader" --version >/dev/null 2>&1; then
    echo "wine-run: this machine cannot run 32-bit programs (no wine32, or the kernel's 32-bit" \
         "emulation is off: ia32_emulation=0); $1 skipped" >&2
    exit 77
  fi
fi

if [ ! -f "$WINEPREFIX/.tarn-ready" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.tarn-ready" ]; then
      WINEARCH=win64 "$wine64" wineboot -i >/dev/null 2>&1 || true
      /usr/lib/wine/wineserver -w || true
      touch "$WINEPREFIX/.tarn-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
# A prefix made before wine32 could run has an empty syswow64: bring it up to date once.
if [ "$loader" = "$wine32" ] && [ ! -f "$WINEPREFIX/.tarn-ready32" ]; then
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.tarn-ready32" ]; then
      "$wine64" wineboot -u >/dev/null 2>&1 || true
      /usr/lib/wine/wineserver -w || true
      touch "$WINEPREFIX/.tarn-ready32"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
export WINELOADER="$loader"
exec "$loader" "$@"
