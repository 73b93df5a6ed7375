#!/usr/bin/env bash
# sha256_throughput_ratio: file_digest --sha256 under Wine against openssl dgst
# -sha256 on one 256 MiB file (openssl's time / ours, best of three runs each).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/bench/timing.bash"
file=$QM_BENCH_DIR/sha256-256MiB.bin
[ -f "$file" ] || head -c $((256 * 1024 * 1024)) /dev/urandom >"$file"
cat "$file" >/dev/null
expected=$(openssl dgst -sha256 -r "$file" | cut -d' ' -f1)

best_ours=
best_openssl=
for _ in 1 2 3; do
  # The tool times the digest itself, leaving out Wine's start.
  read -r digest ours < <("$root/scripts/wine-run" "$root/build/win/tools/file_digest.exe" --sha256 "$file")
  [ "$digest" = "$expected" ] || { echo "sha256 mismatch: $digest vs $expected" >&2; exit 1; }
  best_ours=$(smaller "$ours" "$best_ours")
  best_openssl=$(smaller "$(seconds_of openssl dgst -sha256 "$file")" "$best_openssl")
done
echo "sha256_throughput_ratio: $(ratio "$best_openssl" "$best_ours")"
