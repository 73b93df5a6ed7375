"""quillomark-publish upload against a real object store: OpenStack Swift with its
S3 middleware on 127.0.0.1 (tests/server/swift_store.py). What goes up, in which
order, with which headers; what a second upload, a refused change and an upload
killed anywhere leave in the store, as verify sees it over the public URL."""

import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))
sys.path.insert(0, str(Path(__file__).parents[1] / "server"))

from publish_tree import PUBLISH, make_release, publish  # noqa: E402
from swift_store import Store  # noqa: E402
from test_publish import version_one, version_two  # noqa: E402

BUCKET = "quillomark"
KILL_RUNS = 10
RECORDS = {"versioninfo.vif", "changes.txt", "versioninfo.sha256"}


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    started = Store(tmp_path_factory.mktemp("swift"), BUCKET)
    yield started
    started.stop()


@pytest.fixture(scope="module")
def trees(tmp_path_factory):
    """A signed tree as it was after release 1, and after release 2; and the key."""
    folder = tmp_path_factory.mktemp("trees")
    key = folder / "release.key"
    public_key = publish("keygen", "--out", key).stdout.strip()
    tree = folder / "tree"
    for number, files in ((1, version_one()), (2, version_two())):
        release = make_release(folder / f"release{number}", files)
        publish("release", release, "--tree", tree, "--startapp", "app.exe", "--sign", key)
        shutil.copytree(tree, folder / f"after{number}")
    return folder / "after1", folder / "after2", public_key


def upload(store, tree, prefix, *options, check_status=0):
    result = subprocess.run([PUBLISH, "upload", tree, f"s3://{BUCKET}/{prefix}", "--endpoint",
                             store.endpoint, *map(str, options)], env=store.environment,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert result.returncode == check_status, (result.returncode, result.stdout, result.stderr)
    return result


def step_of(name):
    """0 files and patches, 1 their records, 2 the master record's signature, 3 the master record."""
    if "/" not in name:
        return 3 if name == "masterversion" else 2
    in_directory = name.partition("/")[2]
    return 1 if in_directory.removesuffix(".sigs").removesuffix(".sig") in RECORDS else 0


def puts(events, prefix):
    """(kind, name) of every PUT below the prefix, in the order the store saw them."""
    start = f"/{BUCKET}/{prefix}/"
    return [(kind, path[len(start):]) for kind, _, method, path in events
            if method == "PUT" and path.startswith(start)]


def public_get(store, prefix, name):
    with urllib.request.urlopen(f"{store.public}{prefix}/{urllib.request.quote(name)}") as answer:
        return answer.headers, answer.read()


def test_upload_order_headers_retries_and_nothing_twice(store, trees):
    _, tree, public_key = trees
    listed = upload(store, tree, "order", "--dry-run").stdout.splitlines()
    names = [line.removeprefix("order/") for line in listed[:-1]]
    assert listed[-1].startswith(f"upload: {len(names)} objects to send (")
    assert puts(store.requests(), "order") == []
    assert [step_of(name) for name in names] == sorted(step_of(name) for name in names)
    assert names[-1] == "masterversion"
    expected = {str(path.relative_to(tree)) for path in tree.rglob("*") if path.is_file()}
    assert set(names) == expected and "2/data/sõnad ja märgid.txt" in expected

    store.set_rules({f"PUT /{BUCKET}/order/2/app.exe": ["503", "drop"],
                     f"PUT /{BUCKET}/order/1_2/versioninfo.vif": ["429"]})
    result = upload(store, tree, "order", "--jobs", "3", "--public-url", store.public + "order/",
                    "--key", public_key)
    store.set_rules({})
    assert "verify: 0 faults" in result.stderr
    assert re.search(r"PUT 2/app.exe: HTTP 503; trying again in 0.5 s\n"
                     r"(.*\n)*upload: PUT 2/app.exe: .*; trying again in 1.0 s\n", result.stderr)
    assert "PUT 1_2/versioninfo.vif: HTTP 429; trying again in 0.5 s\n" in result.stderr
    assert f"upload: {len(names)}/{len(names)} objects" in result.stderr

    # Each step begins only when every request of the one before has been answered.
    events = puts(store.requests(), "order")
    for position, (kind, name) in enumerate(events):
        if kind == ">":
            assert all(step_of(earlier) <= step_of(name) for _, earlier in events[:position])
    assert events[-2:] == [(">", "masterversion"), ("<", "masterversion")]

    headers, body = public_get(store, "order", "masterversion")
    assert body == (tree / "masterversion").read_bytes()
    assert (headers["Cache-Control"], headers["Content-Type"]) == ("no-cache", "text/plain")
    for name, kind in (("2/data/sõnad ja märgid.txt", "application/octet-stream"),
                       ("1_2/versioninfo.vif", "application/octet-stream"),
                       ("2/changes.txt", "text/plain")):
        headers, body = public_get(store, "order", name)
        assert body == (tree / name).read_bytes()
        assert (headers["Cache-Control"], headers["Content-Type"]) == (
            "public, max-age=31536000, immutable", kind)

    # Behind encryption no ETag is the MD5: the digest that each object was put with
    # decides, and for an object without one (put by an older publisher) its ETag.
    for answer in (None, "opaque-etag", "no-metadata"):
        store.set_rules({f"HEAD /{BUCKET}/order/{name}": [answer] for name in names if answer})
        before = len(store.requests())
        again = upload(store, tree, "order")
        assert again.stdout == (f"upload: 0 objects sent (0.0 MiB), {len(names)} already in the "
                                "store\n"), (answer, again.stderr)
        assert {method for _, _, method, path in store.requests()[before:]
                if path.startswith(f"/{BUCKET}/order/")} == {"HEAD"}, answer
    store.set_rules({})


def test_changed_version_is_refused_and_bad_input(store, trees, tmp_path):
    before, after, _ = trees
    upload(store, before, "refused")
    tree = tmp_path / "tree"
    shutil.copytree(after, tree)
    with open(tree / "1" / "data" / "table.txt", "ab") as changed:
        changed.write(b"row 5000\n")
    (tree / "1" / "changes.txt").write_bytes(b"Other notes\n")
    sent = len(store.requests())
    result = upload(store, tree, "refused", check_status=2)
    assert result.stderr.endswith("nothing was uploaded:\n  refused/1/data/table.txt\n"
                                  "  refused/1/changes.txt\n"), result.stderr
    assert puts(store.requests()[sent:], "refused") == []

    without_key = {k: v for k, v in store.environment.items() if k != "AWS_SECRET_ACCESS_KEY"}
    for arguments, environment in (
            (["upload", tree, "s3:/quillomark", "--endpoint", store.endpoint], store.environment),
            (["upload", tree, "s3://", "--endpoint", store.endpoint], store.environment),
            (["upload", tree, f"s3://{BUCKET}/x", "--jobs", "0"], store.environment),
            (["upload", tree, f"s3://{BUCKET}/x", "--public-url", "site/"], store.environment),
            (["upload", tree / "1", f"s3://{BUCKET}/x", "--endpoint", store.endpoint],
             store.environment),
            (["upload", tree, f"s3://{BUCKET}/x", "--endpoint", store.endpoint], without_key)):
        refused = subprocess.run([PUBLISH, *map(str, arguments)], env=environment,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        assert refused.returncode == 2, (arguments, refused.stderr)
    assert puts(store.requests()[sent:], "x") == []


def wait_for_puts(store, prefix, count, process):
    """Polls the store's request log until the count-th PUT below the prefix has
    begun, or the upload has ended; the log is written as requests arrive."""
    deadline = time.monotonic() + 60
    while sum(kind == ">" for kind, _ in puts(store.requests(), prefix)) < count:
        if process.poll() is not None:
            return
        assert time.monotonic() < deadline, f"no PUT number {count} below {prefix}"
        time.sleep(0.005)


def master_seen(store, prefix, public_key):
    """The master record as verify and a plain GET see it, after verify found no fault."""
    result = publish("verify", "--key", public_key, store.public + prefix + "/")
    assert "verify: 0 faults" in result.stderr
    return public_get(store, prefix, "masterversion")[1]


def test_upload_killed_anywhere_leaves_a_whole_release(store, trees):
    before, after, public_key = trees
    seed = int(os.environ.get("QM_FAULT_SEED", random.randrange(1 << 30)))
    print(f"kill points from seed {seed} (QM_FAULT_SEED={seed} repeats them)")
    generator = random.Random(seed)
    for run in range(KILL_RUNS):
        prefix = f"killed{run}"
        upload(store, before, prefix)
        sends = len(upload(store, after, prefix, "--dry-run").stdout.splitlines()) - 1
        kill_at = generator.randint(1, sends)
        process = subprocess.Popen([PUBLISH, "upload", after, f"s3://{BUCKET}/{prefix}",
                                    "--endpoint", store.endpoint, "--jobs",
                                    str(generator.randint(1, 4))], env=store.environment,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for_puts(store, prefix, kill_at, process)
        process.send_signal(signal.SIGKILL)
        process.wait()
        assert master_seen(store, prefix, public_key) in (
            (before / "masterversion").read_bytes(), (after / "masterversion").read_bytes()), \
            f"run {run}, killed at PUT {kill_at}"
        upload(store, after, prefix)
        assert master_seen(store, prefix, public_key) == (after / "masterversion").read_bytes()
