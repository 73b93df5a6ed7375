# Sourced by the launcher benchmarks: the launcher under Wine against nginx on
# 127.0.0.1 (the benchmark launcher's own port), each scenario against reference
# tools doing the same work one after another in the same run. Set up with
# `launcher_bench NAME SCENARIO [ARGS...]`, which writes the scenario's trees (see
# launcher_release.py) below $QM_BENCH_DIR/NAME and starts nginx. With QM_BENCH_SIGNED
# set the trees are signed and the launcher holds their key.

. "$root/tools/bench/timing.bash"
. "$root/tools/bench/nginx.bash"
port=18490
app=$root/build/win/tests/e2e/qm_testapp.exe
floor_file=$QM_BENCH_DIR/hidden_process_start_seconds

launcher_bench() {
  [ -z "${work:-}" ] || finish_launcher_bench
  work=$QM_BENCH_DIR/$1
  launcher=$root/build/win/tools/quillomark_bench${QM_BENCH_SIGNED:+_signed}.exe
  rm -rf "$work"
  mkdir -p "$work"
  /usr/bin/python3 "$root/tools/bench/launcher_release.py" "$work" "${@:2}"
  start_nginx "$work" "$port" "$work/current" logged
  trap finish_launcher_bench EXIT
  # Wine starts its desktop process with the first window of a session, where
  # Windows always has one; the end-to-end tests' probe asks for it before
  # anything is timed.
  echo quit | "$root/scripts/wine-run" "$root/build/win/tests/e2e/qm_probe.exe" >/dev/null
}

finish_launcher_bench() {
  stop_nginx
  [ -n "${QM_BENCH_KEEP:-}" ] || rm -rf "$work"
}

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
# started.txt; the launcher may end before the application has written it. With
# QM_PEAKS set, the launcher runs under peak_rss.py, which adds each program's
# peak resident size to that file.
launch() {
  local dir=$1 start watcher
  inotifywait -q -q -t 900 -e close_write --include started.txt "$dir" &
  watcher=$!
  start=$(date +%s.%N)
  # A launcher that stops on an error waits for its user: the time-out ends it.
  if [ -n "${QM_PEAKS:-}" ]; then
    (cd "$dir" && timeout 900 /usr/bin/python3 "$root/tools/bench/peak_rss.py" "$QM_PEAKS" \
      "$root/scripts/wine-run" quillomark.exe)
  else
    (cd "$dir" && timeout 900 "$root/scripts/wine-run" quillomark.exe)
  fi
  wait "$watcher" || { echo "launcher bench: the application did not start in $dir" >&2; exit 1; }
  awk -v a="$(stat -c %.9Y "$dir/started.txt")" -v b="$start" 'BEGIN { print a - b }'
}

# quillomark.exe --prepare in the directory, which must end prepared.
prepare_in() {
  (cd "$1" && "$root/scripts/wine-run" quillomark.exe --prepare) ||
    { echo "launcher bench: the prepare in $1 failed" >&2; exit 1; }
}

# Body bytes that nginx logged since the log was last emptied.
served_bytes() { awk '{ sum += $1 } END { print sum + 0 }' "$work/access.log"; }

# The bytes of every file in a tree's list, as served.
release_bytes() {
  (cd "$work/$1/download" && tr '\n' '\0' <../fetch.txt | xargs -0 stat -c %s) |
    awk '{ sum += $1 } END { print sum }'
}

# Seconds of the bare download loop over a tree's list, into a fresh directory.
bare_fetch() {
  local tree=$1 out=$work/fetched
  rm -rf "$out" && mkdir -p "$out"
  "$root/scripts/wine-run" "$root/build/win/tools/bare_fetch.exe" \
    "http://127.0.0.1:$port/download/" "$(windows_path "$work/$tree/fetch.txt")" \
    "$(windows_path "$out")" | sed -n 's/^bare_fetch_seconds: //p'
}

# Seconds of one curl process fetching a tree's list over one connection, as a user
# would download the files, into a fresh directory as bare_fetch writes them.
curl_fetch() {
  local tree=$1 out=$work/fetched count seconds
  rm -rf "$out" && mkdir -p "$out"
  awk -v base="http://127.0.0.1:$port/download/" -v out="$out" \
    '{ printf "url = \"%s%s\"\noutput = \"%s/%d\"\n", base, $0, out, NR - 1 }' \
    "$work/$tree/fetch.txt" >"$work/curl.cfg"
  seconds=$(seconds_of curl -s -f -K "$work/curl.cfg")
  count=$(find "$out" -type f | wc -l)
  [ "$count" = "$(wc -l <"$work/$tree/fetch.txt")" ] ||
    { echo "launcher bench: curl fetched $count files of $tree" >&2; exit 1; }
  echo "$seconds"
}

unpack_one() { xz --format=lzma -dc "$work/fetched/$1" >"$work/fetched/$1.out"; }

unpack_fetched() {
  while read -r index; do
    unpack_one "$index"
  done <"$work/install/containers.txt"
}

# The best a shell user could do: one xz per core at a time.
unpack_fetched_parallel() {
  export work
  export -f unpack_one
  xargs -P "$(nproc)" -I{} bash -c 'unpack_one "$1"' _ {} <"$work/install/containers.txt"
}

# NAME_two_core_limit_seconds: what two cores can at best do with the tree's
# unpacking, the longer of its longest file and half of the whole, beside the whole.
report_two_core_limit() {
  local index seconds longest=0 total=0
  while read -r index; do
    seconds=$(seconds_of unpack_one "$index")
    total=$(awk -v a="$total" -v b="$seconds" 'BEGIN { print a + b }')
    longest=$(awk -v a="$longest" -v b="$seconds" 'BEGIN { print (b > a) ? b : a }')
  done <"$work/install/containers.txt"
  echo "${1}_unpacking_one_core_seconds: $total"
  echo "${1}_longest_unpacking_seconds: $longest"
  echo "${1}_two_core_limit_seconds: $(awk -v a="$longest" -v t="$total" \
    'BEGIN { printf "%.3f", (a > t / 2) ? a : t / 2 }')"
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

# The median seconds of a hidden process start, measured once per `make bench` by
# 15-process-start.sh, or here when a script runs alone.
process_start_floor() {
  [ -s "$floor_file" ] || "$root/scripts/wine-run" "$root/build/win/tools/process_start.exe" \
    "$(windows_path "$root/build/win/tools/empty_console.exe")" >"$floor_file"
  sed -n 's/^hidden_process_start_seconds: //p' "$floor_file"
}

# The time split of the launcher run in a directory, from its log.
time_split() {
  /usr/bin/python3 "$root/tools/bench/log_split.py" "$1" "$2/ezo.log" "$3" "$(process_start_floor)"
}

# report NAME LAUNCHER-SECONDS REFERENCE-SECONDS REFERENCE-SPLIT DIRECTORY
report() {
  echo "${1}_launcher_seconds: $2"
  echo "${1}_reference_seconds: $3"
  [ -z "$4" ] || echo "${1}_reference_split: $4"
  echo "${1}_time_ratio: $(ratio "$2" "$3")"
  time_split "$1" "$5" "$2"
}

# report_against_curl NAME LAUNCHER-SECONDS REFERENCE-SECONDS REFERENCE-SPLIT
report_against_curl() {
  echo "${1}_curl_reference_seconds: $3"
  echo "${1}_curl_reference_split: $4"
  echo "${1}_vs_curl_time_ratio: $(ratio "$2" "$3")"
}

# report_patch_overhead NAME LAUNCHER-SECONDS REFERENCE-SECONDS: the launcher's time
# against the reference plus the process starts that the design adds, one per patch.
report_patch_overhead() {
  local patches floor
  patches=$(wc -l <"$work/patch/patched.txt")
  floor=$(process_start_floor)
  echo "${1}_overhead_ratio: $(awk -v a="$2" -v b="$3" -v n="$patches" -v f="$floor" \
    'BEGIN { printf "%.3f", a / (b + n * f) }')"
}

sum() { awk -v a="$1" -v b="$2" -v c="$3" 'BEGIN { print a + b + c }'; }

# WinINet's speed under Wine, and so every scenario's time, varies by a fifth from
# run to run, so each side counts its fastest of RUNS runs. best_launch RUNS NAME
# [with-version-1] leaves the fastest run's seconds in launch_seconds and its
# directory in best_dir; the other runs' directories are removed.
best_launch() {
  local best= dir seconds
  best_dir=
  for ((run = 1; run <= $1; run++)); do
    dir=$(installation "$2-$run" "${3:-}")
    [ -z "${prepare_first:-}" ] || prepare_in "$dir"
    seconds=$(launch "$dir")
    if [ -z "$best" ] || [ "$(smaller "$seconds" "$best")" = "$seconds" ]; then
      best=$seconds
      [ -z "$best_dir" ] || rm -rf "$best_dir"
      best_dir=$dir
    else
      rm -rf "$dir"
    fi
  done
  launch_seconds=$best
}

# best_reference RUNS COMMAND [ARGS...]: the fastest of RUNS runs of the reference
# COMMAND, which sets reference_total and reference_parts; leaves them in reference
# and reference_split.
best_reference() {
  reference=
  for ((run = 1; run <= $1; run++)); do
    "${@:2}"
    if [ -z "$reference" ] || [ "$(smaller "$reference_total" "$reference")" = "$reference_total" ]; then
      reference=$reference_total
      reference_split=$reference_parts
    fi
  done
}

# install_reference FETCH [UNPACK]: FETCH (bare_fetch or curl_fetch) of the install
# tree, then xz -d of its containers (one after another, or UNPACK) and md5sum of
# the installed files.
install_reference() {
  local fetch unpack hash
  fetch=$("$1" install)
  unpack=$(seconds_of "${2:-unpack_fetched}")
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

# The installation in best_dir must hold version 1's files exactly (further diff
# options may exclude more of the launcher's own files).
check_installed_version_1() {
  diff -r -x ezo.log -x started.txt -x versioninfo.vif -x quillomark.exe -x app.exe "$@" \
    "$work/v1" "$best_dir" >/dev/null ||
    { echo "launcher bench: the installation in $best_dir differs" >&2; exit 1; }
}

# The installation in best_dir must be the server's version 2: its record stored.
check_installed_version_2() {
  cmp -s "$best_dir/versioninfo.vif" "$work/patch/download/2/versioninfo.vif" ||
    { echo "launcher bench: the update in $best_dir did not complete" >&2; exit 1; }
}

# The scenarios: install, check and patch update, RUNS runs for each side.
# install_scenario NAME RUNS [CURL-RUNS]: with CURL-RUNS, the installation is also
# set beside the curl reference, counting its fastest of that many runs.
install_scenario() {
  serve install
  best_launch "$2" "$1"
  check_installed_version_1
  best_reference "$2" install_reference bare_fetch
  report "$1" "$launch_seconds" "$reference" "$reference_split" "$best_dir"
  if [ -n "${3:-}" ]; then
    best_reference "$3" install_reference curl_fetch
    report_against_curl "$1" "$launch_seconds" "$reference" "$reference_split"
    best_reference "$3" install_reference curl_fetch unpack_fetched_parallel
    echo "${1}_parallel_reference_seconds: $reference"
    echo "${1}_parallel_reference_split: $reference_split"
    echo "${1}_vs_parallel_reference_ratio: $(ratio "$launch_seconds" "$reference")"
    report_two_core_limit "$1"
  fi
  rm -rf "$best_dir" "$work/fetched"
}

check_scenario() {
  serve check
  best_launch "$2" "$1" with-version-1
  best_reference "$2" check_reference
  report "$1" "$launch_seconds" "$reference" "" "$best_dir"
  rm -rf "$best_dir"
}

# prepared_scenario NAME RUNS UNPREPARED-SECONDS: the patch update once more, prepared
# by --prepare beforehand (not timed): the time from the start to the application
# against the same update unprepared.
prepared_scenario() {
  serve patch
  prepare_first=1 best_launch "$2" "$1" with-version-1
  check_installed_version_2
  echo "${1}_launcher_seconds: $launch_seconds"
  echo "${1}_time_ratio: $(ratio "$launch_seconds" "$3")"
  rm -rf "$best_dir"
}

# resume_scenario NAME: a prepare of the install tree into an empty installation,
# killed once the server has sent half of the release's bytes, and a second prepare
# after it: the bytes that the second one moved against the release's bytes.
resume_scenario() {
  serve install
  local dir release prepare
  dir=$(installation "$1")
  release=$(release_bytes install)
  : >"$work/access.log"
  (cd "$dir" && exec "$root/scripts/wine-run" quillomark.exe --prepare) &
  prepare=$!
  while [ "$(served_bytes)" -lt $((release / 2)) ]; do
    kill -0 "$prepare" 2>/dev/null ||
      { echo "launcher bench: the prepare ended before half of the release" >&2; exit 1; }
    sleep 0.1
  done
  kill -9 "$prepare"
  { wait "$prepare"; } 2>/dev/null || true
  : >"$work/access.log"
  prepare_in "$dir"
  grep -q "Prepare: version 1 prepared" "$dir/ezo-prepare.log" ||
    { echo "launcher bench: the second prepare in $dir did not prepare" >&2; exit 1; }
  echo "${1}_bytes_ratio: $(ratio "$(served_bytes)" "$release")"
  rm -rf "$dir"
}

# restore_scenario NAME: the patch update by a launcher that keeps version 1 while
# version 2 is on trial (waiting for a confirmation that never comes, one try), then
# the start that takes version 2 back:
#   NAME_time_ratio   from that start to version 1's application, against the update
#                     from its start to version 2's (target <= 0.2)
#   kept_bytes_ratio  bytes in the kept folder against version 1's bytes of the files
#                     that the update changed (target <= 1.01)
restore_scenario() {
  serve patch
  local update restore kept changed
  best_dir=$(installation "$1" with-version-1)
  "$(release_publisher)" launcher --template "$root/build/win/tools/quillomark_bench.exe" \
    --base-url "http://127.0.0.1:$port/download/" --unsigned --health confirm \
    --health-tries 1 --out "$best_dir/quillomark.exe" >/dev/null
  update=$(launch "$best_dir")
  check_installed_version_2
  changed=$(changed_bytes "$best_dir")
  kept=$(du -sb --apparent-size "$best_dir/quillomark.previous" | cut -f1)
  rm "$best_dir/started.txt"
  restore=$(launch "$best_dir")
  check_installed_version_1 -x quillomark.refused -x quillomark.startapp
  echo "${1}_update_seconds: $update"
  echo "${1}_launcher_seconds: $restore"
  echo "${1}_time_ratio: $(ratio "$restore" "$update")"
  echo "kept_bytes_ratio: $(ratio "$kept" "$changed")"
  rm -rf "$best_dir"
}

# Version 1's bytes of the files that differ in the installation.
changed_bytes() {
  (cd "$work/v1" && find . -type f -print0) | while IFS= read -r -d '' name; do
    cmp -s "$work/v1/$name" "$1/$name" || stat -c %s "$work/v1/$name"
  done | awk '{ sum += $1 } END { print sum + 0 }'
}

patch_scenario() {
  serve patch
  best_launch "$2" "$1" with-version-1
  check_installed_version_2
  best_reference "$2" patch_reference
  report "$1" "$launch_seconds" "$reference" "$reference_split" "$best_dir"
  report_patch_overhead "$1" "$launch_seconds" "$reference"
  rm -rf "$best_dir" "$work/fetched" "$work/patched"
  local parallel=$launch_seconds
  QUILLOMARK_FINISHING_WIDTH=1 best_launch "$2" "${1}_one_at_a_time" with-version-1
  check_installed_version_2
  echo "${1}_one_at_a_time_launcher_seconds: $launch_seconds"
  echo "${1}_parallel_ratio: $(ratio "$parallel" "$launch_seconds")"
  rm -rf "$best_dir"
  launch_seconds=$parallel
}
