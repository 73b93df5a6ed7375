#!/usr/bin/env bash
# Prints the benchmark figures, one "name: value" line each. Every script in
# tools/bench runs in name order against a release build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/build.sh >/dev/null
export QM_BENCH_DIR=${QM_BENCH_DIR:-$root/build/bench}
mkdir -p "$QM_BENCH_DIR"
. scripts/xvfb.sh
. scripts/wine-session.sh
# The display comes first: Wine's desktop, started with the session, binds to it.
trap 'stop_wine_session; stop_xvfb' EXIT
[ -n "${DISPLAY:-}" ] || start_xvfb
start_wine_session
for script in tools/bench/*.sh; do
  bash "$script"
done
