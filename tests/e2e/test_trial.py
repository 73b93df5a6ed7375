"""A release on trial: a launcher stamped with a health check keeps the files that
an update replaces until the new version has started well, puts them back after its
failed starts, and refuses that version from then on. The test application ends by
an access violation when its release holds crash.txt, and confirms its health with
quillomark.exe --healthy when it holds confirm.txt."""

import os
import random
from pathlib import Path

from harness import (INFO, LAUNCHER, TESTAPP, Record, Run, check, installed, prepare,
                     stamped_launcher, version_info, wait_until)

NEXT_LAUNCHER = Path(os.environ.get("QM_E2E_NEXT_LAUNCHER", ""))

KEPT = Path("quillomark.previous")
OWN = {Path(name) for name in ("ezo.log", "started.txt", "quillomark.refused",
                               "quillomark.startapp", "quillomark.exe")}


def version_1():
    generator = random.Random(43)
    return [Record("app.exe", TESTAPP.read_bytes()), Record("data.bin", generator.randbytes(40_000)),
            Record("sub\\readme.txt", b"Versioon 1\r\n")]


def version_2(*extra):
    data = bytearray(version_1()[1].content)
    data[100:200] = bytes(100)
    return [Record("app.exe", TESTAPP.read_bytes()), Record("data.bin", bytes(data)),
            Record("sub\\readme.txt", b"Versioon 2\r\n"), Record("new.txt", b"uus\r\n"), *extra]


def trial_installation(install_dir, tmp_path, *health):
    """Version 1 installed with a launcher stamped with the health check."""
    installation = install_dir("Proov")
    (installation.path / "quillomark.exe").write_bytes(
        stamped_launcher(LAUNCHER, tmp_path / "stamped.exe", "--health", *health))
    installation.install(1, version_1())
    return installation


def release(site, version, records, startapp="app.exe"):
    site.master(version, startapp=startapp)
    site.version(version, records)


def release_files(installation):
    return {path: content for path, content in installed(installation).items()
            if path not in OWN and path.parts[0] != KEPT.name}


def trial_state(installation):
    path = installation.path / KEPT / "trial"
    return path.read_text() if path.exists() else None


def run_to_end(probe, installation, text=None):
    run = Run(probe, installation)
    if text:
        probe.wait_text(INFO, text, ms=30000)
    assert run.finish(60000) == 0
    return run


def test_a_release_that_crashes_is_taken_back_at_its_second_start(site, probe, install_dir,
                                                                  tmp_path):
    installation = trial_installation(install_dir, tmp_path, "watch=5", "--health-report")
    before = release_files(installation)
    release(site, 2, version_2(Record("crash.txt", b"1")))

    run_to_end(probe, installation)
    assert "tries 1\n" in trial_state(installation)
    assert (installation.path / KEPT / "versioninfo.vif").read_bytes() == \
        version_info(1, version_1())
    run_to_end(probe, installation, "Versioon 2 ei käivitunud; taastati versioon 1.")

    assert release_files(installation) == before
    assert not (installation.path / KEPT).exists()
    assert (installation.path / "quillomark.refused").read_bytes() == b"2\n"
    assert len(installation.starts()) == 3
    assert site.requests().count("/download/health/2/restored") == 1
    installation.log().assert_in_order([
        "Trial: version 2 keeps version 1 until it starts well",
        "Trial: start 1 of version 2 failed: the application ended with 0xC0000005",
        "Trial: start 2 of version 2 failed: the application ended with 0xC0000005",
        "Restore: version 2 did not start after 2 tries; version 1 is put back",
        "Version 2 refused: it is not taken again here"])

    # Version 2 stays refused; the next good version installs and proves itself.
    assert check(probe, installation) == (0, "current 1")
    version_3 = [*version_2()[:3], Record("kolm.txt", b"3\r\n")]
    release(site, 3, version_3)
    run_to_end(probe, installation)
    assert release_files(installation) == {
        **{Path(record.name.replace("\\", "/")): record.content for record in version_3},
        Path("sub"): None, Path("versioninfo.vif"): version_info(3, version_3)}
    assert not (installation.path / KEPT).exists()


def test_a_release_is_kept_on_trial_until_it_confirms_or_its_starts_are_used_up(
        site, probe, install_dir, tmp_path):
    installation = trial_installation(install_dir, tmp_path, "confirm")
    before = release_files(installation)
    # A start at version 1 notes what it starts.
    release(site, 1, version_1())
    run_to_end(probe, installation)
    # Version 2 renames the application: version 1's starts again when it is back.
    release(site, 2, [Record("uus.exe", TESTAPP.read_bytes()), *version_2()[1:]], "uus.exe")
    for tries in (1, 2):
        run_to_end(probe, installation)
        assert f"tries {tries}\n" in trial_state(installation)
        assert "uus.exe" in installation.starts()[-1]["command_line"]
    # Killed while the application holds a file that goes back: the next start finishes.
    readme = installation.file("sub\\readme.txt")
    probe.hold(readme, exclusive=True)
    Run(probe, installation)
    wait_until(lambda: "state restoring\n" in (trial_state(installation) or "") and
               installation.file("data.bin").read_bytes() == version_1()[1].content)
    probe.must("kill", "launcher")
    assert probe.wait_exit() is not None
    probe.release(readme)
    assert readme.read_bytes() == b"Versioon 2\r\n"
    run_to_end(probe, installation, "Versioon 2 ei käivitunud; taastati versioon 1.")
    assert release_files(installation) == before
    assert "app.exe" in installation.starts()[-1]["command_line"]
    assert not [request for request in site.requests() if "health" in request]

    confirming = version_2(Record("confirm.txt", b"1"))
    release(site, 3, confirming)
    run_to_end(probe, installation)
    assert not (installation.path / KEPT).exists()
    assert (installation.path / "confirm.txt").exists()


def test_a_prepared_release_with_a_new_launcher_is_taken_back_all_but_the_launcher(
        site, probe, install_dir, tmp_path):
    """Prepared in the background, applied by the next start through a self-update,
    with a file added and one no longer listed (which stays as it is): the restore
    puts back every file of version 1 but the launcher, which runs it."""
    health = ("--health", "confirm", "--health-tries", "1")
    installation = trial_installation(install_dir, tmp_path, *health[1:])
    before = release_files(installation)
    new_launcher = stamped_launcher(NEXT_LAUNCHER, tmp_path / "next.exe", *health)
    release(site, 2, [record for record in version_2(
        Record("quillomark.exe", new_launcher, compressed=True))
        if record.name != "sub\\readme.txt"])
    assert prepare(installation).wait(120) == 0
    assert check(probe, installation) == (11, "prepared 2")

    run_to_end(probe, installation)
    assert installation.launcher == new_launcher
    assert installation.file("sub\\readme.txt").read_bytes() == b"Versioon 1\r\n"
    assert (installation.path / KEPT / "versioninfo.vif").read_bytes() == \
        version_info(1, version_1())
    run_to_end(probe, installation, "Versioon 2 ei käivitunud; taastati versioon 1.")
    assert release_files(installation) == before
    assert installation.launcher == new_launcher
    assert check(probe, installation) == (0, "current 1")
