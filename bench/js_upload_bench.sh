#!/usr/bin/env bash
# Upload benchmark of the hub team's JavaScript client (not a test): uploadFiles of one large file to
# the fake hub, whose storage host caps each upload connection. The figure tarnfs's uploads compare with.
#
# usage: bench/js_upload_bench.sh      (env: SIZE_MIB=1024 RATE=20000000 PART_MIB=64 RUNS=1)
# RATE is bytes a second per connection (0: no cap); files above one part go up in parts of PART_MIB.
# Needs tests/js/node_modules (npm ci in tests/js, or scripts/setup.sh --tests).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
SIZE_MIB=${SIZE_MIB:-1024}
RATE=${RATE:-20000000}
PART_MIB=${PART_MIB:-64}
RUNS=${RUNS:-1}
PART=$((PART_MIB * 1048576))

for _ in $(seq "$RUNS"); do
  python3 "$ROOT/tools/fakehub/run_with_hub.py" --hub-arg="--upload-rate=$RATE" --hub-arg="--part-size=$PART" \
    --hub-arg="--multipart-threshold=$PART" -- node "$ROOT/bench/js_upload_bench.mjs" "$((SIZE_MIB * 1048576))"
done
