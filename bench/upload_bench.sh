#!/usr/bin/env bash
# Upload benchmark (not a test): a large random file's SHA-256 as the write path hashes it against
# `sha256sum` on the same file (page cache warm for both, runs interleaved), then one commit of it
# through CommitChanges to bench/upload_server.py on loopback, with its rate and peak memory growth.
#
# `fakehub`: the same commit to the fake hub (write-org/playground), whose storage host caps each upload
# connection at RATE bytes a second with parts of CHUNK_MIB, as bench/js_upload_bench.sh runs the hub
# team's JavaScript client (RATE=20000000 CHUNK_MIB=64 there).
#
# usage: bench/upload_bench.sh   (env: RUNS=3 SIZE_MIB=1024 CHUNK_MIB=100 CONNECTIONS=8 RATE=20000000
#                                 PARTS="hash commit wine fakehub" NATIVE_BUILD=build/linux WIN_BUILD=build/win64)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
NATIVE_BUILD=${NATIVE_BUILD:-$ROOT/build/linux}
WIN_BUILD=${WIN_BUILD:-$ROOT/build/win64}
RUNS=${RUNS:-3}
SIZE_MIB=${SIZE_MIB:-1024}
CHUNK_MIB=${CHUNK_MIB:-100}
CONNECTIONS=${CONNECTIONS:-8}
RATE=${RATE:-20000000}
PARTS=${PARTS:-hash commit}

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tarn-upload-bench.XXXXXX")
SERVER_PID=
cleanup() {
  if [ -n "$SERVER_PID" ]; then kill "$SERVER_PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

cmake --build "$NATIVE_BUILD" -j2 --target tarn_upload_bench >/dev/null
BENCH=$NATIVE_BUILD/bin/tarn_upload_bench
echo "creating a ${SIZE_MIB} MiB file; load: $(cut -d' ' -f1-3 /proc/loadavg)"
head -c "$((SIZE_MIB * 1048576))" /dev/urandom > "$WORK/big.bin"
cat "$WORK/big.bin" > /dev/null

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

if [[ " $PARTS " == *" hash "* ]]; then
  : > "$WORK/ours" && : > "$WORK/theirs"
  for _ in $(seq "$RUNS"); do
    "$BENCH" hash "$WORK/big.bin" | sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' >> "$WORK/ours"
    { /usr/bin/time -f %e sha256sum "$WORK/big.bin" >/dev/null; } 2>> "$WORK/theirs"
  done
  ours=$(median < "$WORK/ours") theirs=$(median < "$WORK/theirs")
  echo "hash: tarnfs $ours s, sha256sum $theirs s, ratio $(echo "$ours / $theirs" | bc -l | cut -c1-5)" \
       "(runs: $(paste -sd' ' "$WORK/ours") / $(paste -sd' ' "$WORK/theirs"))"
  "$BENCH" hash "$WORK/big.bin" | grep -o 'sha256=.*' | cut -c8- | cmp -s - <(sha256sum "$WORK/big.bin" | cut -c1-64; ) \
    && echo "hash: the same digest as sha256sum" || { echo "hash: DIGEST DIFFERS"; exit 1; }
fi

# The server runs until its stdin (this script's end of the pipe) closes, or the clean-up stops it.
start_server() {
  coproc SERVER { exec python3 "$ROOT/bench/upload_server.py" --chunk-mib "$CHUNK_MIB"; }
  read -r line <&"${SERVER[0]}"
  PORT=$(python3 -c "import json,sys; print(json.loads(sys.argv[1])['port'])" "$line")
}

if [[ " $PARTS " == *" commit "* ]]; then
  start_server
  for _ in $(seq "$RUNS"); do
    echo "commit (native, ${CHUNK_MIB} MiB parts, $CONNECTIONS connections): $("$BENCH" commit "http://127.0.0.1:$PORT/" "$WORK/big.bin" "$CONNECTIONS")"
  done
fi

if [[ " $PARTS " == *" wine "* ]]; then
  [ -n "$SERVER_PID" ] || start_server
  cmake --build "$WIN_BUILD" -j2 --target tarn_upload_bench >/dev/null
  for _ in $(seq "$RUNS"); do
    echo "commit (Wine x64, ${CHUNK_MIB} MiB parts, $CONNECTIONS connections): $("$ROOT/cmake/wine-run.sh" "$WIN_BUILD/bin/tarn_upload_bench.exe" commit "http://127.0.0.1:$PORT/" "Z:${WORK//\//\\}\\big.bin" "$CONNECTIONS")"
  done
fi

if [[ " $PARTS " == *" fakehub "* ]]; then
  part=$((CHUNK_MIB * 1048576))
  for _ in $(seq "$RUNS"); do
    echo "commit (native, fake hub, ${CHUNK_MIB} MiB parts, $RATE B/s a connection, $CONNECTIONS connections):" \
         "$(python3 "$ROOT/tools/fakehub/run_with_hub.py" --hub-arg="--upload-rate=$RATE" --hub-arg="--part-size=$part" \
              --hub-arg="--multipart-threshold=$part" -- sh -c '"$1" commit "$TARN_HUB_URL" "$2" "$3" write-org/playground hf_test_write' \
              sh "$BENCH" "$WORK/big.bin" "$CONNECTIONS")"
  done
fi
