#!/usr/bin/env bash
# The launcher on one file of 3 GiB, for information: the end-to-end tests' file,
# packed by xz, and its patch that changes a few places (see launcher.bash):
#   huge_file_install_seconds      first installation from the container
#   huge_file_patch_seconds        the update through the patch
#   huge_file_patch_tool_peak_mib  the patch tool's peak resident size on it
# One run each. It takes several minutes and measures what the 1 GiB file's figures
# already show at another size, so it runs only when QM_BENCH_HUGE=1.
set -euo pipefail
[ "${QM_BENCH_HUGE:-0}" = 1 ] || exit 0
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/bench/launcher.bash"
launcher_bench huge huge
export QM_PEAKS=$work/peaks.txt
dir=$(installation huge)
# huge_run NAME TREE VERSION: the launcher in $dir against TREE, which must leave
# VERSION installed.
huge_run() {
  serve "$2"
  local seconds
  seconds=$(launch "$dir")
  cmp -s "$dir/versioninfo.vif" "$work/$2/download/$3/versioninfo.vif" ||
    { echo "huge file bench: version $3 did not install in $dir" >&2; exit 1; }
  echo "huge_file_${1}_seconds: $seconds"
}
huge_run install install 1
huge_run patch patch 2
echo "huge_file_patch_tool_peak_mib: $(awk '$1 == "bspatch.exe" && $2 > m { m = $2 }
  END { printf "%.1f", m / 1024 }' "$QM_PEAKS")"
rm -rf "$dir"
