#!/usr/bin/env bash
# Decompresses every container in OURS (NAME.lzma) with xz and compares the result
# with SAMPLES/NAME byte for byte.
set -euo pipefail
ours=$1 samples=$2
count=0
for container in "$ours"/*.lzma; do
  name=$(basename "$container" .lzma)
  xz --format=lzma -dc "$container" | cmp - "$samples/$name"
  count=$((count + 1))
done
[ "$count" -gt 0 ] || { echo "no containers in $ours"; exit 1; }
echo "xz decoded $count containers"
