#!/usr/bin/env bash
# Parallel download benchmark (not a test): the module's FsGetFileW against aria2c (same connection
# count) and curl (one stream), from nginx-light on loopback that caps each connection's rate like the
# hub's content network; the same uncapped; peak memory growth of a copy; a copy cancelled at 50% and
# copied again. Prints every run and the medians. See bench/README.md.
#
# usage: bench/parallel_bench.sh
# env:   RUNS=3 CONNECTIONS=8 RATE=50000000 NATIVE_MIB=2048 WINE_MIB=1024
#        PARTS="capped uncapped memory resume wine"  (any subset; also wine_uncapped, wine_memory,
#        instructions: the copy's instructions per byte in user space, under callgrind)
#        SETTINGS='"download_connections": {N}'   favorites.json members ({N}: the connection count)
#        GET_ARGS=--list   more tarn_get_bench arguments for every copy of the module (natively and under Wine)
#        MEM_CONNECTIONS="4 8 16"   connection counts of the memory part
#        NATIVE_BUILD=build/linux WIN_BUILD=build/win64 (configured build folders; tarn_get_bench is built there;
#          a folder that is no build folder is taken as it is: bin/ with the module and tarn_get_bench beside
#          it, e.g. another commit's module next to this tarn_get_bench)
#        WINE_RUN=cmake/wine-run.sh   (runs a Windows program in TARN_WINEPREFIX)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
NATIVE_BUILD=${NATIVE_BUILD:-$ROOT/build/linux}
WIN_BUILD=${WIN_BUILD:-$ROOT/build/win64}
RUNS=${RUNS:-3}
CONNECTIONS=${CONNECTIONS:-8}
RATE=${RATE:-50000000}
NATIVE_MIB=${NATIVE_MIB:-2048}
WINE_MIB=${WINE_MIB:-1024}
PARTS=${PARTS:-capped uncapped memory resume wine}
SETTINGS=${SETTINGS:-'"download_connections": {N}'}
MEM_CONNECTIONS=${MEM_CONNECTIONS:-4 8 16}
GET_ARGS=${GET_ARGS:-}
export TARN_WINEPREFIX=${TARN_WINEPREFIX:-$ROOT/build/wineprefix-bench}
WINE_RUN=${WINE_RUN:-$ROOT/cmake/wine-run.sh}

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tarn-pbench.XXXXXX")
NGINX_PID_FILE=$WORK/nginx.pid
cleanup() {
  if [ -s "$NGINX_PID_FILE" ]; then kill "$(cat "$NGINX_PID_FILE")" 2>/dev/null || true; fi
  rm -rf "$WORK"   # the multi-GiB files go with it
}
trap cleanup EXIT
chmod 755 "$WORK"   # nginx workers may run as another user
has() { case " $PARTS " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }
settings() { echo "${SETTINGS//\{N\}/$1}"; }
load() { cut -d' ' -f1-3 /proc/loadavg; }

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
HUB_PORT=$(free_port)
CDN_PORT=$(free_port)
HUB=http://127.0.0.1:$HUB_PORT/
mkdir -p "$WORK/www/files" "$WORK/tmp" "$WORK/out"

# Random files (hashing them as they are written) and the listing: a tree JSON per repository whose
# "lfs" names the sha256, as the hub's does, and warm.txt, a small git-stored file.
SIZES=""
if has capped || has uncapped || has memory || has resume || has instructions; then SIZES="$NATIVE_MIB"; fi
if { has wine || has wine_uncapped || has wine_memory; } && [ "$WINE_MIB" != "$NATIVE_MIB" ]; then SIZES="$SIZES $WINE_MIB"; fi
echo "creating files of $SIZES MiB (random bytes)"
python3 - "$WORK" "$ROOT/tools/fakehub" $SIZES <<'PY'
import hashlib, json, os, sys
work, sizes = sys.argv[1], [int(s) for s in sys.argv[3:]]
sys.path.insert(0, sys.argv[2])
from fakehub import lfs_pointer_bytes  # the large-file pointer exactly as the fake hub writes it
warm = b"warm\n"
with open(f"{work}/www/files/warm.txt", "wb") as f:
    f.write(warm)
date = {"id": "0" * 40, "title": "Upload", "date": "2025-05-03T08:00:00.000Z"}
items = [{"type": "file", "oid": hashlib.sha1(b"blob %d\0" % len(warm) + warm).hexdigest(),
          "size": len(warm), "path": "warm.txt", "lastCommit": date}]
linked = []
for mib in sizes:
    name, size, h = f"big{mib}.bin", mib << 20, hashlib.sha256()
    with open(f"{work}/www/files/{name}", "wb") as f:
        for _ in range(mib):
            chunk = os.urandom(1 << 20)
            h.update(chunk)
            f.write(chunk)
    pointer = lfs_pointer_bytes(h.hexdigest(), size)
    items.append({"type": "file", "oid": hashlib.sha1(b"blob %d\0" % len(pointer) + pointer).hexdigest(),
                  "size": size, "lfs": {"oid": h.hexdigest(), "size": size, "pointerSize": len(pointer)},
                  "path": name, "lastCommit": date})
    linked.append(f"{name} {size} {h.hexdigest()}")
for repo in ("capped", "free"):
    os.makedirs(f"{work}/www/api/models/o/{repo}/tree", exist_ok=True)
    with open(f"{work}/www/api/models/o/{repo}/tree/main.json", "w") as f:
        json.dump(items, f)
    with open(f"{work}/www/api/models/o/{repo}.json", "w") as f:
        json.dump({"_id": "0" * 24, "id": f"o/{repo}", "sha": "1" * 40, "private": False, "gated": False,
                   "siblings": [{"rfilename": i["path"]} for i in items]}, f)
with open(f"{work}/linked.txt", "w") as f:
    f.write("\n".join(linked) + "\n")
PY
chmod -R a+rX "$WORK/www"

# The hub answers a large file's resolve URL with 302 to the content host (X-Linked-Size/-Etag as the
# hub sends them); the content host serves /capped/ at RATE bytes/s per connection, /free/ as fast as
# it can. Each request's status, bytes sent and Range go to the access log.
{
  echo "worker_processes 2;"
  echo "pid $NGINX_PID_FILE;"
  echo "error_log $WORK/error.log;"
  echo "events { worker_connections 512; }"
  echo "http {"
  echo "  log_format bytes '\$msec \$server_port \$status \$body_bytes_sent \"\$request\" \"\$http_range\"';"
  echo "  access_log $WORK/access.log bytes;"
  for t in client_body proxy fastcgi uwsgi scgi; do echo "  ${t}_temp_path $WORK/tmp/$t;"; done
  echo "  sendfile on; tcp_nopush on; default_type application/octet-stream;"
  echo "  server {"
  echo "    listen 127.0.0.1:$HUB_PORT;"
  echo "    root $WORK/www;"
  echo "    location /api/ { default_type 'application/json; charset=utf-8'; try_files \$uri.json =404; }"
  echo "    location ~ ^/o/[a-z]+/resolve/main/warm.txt\$ { rewrite ^ /files/warm.txt break; }"
  while read -r name size sha; do
    for repo in capped free; do
      echo "    location = /o/$repo/resolve/main/$name {"
      echo "      add_header X-Linked-Size $size; add_header X-Linked-Etag '\"$sha\"'; add_header X-Repo-Commit ${sha:0:40};"
      echo "      return 302 http://127.0.0.1:$CDN_PORT/$repo/$name;"
      echo "    }"
    done
  done < "$WORK/linked.txt"
  echo "  }"
  echo "  server {"
  echo "    listen 127.0.0.1:$CDN_PORT;"
  echo "    location /capped/ { alias $WORK/www/files/; limit_rate $RATE; }"
  echo "    location /free/ { alias $WORK/www/files/; }"
  echo "  }"
  echo "}"
} > "$WORK/nginx.conf"
nginx -p "$WORK" -c "$WORK/nginx.conf" -e "$WORK/error.log"
for _ in $(seq 50); do curl -sf -o /dev/null "${HUB}o/capped/resolve/main/warm.txt" && break; sleep 0.1; done

field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p"; }
median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
out=$WORK/out/target.bin
declare -A RATES RSSES

run_once() {  # name, then a command printing one result line with mb_per_s= (and rss_growth_kib=)
  local name=$1; shift
  rm -f "$WORK"/out/*  # the target and anything a module kept beside it
  sync  # earlier runs' dirty pages must not be written back during this one
  local line; line=$("$@") || true   # a failed copy prints its result and the bench goes on
  echo "  $name: $line  (load $(load))"
  RATES[$name]+="$(echo "$line" | field mb_per_s) "
  RSSES[$name]+="$(echo "$line" | field rss_growth_kib) "
}
build_bench() { if [ -f "$1/CMakeCache.txt" ]; then cmake --build "$1" --target tarn_get_bench -j2 >/dev/null; fi; }
med() { printf '%s\n' ${RATES[$1]} | median; }
medrss() { printf '%s\n' ${RSSES[$1]} | median; }

curl_get() {  # repo, file
  curl -s -L -o "$out" -w '%{size_download} %{time_total}\n' "${HUB}o/$1/resolve/main/$2" |
    awk '{printf "bytes=%.0f seconds=%.3f mb_per_s=%.1f\n", $1, $2, $1 / $2 / 1e6}'
}
aria_get() {  # repo, file, connections
  local t0 t1
  t0=$(date +%s.%N)
  aria2c -q -x "$3" -s "$3" --file-allocation=falloc --allow-overwrite=true --auto-file-renaming=false \
    --summary-interval=0 -d "$(dirname "$out")" -o "$(basename "$out")" "${HUB}o/$1/resolve/main/$2"
  t1=$(date +%s.%N)
  awk -v b="$(stat -c %s "$out")" -v t0="$t0" -v t1="$t1" \
    'BEGIN {s = t1 - t0; printf "bytes=%.0f seconds=%.3f mb_per_s=%.1f\n", b, s, b / s / 1e6}'
}
module_get() {  # repo, file, connections, extra bench arguments...
  local repo=$1 file=$2 n=$3; shift 3
  "$NATIVE_BUILD/bin/tarn_get_bench" "$HUB" "o/$repo" "$file" "$out" --settings "$(settings "$n")" $GET_ARGS "$@"
}
wine_get() {  # repo, file, connections, extra bench arguments...
  local repo=$1 file=$2 n=$3; shift 3
  "$WINE_RUN" "$WIN_BUILD/bin/tarn_get_bench.exe" "$HUB" "o/$repo" "$file" "Z:${out//\//\\}" \
    --settings "$(settings "$n")" $GET_ARGS "$@" | tr -d '\r'
}

BIG=big$NATIVE_MIB.bin
if has capped || has uncapped || has memory || has resume || has instructions; then
  build_bench "$NATIVE_BUILD"
fi
echo "load before: $(load); $(nproc) cores; CONNECTIONS=$CONNECTIONS RATE=$RATE bytes/s a connection"
if has capped; then
  echo "capped at $RATE bytes/s a connection, ${NATIVE_MIB} MiB, natively, runs interleaved:"
  for _ in $(seq "$RUNS"); do
    run_once curl curl_get capped "$BIG"
    run_once aria2c aria_get capped "$BIG" "$CONNECTIONS"
    run_once module module_get capped "$BIG" "$CONNECTIONS"
  done
  echo "  => module $(med module) MB/s, aria2c -x$CONNECTIONS $(med aria2c) MB/s, curl $(med curl) MB/s;" \
       "module/aria2c $(ratio "$(med module)" "$(med aria2c)"), module/curl $(ratio "$(med module)" "$(med curl)");" \
       "module peak RSS growth $(medrss module) KiB"
fi
if has uncapped; then
  echo "uncapped, ${NATIVE_MIB} MiB, natively, runs interleaved:"
  for _ in $(seq "$RUNS"); do
    run_once curl_free curl_get free "$BIG"
    run_once module_free module_get free "$BIG" "$CONNECTIONS"
  done
  echo "  => module $(med module_free) MB/s, curl $(med curl_free) MB/s;" \
       "module/curl $(ratio "$(med module_free)" "$(med curl_free)"); module peak RSS growth $(medrss module_free) KiB"
fi
if has memory; then
  echo "peak RSS growth of one copy (uncapped, ${NATIVE_MIB} MiB, natively) by connection count:"
  for n in $MEM_CONNECTIONS; do run_once "mem$n" module_get free "$BIG" "$n" --again; done
fi
if has resume; then
  echo "resume: a copy cancelled at 50% (capped), then copied again, natively:"
  size=$((NATIVE_MIB << 20))
  rm -f "$WORK"/out/*
  first=$(module_get capped "$BIG" "$CONNECTIONS" --cancel-at 50) || true
  echo "  cancelled: $first"
  sleep 1   # the cancelled connections' log lines are written when nginx sees them closed
  mark=$(wc -l < "$WORK/access.log")
  second=$(module_get capped "$BIG" "$CONNECTIONS" --keep) || true
  echo "  again:     $second"
  sent=$(tail -n +"$((mark + 1))" "$WORK/access.log" | awk -v p="$CDN_PORT" '$2 == p {s += $4} END {printf "%.0f", s}')
  pct=$(echo "$first" | field last_percent)
  echo "  => second copy fetched $sent bytes from the content host = $(ratio "$sent" "$((size / 2))") x half the file" \
       "(goal <= 1.05), $(ratio "$sent" "$((size / 100 * (100 - ${pct:-0})))") x the $((100 - ${pct:-0}))% not yet reported" \
       "(the cancel came at a report of $pct%)"
  tail -n +"$((mark + 1))" "$WORK/access.log" | awk -v p="$CDN_PORT" '$2 == p {print "    " $0}' | head -40
fi
if has instructions; then
  # Counts that do not depend on the load: what one copy costs per byte, wherever the time goes. The
  # whole process is counted (the warm-up copy and the module's start-up too: a few million at most).
  echo "instructions of one copy (uncapped, ${NATIVE_MIB} MiB, natively, callgrind; RUNS=$RUNS):"
  for _ in $(seq "$RUNS"); do
    rm -f "$WORK"/out/* "$WORK"/cg.out
    line=$(valgrind -q --tool=callgrind --callgrind-out-file="$WORK/cg.out" \
             "$NATIVE_BUILD/bin/tarn_get_bench" "$HUB" o/free "$BIG" "$out" --settings "$(settings "$CONNECTIONS")" $GET_ARGS) || true
    ir=$(sed -n 's/^summary: *\([0-9]*\).*/\1/p' "$WORK/cg.out")
    echo "  $(echo "$line" | cut -d' ' -f1-3) instructions=$ir per_byte=$(ratio "${ir:-0}" "$((NATIVE_MIB << 20))")"
  done
fi
if has wine && [ -d "$WIN_BUILD" ]; then
  build_bench "$WIN_BUILD"
  WBIG=big$WINE_MIB.bin
  echo "capped at $RATE bytes/s a connection, ${WINE_MIB} MiB, Windows x64 module under Wine (WinHTTP), runs interleaved:"
  for _ in $(seq "$RUNS"); do
    run_once wine_curl curl_get capped "$WBIG"
    run_once wine wine_get capped "$WBIG" "$CONNECTIONS"
  done
  echo "  => Wine module $(med wine) MB/s (curl natively $(med wine_curl) MB/s); peak RSS growth $(medrss wine) KiB"
  if [ -n "${WINE_BASELINE_MBPS:-}" ]; then
    echo "  => against the single stream's $WINE_BASELINE_MBPS MB/s: $(ratio "$(med wine)" "$WINE_BASELINE_MBPS") x (goal >= 3)"
  fi
fi
if has wine_uncapped && [ -d "$WIN_BUILD" ]; then
  build_bench "$WIN_BUILD"
  echo "uncapped, ${WINE_MIB} MiB, Windows x64 module under Wine (its ceiling on this machine):"
  for _ in $(seq "$RUNS"); do run_once wine_free wine_get free "big$WINE_MIB.bin" "$CONNECTIONS"; done
  echo "  => Wine module uncapped $(med wine_free) MB/s"
fi
if has wine_memory && [ -d "$WIN_BUILD" ]; then
  build_bench "$WIN_BUILD"
  echo "peak RSS growth of one copy (uncapped, ${WINE_MIB} MiB, under Wine) by connection count:"
  for n in $MEM_CONNECTIONS; do run_once "wmem$n" wine_get free "big$WINE_MIB.bin" "$n" --again; done
fi
echo "load after: $(load)"
