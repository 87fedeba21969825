#!/usr/bin/env bash
# The main job: builds the Linux module and the stand-in host, starts the sample hub on loopback,
# writes a fresh configuration of its own that points at it, adds an entry from an address through
# "[Add New Entry]", browses and downloads, and browses one address in the temporary folder, all
# through tarnhost (its request boxes answered by --answer, as a person would type them).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh demo
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/tarnfs-ccache}"
# A folder of its own, without the test suites or debug information: the slowest part of a first run
# is compiling, and the demo needs only the module and tarnhost.
cmake --preset demo >/dev/null
cmake --build --preset demo -j "$(nproc)"

work=$(mktemp -d /tmp/tarnfs-demo.XXXXXX)
hub_pid=""
cleanup() {
  [ -n "$hub_pid" ] && kill "$hub_pid" 2>/dev/null
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

python3 tools/fakehub/fakehub.py --scenario tools/fakehub/scenarios/sample.json >"$work/hub.out" 2>"$work/hub.err" &
hub_pid=$!
for _ in $(seq 100); do [ -s "$work/hub.out" ] && break; sleep 0.1; done
port=$(python3 -c 'import json,sys; print(json.loads(open(sys.argv[1]).readline())["port"])' "$work/hub.out")
hub="http://127.0.0.1:$port/"
echo "sample hub at $hub (configuration in $work, never your own)"

# A configuration folder of the demo's own: the plugin reads $XDG_CONFIG_HOME/tarnfs/favorites.json.
export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
mkdir -p "$XDG_CONFIG_HOME/tarnfs"
cat >"$XDG_CONFIG_HOME/tarnfs/favorites.json" <<JSON
{
  "cache_ttl_hours": 24,
  "entries": [
    {"display_name": "Demo models", "id": "demo-1", "type": "org-models", "kind": "model", "org": "tarn-demo",
     "limit_enabled": true, "limit_count": 10, "created_at": 1764979200},
    {"display_name": "Demo datasets", "id": "demo-2", "type": "org-models", "kind": "dataset", "org": "tarn-demo",
     "limit_enabled": true, "limit_count": 300, "created_at": 1764979200},
    {"display_name": "Demo collections", "id": "demo-3", "type": "org-collections", "kind": "model",
     "org": "tarn-demo", "created_at": 1764979200},
    {"display_name": "Tiny model", "id": "demo-4", "type": "single-model", "kind": "model",
     "repo_id": "tarn-demo/tiny-llm", "created_at": 1764979200}
  ],
  "hub_url": "$hub"
}
JSON

host=build/demo/bin/tarnhost
step() { echo; echo "\$ tarnhost $*"; "$host" "$@" || echo "(tarnhost exited $?)"; }
step ls /
step --answer "${hub}word-lab" exec "/[Add New Entry]" open
step ls /
step ls "/word-lab - models"
step ls "/word-lab - datasets/poems"
step ls "/word-lab - collections"
step ls "/Demo models"
step exec "/Demo models/[Load next 10 models]" open
step ls "/Demo models/sentiment-mini/onnx"
step tree "/Tiny model" --depth 3
step ls "/Demo collections/Demo picks"
step --answer "https://huggingface.co/tarn-demo/sentiment-mini/tree/main" ls "/***_TEMPORARY_***"
step exec "/Demo models" properties --no
step exec / "quote export $work/settings.json"
step -v get "/Tiny model/model.safetensors" "$work/model.safetensors" --overwrite
echo
sha256sum "$work/model.safetensors"
