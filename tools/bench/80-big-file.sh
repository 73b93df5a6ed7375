#!/usr/bin/env bash
# The launcher on one big file of 1 GiB in an LZMA container (see launcher.bash):
#   big_file_install_time_ratio  first installation (target <= 1.0)
#   big_file_patch_time_ratio    a patch changing 1 % of it
#   big_file_patch_overhead_ratio  the same against the reference plus one hidden
#                                process start (target <= 1.0)
#   big_file_peak_mib            the launcher's peak resident size (Wine process),
#                                over both; target <= 64 + big_file_dictionary_mib
#   big_file_patch_tool_peak_mib the patch tool's peak resident size (target <= 64,
#                                since it streams the new file; it held old + new
#                                + 16 = big_file_patch_tool_limit_mib before)
#   big_file_bspatch_memory_ratio  that peak / Debian's bspatch's on the same patch,
#                                which holds old and new (target <= 0.1)
# Each side counts its fastest of two runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/bench/launcher.bash"
launcher_bench big big
export QM_PEAKS=$work/peaks.txt
install_scenario big_file_install 2
patch_scenario big_file_patch 2

# The dictionary size: bytes 1 to 4 of the container's header, little-endian.
dictionary=$(od -An -tu4 -j1 -N4 "$work/install/download/1/data/big.bin" | tr -d ' ')
size=$(stat -c %s "$work/v1/data/big.bin")
peak_of() { awk -v p="$1" '$1 == p && $2 > m { m = $2 } END { printf "%.1f", m / 1024 }' "$QM_PEAKS"; }
echo "big_file_peak_mib: $(peak_of quillomark.exe)"
echo "big_file_dictionary_mib: $(awk -v d="$dictionary" 'BEGIN { printf "%.1f", d / 1048576 }')"
echo "big_file_patch_tool_peak_mib: $(peak_of bspatch.exe)"
# Debian's bspatch on the same patch, once, outside the timed runs.
/usr/bin/python3 "$root/tools/bench/peak_rss.py" "$QM_PEAKS" bspatch "$work/v1/data/big.bin" \
  "$work/bspatch.out" "$work/patch/download/1_2/data/big.bin"
cmp "$work/bspatch.out" "$work/patch/download/2/data/big.bin"
rm -f "$work/bspatch.out"
echo "big_file_bspatch_memory_ratio: $(awk -v a="$(peak_of bspatch.exe)" -v b="$(peak_of bspatch)" \
  'BEGIN { printf "%.3f", a / b }')"
echo "big_file_patch_tool_limit_mib: $(awk -v s="$size" 'BEGIN { printf "%.1f", 2 * s / 1048576 + 16 }')"
