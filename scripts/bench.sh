#!/usr/bin/env bash
# Prints the benchmark figures, one "name: value" line each. Every script in
# tools/bench runs in name order against a release build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/build.sh >/dev/null
export QM_BENCH_DIR=${QM_BENCH_DIR:-$root/build/bench}
mkdir -p "$QM_BENCH_DIR"
. scripts/wine-session.sh
start_wine_session
trap stop_wine_session EXIT
for script in tools/bench/*.sh; do
  bash "$script"
done
