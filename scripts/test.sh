#!/usr/bin/env bash
# Builds everything and runs every test: the Windows programs under Wine (with a
# virtual X display for windows) and the host programs under the sanitizers.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/build.sh

. scripts/xvfb.sh
. scripts/wine-session.sh
start_xvfb
start_wine_session
trap 'stop_xvfb; stop_wine_session' EXIT

status=0
ctest --test-dir build/host --output-on-failure -j2 || status=1
ctest --test-dir build/win --output-on-failure -j2 || status=1
exit $status
