#!/usr/bin/env bash
# quillomark-publish patch against Debian's bsdiff on the same pairs of files:
# the programs and libraries (ELF files) of two Debian releases of four packages (a
# JVM, the MariaDB server, OpenSSL's libraries, the PostgreSQL server), every one
# of 1 MiB or more that both versions hold and that differs, at least 50 MiB in all.
#   publish_patch_size_ratio  bytes of our patches / bytes of bsdiff's
#   publish_patch_time_ratio  time of "quillomark-publish patch" (suffix sorting,
#                             coding, proving each patch, writing the set) / the
#                             time of bsdiff on each pair in turn; best of two
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/bench/timing.bash"
dir=$QM_BENCH_DIR/publish
mkdir -p "$dir/debs"

publisher=$(release_publisher)

# Both versions the archive offers of each package, oldest first.
packages=(openjdk-17-jre-headless mariadb-server-core libssl3 postgresql-15)
if [ ! -f "$dir/pairs.ready" ]; then
  rm -rf "$dir/old" "$dir/new"
  for package in "${packages[@]}"; do
    mapfile -t versions < <(apt-cache madison "$package" | awk -F'|' '{ gsub(/ /, "", $2); print $2 }' |
      sort -u | sort -V | tail -2)
    [ ${#versions[@]} -eq 2 ] || { echo "50-publish: $package has fewer than two versions" >&2; exit 1; }
    for side in old new; do
      version=${versions[0]}
      [ $side = new ] && version=${versions[1]}
      (cd "$dir/debs" && apt-get download -qq "$package=$version" >/dev/null 2>&1)
      dpkg-deb -x "$dir/debs/${package}_${version//:/%3a}_"*.deb "$dir/$side"
    done
  done
  touch "$dir/pairs.ready"
fi

# The pairs: programs and libraries of 1 MiB or more in both versions that differ.
rm -rf "$dir/releases" "$dir/tree" "$dir/bsdiff"
mkdir -p "$dir/releases/1" "$dir/releases/2" "$dir/bsdiff"
(cd "$dir/old" && find . -type f -size +1M) | sort | while read -r path; do
  if [ "$(head -c 4 "$dir/old/$path")" = $'\x7fELF' ] && [ -f "$dir/new/$path" ] &&
    ! cmp -s "$dir/old/$path" "$dir/new/$path"; then
    name=$(echo "${path#./}" | tr '/' '_')
    cp "$dir/old/$path" "$dir/releases/1/$name"
    cp "$dir/new/$path" "$dir/releases/2/$name"
  fi
done
total=$(du -cb "$dir/releases/2" | tail -1 | cut -f1)
[ "$total" -ge $((50 * 1024 * 1024)) ] || { echo "50-publish: only $total bytes of pairs" >&2; exit 1; }

"$publisher" version "$dir/releases/1" --tree "$dir/tree" --version 1 --compress none 2>/dev/null >/dev/null
"$publisher" version "$dir/releases/2" --tree "$dir/tree" --version 2 --compress none 2>/dev/null >/dev/null
cat "$dir/releases"/*/* >/dev/null

# Two rounds, each command in turn, best of each: the machine's other load then
# weighs on both alike.
bsdiff_all() {
  local old
  for old in "$dir/releases/1"/*; do
    bsdiff "$old" "$dir/releases/2/$(basename "$old")" "$dir/bsdiff/$(basename "$old")"
  done
}
ours_time=
theirs_time=
for _ in 1 2; do
  rm -rf "$dir/tree/1_2"
  ours_time=$(smaller "$(seconds_of "$publisher" patch "$dir/tree" --from 1 --to 2 2>/dev/null)" "$ours_time")
  theirs_time=$(smaller "$(seconds_of bsdiff_all)" "$theirs_time")
done
[ "$(ls "$dir/tree/1_2" | wc -l)" -eq "$(($(ls "$dir/bsdiff" | wc -l) + 1))" ] ||
  { echo "50-publish: the publisher left out a patch" >&2; exit 1; }
ours_size=$(find "$dir/tree/1_2" -type f ! -name versioninfo.vif -printf '%s\n' | awk '{ s += $1 } END { print s }')
theirs_size=$(find "$dir/bsdiff" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')

echo "publish_patch_size_ratio: $(ratio "$ours_size" "$theirs_size")"
echo "publish_patch_time_ratio: $(ratio "$ours_time" "$theirs_time")"
