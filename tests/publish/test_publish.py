"""quillomark-publish on real trees: what each command writes, read back with an
independent reader, xz and Debian's bspatch; what verify catches, locally and over
HTTP; and every bad input."""

import random
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

from publish_tree import (LINUX_PUBLISH, PUBLISH, Record, bspatch, lzma_decode, make_release, md5,  # noqa: E402
                          publish, read_vif, source_files, tree_path, write_vif)

SERVER_SCRIPT = Path(__file__).parents[1] / "server" / "fault_server.py"


def program_like(seed, size):
    """Bytes with the repeats of a program: a few thousand words drawn again and again."""
    generator = random.Random(seed)
    words = [generator.randbytes(generator.randint(2, 12)) for _ in range(3000)]
    return b"".join(generator.choice(words) for _ in range(size // 7))[:size]


# Deeper than Windows' plain file calls reach (MAX_PATH) below any tree or source.
DEEP_FILE = "/".join(f"kaust pika nimega {level}" for level in range(12)) + "/sügav.txt"
DEEP_NAME = DEEP_FILE.replace("/", "\\")


def version_one():
    return {
        "app.exe": program_like(1, 200_000),
        "data/table.txt": "".join(f"row {i}\n" for i in range(5000)).encode(),
        "data/noise.bin": random.Random(2).randbytes(50_000),
        "data/sõnad ja märgid.txt": "Tere, maailm!\n".encode(),
        DEEP_FILE: program_like(5, 30_000),
        "readme.txt": b"unchanged\n" * 100,
    }


def version_two():
    files = version_one()
    files["app.exe"] = files["app.exe"][:90_000] + program_like(3, 4_000) + files["app.exe"][90_000:]
    files["data/table.txt"] = "".join(f"row {i}\n" for i in range(10, 5100)).encode()
    files["data/noise.bin"] = random.Random(4).randbytes(50_000)
    files["new/added.dat"] = b"new in two\n" * 50
    files[DEEP_FILE] = program_like(5, 30_000)[:20_000] + program_like(6, 2_000)
    return files


@pytest.fixture(scope="module")
def released_once(tmp_path_factory):
    """A tree with versions 1 and 2 released, notes for the second."""
    folder = tmp_path_factory.mktemp("released")
    tree = folder / "tree"
    first = make_release(folder / "one", version_one())
    second = make_release(folder / "two", version_two())
    notes = folder / "notes.txt"
    notes.write_bytes("Versioon 2:\r\n- uued read\n".encode())
    publish("release", first, "--tree", tree, "--startapp", "app.exe")
    publish("release", second, "--tree", tree, "--startapp", "app.exe", "--notes", notes)
    return tree, first, second, notes


@pytest.fixture
def released(released_once, tmp_path):
    """A copy of the released tree of its own for each test."""
    tree, first, second, notes = released_once
    shutil.copytree(tree, tmp_path / "tree")
    return tmp_path / "tree", first, second, notes


def installed(tree, version, record):
    stored = tree_path(tree, version, record.name).read_bytes()
    return lzma_decode(stored) if record.flags & 1 else stored


def test_release_writes_versions_patch_set_and_master(released, tmp_path):
    tree, first, second, notes = released
    assert (tree / "masterversion").read_text() == \
        "version=2$patches=1_2$startapp=app.exe$force_releasenotes=0"
    assert (tree / "1" / "changes.txt").read_bytes() == b""
    assert (tree / "2" / "changes.txt").read_bytes() == notes.read_bytes()
    for version, source in (("1", first), ("2", second)):
        number, records = read_vif(tree / version / "versioninfo.vif")
        expected = source_files(source)
        assert number == int(version)
        assert [r.name for r in records] == sorted(expected)
        for record in records:
            content = installed(tree, version, record)
            assert (content, record.size, record.digest) == (
                expected[record.name], len(expected[record.name]), md5(expected[record.name]))
    assert sorted(p.name for p in tree.iterdir()) == ["1", "1_2", "2", "masterversion"]


@pytest.mark.skipif(not LINUX_PUBLISH, reason="compares the Windows publisher with the Linux one")
def test_a_release_made_on_windows_is_the_release_made_on_linux(tmp_path):
    """Same sources, key, options and expiry: every file of the two trees is the same."""
    key = tmp_path / "release.key"
    publish("keygen", "--out", key)
    notes = make_release(tmp_path / "notes", {"changes.txt": "Parandused – ümberringi\n".encode()})
    sources = [make_release(tmp_path / f"version {n}", files())
               for n, files in ((1, version_one), (2, version_two))]
    trees = {}
    for system, program in (("linux", LINUX_PUBLISH), ("windows", PUBLISH)):
        tree = tmp_path / f"tree ({system})"
        for source in sources:
            # On Windows: the tree with a drive letter and backslashes, the source with slashes.
            given_tree, given_source = (f"Z:{tree}".replace("/", "\\"), f"Z:{source}") \
                if system == "windows" else (tree, source)
            publish("release", given_source, "--tree", given_tree, "--startapp", "app.exe",
                    "--sign", key, "--expires", "2031-05-01T12:00:00Z",
                    "--notes", notes / "changes.txt", program=program)
        trees[system] = {path.relative_to(tree).as_posix(): path.read_bytes()
                         for path in sorted(tree.rglob("*")) if path.is_file()}
    assert {"1_2/app.exe", "2/data/sõnad ja märgid.txt", f"1_2/{DEEP_FILE}"} <= set(trees["linux"])
    assert sorted(trees["windows"]) == sorted(trees["linux"])
    assert [name for name in trees["linux"] if trees["windows"][name] != trees["linux"][name]] == []


def test_revert_publishes_an_earlier_version_again(released, tmp_path):
    """Version 2 taken back: version 3 holds version 1's files and notes, with patch sets
    from both, and a damaged file of version 1 is refused before anything is written."""
    tree, first, _, _ = released
    (tree / "1" / "changes.txt").write_bytes("Versioon 1\r\n".encode())
    broken = tmp_path / "broken"
    shutil.copytree(tree, broken)
    noise = tree_path(broken, "1", "data\\noise.bin")
    noise.write_bytes(noise.read_bytes()[:-1] + b"?")
    assert "does not hold the file that its record names" in \
        publish("revert", broken, "--to", "1", check_status=2).stderr
    assert sorted(p.name for p in broken.iterdir()) == ["1", "1_2", "2", "masterversion"]

    assert "released version 3 with the files of version 1" in \
        publish("revert", tree, "--to", "1").stdout
    assert (tree / "masterversion").read_text() == \
        "version=3$patches=1_3,2_3$startapp=app.exe$force_releasenotes=0"
    assert (tree / "3" / "changes.txt").read_bytes() == "Versioon 1\r\n".encode()
    _, records = read_vif(tree / "3" / "versioninfo.vif")
    expected = source_files(first)
    assert {r.name: installed(tree, "3", r) for r in records} == expected
    assert read_vif(tree / "1_3" / "versioninfo.vif")[1] == []
    _, patches = read_vif(tree / "2_3" / "versioninfo.vif")
    assert sorted(r.name for r in patches) == ["app.exe", "data\\table.txt", DEEP_NAME]
    assert "is the current version" in publish("revert", tree, "--to", "3", check_status=2).stderr


def test_patches_agree_with_debian_bspatch(released, tmp_path):
    tree, first, second, _ = released
    number, patches = read_vif(tree / "1_2" / "versioninfo.vif")
    old, new = source_files(first), source_files(second)
    assert number == 2
    # noise.bin changed completely: its patch is not smaller than the file, so it is left out.
    assert sorted(r.name for r in patches) == ["app.exe", "data\\table.txt", DEEP_NAME]
    for record in patches:
        patch = tree_path(tree, "1_2", record.name).read_bytes()
        assert (record.flags, record.size, record.digest) == (0, len(patch), md5(patch))
        assert patch.startswith(b"BSDIFF40")
        assert bspatch(old[record.name], patch, tmp_path) == new[record.name]


def test_patches_beyond_the_memory_budget_are_left_out(released):
    """A patch takes up to 9 times its file in memory: with 1 MiB, the file of 204 KB
    ships whole, the one of 50 KB still gets its patch."""
    tree = released[0]
    shutil.rmtree(tree / "1_2")
    result = publish("patch", tree, "--from", "1", "--to", "2", "--diff-memory", "1M")
    line = result.stdout.splitlines()[0]
    assert line.startswith('patch set 1_2: "app.exe" ships whole: its patch would need 1.')
    assert line.endswith(" MiB of memory, more than --diff-memory 1.0 MiB")
    assert sorted(r.name for r in read_vif(tree / "1_2" / "versioninfo.vif")[1]) == [
        "data\\table.txt", DEEP_NAME]


def test_compress_modes(tmp_path):
    source = make_release(tmp_path / "src", {"text.txt": b"abc" * 10_000,
                                             "noise.bin": random.Random(5).randbytes(20_000)})
    flags = {}
    for number, mode in enumerate(("auto", "all", "none"), start=1):
        publish("version", source, "--tree", tmp_path / "tree", "--version", number,
                "--compress", mode)
        flags[mode] = {r.name: r.flags for r in read_vif(tmp_path / "tree" / str(number) /
                                                          "versioninfo.vif")[1]}
    assert flags == {"auto": {"noise.bin": 0, "text.txt": 1},
                     "all": {"noise.bin": 1, "text.txt": 1},
                     "none": {"noise.bin": 0, "text.txt": 0}}


def test_master_lists_and_forces(released):
    tree = released[0]
    publish("master", tree, "--version", "2", "--startapp", "data/table.txt", "--patches", "1_2",
            "--force-notes")
    assert (tree / "masterversion").read_text() == \
        "version=2$patches=1_2$startapp=data\\table.txt$force_releasenotes=1"
    publish("master", tree, "--version", "1", "--startapp", "app.exe", "--rollout", "25")
    assert (tree / "masterversion").read_text() == \
        "version=1$patches=$startapp=app.exe$force_releasenotes=0$rollout=25"
    publish("rollout", tree, "--percent", "0")
    assert (tree / "masterversion").read_text() == \
        "version=1$patches=$startapp=app.exe$force_releasenotes=0$rollout=0"
    assert "verify: version 1 is offered to 0% of the installations\n" in \
        publish("verify", tree).stderr


def test_empty_files_and_the_launchers_own_are_left_out_with_a_line_each(tmp_path):
    # A copy of an installation: the launcher's record, log, identity and work files.
    own = {"versioninfo.vif": b"QM_VIF", "EZO.log": b"log", "quillomark.id": b"id",
           "Temp/x.new": b"half", "Temp/sub/y": b"y"}
    source = make_release(tmp_path / "src", {"a.txt": b"a", "empty.txt": b"", "data/ezo.log": b"l",
                                             **own})
    result = publish("release", source, "--tree", tmp_path / "tree", "--startapp", "a.txt",
                     "--skip-empty")
    warnings = [line for line in result.stderr.splitlines()
                if line.startswith("warning") and "unsigned" not in line]
    assert sorted(warnings) == sorted(
        [f'warning: leaving out "{name}": the launcher keeps it in an installation, a release '
         "never ships it" for name in ["versioninfo.vif", "EZO.log", "quillomark.id", "Temp"]]
        + ['warning: leaving out the empty file "empty.txt"'])
    assert [r.name for r in read_vif(tmp_path / "tree" / "1" / "versioninfo.vif")[1]] == [
        "a.txt", "data\\ezo.log"]


def damage_missing_file(tree):
    tree_path(tree, "2", "readme.txt").unlink()
    return "2/readme.txt: cannot be fetched"


def damage_digest(tree):
    path = tree_path(tree, "2", "data\\noise.bin")
    content = bytearray(path.read_bytes())
    content[100] ^= 1
    path.write_bytes(bytes(content))
    return "2/data\\noise.bin: does not match its record's digest"


def damage_patch(tree):
    """A patch whose record matches it, but which does not apply."""
    path = tree_path(tree, "1_2", "app.exe")
    patch = path.read_bytes()[:40] + b"\0" * 100
    path.write_bytes(patch)
    version, records = read_vif(tree / "1_2" / "versioninfo.vif")
    for record in records:
        if record.name == "app.exe":
            record.size, record.digest = len(patch), md5(patch)
    write_vif(tree / "1_2" / "versioninfo.vif", version, records)
    return "1_2/app.exe: is a corrupt patch"


def damage_container(tree):
    _, records = read_vif(tree / "2" / "versioninfo.vif")
    name = next(r.name for r in records if r.flags & 1)
    path = tree_path(tree, "2", name)
    path.write_bytes(path.read_bytes()[:-20])
    return f"2/{name}: is not a complete LZMA container"


def damage_name(tree):
    version, records = read_vif(tree / "2" / "versioninfo.vif")
    records.append(Record("..\\outside.txt", 5, 0, md5(b"12345")))
    write_vif(tree / "2" / "versioninfo.vif", version, records)
    return '2/versioninfo.vif: record "..\\outside.txt" leaves the installation directory'


def damage_startapp(tree):
    (tree / "masterversion").write_text("version=2$patches=1_2$startapp=gone.exe")
    return 'masterversion: "startapp" "gone.exe" is not a file of version 2'


def damage_listed_set(tree):
    (tree / "masterversion").write_text("version=2$patches=1_2,3_2$startapp=app.exe")
    return "3_2/versioninfo.vif: cannot be fetched"


def damage_rollout(tree):
    (tree / "masterversion").write_text("version=2$patches=1_2$startapp=app.exe$rollout=5%")
    return 'masterversion: "rollout" "5%" is not a whole number from 0 to 100'


def damage_repeated_key(tree):
    """What a value holding "$" would make: the later version piece would win."""
    (tree / "masterversion").write_text("version=2$patches=1_2$startapp=app.exe$version=1")
    return 'masterversion: key "version" appears twice'


DAMAGE = [damage_missing_file, damage_digest, damage_patch, damage_container, damage_name,
          damage_startapp, damage_listed_set, damage_rollout, damage_repeated_key]


@pytest.mark.parametrize("damage", DAMAGE, ids=[d.__name__ for d in DAMAGE])
def test_verify_names_each_fault(released, damage):
    tree = released[0]
    publish("verify", tree)
    expected = damage(tree)
    result = publish("verify", tree, check_status=1)
    faults = result.stdout.splitlines()
    assert any(line.startswith(expected) for line in faults), faults


@pytest.fixture
def served(released, tmp_path):
    """The released tree served over HTTP by the project's test server."""
    state = tmp_path / "state"
    subprocess.run(["/usr/bin/python3", SERVER_SCRIPT, "start", "--root", released[0],
                    "--state", state], check=True, stdout=subprocess.DEVNULL)
    port = (state / "ports").read_text().split()[0]
    yield released[0], f"http://127.0.0.1:{port}/"
    subprocess.run(["/usr/bin/python3", SERVER_SCRIPT, "stop", "--state", state], check=True)


def test_verify_over_http(served):
    tree, url = served
    publish("verify", url)
    damage_digest(tree)
    tree_path(tree, "2", "data\\sõnad ja märgid.txt").unlink()
    faults = publish("verify", url, check_status=1).stdout.splitlines()
    assert faults == ["2/data\\noise.bin: does not match its record's digest",
                      "2/data\\sõnad ja märgid.txt: cannot be fetched (HTTP status 404)"]


def bad_inputs(tmp_path):
    """(arguments, message) of every kind of bad input; the tree holds version 1."""
    good = make_release(tmp_path / "good", {"app.exe": b"app", "app$version=1": b"legal name"})
    tree = tmp_path / "tree"
    publish("release", good, "--tree", tree, "--startapp", "app.exe")
    cased = make_release(tmp_path / "cased", {"Data/a.txt": b"1", "data/b.txt": b"2"})
    empty = make_release(tmp_path / "empty", {"app.exe": b"app", "zero.txt": b""})
    reserved = make_release(tmp_path / "reserved", {"Changes.txt": b"x"})
    plain_launcher = make_release(tmp_path / "plain", {"app.exe": b"app", "quillomark.exe": b"MZ"})
    huge = make_release(tmp_path / "huge", {"app.exe": b"app"})
    with open(huge / "big.bin", "wb") as big:
        big.truncate(2 ** 32)
    return [
        (["version", tmp_path / "missing", "--tree", tree, "--version", "5"], "is not a directory"),
        (["version", cased, "--tree", tree, "--version", "5"], "differ only in case"),
        (["version", empty, "--tree", tree, "--version", "5"], '"zero.txt" is empty'),
        (["version", reserved, "--tree", tree, "--version", "5"], "would collide"),
        (["release", plain_launcher, "--tree", tree, "--startapp", "app.exe"],
         "is not a Quillomark launcher: not a Windows executable; a release takes its launcher "
         "through --launcher FILE"),
        (["version", huge, "--tree", tree, "--version", "5"], '"big.bin" is 4 GiB or larger'),
        (["version", good, "--tree", tree, "--version", "0"], "--version must be a positive"),
        (["version", good, "--tree", tree, "--version", "-3"], "--version must be a positive"),
        (["version", good, "--tree", tree, "--version", "2147483648"], "must be a positive"),
        (["version", good, "--tree", tree, "--version", "1"], "exists already"),
        (["version", good, "--tree", tree, "--version", "5", "--compress", "max"], "--compress"),
        (["version", good, "--tree", tree], "--version is required"),
        (["version", good, "--tree", tree, "--version", "5", "--bogus"], "unknown option --bogus"),
        (["patch", tree, "--from", "1", "--to", "4"], "version 4 is not in"),
        (["patch", tree, "--from", "1", "--to", "1"], "name the same version"),
        (["patch", tree, "--from", "1", "--to", "2", "--diff-memory", "0"], "--diff-memory must"),
        (["release", good, "--tree", tree, "--startapp", "app.exe", "--diff-memory", "4X"],
         "--diff-memory must"),
        (["master", tree, "--version", "1", "--startapp", "none.exe"], "is not a file of version"),
        (["master", tree, "--version", "1", "--startapp", "app.exe", "--patches", "7_1"],
         "patch set 7_1 is not in"),
        (["release", good, "--tree", tree, "--startapp", "other.exe"], "is not a file of"),
        (["release", good, "--tree", tree, "--startapp", "app$version=1"],
         'startapp "app$version=1" holds a "$"'),
        (["master", tree, "--version", "1", "--startapp", "app$version=1"],
         'startapp "app$version=1" holds a "$"'),
        (["release", good, "--tree", tree, "--startapp", "app.exe", "--rollout", "1e2"],
         "--rollout and --percent take a whole number from 0 to 100"),
        (["master", tree, "--version", "1", "--startapp", "app.exe", "--rollout", "101"],
         "--rollout and --percent take a whole number from 0 to 100"),
        (["rollout", tree, "--percent", "50%"], "take a whole number from 0 to 100"),
        (["rollout", tree], "--percent is required"),
        (["rollout", good, "--percent", "50"], "has no master record"),
        (["revert", tree, "--to", "4"], "holds no such version"),
        (["revert", tree, "--to", "1"], "is the current version"),
        (["verify", tmp_path / "nothing"], "is not a directory"),
        (["unknown"], "unknown command"),
    ]


def test_every_bad_input_is_refused_with_status_2(tmp_path):
    cases = bad_inputs(tmp_path)
    before = sorted(p.relative_to(tmp_path / "tree") for p in (tmp_path / "tree").rglob("*"))
    master = (tmp_path / "tree" / "masterversion").read_bytes()
    for arguments, message in cases:
        result = publish(*arguments, check_status=2)
        assert message in result.stderr, (arguments, result.stderr)
    assert sorted(p.relative_to(tmp_path / "tree")
                  for p in (tmp_path / "tree").rglob("*")) == before
    assert (tmp_path / "tree" / "masterversion").read_bytes() == master


def test_existing_patch_set_is_refused(released):
    result = publish("patch", released[0], "--from", "1", "--to", "2", check_status=2)
    assert "1_2 exists already" in result.stderr


@pytest.mark.parametrize("command", ["version", "patch", "master", "rollout", "release", "revert",
                                     "verify"])
def test_help(command):
    assert publish(command, "--help").stdout.startswith(f"usage: quillomark-publish {command}")
