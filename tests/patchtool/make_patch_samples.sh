#!/usr/bin/env bash
# Writes pairs of files into DIR as NAME.old and NAME.new, a patch of each pair by
# Debian's bsdiff as NAME.patch, and Debian's bspatch result as NAME.reference.
# OLD_BUILD and NEW_BUILD are two builds of one of our executables. The names of
# the pairs go to DIR/names; corrupt.patch is random.patch cut short in its last
# block, which Debian's bspatch rejects.
set -euo pipefail
dir=$1 old_build=$2 new_build=$3
rm -rf "$dir" && mkdir -p "$dir"
cd "$dir"

cp "$old_build" executable.old
cp "$new_build" executable.new

seq 1 40000 | sed 's/^/rida number /' >text.old
sed -e '/^rida number 1.*7$/d' -e 's/number 2\(.*\)5$/nr. 2\1 muudetud/' \
  -e '/^rida number 3000$/r text.old' text.old >text.new

head -c 2000000 /dev/urandom >random.old
{
  head -c 500000 random.old
  head -c 30000 /dev/urandom
  head -c 1500000 random.old | tail -c 900000
  tail -c +1600001 random.old
  head -c 10000 /dev/urandom
} >random.new

for name in executable text random; do
  bsdiff "$name.old" "$name.new" "$name.patch"
done

# bsdiff cannot map empty files, so these two patches are put together here: an
# empty new file from a non-empty old one, and a new file made of extra bytes only.
number() { # the format's 8-byte number, for values below 2^31
  local v=$1
  printf "$(printf '\\%03o\\%03o\\%03o\\%03o\\000\\000\\000\\000' \
    $((v & 255)) $((v >> 8 & 255)) $((v >> 16 & 255)) $((v >> 24 & 255)))"
}
assemble_patch() { # control-bytes-file diff-file extra-file new-size
  bzip2 -c "$1" >control.bz2 && bzip2 -c "$2" >diff.bz2 && bzip2 -c "$3" >extra.bz2
  printf BSDIFF40
  number "$(stat -c %s control.bz2)"
  number "$(stat -c %s diff.bz2)"
  number "$4"
  cat control.bz2 diff.bz2 extra.bz2
  rm control.bz2 diff.bz2 extra.bz2
}
head -c 10000 /dev/urandom >empty-new.old
: >empty-new.new
assemble_patch /dev/null /dev/null /dev/null 0 >empty-new.patch
: >empty-old.old
head -c 50000 /dev/urandom >empty-old.new
{ number 0; number 50000; number 0; } >empty-old.control
assemble_patch empty-old.control /dev/null empty-old.new 50000 >empty-old.patch
rm empty-old.control

for name in executable text random empty-new empty-old; do
  bspatch "$name.old" "$name.reference" "$name.patch"
  cmp "$name.reference" "$name.new"
  echo "$name" >>names
done

head -c -100 random.patch >corrupt.patch
if bspatch random.old corrupt.new corrupt.patch; then
  exit 1
fi
