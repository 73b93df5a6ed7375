#!/usr/bin/env bash
# Builds everything and runs every test: the Windows programs under Wine (with a
# virtual X display for windows) and the host programs under the sanitizers.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/build.sh

# shellcheck source=scripts/xvfb.sh
. scripts/xvfb.sh
start_xvfb
trap 'stop_xvfb; WINEPREFIX="$root/build/wineprefix" wineserver -k >/dev/null 2>&1 || true' EXIT

status=0
ctest --test-dir build/host --output-on-failure -j2 || status=1
ctest --test-dir build/win --output-on-failure -j2 || status=1
exit $status
