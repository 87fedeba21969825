#!/usr/bin/env bash
# Installs the Debian packages a job needs; safe to run again.
#   scripts/setup.sh          everything the builds and the tests need
#   scripts/setup.sh --tests  that, and what only the test suites use: Node.js and the hub team's
#                             JavaScript client (npm ci in tests/js, for tarn_js_client); scripts/test.sh
#   scripts/setup.sh demo     the Linux module and tarnhost (the demo preset) and the fake hub's Python
set -euo pipefail
cd "$(dirname "$0")/.."
demo=(cmake g++ make python3 nlohmann-json3-dev libcurl4-openssl-dev libssl-dev libsodium-dev)
rest=(ccache googletest mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64
      wine wine64 wine32:i386 fonts-wine fonts-dejavu-core xvfb xauth nginx-light curl clang-14 libclang-rt-14-dev)
job="${1:-all}"
case "$job" in
  demo) pkgs=("${demo[@]}") ;;
  all|--tests) pkgs=("${demo[@]}" "${rest[@]}") ;;
  *) echo "usage: $0 [demo|--tests]" >&2; exit 2 ;;
esac
sudo_cmd=""; [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
need_update=0
# The x86 module's suites run under 32-bit Wine, which Debian ships for the i386 architecture; nothing
# else needs it, and its package lists alone make every apt-get update longer.
if [ "$job" != demo ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo_cmd dpkg --add-architecture i386
  need_update=1
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  need_update=1
fi
if [ "$need_update" -eq 1 ]; then
  $sudo_cmd apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if [ "$job" = --tests ]; then
  # Debian's nodejs where none is installed (another Node.js that brings its own npm is kept).
  if ! command -v npm >/dev/null; then
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends nodejs npm >/dev/null
  fi
  (cd tests/js && npm ci --no-audit --no-fund --loglevel=error)
fi
