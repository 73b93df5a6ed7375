"""The launcher under Wine against an object store: the demo's two releases, signed
and uploaded by quillomark-publish to Swift's S3 interface (tests/server/swift_store.py),
are installed and updated straight from the store's public bucket by a launcher
stamped with the bucket's address and the release key."""

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
from harness import WORK  # noqa: E402
from swift_store import Store  # noqa: E402

PUBLISH = os.environ.get("QM_PUBLISH", "")
WIN_BUILD = Path(os.environ.get("QM_WIN_BUILD", ""))
BUCKET, PREFIX = "quillomark", "releases"


@pytest.fixture
def store():
    started = Store(WORK / "swift", BUCKET)
    yield started
    started.stop()


def publish(*arguments, **options):
    return subprocess.run([PUBLISH, *map(str, arguments)], check=True, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, **options).stdout


def publish_and_upload(store, folder, version, public_key):
    release = folder / f"release-{version}"
    write_release(release, release_files(version, WIN_BUILD))
    publish("release", release, "--tree", folder / "tree", "--startapp", "demoapp.exe", "--sign",
            folder / "release.key")
    publish("upload", folder / "tree", f"s3://{BUCKET}/{PREFIX}", "--endpoint", store.endpoint,
            "--public-url", f"{store.public}{PREFIX}/", "--key", public_key, env=store.environment)
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
    public_key = publish("keygen", "--out", tmp_path / "release.key").strip()
    publish("launcher", "--template", WIN_BUILD / "shell" / "quillomark.exe", "--base-url",
            f"{store.public}{PREFIX}/", "--key", public_key, "--out", install / "quillomark.exe")

    release = publish_and_upload(store, tmp_path, 1, public_key)
    texts = run_launcher(tmp_path, install)
    assert installation_differences(install, release) == []
    assert counts(texts)["downloaded"] == len(release_files(1, WIN_BUILD))

    release = publish_and_upload(store, tmp_path, 2, public_key)
    texts = run_launcher(tmp_path, install)
    assert installation_differences(install, release) == []
    assert counts(texts) == {"kept": 2, "patched": 2, "downloaded": 3}, texts
    patch_gets = [path for kind, _, method, path in store.requests()
                  if kind == ">" and method == "GET" and f"/{PREFIX}/1_2/" in path]
    assert patch_gets, store.requests()
