#!/usr/bin/env bash
# The Windows publisher under Wine against the Linux one, on the same machine:
#   windows_publish_time_ratio  "release" of the large tree's version 1 (about 2,000
#                               files, 1 GiB; see launcher_release.py) by
#                               quillomark-publish.exe under Wine / by the Linux
#                               quillomark-publish; one release each, as each
#                               takes minutes of compression (target <= 1.5)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/bench/timing.bash"
dir=$QM_BENCH_DIR/windows-publish
source=$QM_BENCH_DIR/large/v1
mkdir -p "$dir"
[ -d "$source" ] || /usr/bin/python3 "$root/tools/bench/launcher_release.py" "$QM_BENCH_DIR/large" large
linux=$(release_publisher)
cmake --build "$root/build/win64" --target quillomark-publish >/dev/null
windows=("$root/scripts/wine64-run" "$root/build/win64/publisher/quillomark-publish.exe")
# The 64-bit prefix and its wineserver are up before anything is timed.
"${windows[@]}" --help >/dev/null

release_seconds() {
  rm -rf "$dir/tree"
  seconds_of "$@" release "$source" --tree "$dir/tree" --startapp d0/sub0/f0000.bin 2>/dev/null
}
linux_seconds=$(release_seconds "$linux")
windows_seconds=$(release_seconds "${windows[@]}")
rm -rf "$dir/tree"
echo "windows_publish_time_ratio: $(ratio "$windows_seconds" "$linux_seconds")"
