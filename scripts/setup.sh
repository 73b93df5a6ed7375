#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on a fresh Debian machine.
# Quiet and quick when everything is already there.
set -euo pipefail
. "$(dirname "$0")/apt-lists.sh"

packages=(
  wine wine32:i386 xvfb xauth openbox
  gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix wine64 zip
  cmake ninja-build make g++ dpkg-dev clang libclang-rt-14-dev
  python3-pytest python3-cryptography nginx-light bsdiff xz-utils googletest curl inotify-tools
  libcurl4-openssl-dev libsodium-dev imagemagick strace osslsigncode python3-pefile openssl
  swift-proxy swift-account swift-container swift-object memcached squid apache2-utils
)

need_update=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi

# deb-src entries are derived from the machine's own Debian sources, so no
# archive address is ever written down by this project.
derived=/etc/apt/sources.list.d/quillomark-deb-src.sources
if [ ! -s "$derived" ]; then
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$f" != "$derived" ] || continue
    awk 'BEGIN { RS = "" }
      {
        n = split($0, line, "\n"); types = ""; uris = ""
        for (i = 1; i <= n; i++) {
          if (line[i] ~ /^Types:/) types = line[i]
          if (line[i] ~ /^URIs:/) uris = line[i]
        }
        if (types ~ /[ \t]deb([ \t]|$)/ && types !~ /deb-src/ && uris ~ /debian/) {
          for (i = 1; i <= n; i++) print (line[i] ~ /^Types:/ ? "Types: deb-src" : line[i])
          print ""
        }
      }' "$f"
  done >"$derived.tmp"
  if [ -f /etc/apt/sources.list ]; then
    grep -E '^deb[[:space:]].*debian' /etc/apt/sources.list | sed 's/^deb /deb-src /' >/etc/apt/sources.list.d/quillomark-deb-src.list || true
  fi
  mv "$derived.tmp" "$derived"
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ $need_update = 1 ]; then
  echo "setup: installing ${missing[*]:-nothing (refreshing lists)}"
  export DEBIAN_FRONTEND=noninteractive
  apt_update_retrying
  [ ${#missing[@]} -eq 0 ] || apt_install_explaining "${missing[@]}"
fi
