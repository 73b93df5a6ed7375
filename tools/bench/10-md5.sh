#!/usr/bin/env bash
# md5_throughput_ratio: make_file_info under Wine against md5sum on one 256 MiB
# file, best of three runs each.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
file=$QM_BENCH_DIR/md5-256MiB.bin
[ -f "$file" ] || head -c $((256 * 1024 * 1024)) /dev/urandom >"$file"
cat "$file" >/dev/null

best_ours=
best_md5sum=
for _ in 1 2 3; do
  read -r digest ours < <("$root/scripts/wine-run" "$root/build/win/tools/file_digest.exe" "$file")
  start=$(date +%s.%N)
  expected=$(md5sum "$file" | cut -d' ' -f1)
  end=$(date +%s.%N)
  [ "$digest" = "$expected" ] || { echo "md5 mismatch: $digest vs $expected" >&2; exit 1; }
  best_ours=$(echo "$ours ${best_ours:-$ours}" | awk '{ print ($1 < $2) ? $1 : $2 }')
  theirs=$(echo "$end $start" | awk '{ print $1 - $2 }')
  best_md5sum=$(echo "$theirs ${best_md5sum:-$theirs}" | awk '{ print ($1 < $2) ? $1 : $2 }')
done
# Throughput ratio = time of md5sum / time of ours on the same bytes.
echo "md5_throughput_ratio: $(awk -v a="$best_md5sum" -v b="$best_ours" 'BEGIN { printf "%.3f", a / b }')"
