#!/usr/bin/env bash
# The launcher as a whole, under Wine against nginx on 127.0.0.1, from its start to
# the start of the application, each against reference tools doing the same work
# one after another in the same run:
#   install_time_ratio       first installation of 300 files, 150 MiB, half of them
#                            LZMA containers; reference: bare WinINet loop + xz -d +
#                            md5sum (target <= 1.0)
#   check_time_ratio         a version change in which every file is current;
#                            reference: md5sum of the installation (target <= 1.2)
#   patch_update_time_ratio  a patch set touching 10 % of the files; reference: bare
#                            loop + Debian bspatch + md5sum (target <= 1.0)
# Each side counts its fastest of three runs. The time split of the launcher's
# fastest run (network, unpacking, hashing, patching) comes from the timestamps of
# its log lines.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/bench/timing.bash"
work=$QM_BENCH_DIR/launcher
port=18490
launcher=$root/build/win/tools/quillomark_bench.exe
app=$root/build/win/tests/e2e/qm_testapp.exe
rm -rf "$work"
mkdir -p "$work"
/usr/bin/python3 "$root/tools/bench/launcher_release.py" "$work"

. "$root/tools/bench/nginx.bash"
start_nginx "$work" "$port" "$work/current"
finish() { stop_nginx; }
trap finish EXIT

# Wine starts its desktop process with the first window of a session, where Windows
# always has one; the end-to-end tests' probe asks for it before anything is timed.
echo quit | "$root/scripts/wine-run" "$root/build/win/tests/e2e/qm_probe.exe" >/dev/null

serve() { ln -sfn "$work/$1" "$work/current"; }
windows_path() { echo "Z:${1//\//\\}"; }

# A fresh installation directory, holding version 1 when asked.
installation() {
  local dir=$work/installed-$1
  rm -rf "$dir" && mkdir -p "$dir"
  if [ "${2:-}" = with-version-1 ]; then
    cp -r "$work/v1/." "$dir/"
    cp "$work/install/download/1/versioninfo.vif" "$dir/"
  fi
  cp "$launcher" "$dir/quillomark.exe"
  cp "$app" "$dir/app.exe"
  echo "$dir"
}

# Seconds from the launcher's start to the start of the application, which writes
# started.txt; the launcher may end before the application has written it.
launch() {
  local dir=$1 start watcher
  inotifywait -q -q -t 600 -e close_write --include started.txt "$dir" &
  watcher=$!
  start=$(date +%s.%N)
  (cd "$dir" && "$root/scripts/wine-run" quillomark.exe)
  wait "$watcher" || { echo "60-launcher: the application did not start in $dir" >&2; exit 1; }
  awk -v a="$(stat -c %.9Y "$dir/started.txt")" -v b="$start" 'BEGIN { print a - b }'
}

# Seconds of the bare download loop over a tree's list, into a fresh directory.
bare_fetch() {
  local tree=$1 out=$work/fetched
  rm -rf "$out" && mkdir -p "$out"
  "$root/scripts/wine-run" "$root/build/win/tools/bare_fetch.exe" \
    "http://127.0.0.1:$port/download/" "$(windows_path "$work/$tree/fetch.txt")" \
    "$(windows_path "$out")" | sed -n 's/^bare_fetch_seconds: //p'
}

unpack_fetched() {
  while read -r index; do
    xz --format=lzma -dc "$work/fetched/$index" >"$work/fetched/$index.out"
  done <"$work/install/containers.txt"
}

patch_files() {
  local out=$work/patched
  rm -rf "$out" && mkdir -p "$out"
  local index=0
  while read -r name; do
    bspatch "$work/v1/$name" "$out/$index" "$work/fetched/$index"
    index=$((index + 1))
  done <"$work/patch/patched.txt"
}

hash_tree() { find "$1" -type f -name '*.bin' -print0 | xargs -0 md5sum >/dev/null; }

# The time split of the launcher run in a directory, from its log.
time_split() { /usr/bin/python3 "$root/tools/bench/log_split.py" "$1" "$2/ezo.log"; }

# report NAME LAUNCHER-SECONDS REFERENCE-SECONDS REFERENCE-SPLIT DIRECTORY
report() {
  echo "${1}_launcher_seconds: $2"
  echo "${1}_reference_seconds: $3"
  [ -z "$4" ] || echo "${1}_reference_split: $4"
  echo "${1}_time_ratio: $(ratio "$2" "$3")"
  time_split "$1" "$5"
}

sum() { awk -v a="$1" -v b="$2" -v c="$3" 'BEGIN { print a + b + c }'; }

# WinINet's speed under Wine, and so every scenario's time, varies by a fifth from
# run to run, so each side counts its fastest of three runs. best_launch NAME
# [with-version-1] leaves the fastest run's seconds in launch_seconds and its
# directory in best_dir.
best_launch() {
  local best= dir seconds
  for run in 1 2 3; do
    dir=$(installation "$1-$run" "${2:-}")
    seconds=$(launch "$dir")
    if [ -z "$best" ] || [ "$(smaller "$seconds" "$best")" = "$seconds" ]; then
      best=$seconds
      best_dir=$dir
    fi
  done
  launch_seconds=$best
}

# best_reference COMMAND: the fastest of three runs of the reference COMMAND, which
# sets reference_total and reference_parts; leaves them in reference and
# reference_split.
best_reference() {
  reference=
  for run in 1 2 3; do
    "$1"
    if [ -z "$reference" ] || [ "$(smaller "$reference_total" "$reference")" = "$reference_total" ]; then
      reference=$reference_total
      reference_split=$reference_parts
    fi
  done
}

install_reference() {
  local fetch unpack hash
  fetch=$(bare_fetch install)
  unpack=$(seconds_of unpack_fetched)
  hash=$(seconds_of hash_tree "$best_dir")
  reference_total=$(sum "$fetch" "$unpack" "$hash")
  reference_parts="network $fetch, unpacking $unpack, hashing $hash"
}

check_reference() {
  reference_total=$(seconds_of hash_tree "$best_dir")
  reference_parts=
}

patch_reference() {
  local fetch apply hash
  fetch=$(bare_fetch patch)
  apply=$(seconds_of patch_files)
  hash=$(seconds_of hash_tree "$best_dir")
  reference_total=$(sum "$fetch" "$apply" "$hash")
  reference_parts="network $fetch, patching $apply, hashing $hash"
}

serve install
best_launch install
diff -r -x ezo.log -x started.txt -x versioninfo.vif -x quillomark.exe -x app.exe \
  "$work/v1" "$best_dir" >/dev/null || { echo "60-launcher: the installation differs" >&2; exit 1; }
best_reference install_reference
report install "$launch_seconds" "$reference" "$reference_split" "$best_dir"

serve check
best_launch check with-version-1
best_reference check_reference
report check "$launch_seconds" "$reference" "" "$best_dir"

serve patch
best_launch patch with-version-1
best_reference patch_reference
report patch_update "$launch_seconds" "$reference" "$reference_split" "$best_dir"
finish
trap - EXIT
[ -n "${QM_BENCH_KEEP:-}" ] || rm -rf "$work"
