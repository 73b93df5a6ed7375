#!/usr/bin/env bash
# Files for the file-update tests: old and new versions of a few files, BSDIFF40
# patches between them made by Debian's bsdiff, and an LZMA container made by xz.
set -euo pipefail
out=$1
rm -rf "$out" && mkdir -p "$out"
cd "$out"
for name in A B C D; do
  head -c 30000 /dev/urandom >"$name.old"
  { head -c 12000 "$name.old"; printf 'changed %s\n' "$name"; tail -c 15000 "$name.old"; } >"$name.new"
  bsdiff "$name.old" "$name.new" "$name.patch"
done
head -c 20000 /dev/urandom >E.new
xz --format=lzma -c E.new >E.lzma
head -c 100 E.lzma >E.broken
