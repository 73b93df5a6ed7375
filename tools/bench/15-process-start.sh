#!/usr/bin/env bash
# The design's floor for a patch: each patch is applied by a hidden process that
# the launcher starts and waits for.
#   hidden_process_start_seconds  the median time to start a trivial hidden console
#                                 program and wait for it, through the launcher's own
#                                 run_process (21 starts after one to warm up)
# The launcher benchmarks that follow reckon with it.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/bench/launcher.bash"
rm -f "$floor_file"
echo "hidden_process_start_seconds: $(process_start_floor)"
