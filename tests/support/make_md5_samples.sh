#!/usr/bin/env bash
# Writes random files of awkward sizes and their digests by md5sum into DIR.
set -euo pipefail
dir=$1
rm -rf "$dir" && mkdir -p "$dir"
cd "$dir"
for size in 0 1 55 56 63 64 65 119 120 1023 1024 1025 4096 5242883; do
  head -c "$size" /dev/urandom >"sample-$size.bin"
done
md5sum -- *.bin >md5sums.txt
