#!/usr/bin/env bash
# Copy from the local HuggingFace cache benchmark (not a test): one large file that the hub's Python
# tools' cache already holds as a blob, copied out of the tree through the module's FsGetFileW (the
# cache used) against the same file downloaded from the fake hub (use_local_hf_cache off, the cache
# still there). Runs interleaved; prints every run and the medians. See bench/README.md.
#
# usage: bench/local_cache_bench.sh
# env:   RUNS=3 MIB=1024 PARTS="native wine"
#        NATIVE_BUILD=build/linux WIN_BUILD=build/win64 (configured build folders; tarn_get_bench is built there)
#        WINE_RUN=cmake/wine-run.sh   (runs a Windows program in TARN_WINEPREFIX)
#        KEEP_WORK=1   (the temporary folder with the cache, the fake hub's scenario and the last log stays)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
NATIVE_BUILD=${NATIVE_BUILD:-$ROOT/build/linux}
WIN_BUILD=${WIN_BUILD:-$ROOT/build/win64}
RUNS=${RUNS:-3}
MIB=${MIB:-1024}
PARTS=${PARTS:-native wine}
export TARN_WINEPREFIX=${TARN_WINEPREFIX:-$ROOT/build/wineprefix-bench}
WINE_RUN=${WINE_RUN:-$ROOT/cmake/wine-run.sh}

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tarn-hfbench.XXXXXX")
HUB_PID=
cleanup() {
  if [ -n "$HUB_PID" ]; then kill "$HUB_PID" 2>/dev/null || true; fi
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$WORK"   # the GiB files go with it
}
trap cleanup EXIT
has() { case " $PARTS " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }
load() { cut -d' ' -f1-3 /proc/loadavg; }

# The fake hub's scenario (the file is its generated pattern, served through its content host like a
# large file on the hub) and the same bytes as a blob of the local cache, named by their SHA-256.
mkdir -p "$WORK/out"
echo "writing the ${MIB} MiB blob of the local cache"
python3 - "$WORK" "$MIB" <<'PY'
import hashlib, json, os, sys
work, mib = sys.argv[1], int(sys.argv[2])
size = mib << 20
json.dump({"owners": {"bench-org": {"type": "org", "models": [{"name": "big", "files": [
    {"path": "warm.txt", "text": "warm\n"},
    {"path": "big.bin", "generate_bytes": size, "lfs": True}]}]}}}, open(f"{work}/scenario.json", "w"))
block = bytes(i % 251 for i in range(251 * 4096))  # the fake hub's byte i is i % 251
blobs = f"{work}/hf-hub/models--bench-org--big/blobs"
os.makedirs(blobs)
h, left = hashlib.sha256(), size
with open(f"{blobs}/partial", "wb") as f:
    while left:
        chunk = block[:min(left, len(block))]
        h.update(chunk)
        f.write(chunk)
        left -= len(chunk)
os.rename(f"{blobs}/partial", f"{blobs}/{h.hexdigest()}")
PY
sync

python3 "$ROOT/tools/fakehub/fakehub.py" --scenario "$WORK/scenario.json" > "$WORK/ports" &
HUB_PID=$!
for _ in $(seq 100); do [ -s "$WORK/ports" ] && break; sleep 0.1; done
HUB=http://127.0.0.1:$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["port"])' "$WORK/ports")/
# The fake hub hashes its large files in the background from the start; the first listing waits for it.
curl -sf -o /dev/null "${HUB}api/models/bench-org/big/tree/main?recursive=true"

field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p"; }
median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
declare -A SECONDS_OF
out=$WORK/out/big.bin

run_once() {  # name, then a command printing one result line with seconds=
  local name=$1; shift
  rm -f "$WORK"/out/*
  sync  # earlier runs' dirty pages must not be written back during this one
  local line; line=$("$@" 2>"$WORK/log") || true
  local how=download
  grep -q "Copied from the local HuggingFace cache" "$WORK/log" && how="copied from the cache"
  echo "  $name: $line ($how; load $(load))"
  SECONDS_OF[$name]+="$(echo "$line" | field seconds) "
}
med() { printf '%s\n' ${SECONDS_OF[$1]} | median; }

native_get() {  # use_local_hf_cache
  HF_HUB_CACHE=$WORK/hf-hub BENCH_VERBOSE=1 "$NATIVE_BUILD/bin/tarn_get_bench" "$HUB" bench-org/big big.bin "$out" --list \
    --settings "\"use_local_hf_cache\": $1"
}
wine_get() {  # use_local_hf_cache
  local cache=$WORK/hf-hub
  HF_HUB_CACHE="Z:${cache//\//\\}" BENCH_VERBOSE=1 "$WINE_RUN" "$WIN_BUILD/bin/tarn_get_bench.exe" "$HUB" \
    bench-org/big big.bin "Z:${out//\//\\}" --list --settings "\"use_local_hf_cache\": $1" | tr -d '\r'
}

echo "load before: $(load); $(nproc) cores; ${MIB} MiB"
if has native; then
  cmake --build "$NATIVE_BUILD" --target tarn_get_bench -j2 >/dev/null
  echo "natively, runs interleaved:"
  for _ in $(seq "$RUNS"); do
    run_once native_cache native_get true
    run_once native_download native_get false
  done
  echo "  => copied from the local cache $(med native_cache) s, downloaded from the fake hub $(med native_download) s"
fi
if has wine && [ -d "$WIN_BUILD" ]; then
  cmake --build "$WIN_BUILD" --target tarn_get_bench -j2 >/dev/null
  echo "Windows x64 module under Wine, runs interleaved:"
  for _ in $(seq "$RUNS"); do
    run_once wine_cache wine_get true
    run_once wine_download wine_get false
  done
  echo "  => copied from the local cache $(med wine_cache) s, downloaded from the fake hub $(med wine_download) s"
fi
echo "load after: $(load)"
