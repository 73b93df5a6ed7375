"""The set-up's reading of Debian's package lists against a mirror in sync: a stub
apt-get on the PATH fails the update as such a mirror does, a stub sleep records the
pauses, and the set-up's own functions decide."""

import os
import subprocess
from pathlib import Path

import pytest

APT_LISTS = Path(__file__).parents[2] / "scripts" / "apt-lists.sh"
INDEX = "http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz"

STUB_APT = f"""#!/bin/sh
echo "$*" >>"$STUBS/calls"
case "$*" in
  *update*)
    failures=$(cat "$STUBS/update-failures")
    [ "$failures" -gt 0 ] || exit 0
    echo $((failures - 1)) >"$STUBS/update-failures"
    echo "E: Failed to fetch {INDEX}  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
    exit 100;;
  *install*) exit "$(cat "$STUBS/install-status")";;
esac
"""


@pytest.fixture
def stubs(tmp_path):
    (tmp_path / "apt-get").write_text(STUB_APT)
    (tmp_path / "sleep").write_text('#!/bin/sh\necho "$1" >>"$STUBS/pauses"\n')
    for stub in ("apt-get", "sleep"):
        (tmp_path / stub).chmod(0o755)
    return tmp_path


def set_up(stubs, update_failures, install_status):
    (stubs / "update-failures").write_text(f"{update_failures}\n")
    (stubs / "install-status").write_text(f"{install_status}\n")
    env = dict(os.environ, STUBS=str(stubs), PATH=f"{stubs}:{os.environ['PATH']}")
    env.pop("QUILLOMARK_APT_PAUSES", None)
    done = subprocess.run(
        ["bash", "-c", f'set -euo pipefail; . "{APT_LISTS}"; apt_update_retrying; '
                       'apt_install_explaining wine32:i386 nginx-light'],
        env=env, capture_output=True, text=True, timeout=60)
    calls = (stubs / "calls").read_text().splitlines()
    pauses = (stubs / "pauses").read_text().split() if (stubs / "pauses").exists() else []
    return done, ["update" if "update" in call.split() else "install" for call in calls], pauses


def test_a_list_read_again_after_a_sync_lets_the_install_go_on(stubs):
    done, calls, pauses = set_up(stubs, update_failures=2, install_status=0)
    assert (done.returncode, calls, pauses) == (0, ["update", "update", "update", "install"],
                                                ["5", "15"])


def test_lists_that_stay_unread_leave_the_install_to_decide(stubs):
    done, calls, pauses = set_up(stubs, update_failures=5, install_status=0)
    assert (done.returncode, calls, pauses) == (0, ["update"] * 3 + ["install"], ["5", "15"])
    assert "going on with the package lists at hand" in done.stderr

    done, calls, _ = set_up(stubs, update_failures=5, install_status=100)
    assert done.returncode == 100
    assert INDEX in done.stderr and "a later try may pass" in done.stderr
