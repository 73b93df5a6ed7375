#!/usr/bin/env bash
# The launcher on a large tree: about 2,000 files and 1 GiB, sizes spread from
# bytes to tens of MiB, half of them LZMA containers (see launcher.bash):
#   large_install_time_ratio       first installation (target <= 1.0)
#   large_install_vs_curl_time_ratio  the same against the curl reference (target <= 1.0)
#   large_check_time_ratio         every file current after a version change;
#                                  reference: md5sum on one core (target <= 0.7)
#   large_patch_update_time_ratio  a patch set touching 10 % of the files
#   large_patch_update_overhead_ratio  the same against the reference plus one
#                                  hidden process start per patch (target <= 1.0)
#   prepared_update_time_ratio     the same update prepared by --prepare beforehand,
#                                  from the start to the application, against it
#                                  unprepared (target <= 0.25)
#   restore_time_ratio             the start that takes the patch update back after
#                                  it failed its trial, against that update
#                                  (target <= 0.2)
#   kept_bytes_ratio               the bytes the update kept of version 1 against
#                                  those it changed (target <= 1.01)
#   prepare_resume_bytes_ratio     bytes that a prepare moves after one killed at
#                                  half of the first installation, against the
#                                  release's bytes (target <= 0.55)
# The check counts its fastest of three runs, the others of two. The tree is signed:
# the launcher also checks every file's SHA-256.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/bench/launcher.bash"
QM_BENCH_SIGNED=1 launcher_bench large large
install_scenario large_install 2 2
check_scenario large_check 3
patch_scenario large_patch_update 2
prepared_scenario prepared_update 2 "$launch_seconds"
restore_scenario restore
resume_scenario prepare_resume
