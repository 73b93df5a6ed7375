#!/usr/bin/env bash
# The launcher's main job, end to end, the way a publisher works: stamps the
# prebuilt launcher (the Windows build's quillomark.exe) with the demo's address,
# public key, the sample application's icon and name, signs it with a code-signing
# certificate of the demo's own, publishes two releases of the sample application
# with it, installs the first, serves the tree with nginx, runs the launcher under
# Wine (on $DISPLAY, or on a virtual display when there is none) and reports what
# happened, with screenshots under build/demo/. QM_WIN_BUILD and QM_HOST_BUILD
# name build trees that are already built; without them both standard trees are
# built first. QM_DEMO_PORT is the port the demo serves on (8480 by default). The
# release key (build/demo/release.key) and the certificate (build/demo/signing.pfx)
# are made once. QM_PUBLISHER names another quillomark-publish to use, such as one
# unpacked from make package's .deb, with the template installed beside it.
# QM_DEMO_STORE=s3 (make demo-s3) uploads the tree with "quillomark-publish upload"
# to a local OpenStack Swift (tests/server/swift_store.py, build/demo/swift), and
# nginx serves it from there, caching by the store's headers as a CDN would.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
if [ -z "${QM_WIN_BUILD:-}" ] || [ -z "${QM_HOST_BUILD:-}" ]; then
  scripts/build.sh
fi
win_build=${QM_WIN_BUILD:-$root/build/win}
host_build=${QM_HOST_BUILD:-$root/build/host}
demo=$root/build/demo
nginx_dir=$demo/nginx
mkdir -p "$demo" "$nginx_dir/temp"
rm -f "$demo"/*.png "$demo/report.txt"

publisher=${QM_PUBLISHER:-$host_build/publisher/quillomark-publish}
template=()
[ -n "${QM_PUBLISHER:-}" ] || template=(--template "$win_build/shell/quillomark.exe")
key=$demo/release.key
if [ ! -s "$key.pub" ]; then
  rm -f "$key"
  "$publisher" keygen --out "$key" >"$key.pub"
fi
# A self-signed code-signing certificate stands in for the one a publisher buys.
certificate=$demo/signing.pfx
if [ ! -s "$certificate" ]; then
  openssl rand -hex 16 >"$demo/signing.password"
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Quillomark demo publisher" \
    -addext extendedKeyUsage=codeSigning -keyout "$demo/signing.key.pem" \
    -out "$demo/signing.cert.pem" 2>/dev/null
  openssl pkcs12 -export -inkey "$demo/signing.key.pem" -in "$demo/signing.cert.pem" \
    -passout "file:$demo/signing.password" -out "$certificate.tmp"
  mv "$certificate.tmp" "$certificate"
fi

export AWS_ACCESS_KEY_ID=test:tester AWS_SECRET_ACCESS_KEY=testing AWS_REGION=us-east-1
store=$root/tests/server/swift_store.py
source="alias $demo/tree/"
upload=()
rm -rf "$nginx_dir/cache"
if [ "${QM_DEMO_STORE:-}" = s3 ]; then
  /usr/bin/python3 "$store" start --dir "$demo/swift" --bucket quillomark >/dev/null
  endpoint=$(/usr/bin/python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["endpoint"])' \
    "$demo/swift/store.json")
  source="proxy_pass $endpoint/v1/AUTH_test/quillomark/demo/; proxy_cache store"
  upload=(--upload-endpoint "$endpoint")
fi

user_line=""
[ "$(id -u)" = 0 ] && user_line="user $(id -un) $(id -gn);"
sed -e "s|@DIR@|$nginx_dir|g" -e "s|@SOURCE@|$source|" -e "s|@USER@|$user_line|" \
  -e "s|@PORT@|${QM_DEMO_PORT:-8480}|" \
  tools/demo/nginx.conf.in >"$nginx_dir/nginx.conf"
: >"$nginx_dir/access.log"

# A Wine prefix of the demo's own, so that the demo never ends a session that
# tests are using.
export QUILLOMARK_WINEPREFIX=$root/build/demo-wineprefix
. scripts/xvfb.sh
. scripts/wine-session.sh
stop_all() {
  if [ -f "$nginx_dir/nginx.pid" ]; then
    local pid
    pid=$(cat "$nginx_dir/nginx.pid")
    kill "$pid" 2>/dev/null && tail --pid="$pid" -f /dev/null
  fi
  /usr/bin/python3 "$store" stop --dir "$demo/swift"
  WINEPREFIX=$QUILLOMARK_WINEPREFIX wineserver -k >/dev/null 2>&1 || true
  stop_xvfb
}
trap stop_all EXIT

# nginx binds its port before it detaches, so it serves once this returns.
nginx -p "$nginx_dir" -c "$nginx_dir/nginx.conf" -e "$nginx_dir/error.log"
[ -n "${DISPLAY:-}" ] || start_xvfb
start_wine_session

QM_E2E_PROBE=$win_build/tests/e2e/qm_probe.exe QM_WINE_RUN=$root/scripts/wine-run \
PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 tools/demo/demo_run.py --demo "$demo" \
  --win-build "$win_build" --publisher "$publisher" --sign "$key" --public-key "$(cat "$key.pub")" \
  "${template[@]}" --certificate "$certificate" \
  --access-log "$nginx_dir/access.log" --port "${QM_DEMO_PORT:-8480}" "${upload[@]}"
