#!/usr/bin/env bash
# Download speed: download_to_file for a 256 MiB file from nginx on 127.0.0.1,
# against bare WinINet loops and against curl.
#   download_throughput_ratio  bare loop time, reading 64 KiB and writing the file as
#                              the transfer does / download_to_file time (target >= 0.9)
#   download_vs_curl_ratio     curl time / download_to_file time (target >= 0.8)
#   download_1kib_loop_ratio   the same with a bare loop of 1024-byte reads, which the
#                              first figure used before the transfer read 64 KiB (for
#                              information)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/bench/timing.bash"
work=$QM_BENCH_DIR/download
rm -rf "$work"
mkdir -p "$work/www" "$work/temp"
head -c $((256 * 1024 * 1024)) /dev/urandom >"$work/www/big.bin"

port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
. "$root/tools/bench/nginx.bash"
start_nginx "$work" "$port" "$work/www"
trap stop_nginx EXIT

url=http://127.0.0.1:$port/big.bin
times=$("$root/scripts/wine-run" "$root/build/win/tools/download_bench.exe" "$url" "$work/out.bin")
cmp -s "$work/out.bin" "$work/www/big.bin" || { echo "40-download: the download differs" >&2; exit 1; }
# curl too counts its best of two.
curl_seconds=
for _ in 1 2; do
  curl_seconds=$(smaller "$(curl -s -o "$work/curl.bin" -w '%{time_total}' "$url")" "$curl_seconds")
done

bare=$(sed -n 's/^bare_seconds: //p' <<<"$times")
bare_1kib=$(sed -n 's/^bare_1kib_seconds: //p' <<<"$times")
transfer=$(sed -n 's/^transfer_seconds: //p' <<<"$times")
awk -v bare="$bare" -v bare_1kib="$bare_1kib" -v transfer="$transfer" -v curl="$curl_seconds" 'BEGIN {
    printf "download_throughput_ratio: %.3f\n", bare / transfer
    printf "download_vs_curl_ratio: %.4f\n", curl / transfer
    printf "download_1kib_loop_ratio: %.3f\n", bare_1kib / transfer
    printf "download_seconds: %.3f\n", transfer
    printf "download_curl_seconds: %.3f\n", curl
}'
stop_nginx
trap - EXIT
rm -rf "$work"
