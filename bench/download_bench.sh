#!/usr/bin/env bash
# Download benchmark (not a test): DownloadFile against `curl -o` natively and against a bare WinHTTP
# read loop under Wine, all fetching one large file from nginx-light on loopback. Prints medians.
#
# usage: bench/download_bench.sh            (env: RUNS=3 SIZE_MIB=1024 NATIVE_BUILD=... WIN_BUILD=...)
# NATIVE_BUILD / WIN_BUILD are configured build folders (default build/linux and build/win64); the
# benchmark programs are built there. A missing folder skips that half.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
NATIVE_BUILD=${NATIVE_BUILD:-$ROOT/build/linux}
WIN_BUILD=${WIN_BUILD:-$ROOT/build/win64}
RUNS=${RUNS:-3}
SIZE_MIB=${SIZE_MIB:-1024}   # under 2 GiB: Wine's WinHTTP ends longer bodies at 2^31-1 bytes

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tarn-bench.XXXXXX")
NGINX_PID_FILE=$WORK/nginx.pid
cleanup() {
  if [ -s "$NGINX_PID_FILE" ]; then kill "$(cat "$NGINX_PID_FILE")" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
chmod 755 "$WORK"   # nginx workers may run as another user

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
FILES=$WORK/www/o/m/resolve/main
mkdir -p "$FILES" "$WORK/tmp" "$WORK/out"
chmod -R a+rX "$WORK/www"
echo "creating a ${SIZE_MIB} MiB file"
head -c "$((SIZE_MIB * 1048576))" /dev/urandom > "$FILES/big.bin"
echo warm > "$FILES/warm.txt"
chmod a+r "$FILES"/*

cat > "$WORK/nginx.conf" <<EOF
worker_processes 1;
pid $NGINX_PID_FILE;
error_log $WORK/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $WORK/tmp/body;
  proxy_temp_path $WORK/tmp/proxy;
  fastcgi_temp_path $WORK/tmp/fastcgi;
  uwsgi_temp_path $WORK/tmp/uwsgi;
  scgi_temp_path $WORK/tmp/scgi;
  sendfile on;
  tcp_nopush on;
  default_type application/octet-stream;
  server { listen 127.0.0.1:$PORT; root $WORK/www; }
}
EOF
nginx -p "$WORK" -c "$WORK/nginx.conf" -e "$WORK/error.log"
SITE=http://127.0.0.1:$PORT/
for _ in $(seq 50); do curl -sf -o /dev/null "${SITE}o/m/resolve/main/warm.txt" && break; sleep 0.1; done

# Reads key=value from a result line.
field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p"; }
median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
out=$WORK/out/target.bin

declare -A RATE RSS COLD FINISH
declare -A RATES RSSES COLDS FINISHES
run_once() {  # name, then the command printing one result line
  local name=$1; shift
  rm -f "$out"
  sync  # earlier runs' dirty pages must not be written back during this one
  local line; line=$("$@")
  echo "  $name: $line"
  RATES[$name]+="$(echo "$line" | field mb_per_s) "
  RSSES[$name]+="$(echo "$line" | field rss_growth_kib) "
  COLDS[$name]+="$(echo "$line" | field rss_growth_cold_kib) "
  FINISHES[$name]+="$(echo "$line" | field finish_seconds) "
}
summarize() {
  local name
  for name in "$@"; do
    RATE[$name]=$(printf '%s\n' ${RATES[$name]} | median)
    RSS[$name]=$(printf '%s\n' ${RSSES[$name]:-0} | median)
    COLD[$name]=$(printf '%s\n' ${COLDS[$name]:-0} | median)
    FINISH[$name]=$(printf '%s\n' ${FINISHES[$name]:-0} | median)
  done
}

curl_run() {
  curl -s -o "$out" -w 'result=0 bytes=%{size_download} seconds=%{time_total} speed=%{speed_download}\n' \
    "${SITE}o/m/resolve/main/big.bin" | awk '{split($4, s, "="); printf "%s mb_per_s=%.1f rss_growth_kib=\n", $0, s[2] / 1e6}'
}

if [ -d "$NATIVE_BUILD" ]; then
  cmake --build "$NATIVE_BUILD" --target tarn_download_bench -j2 >/dev/null
  echo "native (Linux, libcurl), runs interleaved:"
  for _ in $(seq "$RUNS"); do
    run_once curl curl_run
    run_once native "$NATIVE_BUILD/bin/tarn_download_bench" "$SITE" o/m big.bin "$out"
  done
  summarize curl native
fi
if [ -d "$WIN_BUILD" ]; then
  cmake --build "$WIN_BUILD" --target tarn_download_bench tarn_winhttp_loop -j2 >/dev/null
  winout="Z:${out//\//\\}"
  echo "Windows x64 under Wine (WinHTTP), runs interleaved:"
  for _ in $(seq "$RUNS"); do
    run_once winhttp "$ROOT/cmake/wine-run.sh" "$WIN_BUILD/bin/tarn_winhttp_loop.exe" 127.0.0.1 "$PORT" \
      /o/m/resolve/main/big.bin "$winout"
    run_once wine "$ROOT/cmake/wine-run.sh" "$WIN_BUILD/bin/tarn_download_bench.exe" "$SITE" o/m big.bin "$winout"
  done
  summarize winhttp wine
fi

echo
echo "medians over $RUNS runs, ${SIZE_MIB} MiB, MB = 10^6 bytes:"
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
if [ -n "${RATE[native]:-}" ]; then
  echo "  native DownloadFile  ${RATE[native]} MB/s   curl -o ${RATE[curl]} MB/s   ratio $(ratio "${RATE[native]}" "${RATE[curl]}")   peak RSS growth ${RSS[native]} KiB (${COLD[native]} KiB from a cold start)"
  echo "                       of which ${FINISH[native]} s after the last byte (flush, fsync, move over the target)"
fi
if [ -n "${RATE[wine]:-}" ]; then
  echo "  Wine DownloadFile    ${RATE[wine]} MB/s   bare WinHTTP ${RATE[winhttp]} MB/s   ratio $(ratio "${RATE[wine]}" "${RATE[winhttp]}")   peak RSS growth ${RSS[wine]} KiB (${COLD[wine]} KiB from a cold start; bare loop ${RSS[winhttp]} KiB)"
  echo "                       of which ${FINISH[wine]} s after the last byte (flush, close, move over the target)"
fi
