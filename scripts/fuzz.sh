#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# in build/fuzz and runs each for FUZZ_SECONDS (default 60), starting from its seed
# corpus and kept crash inputs. Prints one line per target,
#   fuzz <target>: executions N, coverage N, crashes N
# and last `fuzz_crashes: N`. Crash inputs land in build/fuzz/findings/<target>/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
deps=$(scripts/fetch-deps.sh)
seconds=${FUZZ_SECONDS:-60}
tree=build/fuzz

[ -f "$tree/build.ninja" ] || CC=clang CXX=clang++ cmake -S . -B "$tree" -G Ninja \
  -DQM_DEPS_DIR="$deps" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_FUZZ=ON >/dev/null
cmake --build "$tree" --target fuzz_targets >/dev/null

# Runs one target; prints its line and returns its number of crash inputs.
run_target() {
  local name=$1
  local work=$tree/work/$name findings=$tree/findings/$name log=$tree/logs/$name.log
  rm -rf "$findings"
  mkdir -p "$work" "$findings" "$(dirname "$log")"
  local status=0
  "$tree/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$findings/" "$work" "tests/fuzz/corpus/$name" \
    $([ -d "tests/fuzz/crashes/$name" ] && echo "tests/fuzz/crashes/$name") >"$log" 2>&1 || status=$?
  local executions coverage crashes
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  coverage=$(grep -o ' cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || true)
  crashes=$(find "$findings" -type f | wc -l)
  if [ "$status" -ne 0 ] && [ "$crashes" -eq 0 ]; then crashes=1; fi
  echo "fuzz $name: executions ${executions:-0}, coverage ${coverage:-0}, crashes $crashes"
  return "$crashes"
}

total=0
for source in tests/fuzz/*_fuzz.cpp; do
  name=$(basename "$source" _fuzz.cpp)
  crashes=0
  run_target "$name" || crashes=$?
  total=$((total + crashes))
done
echo "fuzz_crashes: $total"
