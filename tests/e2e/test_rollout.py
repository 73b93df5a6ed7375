"""A phased rollout across twenty installations of version 1, each with an identity
of its own: version 2 offered to half of them reaches exactly those whose bucket,
computed here from their quillomark.id, lies below 50, and the others start their
application unchanged; halting the rollout changes nothing more, except that an
installation with a missing file takes the release as its repair; widening it to
everyone brings all to 2. A damaged identity is replaced and the run goes on; one
held by another program is read once it is released; an installation that cannot
keep an identity never takes a partial rollout. The installations run side by side,
each through a probe of its own. A bad release taken back with quillomark-publish
revert brings installations that took it and ones that did not to the same files."""

import hashlib
import os
import queue
import random
import re
import struct
import subprocess
from concurrent.futures import ThreadPoolExecutor

import pytest

from harness import (CHECK_LOG, NOTES_BUTTON, RUN_TITLES, TESTAPP, TITLE, WORK, Log, Probe,
                     Record, Run, assert_subsequence, check, version_info, windows_path)

PUBLISH = os.environ.get("QM_PUBLISH", "")
# The Windows publisher under Wine (tests/publish/windows_publisher).
WINDOWS_PUBLISH = os.environ.get("QM_WINDOWS_PUBLISH", "")
INSTALLATIONS = 20
SIDE_BY_SIDE = 5


def version_1():
    generator = random.Random(28)
    return [Record("app.exe", TESTAPP.read_bytes()), Record("data.bin", generator.randbytes(30_000)),
            Record("readme.txt", b"Versioon 1\r\n")]


def version_2():
    generator = random.Random(29)
    return [Record("app.exe", TESTAPP.read_bytes()), Record("data.bin", generator.randbytes(30_000)),
            Record("readme.txt", b"Versioon 2\r\n"), Record("uus.txt", b"uus\r\n")]


def bucket(identity, version):
    digest = hashlib.md5(f"{identity}/{version}".encode("ascii")).digest()
    return struct.unpack("<I", digest[:4])[0] % 100


def waiting_line(percent, identity):
    return (f"Phased rollout: version 2 is offered to {percent}%, this installation waits "
            f"(bucket {bucket(identity, 2)})")


def identity_of(installation):
    text = (installation.path / "quillomark.id").read_text("ascii")
    assert re.fullmatch("[0-9a-f]{32}", text), text
    return text


def files_of(installation):
    """The installed files and record, without what each run adds (log, starts, identity)."""
    return {path.name: path.read_bytes() for path in installation.path.iterdir()
            if path.is_file() and path.name not in ("ezo.log", "started.txt", "quillomark.id")}


@pytest.fixture(scope="module")
def probes(probe):
    """The module's probe and more, for the installations that run side by side."""
    pool = queue.Queue()
    pool.put(probe)
    more = [Probe(WORK / f"probe-{i}-stderr.txt") for i in range(1, SIDE_BY_SIDE)]
    for started in more:
        pool.put(started)
    yield pool
    for started in more:
        started.close()


def run_each(probes, installations):
    """Starts the launcher once in every installation, some side by side; the titles
    and notes-button states each run showed, by installation."""
    def run_one(installation):
        probe = probes.get()
        try:
            (installation.path / "ezo.log").unlink(missing_ok=True)
            assert Run(probe, installation).finish() == 0
            texts = probe.history()["texts"]
            return texts[str(TITLE)], texts[str(NOTES_BUTTON)]
        finally:
            probes.put(probe)

    with ThreadPoolExecutor(SIDE_BY_SIDE) as pool:
        return dict(zip(installations, pool.map(run_one, installations)))


def assert_waited(installation, shown, percent, before, starts):
    """Left at version 1, its application started after "Uuendusi ei leitud", without
    the release notes of a version it does not have."""
    titles, notes_button = shown
    assert titles[-1] == "Uuendusi ei leitud" and notes_button == ["disabled"], shown
    assert files_of(installation) == before
    assert len(installation.starts()) == starts
    texts = installation.log().texts()
    assert waiting_line(percent, identity_of(installation)) in texts, texts


def assert_at_version_2(installation, shown, starts):
    """Brought to version 2 by an update run. The probe samples the window every few
    milliseconds and five runs share the machine, so the short-lived titles of a small
    update may be missed: what it showed follows the run's order and never says that
    there was nothing to update."""
    assert_subsequence(shown[0], RUN_TITLES)
    for record in version_2():
        assert installation.file(record.name).read_bytes() == record.content, record.name
    assert (installation.path / "versioninfo.vif").read_bytes() == version_info(2, version_2())
    assert len(installation.starts()) == starts


def test_a_rollout_reaches_its_share_halts_and_widens(site, probes, install_dir):
    installations = [install_dir(f"paigaldus {i:02}") for i in range(INSTALLATIONS)]
    for installation in installations:
        installation.install(1, version_1())
    damaged = installations[0].path / "quillomark.id"
    damaged.write_bytes(b"not an identity\r\n")
    before = files_of(installations[0])
    site.version(2, version_2())

    site.master(2, extra="$rollout=50")
    shown = run_each(probes, installations)
    identities = {installation: identity_of(installation) for installation in installations}
    assert len(set(identities.values())) == INSTALLATIONS
    inside = [i for i in installations if bucket(identities[i], 2) < 50]
    waiting = [i for i in installations if i not in inside]
    assert inside and waiting, "twenty identities all on one side of 50"
    for installation in inside:
        assert_at_version_2(installation, shown[installation], starts=1)
        assert (f"Phased rollout: version 2 is offered to 50%, this installation takes it "
                f"(bucket {bucket(identities[installation], 2)})") in installation.log().texts()
    for installation in waiting:
        assert_waited(installation, shown[installation], 50, before, starts=1)
    replaced = installations[0].log().texts()
    assert any(re.fullmatch(r"Installation identity .*quillomark\.id is damaged: "
                            r"a new one replaces it", text) for text in replaced), replaced
    assert any(text.startswith("New installation identity in ")
               for text in installations[1].log().texts())

    # Halted: the waiting ones stay, but a missing file is repaired by taking the release.
    site.master(2, extra="$rollout=0")
    repaired, *still_waiting = waiting
    repaired.file("readme.txt").unlink()
    shown = run_each(probes, waiting)
    assert_at_version_2(repaired, shown[repaired], starts=2)
    repaired.log().assert_in_order([
        waiting_line(0, identities[repaired]), "Installed file missing: readme.txt",
        "Installation incomplete -> taking version 2 after all", "Quillomark End"])
    for installation in still_waiting:
        assert_waited(installation, shown[installation], 0, before, starts=2)

    site.master(2, extra="$rollout=100")
    shown = run_each(probes, still_waiting)
    for installation in still_waiting:
        assert_at_version_2(installation, shown[installation], starts=3)
        assert not [text for text in installation.log().texts() if "Phased rollout" in text]
    assert {i: identity_of(i) for i in installations} == identities


def test_a_waiting_installation_takes_a_release_that_renames_its_application(
        site, probe, install_dir):
    installation = install_dir("ümbernimetatud")
    installation.install(1, version_1())
    renamed = [Record("start.exe", TESTAPP.read_bytes())] + version_2()[1:]
    site.version(2, renamed)
    site.master(2, startapp="start.exe", extra="$rollout=0")
    assert Run(probe, installation).finish() == 0
    assert (installation.path / "versioninfo.vif").read_bytes() == version_info(2, renamed)
    assert [start["command_line"].endswith('\\start.exe"') for start in installation.starts()] == [
        True]
    installation.log().assert_in_order([
        waiting_line(0, identity_of(installation)),
        "Installed files do not list start.exe -> taking version 2 after all", "Quillomark End"])


def test_an_identity_held_by_another_program_is_read_once_it_is_released(site, probe, install_dir):
    installation = install_dir("hoitud")
    installation.install(1, version_1())
    identity = next(f"{n:032x}" for n in range(100) if bucket(f"{n:032x}", 2) < 50)
    stored = installation.path / "quillomark.id"
    stored.write_text(identity, "ascii")
    site.version(2, version_2())
    site.master(2, extra="$rollout=50")

    probe.hold(stored, exclusive=True)
    try:
        run = Run(probe, installation)
        retry = installation.wait_log_line("File held by another program")
    finally:
        probe.release(stored)
    assert run.finish() == 0
    assert re.search(r": read .*quillomark\.id \(error \d+\)$", retry), retry
    assert identity_of(installation) == identity
    assert_at_version_2(installation, (probe.history()["texts"][str(TITLE)], None), starts=1)
    assert (f"Phased rollout: version 2 is offered to 50%, this installation takes it "
            f"(bucket {bucket(identity, 2)})") in installation.log().texts()


def test_an_installation_that_cannot_keep_an_identity_never_takes_a_partial_rollout(
        site, probes, install_dir):
    """quillomark.id is a folder, or a folder takes the name that a new identity is
    written under before it is moved into place: without an identity of its own the
    installation waits as one outside the share does, run after run, rather than
    drawing a new bucket each time, and like one takes a release that renames its
    application. Nothing there is held by another program, so nothing is waited for."""
    unreadable, unstorable = install_dir("kaust"), install_dir("kirjutamatu")
    for installation in (unreadable, unstorable):
        installation.install(1, version_1())
    (unreadable.path / "quillomark.id").mkdir()
    (unstorable.path / "Temp" / "quillomark.id.part").mkdir(parents=True)
    before = files_of(unreadable)
    site.version(2, version_2())
    site.master(2, extra="$rollout=99")

    for starts in (1, 2):
        shown = run_each(probes, [unreadable, unstorable])
        for installation in (unreadable, unstorable):
            titles, notes_button = shown[installation]
            assert titles[-1] == "Uuendusi ei leitud" and notes_button == ["disabled"], shown
            assert files_of(installation) == before
            assert len(installation.starts()) == starts
            assert not (installation.path / "quillomark.id").is_file()
            texts = installation.log().texts()
            assert ("Phased rollout: version 2 is offered to 99%, this installation waits "
                    "(no identity)") in texts
            assert not [text for text in texts if text.startswith("File held by another")], texts

    renamed = [Record("start.exe", TESTAPP.read_bytes())] + version_2()[1:]
    site.version(2, renamed)
    site.master(2, startapp="start.exe", extra="$rollout=99")
    run_each(probes, [unreadable, unstorable])
    for installation in (unreadable, unstorable):
        assert (installation.path / "versioninfo.vif").read_bytes() == version_info(2, renamed)


def test_a_check_answers_as_the_next_start_would_and_changes_nothing(site, probe, install_dir):
    """--check judges the server's records as a run does, phased rollout included, but
    writes nothing in the installation: one without an identity is left without one
    and waits, as one that cannot keep an identity does."""
    installation = install_dir("kontroll")
    installation.install(1, version_1())
    site.version(1, version_1())
    site.master(1)
    assert check(probe, installation) == (0, "current 1")

    site.version(2, version_2())
    site.master(2, extra="$rollout=99")
    assert check(probe, installation) == (0, "current 1")
    assert not (installation.path / "quillomark.id").exists()
    assert ("Phased rollout: version 2 is offered to 99%, this installation waits (no identity)"
            in Log((installation.path / CHECK_LOG).read_bytes()).texts())

    inside = next(f"{n:032x}" for n in range(100) if bucket(f"{n:032x}", 2) < 50)
    (installation.path / "quillomark.id").write_text(inside, "ascii")
    site.master(2, extra="$rollout=50")
    assert check(probe, installation) == (10, "available 2")
    site.master(2)
    assert check(probe, installation) == (10, "available 2")

    site.set_rules({"/download/masterversion": "status=500"})
    assert check(probe, installation) == (1, "failed no answer")
    assert not (installation.path / "ezo.log").exists()


def test_a_reverted_release_brings_every_installation_back(site, probe, install_dir, tmp_path):
    """quillomark-publish revert: version 2 turns out bad and is taken back by version 3
    with version 1's files. An installation still at 1 and one that took 2 both end at
    3 with version 1's files; the one at 2 is patched back. The tree is made by the
    Windows publisher."""
    generator = random.Random(30)
    data = b"".join(generator.choice([b"alpha ", b"beta ", b"gamma ", b"delta\n"])
                    for _ in range(40_000))
    release = {1: {"app.exe": TESTAPP.read_bytes(), "data.txt": data, "readme.txt": b"1\r\n"},
               2: {"app.exe": TESTAPP.read_bytes(), "data.txt": data[:5000] + b"bad" + data[5000:],
                   "readme.txt": b"2\r\n"}}

    def publish(*arguments):
        subprocess.run([WINDOWS_PUBLISH, *map(str, arguments)], check=True, capture_output=True)

    def release_version(number):
        folder = tmp_path / f"release-{number}"
        for name, content in release[number].items():
            (folder / name).parent.mkdir(parents=True, exist_ok=True)
            (folder / name).write_bytes(content)
        publish("release", folder, "--tree", site.download, "--startapp", "app.exe")

    def run(installation):
        assert Run(probe, installation).finish() == 0
        return installation.log().texts()

    stayed, took_bad = install_dir("at 1"), install_dir("at 2")
    release_version(1)
    run(stayed)
    run(took_bad)
    release_version(2)
    run(took_bad)
    assert took_bad.file("data.txt").read_bytes() == release[2]["data.txt"]

    publish("revert", site.download, "--to", "1")
    assert site.served("masterversion").startswith(b"version=3$patches=1_3,2_3$")
    for installation in (stayed, took_bad):
        texts = run(installation)
        for name, content in release[1].items():
            assert installation.file(name).read_bytes() == content, (installation.path, name)
        assert (installation.path / "versioninfo.vif").read_bytes() == \
            site.served("3/versioninfo.vif")
    assert f"Patch: successful {windows_path(took_bad.file('data.txt'))}" in texts
