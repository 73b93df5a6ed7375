"""The launcher under Wine against an object store: the demo's two releases, uploaded
by quillomark-publish to Swift's S3 interface (tests/server/swift_store.py, on this
slot's port), are installed and updated straight from the store's public bucket."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools" / "demo"))
sys.path.insert(0, str(ROOT / "tests" / "server"))

from demo_run import (LauncherRun, counts, installation_differences,  # noqa: E402
                      release_files, write_release)
from harness import LAUNCHER, PORT, WORK  # noqa: E402
from swift_store import Store  # noqa: E402

PUBLISH = os.environ.get("QM_PUBLISH", "")
WIN_BUILD = Path(os.environ.get("QM_WIN_BUILD", ""))
BUCKET, PREFIX = "quillomark", "releases"


@pytest.fixture
def store():
    started = Store(WORK / "swift", BUCKET, port=PORT)
    yield started
    started.stop()


def publish_and_upload(store, folder, version):
    release = folder / f"release-{version}"
    write_release(release, release_files(version, WIN_BUILD))
    subprocess.run([PUBLISH, "release", release, "--tree", folder / "tree", "--startapp",
                    "demoapp.exe"], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    uploaded = subprocess.run([PUBLISH, "upload", folder / "tree", f"s3://{BUCKET}/{PREFIX}",
                               "--endpoint", store.endpoint, "--public-url",
                               f"{store.public}{PREFIX}/"], env=store.environment,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert uploaded.returncode == 0, uploaded.stderr
    return release


def run_launcher(folder, install):
    """One start of the launcher until it has started the application; its log's texts."""
    run = LauncherRun(folder, install, folder / "requests-unused.log")
    run.wait_application()
    run.close_application()
    return run.log().texts()


def test_installs_release_1_and_updates_to_2_from_the_store(store, tmp_path):
    install = tmp_path / "install"
    install.mkdir()
    (install / "quillomark.exe").write_bytes(LAUNCHER.read_bytes())

    release = publish_and_upload(store, tmp_path, 1)
    texts = run_launcher(tmp_path, install)
    assert installation_differences(install, release) == []
    assert counts(texts)["downloaded"] == len(release_files(1, WIN_BUILD))

    release = publish_and_upload(store, tmp_path, 2)
    texts = run_launcher(tmp_path, install)
    assert installation_differences(install, release) == []
    assert counts(texts) == {"kept": 2, "patched": 2, "downloaded": 3}, texts
    patch_gets = [path for kind, _, method, path in store.requests()
                  if kind == ">" and method == "GET" and f"/{PREFIX}/1_2/" in path]
    assert patch_gets, store.requests()
