#!/usr/bin/env bash
# Lays out DIR/Temp holding a link to a directory outside it and, with
# --file-link, a link to a file outside it, as real POSIX symbolic links; and
# "DIR/outside link", a second name of that directory beside it. Wine shows
# a directory link as a reparse point but a file link as the file itself, which no
# Windows program can tell from a plain file, so the Windows tests leave it out.
set -euo pipefail
dir=$1
file_link=${2:-}
rm -rf "$dir" && mkdir -p "$dir/outside/inner" "$dir/Temp/sub"
echo precious >"$dir/outside/keep"
echo inside >"$dir/Temp/sub/file"
ln -s "$dir/outside" "$dir/Temp/dirlink"
ln -s "$dir/outside" "$dir/outside link"
if [ "$file_link" = --file-link ]; then ln -s "$dir/outside/keep" "$dir/Temp/filelink"; fi
