#!/usr/bin/env bash
# md5_throughput_ratio: make_file_info under Wine against md5sum on one 256 MiB
# file (md5sum's time / ours, best of three runs each).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/bench/timing.bash"
file=$QM_BENCH_DIR/md5-256MiB.bin
[ -f "$file" ] || head -c $((256 * 1024 * 1024)) /dev/urandom >"$file"
cat "$file" >/dev/null
expected=$(md5sum "$file" | cut -d' ' -f1)

best_ours=
best_md5sum=
for _ in 1 2 3; do
  # The tool times the digest itself, leaving out Wine's start.
  read -r digest ours < <("$root/scripts/wine-run" "$root/build/win/tools/file_digest.exe" "$file")
  [ "$digest" = "$expected" ] || { echo "md5 mismatch: $digest vs $expected" >&2; exit 1; }
  best_ours=$(smaller "$ours" "$best_ours")
  best_md5sum=$(smaller "$(seconds_of md5sum "$file")" "$best_md5sum")
done
echo "md5_throughput_ratio: $(ratio "$best_md5sum" "$best_ours")"
