#!/usr/bin/env bash
# Runs a Windows test executable under Wine in the build's own prefix, made once on first use.
set -euo pipefail
: "${TARN_WINEPREFIX:=${TMPDIR:-/tmp}/tarnfs-wineprefix-$(id -u)}"
export WINEPREFIX="$TARN_WINEPREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/.tarn-ready" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.tarn-ready" ]; then
      wine wineboot -i >/dev/null 2>&1 || true
      wineserver -w || true
      touch "$WINEPREFIX/.tarn-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
exec wine "$@"
