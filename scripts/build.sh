#!/usr/bin/env bash
# Configures and builds both trees: build/win (the launcher, for Wine) and
# build/host (the platform-neutral code, native, with sanitizers).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
deps=$(scripts/fetch-deps.sh)

configure() {
  local dir=$1; shift
  [ -f "$dir/build.ninja" ] || cmake -S . -B "$dir" -G Ninja -DQM_DEPS_DIR="$deps" "$@" >/dev/null
}
configure build/win -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw32.cmake" -DCMAKE_BUILD_TYPE=Release
configure build/host -DCMAKE_BUILD_TYPE=Debug
cmake --build build/win
cmake --build build/host
