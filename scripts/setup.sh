#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; safe to run again.
set -euo pipefail
pkgs=(cmake g++ make ccache python3 googletest nlohmann-json3-dev libcurl4-openssl-dev libssl-dev libsodium-dev
      mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64
      wine wine64 xvfb xauth nginx-light curl)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""; [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
