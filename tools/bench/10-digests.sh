#!/usr/bin/env bash
# The digests under Wine against Debian's tools on one 256 MiB file (their time /
# ours, best of three runs each):
#   md5_throughput_ratio     make_file_info against md5sum
#   sha256_throughput_ratio  file_digest --sha256 against openssl dgst -sha256
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/bench/timing.bash"
file=$QM_BENCH_DIR/digest-256MiB.bin
[ -f "$file" ] || head -c $((256 * 1024 * 1024)) /dev/urandom >"$file"
cat "$file" >/dev/null

# digest_ratio NAME "TOOL OPTIONS" REFERENCE...: the reference prints the digest first.
digest_ratio() {
  local name=$1 options=$2 best_ours= best_reference= digest ours expected
  shift 2
  expected=$("$@" "$file" | cut -d' ' -f1)
  for _ in 1 2 3; do
    # The tool times the digest itself, leaving out Wine's start.
    # shellcheck disable=SC2086
    read -r digest ours < <("$root/scripts/wine-run" "$root/build/win/tools/file_digest.exe" \
      $options "$file")
    [ "$digest" = "$expected" ] || { echo "$name: $digest vs $expected" >&2; exit 1; }
    best_ours=$(smaller "$ours" "$best_ours")
    best_reference=$(smaller "$(seconds_of "$@" "$file")" "$best_reference")
  done
  echo "${name}_throughput_ratio: $(ratio "$best_reference" "$best_ours")"
}

digest_ratio md5 "" md5sum
digest_ratio sha256 --sha256 openssl dgst -sha256 -r
