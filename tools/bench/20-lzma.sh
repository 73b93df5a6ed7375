#!/usr/bin/env bash
# The LZMA container against xz --format=lzma on installed programs and libraries
# (the kind of files an update carries):
#   lzma_decode_speed_ratio  xz -d time / LzmaUncompressW time on our container of
#                            128 MiB (best of 3)
#   lzma_encode_speed_ratio  xz -5 time / LzmaCompressW time on the first 64 MiB
#                            (best of 2)
#   lzma_size_ratio          our container size / xz -5 container size, same 64 MiB
# Our times are taken inside the Windows process (lzmafile.exe under Wine).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/bench/timing.bash"
dir=$QM_BENCH_DIR/lzma
mkdir -p "$dir"
lzmafile() { "$root/scripts/wine-run" "$root/build/win/support/lzma/lzmafile.exe" "$@"; }

input=$dir/input-128MiB.bin
if [ ! -f "$input" ]; then
  find /usr/lib /usr/bin -type f -size +100k 2>/dev/null | sort >"$dir/sources"
  python3 - "$dir/sources" "$input" <<'PY'
import sys
size = 128 * 1024 * 1024
with open(sys.argv[2], "wb") as out:
    while out.tell() < size:
        for name in open(sys.argv[1]).read().split("\n"):
            if name and out.tell() < size:
                try:
                    out.write(open(name, "rb").read()[: size - out.tell()])
                except OSError:
                    pass
PY
fi
cat "$input" >/dev/null


head -c $((64 * 1024 * 1024)) "$input" >"$dir/slice.bin"
ours_encode=
xz_encode=
for _ in 1 2; do
  ours_encode=$(smaller "$(lzmafile c "$dir/slice.bin" "$dir/slice-ours.lzma")" "$ours_encode")
  xz_encode=$(smaller "$(seconds_of sh -c 'xz --format=lzma -5 -c "$1" >"$2"' - "$dir/slice.bin" "$dir/slice-xz.lzma")" "$xz_encode")
done
size_ratio=$(ratio "$(stat -c %s "$dir/slice-ours.lzma")" "$(stat -c %s "$dir/slice-xz.lzma")")

lzmafile c "$input" "$dir/ours.lzma" >/dev/null
best_ours=
best_xz=
for _ in 1 2 3; do
  best_ours=$(smaller "$(lzmafile d "$dir/ours.lzma" "$dir/ours.out")" "$best_ours")
  best_xz=$(smaller "$(seconds_of sh -c 'xz --format=lzma -dc "$1" >"$2"' - "$dir/ours.lzma" "$dir/xz.out")" "$best_xz")
done
cmp "$input" "$dir/ours.out"
cmp "$input" "$dir/xz.out"

echo "lzma_decode_speed_ratio: $(ratio "$best_xz" "$best_ours")"
echo "lzma_encode_speed_ratio: $(ratio "$xz_encode" "$ours_encode")"
echo "lzma_size_ratio: $size_ratio"
rm -f "$dir/ours.out" "$dir/xz.out" "$dir/slice.bin" "$dir"/slice-*.lzma
