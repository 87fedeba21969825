#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs each for a bounded time.
#   scripts/fuzz.sh [SECONDS_PER_TARGET [TARGET...]]     (default: 600 s, every target)
# New inputs go to build/fuzz/corpus/<target> (the committed seeds in tests/fuzz/corpus are read
# only); a crash leaves its input in build/fuzz/artifacts/ and makes the script exit non-zero.
# One summary line per target: executions, seconds, corpus size, and the outcome.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/tarnfs-ccache}"
cmake --preset fuzz >/dev/null && cmake --build --preset fuzz || exit 1
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(cd build/fuzz/bin && ls fuzz_* | sed 's/^fuzz_//')
fi
failed=0
mkdir -p build/fuzz/artifacts
for t in "${targets[@]}"; do
  corpus=$PWD/build/fuzz/corpus/$t  # absolute: each target works in a scratch folder of its own
  mkdir -p "$corpus"
  log=build/fuzz/$t.log
  build/fuzz/bin/fuzz_$t -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$PWD/build/fuzz/artifacts/$t-" "$corpus" "$PWD/tests/fuzz/corpus/$t" >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  secs=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
  units=$(ls "$corpus" | wc -l)
  if [ $rc -eq 0 ]; then
    outcome="no finding"
  else
    outcome="FINDING (exit $rc; see $log)"
    failed=1
  fi
  printf '%-24s %10s runs %5s s %6s corpus  %s\n' "$t" "${runs:-?}" "${secs:-?}" "$units" "$outcome"
done
exit $failed
