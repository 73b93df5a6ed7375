#!/usr/bin/env bash
# Measures how the launcher survives faults: every end-to-end fault case under Wine
# (a drop inside each path of a release, damaged and slow servers, a full disk, a
# file held open, 50 random kills in the file phase and 10 in the self-update
# hand-off, an update traced with strace for the order of flushes and moves), then
# the fuzz targets for FUZZ_SECONDS each (default 60). Prints the table and last the
# lines fault_cases, files_damaged, max_recovery_runs, fuzz_crashes and
# flush_order_violations. QM_FAULT_SEED repeats the random moments of an earlier report.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
report=build/reliability
scripts/build.sh
mkdir -p "$report"

. scripts/xvfb.sh
. scripts/wine-session.sh
trap 'stop_xvfb; stop_wine_session' EXIT
start_xvfb
start_wine_session

status=0
/usr/bin/python3 scripts/reliability.py faults "$report/faults.jsonl" || status=1
rm -f "$report/fuzz.txt"
if [ -x scripts/fuzz.sh ]; then
  FUZZ_SECONDS=${FUZZ_SECONDS:-60} scripts/fuzz.sh | tee "$report/fuzz.txt" || status=1
fi
echo
/usr/bin/python3 scripts/reliability.py table "$report/faults.jsonl" "$report/fuzz.txt"
exit $status
