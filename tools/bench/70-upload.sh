#!/usr/bin/env bash
# quillomark-publish upload of the demo's tree (two signed releases of the sample
# application and the patch set between them) to a local OpenStack Swift through
# its S3 interface (tests/server/swift_store.py), four objects at a time.
#   upload_objects_first  objects sent to an empty bucket
#   upload_objects_again  objects sent by a second upload of the same tree (target 0)
#   upload_seconds_again  wall time of that second upload (reading and hashing the
#                         tree, one HEAD per object); best of two
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/bench/timing.bash"
dir=$QM_BENCH_DIR/upload
rm -rf "$dir"
mkdir -p "$dir"

publisher=$(release_publisher)

PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 - "$root" "$dir" <<'EOF'
import sys
from pathlib import Path
root, folder = Path(sys.argv[1]), Path(sys.argv[2])
sys.path.insert(0, str(root / "tools" / "demo"))
from demo_run import release_files, write_release
for version in (1, 2):
    write_release(folder / f"release-{version}", release_files(version, root / "build" / "win"))
EOF
"$publisher" keygen --out "$dir/release.key" >/dev/null
for version in 1 2; do
  "$publisher" release "$dir/release-$version" --tree "$dir/tree" --startapp demoapp.exe \
    --sign "$dir/release.key" >/dev/null 2>&1
done

store=$root/tests/server/swift_store.py
trap '/usr/bin/python3 "$store" stop --dir "$dir/swift"' EXIT
/usr/bin/python3 "$store" start --dir "$dir/swift" --bucket quillomark >/dev/null
endpoint=$(/usr/bin/python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["endpoint"])' \
  "$dir/swift/store.json")
export AWS_ACCESS_KEY_ID=test:tester AWS_SECRET_ACCESS_KEY=testing AWS_REGION=us-east-1
upload() { "$publisher" upload "$dir/tree" s3://quillomark/demo --endpoint "$endpoint" 2>/dev/null; }
# "upload: N objects sent (...)"
sent() { awk '/^upload: / { print $2 }'; }

first=$(upload | sent)
again=$(upload | sent)
seconds=
for _ in 1 2; do
  seconds=$(smaller "$(seconds_of upload)" "$seconds")
done

echo "upload_objects_first: $first"
echo "upload_objects_again: $again"
echo "upload_seconds_again: $(awk -v s="$seconds" 'BEGIN { printf "%.3f", s }')"
