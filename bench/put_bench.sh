#!/bin/sh
# 100 small files copied in one operation through tarnhost put, natively and (WINE=1) under Wine.
set -e
cd "$(dirname "$0")/.."
python3 tools/fakehub/run_with_hub.py -- python3 bench/put_bench.py build/linux/bin/tarnhost
if [ "${WINE:-0}" = 1 ]; then
  export WINEPREFIX="${TARN_WINEPREFIX:-$PWD/build/wineprefix}" WINEDEBUG=-all
  python3 tools/fakehub/run_with_hub.py -- python3 bench/put_bench.py --emulator cmake/wine-run.sh \
    build/win64/bin/tarnhost.exe
fi
