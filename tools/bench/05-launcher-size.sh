#!/usr/bin/env bash
# The size of what users download: the prebuilt launcher, which every stamped
# launcher and setup is made from (resources aside), with the patch tool inside it.
#   launcher_bytes   bytes of build/win/shell/quillomark.exe (target: at most 2 MiB)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
echo "launcher_bytes: $(stat -c %s "$root/build/win/shell/quillomark.exe")"
