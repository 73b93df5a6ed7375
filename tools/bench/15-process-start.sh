#!/usr/bin/env bash
# The design's floor for a patch: each patch is applied by a hidden process that
# the launcher starts and waits for.
#   hidden_process_start_seconds       the median time to start a trivial hidden
#                                      console program and wait for it, through the
#                                      launcher's own run_process (21 starts after
#                                      one to warm up)
#   hidden_process_start_mean_seconds  their mean, which a run of patches pays
#   patch_tool_start_seconds           the same for the patch tool on a patch of a
#                                      few bytes: the floor plus the tool's own
#                                      fixed cost (and its _mean_ likewise)
# The launcher benchmarks that follow reckon with the first.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/bench/launcher.bash"
rm -f "$floor_file"
process_start_floor >/dev/null
cat "$floor_file"
tiny=$QM_BENCH_DIR/tiny-patch
mkdir -p "$tiny"
printf 'old' >"$tiny/old" && printf 'new!' >"$tiny/new"
bsdiff "$tiny/old" "$tiny/new" "$tiny/patch"
"$root/scripts/wine-run" "$root/build/win/tools/process_start.exe" \
  "$(windows_path "$root/build/win/patchtool/bspatch.exe")" 21 \
  "$(windows_path "$tiny/old")" "$(windows_path "$tiny/out")" "$(windows_path "$tiny/patch")" |
  sed 's/^hidden_process_start_/patch_tool_start_/'
cmp -s "$tiny/out" "$tiny/new" || { echo "process start bench: the tiny patch failed" >&2; exit 1; }
rm -rf "$tiny"
