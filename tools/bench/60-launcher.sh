#!/usr/bin/env bash
# The launcher as a whole on a small tree (300 files, 150 MiB, half of them LZMA
# containers), from its start to the start of the application, against reference
# tools doing the same work (see launcher.bash):
#   install_time_ratio       first installation; reference: bare WinINet loop of
#                            1 KiB reads + xz -d + md5sum (target <= 1.0)
#   install_vs_curl_time_ratio  the same against one curl process fetching every
#                            file over one connection + xz -d + md5sum (target <= 1.0)
#   check_time_ratio         a version change in which every file is current;
#                            reference: md5sum of the installation (target <= 1.2)
#   patch_update_time_ratio  a patch set touching 10 % of the files; reference: bare
#                            loop + Debian bspatch + md5sum (target <= 1.0)
#   patch_update_overhead_ratio  the same against the reference plus one hidden
#                            process start per patch (for information)
# Each side counts its fastest of three runs; each figure has its time split. The
# tree is signed: the launcher also checks every file's SHA-256.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/bench/launcher.bash"
QM_BENCH_SIGNED=1 launcher_bench launcher small
install_scenario install 3 3
check_scenario check 3
patch_scenario patch_update 3
