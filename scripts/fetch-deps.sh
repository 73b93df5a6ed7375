#!/usr/bin/env bash
# Fetches the third-party sources the build compiles (LZMA SDK from 7zip, libbzip2
# from bzip2, libdivsufsort for the publisher, libsodium for the Windows launcher's
# signature check, curl for the Windows publisher's uploads) from Debian's source packages into a cache outside the work tree,
# and prints the directory that holds them unpacked.
set -euo pipefail
. "$(dirname "$0")/apt-lists.sh"

cache=${QUILLOMARK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quillomark}
mkdir -p "$cache"
cd "$cache"

fetch() {
  local package=$1 unpacked=$2
  [ -d "$unpacked" ] && return
  rm -rf "dl-$package" && mkdir "dl-$package"
  (
    cd "dl-$package"
    # A machine whose package lists predate its deb-src entries needs them refreshed.
    apt-get source --download-only -qq "$package" >/dev/null 2>&1 ||
      { apt_update_retrying && apt-get source --download-only -qq "$package" >/dev/null; }
  )
  rm -rf "$unpacked.tmp"
  dpkg-source --no-check --no-copy -x "dl-$package"/*.dsc "$unpacked.tmp" >/dev/null
  mv "$unpacked.tmp" "$unpacked"
}

fetch 7zip 7zip
fetch bzip2 bzip2
fetch libdivsufsort libdivsufsort
fetch libsodium libsodium
fetch curl curl
echo "$cache"
