#!/usr/bin/env bash
# The finishing line's memory with several large containers in one release: 8 files
# of 24 MiB, each packed with a 16 MiB dictionary (see launcher.bash), unpacked side
# by side as far as the line's budget of 64 MiB allows:
#   wide_release_peak_mib        the launcher's peak resident size (Wine process)
#                                while it installs them
#   wide_release_check_peak_mib  its peak when every file is current (no unpacking)
#   wide_release_line_peak_mib   the difference: the line's own peak (target <= 64)
# One run each.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/bench/launcher.bash"
launcher_bench wide wide
export QM_PEAKS=$work/peaks.txt
peak_of() { awk '$1 == "quillomark.exe" && $2 > m { m = $2 } END { print m / 1024 }' "$QM_PEAKS"; }
dir=$(installation wide)
serve install
launch "$dir" >/dev/null
cmp -s "$dir/versioninfo.vif" "$work/install/download/1/versioninfo.vif" ||
  { echo "wide release bench: version 1 did not install in $dir" >&2; exit 1; }
install_peak=$(peak_of)
: >"$QM_PEAKS"
serve check
launch "$dir" >/dev/null
check_peak=$(peak_of)
printf 'wide_release_peak_mib: %.1f\n' "$install_peak"
printf 'wide_release_check_peak_mib: %.1f\n' "$check_peak"
echo "wide_release_line_peak_mib: $(awk -v a="$install_peak" -v b="$check_peak" \
  'BEGIN { printf "%.1f", a - b }')"
rm -rf "$dir"
