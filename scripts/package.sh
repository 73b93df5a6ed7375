#!/usr/bin/env bash
# Builds build/package/quillomark-publish_<version>_amd64.deb: the publisher (a
# native Release build, without sanitizers), the prebuilt launcher that its
# `launcher` command stamps (the Windows build's quillomark.exe) and a man page made
# from its --help texts. The Debian packages of the shared libraries it links are
# its dependencies (dpkg-shlibdeps); osslsigncode, for --sign-cert, is recommended.
# Then build/package/quillomark-publish-<version>-win64.zip: the Windows publisher,
# the same template, the README's publishing part as text and the licenses of the
# third-party code inside the program.
# QM_WIN_BUILD names a built Windows tree; without it the standard trees are built.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
if [ -z "${QM_WIN_BUILD:-}" ]; then
  scripts/build.sh
else
  scripts/setup.sh
fi
win_build=${QM_WIN_BUILD:-$root/build/win}
out=$root/build/package
host=$out/host
template=$win_build/shell/quillomark.exe
version=$(sed -n 's/^QM_LAUNCHER_VERSION:STRING=//p' "$win_build/CMakeCache.txt")

if [ ! -f "$host/build.ninja" ]; then
  cmake -S . -B "$host" -G Ninja -DQM_DEPS_DIR="$(scripts/fetch-deps.sh)" \
    -DCMAKE_BUILD_TYPE=Release -DQM_SANITIZE=OFF >/dev/null
fi
cmake --build "$host" --target quillomark-publish >/dev/null
publisher=$host/publisher/quillomark-publish

stage=$out/stage
rm -rf "$stage"
install -D -m 0755 "$publisher" "$stage/usr/bin/quillomark-publish"
strip --strip-unneeded "$stage/usr/bin/quillomark-publish"
install -D -m 0644 "$template" "$stage/usr/share/quillomark-publish/quillomark.exe"

# The man page: every command's --help, verbatim.
troff_text() { sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"; }
{
  echo ".TH QUILLOMARK-PUBLISH 1 \"\" \"quillomark-publish $version\" \"User Commands\""
  echo ".SH NAME"
  echo "quillomark-publish \\- publish releases for the Quillomark launcher"
  echo ".SH SYNOPSIS"
  echo ".nf"
  "$publisher" --help | troff_text
  echo ".fi"
  echo ".SH COMMANDS"
  for command in launcher release version patch master rollout verify upload keygen; do
    echo ".SS $command"
    echo ".nf"
    "$publisher" "$command" --help | troff_text
    echo ".fi"
  done
  echo ".SH FILES"
  echo ".TP"
  echo "/usr/share/quillomark-publish/quillomark.exe"
  echo "the prebuilt launcher that \\fBlauncher\\fR stamps unless \\fB\\-\\-template\\fR names another"
} | gzip -9n | install -D -m 0644 /dev/stdin "$stage/usr/share/man/man1/quillomark-publish.1.gz"

# dpkg-shlibdeps reads the package's name from a control file of a source tree.
shlibs=$out/shlibs
mkdir -p "$shlibs/debian"
printf 'Source: quillomark\n\nPackage: quillomark-publish\nArchitecture: amd64\n' \
  >"$shlibs/debian/control"
depends=$(cd "$shlibs" && dpkg-shlibdeps -O "$stage/usr/bin/quillomark-publish" 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p')

mkdir -p "$stage/DEBIAN"
cat >"$stage/DEBIAN/control" <<CONTROL
Package: quillomark-publish
Version: $version
Architecture: amd64
Maintainer: Quillomark developers <quillomark@localhost>
Section: devel
Priority: optional
Depends: $depends
Recommends: osslsigncode
Installed-Size: $(du -sk "$stage/usr" | cut -f1)
Description: publisher's tool for the Quillomark launcher and updater
 Writes and verifies the update tree that the Quillomark launcher reads,
 signs releases, and writes the launcher itself from the prebuilt template
 with the publisher's download address, public key, icon and name.
CONTROL
package=$out/quillomark-publish_${version}_amd64.deb
dpkg-deb --root-owner-group -Zxz --build "$stage" "$package" >/dev/null


# The Windows publisher's zip.
win64_build=${QM_WIN64_BUILD:-$root/build/win64}
cmake --build "$win64_build" --target quillomark-publish >/dev/null
deps=$(scripts/fetch-deps.sh)
zip_stage=$out/zip-stage
rm -rf "$zip_stage" && mkdir -p "$zip_stage"
cp "$win64_build/publisher/quillomark-publish.exe" "$template" "$zip_stage/"
awk '/^## Publishing a release/ { on = 1 } /^## / && !/^## Publishing a release/ { on = 0 } on' \
  README.md | sed 's/$/\r/' >"$zip_stage/PUBLISHING.txt"
{
  echo "quillomark-publish.exe contains the following third-party code, compiled from"
  echo "Debian's source packages; their copyright files follow."
  for source in 7zip bzip2 libdivsufsort libsodium curl; do
    printf '\n==== %s (debian/copyright) ====\n\n' "$source"
    cat "$deps/$source/debian/copyright"
  done
  printf '\n==== GCC runtime and mingw-w64 (/usr/share/doc) ====\n\n'
  cat /usr/share/doc/gcc-mingw-w64-base/copyright /usr/share/doc/mingw-w64-common/copyright
} | sed 's/$/\r/' >"$zip_stage/LICENSES"
zip_file=$out/quillomark-publish-$version-win64.zip
rm -f "$zip_file"
(cd "$zip_stage" && zip -q -X "$zip_file" quillomark-publish.exe quillomark.exe PUBLISHING.txt LICENSES)
echo "$package"
echo "$zip_file"
