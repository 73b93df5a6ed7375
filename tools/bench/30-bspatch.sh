#!/usr/bin/env bash
# The patch tool against Debian's bspatch on a 64 MiB pair of files (installed
# programs and libraries, the new one with changed bytes and inserted and removed
# runs), patched by bsdiff:
#   bspatch_speed_ratio   bspatch time / our tool's time under Wine (best of 5,
#                         whole processes, so ours includes Wine's start)
#   bspatch_memory_ratio  each tool's own memory: our tool's peak resident memory
#                         under Wine less an empty Wine process's, against bspatch's
#                         (which holds old and new) less an empty native process's
#                         (target <= 0.1)
#   bspatch_peak_mib, bspatch_reference_peak_mib  the two peaks
#   wine_process_peak_mib the peak of a console program that does nothing under
#                         Wine: the floor of our tool's peak
#   native_process_peak_mib  the same for a native program (/bin/true)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/bench/timing.bash"
dir=$QM_BENCH_DIR/bspatch
mkdir -p "$dir"
tool=$root/build/win/patchtool/bspatch.exe

if [ ! -f "$dir/pair.patch" ]; then
  find /usr/lib /usr/bin -type f -size +100k 2>/dev/null | sort >"$dir/sources"
  python3 - "$dir/sources" "$dir/old" "$dir/new" <<'PY'
import random, sys
size = 64 * 1024 * 1024
old = bytearray()
while len(old) < size:
    for name in open(sys.argv[1]).read().split("\n"):
        if name and len(old) < size:
            try:
                old += open(name, "rb").read()[: size - len(old)]
            except OSError:
                pass
rng = random.Random(7)
new = bytearray()
position = 0
while position < len(old):
    run = bytearray(old[position : position + rng.randint(200000, 2000000)])
    for _ in range(20):
        index = rng.randrange(len(run))
        run[index] = (run[index] + 1) & 255
    new += run + rng.randbytes(rng.randint(0, 5000))
    position += len(run) + rng.randint(0, 5000)
open(sys.argv[2], "wb").write(old)
open(sys.argv[3], "wb").write(new[:size])
PY
  bsdiff "$dir/old" "$dir/new" "$dir/pair.patch.tmp"
  mv "$dir/pair.patch.tmp" "$dir/pair.patch"
fi
cat "$dir/old" "$dir/new" "$dir/pair.patch" >/dev/null


best_ours=
best_theirs=
for _ in 1 2 3 4 5; do
  best_ours=$(smaller "$(seconds_of "$root/scripts/wine-run" "$tool" "$dir/old" "$dir/ours.new" "$dir/pair.patch")" "$best_ours")
  best_theirs=$(smaller "$(seconds_of bspatch "$dir/old" "$dir/theirs.new" "$dir/pair.patch")" "$best_theirs")
done
cmp "$dir/new" "$dir/ours.new"
cmp "$dir/new" "$dir/theirs.new"

# Peak resident set of the largest finished child, in KiB: for ours the Windows
# process under Wine.
peak_kib_of() {
  python3 -c '
import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
' "$@"
}
ours_kib=$(peak_kib_of "$root/scripts/wine-run" "$tool" "$dir/old" "$dir/ours.new" "$dir/pair.patch")
theirs_kib=$(peak_kib_of bspatch "$dir/old" "$dir/theirs.new" "$dir/pair.patch")
wine_kib=$(peak_kib_of "$root/scripts/wine-run" "$root/build/win/tools/empty_console.exe")
native_kib=$(peak_kib_of /bin/true)
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

echo "bspatch_speed_ratio: $(awk -v a="$best_theirs" -v b="$best_ours" 'BEGIN { printf "%.3f", a / b }')"
echo "bspatch_memory_ratio: $(ratio "$((ours_kib - wine_kib))" "$((theirs_kib - native_kib))")"
echo "bspatch_peak_mib: $(mib "$ours_kib")"
echo "bspatch_reference_peak_mib: $(mib "$theirs_kib")"
echo "wine_process_peak_mib: $(mib "$wine_kib")"
echo "native_process_peak_mib: $(mib "$native_kib")"
rm -f "$dir/ours.new" "$dir/theirs.new"
