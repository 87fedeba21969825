#!/usr/bin/env bash
# Upload benchmark (not a test): tarnfs's commit of one large file against the hub team's JavaScript
# client and against one PUT stream, to the fake hub whose storage host caps each connection, in rounds
# that alternate the clients; medians and ratios at the end.
#
# usage: bench/upload_side_by_side.sh
#   env: SIZE_MIB=1024 RATE=20000000 PART_MIB=64 ROUNDS=3 CONNECTIONS=8 SINGLE=1 (0: no one-stream run)
#        OLD_BENCH=path of another tarn_upload_bench (an older build), run in each round beside this one
# Needs tests/js/node_modules (npm ci in tests/js) and the native build's tarn_upload_bench.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
NATIVE_BUILD=${NATIVE_BUILD:-$ROOT/build/linux}
SIZE_MIB=${SIZE_MIB:-1024}
RATE=${RATE:-20000000}
PART_MIB=${PART_MIB:-64}
ROUNDS=${ROUNDS:-3}
CONNECTIONS=${CONNECTIONS:-8}
SINGLE=${SINGLE:-1}
OLD_BENCH=${OLD_BENCH:-}
PART=$((PART_MIB * 1048576))
SIZE=$((SIZE_MIB * 1048576))

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tarn-upload-side.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cmake --build "$NATIVE_BUILD" -j2 --target tarn_upload_bench >/dev/null
BENCH=$NATIVE_BUILD/bin/tarn_upload_bench
head -c "$SIZE" /dev/urandom > "$WORK/big.bin"

hub() {  # hub THRESHOLD COMMAND...: the command with TARN_HUB_URL, against a fresh fake hub
  local threshold=$1
  shift
  python3 "$ROOT/tools/fakehub/run_with_hub.py" --hub-arg="--upload-rate=$RATE" --hub-arg="--part-size=$PART" \
    --hub-arg="--multipart-threshold=$threshold" -- "$@"
}
tarnfs() {  # tarnfs BENCH THRESHOLD: one commit, its line
  cat "$WORK/big.bin" > /dev/null  # the page cache warm, as for the JavaScript client's fresh file
  hub "$2" sh -c '"$1" commit "$TARN_HUB_URL" "$2" "$3" write-org/playground hf_test_write' sh "$1" "$WORK/big.bin" \
    "$CONNECTIONS"
}
seconds() { sed -n 's/.*seconds=\([0-9.]*\).*/\1/p; s/.* \([0-9.]*\) s in all.*/\1/p'; }
median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

echo "$SIZE_MIB MiB, parts of $PART_MIB MiB, $RATE B/s a connection, $CONNECTIONS connections; load $(cut -d' ' -f1-3 /proc/loadavg)"
for round in $(seq "$ROUNDS"); do
  line=$(hub "$PART" node "$ROOT/bench/js_upload_bench.mjs" "$SIZE")
  echo "round $round js:     $line" && echo "$line" | seconds >> "$WORK/js"
  line=$(tarnfs "$BENCH" "$PART")
  echo "round $round tarnfs: $line" && echo "$line" | seconds >> "$WORK/tarnfs"
  echo "$line" | sed -n 's/.*rss_growth_kib=\([0-9]*\).*/\1/p' >> "$WORK/rss"
  if [ -n "$OLD_BENCH" ]; then
    line=$(tarnfs "$OLD_BENCH" "$PART")
    echo "round $round old:    $line" && echo "$line" | seconds >> "$WORK/old"
  fi
  echo "  load $(cut -d' ' -f1-3 /proc/loadavg)"
done
js=$(median < "$WORK/js") ours=$(median < "$WORK/tarnfs")
echo "medians: js $js s, tarnfs $ours s: ${SIZE_MIB} MiB at $(echo "$SIZE / 1000000 / $ours" | bc -l | cut -c1-5) MB/s," \
     "$(echo "$js / $ours" | bc -l | cut -c1-4)x the JavaScript client; peak RSS growth at most $(sort -n "$WORK/rss" | tail -1) KiB"
[ -z "$OLD_BENCH" ] || echo "median of the older build: $(median < "$WORK/old") s"
if [ "$SINGLE" = 1 ]; then
  # Above the threshold nothing goes in parts: one PUT of the whole file on one connection.
  line=$(tarnfs "$BENCH" "$((SIZE + 1))")
  single=$(echo "$line" | seconds)
  echo "one stream: $line"
  echo "tarnfs is $(echo "$single / $ours" | bc -l | cut -c1-4)x one PUT stream"
fi
echo "load $(cut -d' ' -f1-3 /proc/loadavg)"
