"""The launcher's self-update: a server that lists another build of the launcher
makes the running launcher hand over to the new copy, which waits for it to end,
puts itself in its place and restarts it; every way the hand-over fails before
anything is replaced; and the hand-off mode of the new copy on its own."""

import os
import subprocess
from dataclasses import dataclass
from pathlib import Path

import pytest

from harness import (BASE_URL, INFO, TESTAPP, TITLE, WINE_RUN, Record, Run, lzma_container,
                     version_info, windows_path)

NEXT_LAUNCHER = Path(os.environ.get("QM_E2E_NEXT_LAUNCHER", ""))
LAUNCHER_TITLE = "Uuenduste paigaldamine (Launcher)"
APP = Record("app.exe", TESTAPP.read_bytes())
# A release's file under the name that the hand-off once staged the new launcher as.
STAGED_NAME = Record("quillomark.exe.new", "väljalaske oma fail\r\n".encode("utf-8"))


def version_1(installation):
    return [APP, Record("quillomark.exe", installation.launcher),
            Record("kiri.txt", "vana kiri\r\n".encode("utf-8")), STAGED_NAME]


def version_2(launcher):
    """The launcher's record comes after the application's, which is already
    current, so a run that stops at the launcher leaves a record queued."""
    return [APP, launcher, Record("kiri.txt", "uus kiri: õun ja šokolaad\r\n".encode("utf-8")),
            Record("uus fail.bin", bytes(range(256)) * 400, compressed=True), STAGED_NAME]


def installed_files(installation):
    """Every file of the installation but the log and what lies in the work
    directory, as relative paths and contents."""
    return {str(path.relative_to(installation.path)): path.read_bytes()
            for path in installation.path.rglob("*")
            if path.is_file() and path.name != "ezo.log"
            and path.parent != installation.path / "Temp"}


def assert_installed(installation, records):
    """The files of version 2 and its record are in place, the new launcher among them."""
    assert installation.launcher == NEXT_LAUNCHER.read_bytes()
    for record in records:
        assert installation.file(record.name).read_bytes() == record.content, record.name
    assert (installation.path / "versioninfo.vif").read_bytes() == version_info(2, records)


def assert_started_from(installation):
    """The application was started once, in the installation, with its path quoted;
    paths compare without case, as the launcher may have been started under another
    spelling."""
    folder = windows_path(installation.path).casefold()
    starts = [{key: value.casefold() for key, value in start.items()}
              for start in installation.starts()]
    assert starts == [{"command_line": f'"{folder}\\app.exe"', "cwd": folder}]


def assert_runs(log, count):
    """The log holds this many runs, each opened, started and ended once, in turn."""
    texts = log.texts()
    assert len(log.markers) == count
    assert texts.count("Quillomark Start") == texts.count("Quillomark End") == count
    log.assert_in_order(["Quillomark Start", "Quillomark End"] * count)
    assert texts[-1] == "Quillomark End"


@dataclass
class RunSpelledOtherwise(Run):
    """A run started through another spelling of the launcher's folder: the drive
    letter in lower case, every folder name in upper case. The launcher's own path
    then differs in case from the one the system gives for its process. (The file
    name keeps its case: the launcher finds its record by its exact name.)"""

    def __post_init__(self):
        folder = "z" + windows_path(self.installation.path)[1:].upper()
        self.probe.must("start", folder, folder + "\\quillomark.exe")


# The launcher's record compressed or not, the installation's folder, how it is started.
SELF_UPDATES = {
    "plain": (False, ("Quillo mark",), Run),
    "lzma": (True, ("Quillo mark",), Run),
    "lzma, blanks, non-ASCII, other case": (
        True, ("Programmid  (x86)", "Käivitaja   õun ja šokolaad"), RunSpelledOtherwise),
}


@pytest.mark.parametrize("case", SELF_UPDATES)
def test_self_update_hands_off_and_the_new_launcher_finishes_the_run(site, probe, install_dir,
                                                                     case):
    compressed, folder, start = SELF_UPDATES[case]
    installation = install_dir(*folder)
    installation.install(1, version_1(installation))
    records = version_2(Record("quillomark.exe", NEXT_LAUNCHER.read_bytes(), compressed=compressed))
    site.master(2)
    site.version(2, records)
    # The old launcher's window shows the hand-off only while it fetches its copy:
    # held for a second, so that the probe's sampling sees it on a busy machine too.
    site.set_rules({"/download/2/quillomark.exe": "stall=1"})

    run = start(probe, installation)
    probe.wait_text(TITLE, LAUNCHER_TITLE)
    assert run.finish() == 0

    history = probe.history()
    assert history["window_gone"]
    assert history["texts"][str(TITLE)][-1] == LAUNCHER_TITLE
    assert not [text for text in history["texts"][str(INFO)] if text.startswith("Kontrollin")]

    assert_installed(installation, records)
    assert_started_from(installation)

    # The old launcher fetches only its own record; the restarted one what changed,
    # on two workers in either order.
    controls = ["/download/masterversion", "/download/2/versioninfo.vif", "/download/2/changes.txt"]
    requested = site.requests()
    assert requested[:7] == controls + ["/download/2/quillomark.exe"] + controls
    assert sorted(requested[7:]) == ["/download/2/kiri.txt", "/download/2/uus fail.bin"]

    log = run.log()
    assert_runs(log, 2)
    texts = log.texts()
    assert texts.count("Launcher update required") == 1
    log.assert_in_order(["Quillomark Start", "MasterVersion: version=2", "Launcher update required",
                         "Quillomark End", "Quillomark Start", "MasterVersion: version=2",
                         f"Downloading: {BASE_URL}2/kiri.txt", "Quillomark End"])
    first_end = log.lines[texts.index("Quillomark End")]
    second_start = log.lines[texts.index("Quillomark Start", 1)]
    assert first_end.time <= second_start.time, "the new copy did not wait for the old launcher"
    assert first_end.thread == log.thread_of("Quillomark Start")


def test_a_prepared_launcher_is_handed_over_without_a_download(site, probe, install_dir):
    """A prepare stages the new launcher (unpacked from its container) with the other
    files; the next start hands over to it and the new copy takes the rest, so that
    neither run downloads anything but records."""
    installation = install_dir("Quillo mark")
    installation.install(1, version_1(installation))
    records = version_2(Record("quillomark.exe", NEXT_LAUNCHER.read_bytes(), compressed=True))
    site.master(2)
    site.version(2, records)
    assert subprocess.run([WINE_RUN, installation.path / "quillomark.exe", "--prepare"],
                          cwd=installation.path, timeout=120).returncode == 0
    staged = installation.path / "Temp" / "prepared" / "quillomark.exe"
    assert staged.read_bytes() == NEXT_LAUNCHER.read_bytes()

    requested = len(site.requests())
    run = Run(probe, installation)
    assert run.finish() == 0
    assert_installed(installation, records)
    assert_started_from(installation)
    controls = ["/download/masterversion", "/download/2/versioninfo.vif", "/download/2/changes.txt"]
    assert site.requests()[requested:] == controls * 2
    log = run.log()
    assert_runs(log, 2)
    log.assert_in_order(["Launcher update required",
                         f"Prepared: {windows_path(installation.path)}\\Temp\\quillomark.exe",
                         "Quillomark End", "Quillomark Start",
                         f"Prepared: {windows_path(installation.file('kiri.txt'))}"])


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "lzma"])
def test_a_copy_left_suspended_by_an_ended_hand_over_does_not_block_the_next(
        site, probe, install_dir, compressed):
    """A launcher ended while it creates its new copy leaves that copy suspended for
    good, and its file can be neither replaced nor deleted while it exists."""
    installation = install_dir("Quillo mark")
    installation.install(1, version_1(installation))
    stale_copy = installation.path / "Temp" / "quillomark.exe"
    stale_copy.parent.mkdir()
    stale_copy.write_bytes(NEXT_LAUNCHER.read_bytes())
    probe.park(installation.path, stale_copy, "update", windows_path(installation.path /
                                                                     "quillomark.exe"), "1")
    records = version_2(Record("quillomark.exe", NEXT_LAUNCHER.read_bytes(), compressed=compressed))
    site.master(2)
    site.version(2, records)

    assert Run(probe, installation).finish() == 0
    assert_installed(installation, records)
    assert_started_from(installation)
    assert_runs(installation.log(), 2)


def no_work_directory(installation):
    (installation.path / "Temp").write_bytes(b"not a directory")
    return Record("quillomark.exe", NEXT_LAUNCHER.read_bytes()), None


def damaged_container(installation):
    container = lzma_container(NEXT_LAUNCHER.read_bytes())
    damaged = container[:13] + bytes(b ^ 0xFF for b in container[13:])
    return Record("quillomark.exe", NEXT_LAUNCHER.read_bytes(), compressed=True), damaged


def other_launcher(installation):
    launcher = NEXT_LAUNCHER.read_bytes()
    return Record("quillomark.exe", launcher), launcher[:-1] + bytes([launcher[-1] ^ 1])


def not_a_program(installation):
    return Record("quillomark.exe", "Ei ole programm\r\n".encode("utf-8")), None


def intact_launcher(installation):
    return Record("quillomark.exe", NEXT_LAUNCHER.read_bytes()), None


# How the hand-over fails: the launcher's record and the bytes served in its place
# (None: the record's own), the server's rules, and what stays in the work directory.
LAUNCHER_FAILURES = {
    "DIR": (no_work_directory, {}, []),
    "DOWNLOAD": (intact_launcher, {"/download/2/quillomark.exe": "status=404"}, []),
    "LZMA": (damaged_container, {}, ["quillomark.exe", "quillomark.exe.lzma"]),
    "HASH": (other_launcher, {}, ["quillomark.exe"]),
    "REPLACE": (not_a_program, {}, ["quillomark.exe"]),
}


@pytest.mark.parametrize("code", LAUNCHER_FAILURES)
def test_failed_hand_over_changes_nothing_until_the_next_start(site, probe, install_dir, code):
    publish, rules, left = LAUNCHER_FAILURES[code]
    installation = install_dir("Quillo mark")
    installation.install(1, version_1(installation))
    launcher, served = publish(installation)
    site.master(2)
    site.version(2, version_2(launcher))
    if served is not None:
        site.put("2/quillomark.exe", served)
    site.set_rules(rules)
    before = installed_files(installation)

    run = Run(probe, installation)
    probe.wait_text(INFO, f"Viga installeerimisprogrammi uuendamisel (err={code})")
    assert probe.wait_exit(300) is None, "the window stays open after an error"
    probe.wait_view(title=LAUNCHER_TITLE, bar=0)
    log = run.cancel()

    assert installed_files(installation) == before
    assert installation.starts() == []
    work = installation.path / "Temp"
    assert sorted(p.name for p in work.iterdir()) == left if work.is_dir() else not left
    requested = site.requests()
    assert ("/download/2/quillomark.exe" in requested) == (code != "DIR")
    assert not [path for path in requested if path.endswith(("kiri.txt", ".bin", "app.exe"))]
    assert_runs(log, 1)
    log.assert_in_order(["Quillomark Start", "MasterVersion: version=2",
                         "Launcher update required", "Quillomark End"])

    # Once the cause is gone, the next start replaces the launcher over whatever the
    # failed attempt left in the work directory.
    if not work.is_dir():
        work.unlink(missing_ok=True)
    site.set_rules({})
    records = version_2(Record("quillomark.exe", NEXT_LAUNCHER.read_bytes(),
                               compressed=launcher.compressed))
    site.version(2, records)
    assert Run(probe, installation).finish() == 0
    assert_installed(installation, records)
    assert_started_from(installation)
    assert_runs(installation.log(), 3)


def test_hand_off_mode_on_its_own(site, probe, install_dir):
    installation = install_dir("Quillo  mark õun")
    old_launcher = installation.launcher
    target = installation.path / "quillomark.exe"
    new_copy = installation.path / "Temp" / "quillomark.exe"
    site.master(2)
    site.version(2, [APP, Record("quillomark.exe", NEXT_LAUNCHER.read_bytes())])
    new_copy.parent.mkdir()
    new_copy.write_bytes(NEXT_LAUNCHER.read_bytes())

    def hand_off(*arguments, ms=10000):
        """Starts the new copy with these arguments after its own path; it ends within
        `ms` with 0 and shows nothing. Returns its process id."""
        process_id = probe.start(installation.path, new_copy, *arguments)
        assert probe.wait_exit(ms) == 0
        assert not probe.history()["window_seen"]
        return process_id

    # Argument 1 not exactly "update": no hand-off, no trace.
    ended = hand_off("Update", windows_path(target), "0")
    assert installation.launcher == old_launcher
    assert not (installation.path / "ezo.log").exists()

    # The old executable cannot be replaced: after 10 s of trying again it stays as
    # it was, and nothing starts.
    probe.hold(target)
    hand_off("update", windows_path(target), str(ended), ms=20000)
    probe.release(target)
    assert installation.launcher == old_launcher
    assert sorted(p.name for p in installation.path.iterdir()) == ["Temp", "quillomark.exe"]

    # A process id that is no number at all, or that has ended, is not waited for:
    # the copy replaces the old executable and starts it, and further arguments
    # change nothing. The restarted launcher runs normally and starts the
    # application. The first time the copy is still open when that run removes the
    # work directory: the run ends well all the same, and the next complete run
    # removes what stayed.
    for process_id, copy_held in (("kein number", True), (str(ended), False)):
        installation.install(1, version_1(installation))
        target.write_bytes(old_launcher)
        if copy_held:
            probe.hold(new_copy)
        hand_off("update", windows_path(target), process_id, "lisa")
        probe.wait_idle()
        if copy_held:
            probe.release(new_copy)
        assert installation.launcher == NEXT_LAUNCHER.read_bytes()
        assert_started_from(installation)
        log = installation.log()
        assert_runs(log, 1)
        assert "Launcher update required" not in log.texts()
        assert new_copy.exists() == copy_held
        removals = [text for text in log.texts() if text.startswith("_DeleteDirectory")]
        assert (removals != ["_DeleteDirectory Success"] * len(removals)) == copy_held
        for leftover in ("ezo.log", "started.txt"):
            (installation.path / leftover).unlink()
