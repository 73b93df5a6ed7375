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
# The check counts its fastest of three runs, the others of two.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/bench/launcher.bash"
launcher_bench large large
install_scenario large_install 2 2
check_scenario large_check 3
patch_scenario large_patch_update 2
