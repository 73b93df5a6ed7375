#!/usr/bin/env bash
# The check of many small files: 20,000 and 2,000 files of 4 KiB, every one current
# after a version change.
#   many_files_check_seconds_per_file_ratio  time per file at 20,000 / time per file
#                            at 2,000 (target <= 1.1; linear cost gives 1.0)
# A file's time is the run from the log (from the master record's arrival, through
# the records' download and reading, the files' checks and completion, to the
# window's last line after the application's start) divided by the files, so that
# the start of Wine and of the window, the same at every size, do not hide a cost
# that grows faster than the files. Each size
# counts its fastest of three runs; the split is the 20,000-file run's.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/bench/launcher.bash"

# per_file_seconds FILES: the fastest of three runs' time per file.
per_file_seconds() {
  local best= dir seconds candidate
  launcher_bench many many "$1"
  files=$(find "$work/v1" -type f | wc -l)
  serve check
  for run in 1 2 3; do
    dir=$(installation "many-$run" with-version-1)
    seconds=$(launch "$dir")
    candidate=$(time_split many "$dir" "$seconds" | sed -n 's/^many_run_seconds: //p')
    candidate=$(awk -v a="$candidate" -v n="$files" 'BEGIN { print a / n }')
    if [ -z "$best" ] || [ "$(smaller "$candidate" "$best")" = "$candidate" ]; then
      best=$candidate
      best_split=$(time_split many_files_check "$dir" "$seconds")
    fi
    rm -rf "$dir"
  done
  per_file=$best
}

per_file_seconds 2000
small_per_file=$per_file
per_file_seconds 20000
echo "many_files_check_seconds_per_file_2000: $small_per_file"
echo "many_files_check_seconds_per_file_20000: $per_file"
echo "many_files_check_seconds_per_file_ratio: $(ratio "$per_file" "$small_per_file")"
echo "$best_split"
