#!/usr/bin/env bash
# Configures and builds the three trees: build/win (the launcher, for Wine),
# build/host (the platform-neutral code and the publisher, native, with sanitizers)
# and build/win64 (the publisher for 64-bit Windows).
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
configure build/win64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" -DCMAKE_BUILD_TYPE=Release
cmake --build build/win
cmake --build build/host
cmake --build build/win64 --target quillomark-publish
