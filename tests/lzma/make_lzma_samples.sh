#!/usr/bin/env bash
# Writes sample files into DIR, each with a container made by xz (size not stated,
# end marker) beside it as NAME.xz.lzma.
set -euo pipefail
dir=$1
rm -rf "$dir" && mkdir -p "$dir"
cd "$dir"
: >empty.bin
seq 1 60000 | sed 's/$/ rida, tekst ja numbrid/' >text.txt
head -c 300000 /dev/urandom >random.bin
{ head -c 100000 /dev/urandom; cat text.txt; head -c 100000 /dev/urandom; } >mixed.bin
for sample in *.bin *.txt; do
  xz --format=lzma -5 -c "$sample" >"$sample.xz.lzma"
done
