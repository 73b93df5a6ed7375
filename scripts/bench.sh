#!/usr/bin/env bash
# Prints the benchmark figures, one "name: value" line each. Every script in
# tools/bench runs in name order against a release build; `scripts/bench.sh
# 60-launcher 70-large-tree` runs only the scripts named.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/build.sh >/dev/null
export QM_BENCH_DIR=${QM_BENCH_DIR:-$root/build/bench}
mkdir -p "$QM_BENCH_DIR"
. scripts/xvfb.sh
. scripts/wine-session.sh
/usr/bin/python3 tools/bench/hold_wake_latency.py &
wake_hold=$!
# The display comes first: Wine's desktop, started with the session, binds to it.
trap 'stop_wine_session; stop_xvfb; kill $wake_hold 2>/dev/null || true' EXIT
[ -n "${DISPLAY:-}" ] || start_xvfb
start_wine_session
if [ $# -eq 0 ]; then
  scripts=(tools/bench/*.sh)
else
  scripts=("${@/#/tools/bench/}")
  scripts=("${scripts[@]/%/.sh}")
fi
for script in "${scripts[@]}"; do
  bash "$script"
done
