"""Faults from the network, the server, the disk, other programs and sudden ends of
the launcher itself, each against an installation of version 1 being brought to
version 2 (or version 2 on trial being taken back to 1). After every fault each
installed file is the old version's or the new one's, the launcher is one of its two
builds, and a single start with a healthy server makes the installation the release
(or the version taken back) byte for byte.

The number of random kills comes from QM_FAULT_KILLS, QM_FAULT_HAND_OFF_KILLS and
QM_FAULT_RESTORE_KILLS (a few of each by default), the drops from QM_FAULT_ALL_DROPS (every path of the
release when set), the random generator's seed from QM_FAULT_SEED. With
QM_FAULT_RESULTS set, every case appends a JSON line of its outcome to that file."""

import json
import os
import random
import re
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

from harness import (CANCEL, INFO, LAUNCHER, STRINGS, TESTAPP, TITLE, Installation, Record,
                     bsdiff, lzma_container, stamped_launcher, unix_name, version_info,
                     windows_path)
from syscall_trace import TracedSession, flush_order_violations

NEXT_LAUNCHER = Path(os.environ.get("QM_E2E_NEXT_LAUNCHER", ""))
KILLS = int(os.environ.get("QM_FAULT_KILLS") or 3)
HAND_OFF_KILLS = int(os.environ.get("QM_FAULT_HAND_OFF_KILLS") or 2)
RESTORE_KILLS = int(os.environ.get("QM_FAULT_RESTORE_KILLS") or 2)
ALL_DROPS = bool(os.environ.get("QM_FAULT_ALL_DROPS"))
SEED = int(os.environ.get("QM_FAULT_SEED") or random.SystemRandom().randrange(10**6))
RESULTS = os.environ.get("QM_FAULT_RESULTS")
RECOVERY_ATTEMPTS = 3
RUN_MS = 60000


def blocks(seed, size):
    """Content that compresses somewhat: random 4 KiB blocks, each used twice."""
    generator = random.Random(seed)
    block_count = size // 8192 + 1
    content = b"".join(generator.randbytes(4096) * 2 for _ in range(block_count))
    return content[:size]


def edited(content, seed):
    """The content with a few stretches rewritten, as a new version of it."""
    generator = random.Random(seed)
    changed = bytearray(content)
    for _ in range(8):
        start = generator.randrange(len(changed))
        changed[start:start + 300] = generator.randbytes(300)
    return bytes(changed)


APP = Record("app.exe", TESTAPP.read_bytes())
OLD_DATA = blocks(1, 2_000_000)
OLD_TEXT = "vana kiri\r\n".encode("utf-8") * 50
SETTINGS = Record("sub\\seaded.ini", b"[seaded]\r\nkeel=et\r\n")


def old_files():
    return [APP, Record("andmed.bin", OLD_DATA), Record("kiri.txt", OLD_TEXT),
            Record("pilt.bin", blocks(2, 1_200_000)), SETTINGS]


def new_files():
    return [APP, Record("andmed.bin", edited(OLD_DATA, 3)),
            Record("kiri.txt", OLD_TEXT + "uus rida: õun ja šokolaad\r\n".encode("utf-8")),
            Record("pilt.bin", blocks(4, 1_500_000), compressed=True), SETTINGS,
            Record("uus fail.bin", blocks(5, 400_000), compressed=True)]


PATCHED = ("andmed.bin", "kiri.txt")
# What the launcher keeps of its own in the installation: the log, the test
# application's record, a kept version and a refused one.
OWN_FILES = ("ezo.log", "started.txt", "quillomark.refused", "quillomark.startapp")
OWN_FOLDERS = ("Temp", "quillomark.previous")


@dataclass
class Release:
    """Version 1 installed, version 2 and the patch set 1_2 published; the launcher's
    record names the old build (no self-update) or the next one."""
    site: object
    installation: Installation
    old: list
    new: list

    @property
    def old_vif(self):
        return version_info(1, self.old)

    @property
    def new_vif(self):
        return version_info(2, self.new)

    def publish(self, patches=None):
        self.site.master(2, patches=["1_2"])
        self.site.version(2, self.new)
        self.site.set_rules({})
        self.site.patch_set(1, 2, patches or good_patches(self.installation.path.parent))

    def installed(self):
        """The installation's files but the launcher's own, as record names and contents."""
        root = self.installation.path
        return {str(path.relative_to(root)).replace("/", "\\"): path.read_bytes()
                for path in root.rglob("*")
                if path.is_file() and path.name not in OWN_FILES
                and path.relative_to(root).parts[0] not in OWN_FOLDERS}

    def expected(self, records, vif):
        return {record.name: record.content for record in records} | {"versioninfo.vif": vif}

    def damaged(self):
        """Names of installed files that are neither the old version's nor the new one's
        (a missing file counts as the version that does not have it)."""
        now = self.installed()
        old = self.expected(self.old, self.old_vif)
        new = self.expected(self.new, self.new_vif)
        return sorted(name for name in set(now) | set(old) | set(new)
                      if now.get(name) not in (old.get(name), new.get(name)))

    def progress(self):
        """Of the files that differ between the versions, how many are already the
        new version's, and how many differ."""
        now = self.installed()
        old = self.expected(self.old, self.old_vif)
        new = self.expected(self.new, self.new_vif)
        differing = [name for name in new if new[name] != old.get(name)]
        return sum(now.get(name) == new[name] for name in differing), len(differing)

    def is_current(self):
        return self.installed() == self.expected(self.new, self.new_vif)

    def is_restored(self):
        return self.installed() == self.expected(self.old, self.old_vif)


def release(site, install_dir, launcher=None, folder=("Quillo mark",), stamped=None):
    """With `stamped`, the installation's launcher (both builds) is that one."""
    installation = install_dir(*folder)
    if stamped:
        (installation.path / "quillomark.exe").write_bytes(stamped)
    old = old_files() + [Record("quillomark.exe", installation.launcher)]
    new = new_files() + [launcher or Record("quillomark.exe", installation.launcher)]
    installation.install(1, old)
    made = Release(site, installation, old, new)
    made.publish()
    return made


_patches = {}


def good_patches(folder):
    """The patches of 1_2 from Debian's bsdiff, made once."""
    if not _patches:
        old = {record.name: record.content for record in old_files()}
        new = {record.name: record.content for record in new_files()}
        for name in PATCHED:
            _patches[name] = bsdiff(old[name], new[name], folder / "bsdiff" / name)
    return dict(_patches)


def start(probe, installation):
    return probe.start(installation.path, installation.path / "quillomark.exe")


def run_to_end(probe, installation):
    """One start of the launcher; True when it (and all it started) ended by itself,
    False when it stayed open (an error shown) and was closed with Cancel."""
    start(probe, installation)
    if probe.wait_exit(RUN_MS) is not None:
        probe.wait_idle(RUN_MS)
        return True
    probe.click(CANCEL)
    probe.wait_gone()
    assert probe.wait_exit() is not None
    return False


def recover(probe, made, done):
    """Starts the launcher with the healthy server until done(); returns the number of
    starts it took (RECOVERY_ATTEMPTS + 1 if never)."""
    for attempt in range(1, RECOVERY_ATTEMPTS + 1):
        run_to_end(probe, made.installation)
        if done():
            return attempt
    return RECOVERY_ATTEMPTS + 1


def launcher_state(made):
    """Which build the installed launcher is: "old", "new" or "damaged"."""
    launcher = made.installation.launcher
    builds = {"old": made.old[-1].content, "new": made.new[-1].content}
    return next((name for name, content in builds.items() if launcher == content), "damaged")


def conclude(probe, made, kind, case, heal=lambda: None, done=None):
    """Checks the installation after a fault, heals the server, counts the starts
    to recover (to the release, or what done() asks for), records the outcome and
    asserts the targets."""
    damaged = made.damaged()
    launcher = launcher_state(made)
    progress = made.progress()
    made.publish()
    heal()
    runs = recover(probe, made, done or made.is_current)
    outcome = {"kind": kind, "case": case, "seed": SEED, "damaged": damaged,
               "launcher": launcher, "progress": progress, "recovery_runs": runs,
               "survived": not damaged and launcher != "damaged" and runs == 1}
    if RESULTS:
        with open(RESULTS, "a", encoding="utf-8") as results:
            results.write(json.dumps(outcome) + "\n")
    assert outcome["survived"], outcome


def expect_error(probe, installation, control, text):
    """The faulted run stops with this text; the window stays until Cancel."""
    start(probe, installation)
    probe.wait_text(control, text)
    probe.click(CANCEL)
    probe.wait_gone()
    assert probe.wait_exit() == 0


# Drops: the connection closes (or is reset) half-way through one path of the
# release on its first request.
def release_paths():
    paths = ["masterversion", "2/versioninfo.vif", "2/changes.txt", "1_2/versioninfo.vif"]
    paths += [f"1_2/{name}" for name in PATCHED]
    paths += [f"2/{record.name}" for record in new_files() if record.name not in PATCHED]
    return paths


DROPS = release_paths() if ALL_DROPS else ["2/pilt.bin", "1_2/andmed.bin"]


@pytest.mark.parametrize("path", DROPS)
def test_connection_drops_inside_a_file(site, probe, install_dir, path):
    made = release(site, install_dir)
    size = len(site.served(path))
    mode = "reset" if DROPS.index(path) % 2 else "close"
    site.set_rules({f"/download/{unix_name(path)}": f"drop={size // 2}&drop_mode={mode}"})
    run_to_end(probe, made.installation)
    conclude(probe, made, "drop", f"{path} ({mode})")


# Server faults: what is served instead, and how the run ends (None: it completes).
def wrong_bytes(made):
    content = made.site.served("2/andmed.bin")
    made.site.put("2/andmed.bin", content[:-1] + bytes([content[-1] ^ 1]))
    made.site.patch_set(1, 2, {"kiri.txt": good_patches(made.installation.path.parent)["kiri.txt"]})
    return TITLE, "VIGA!"


def corrupt_container(made):
    container = made.site.served("2/pilt.bin")
    made.site.put("2/pilt.bin", container[:13] + bytes(b ^ 0x5A for b in container[13:]))
    return TITLE, "VIGA!"


def corrupt_patches(made):
    """Patches whose digests are listed but that the patch tool refuses: the whole
    files come instead."""
    patches = good_patches(made.installation.path.parent)
    made.publish({name: patch[:40] + bytes(b ^ 0xFF for b in patch[40:])
                  for name, patch in patches.items()})


def patches_with_wrong_digest(made):
    patches = good_patches(made.installation.path.parent)
    made.publish(patches)
    for name, patch in patches.items():
        made.site.put(f"1_2/{name}", patch[::-1])


def stalls(made):
    made.site.set_rules({"/download/masterversion": "stall=2",
                         "/download/2/andmed.bin": "stall=3",
                         "/download/1_2/kiri.txt": "stall=2"})


def master_truncated(made):
    made.site.put("masterversion", b"versio")
    return INFO, "Viga versiooni laadimisel!"


def master_garbage(made):
    made.site.put("masterversion", random.Random(7).randbytes(3000))
    return INFO, "Viga versiooni laadimisel!"


def version_info_truncated(made):
    made.site.put("2/versioninfo.vif", made.new_vif[:len(made.new_vif) // 2])
    return INFO, "Viga serverist versiooni info saamisel!"


def version_info_garbage(made):
    made.site.put("2/versioninfo.vif", random.Random(8).randbytes(len(made.new_vif)))
    return INFO, "Viga serverist versiooni info saamisel!"


def patch_set_info_garbage(made):
    made.site.put("1_2/versioninfo.vif", b"QM_VIF" + random.Random(9).randbytes(200))


def installed_info(content):
    def damage(made):
        (made.installation.path / "versioninfo.vif").write_bytes(content(made.old_vif))
    return damage


SERVER_FAULTS = {
    "wrong bytes": wrong_bytes,
    "corrupt container": corrupt_container,
    "corrupt patches": corrupt_patches,
    "patches with wrong digests": patches_with_wrong_digest,
    "stalls": stalls,
    "master record truncated": master_truncated,
    "master record garbage": master_garbage,
    "versioninfo.vif truncated": version_info_truncated,
    "versioninfo.vif garbage": version_info_garbage,
    "patch set's versioninfo.vif garbage": patch_set_info_garbage,
    "installed versioninfo.vif truncated": installed_info(lambda vif: vif[:len(vif) // 2]),
    "installed versioninfo.vif garbage": installed_info(lambda vif: bytes(len(vif))),
}


@pytest.mark.parametrize("fault", SERVER_FAULTS)
def test_damaged_or_slow_server(site, probe, install_dir, fault):
    made = release(site, install_dir)
    stop = SERVER_FAULTS[fault](made)
    if stop:
        expect_error(probe, made.installation, *stop)
    else:
        assert run_to_end(probe, made.installation)
    conclude(probe, made, "server", fault)


HELD_LINE = re.compile(r"File held by another program, trying again in (\d+) ms: "
                       r"move .* -> (.*) \(error \d+\)")


def held_file_retries(log, pattern=HELD_LINE):
    """The pauses announced for held files: (milliseconds, the file moved onto or
    removed, the line)."""
    return [(int(match[1]), match[2], line) for line in log.lines
            if (match := pattern.fullmatch(line.text))]


HELD_REMOVAL_LINE = re.compile(r"File held by another program, trying again in (\d+) ms: "
                               r"remove (.*) \(error \d+\)")


@pytest.mark.parametrize("released", [True, False], ids=["released after 1 s", "never released"])
def test_installed_file_held_open(site, probe, install_dir, released):
    """A program holds an installed file that is to be patched: the move is tried
    again with growing pauses. Released a second after the first retry, the run
    completes; never released, the file fails after 10 s of pauses (which the whole
    download after the failed patch does not start again) with the usual text. A
    file left in Temp by an earlier run and held all along delays the completed
    run's clean-up by one second at most, and stays."""
    made = release(site, install_dir)
    held = made.installation.file("andmed.bin")
    left = made.installation.path / "Temp" / "left.bin"
    left.parent.mkdir()
    left.write_bytes(b"from an earlier run")
    probe.hold(held)
    probe.hold(left)
    try:
        if released:
            start(probe, made.installation)
            made.installation.wait_log_line("File held by another program")
            time.sleep(1)
            probe.release(held)
            assert probe.wait_exit(RUN_MS) == 0
            probe.wait_idle(RUN_MS)
            assert made.is_current()
        else:
            expect_error(probe, made.installation, INFO, STRINGS[106])
    finally:
        if not released:
            probe.release(held)
        probe.release(left)
    log = made.installation.log()
    retries = held_file_retries(log)
    pauses = [pause for pause, _, _ in retries]
    assert pauses and pauses == [100, 200, 400, 800, 1600, 3200, 3700][:len(pauses)], pauses
    assert {target for _, target, _ in retries} == {windows_path(held)}
    if released:
        assert "Patch: successful " + windows_path(held) in log.texts()
        removals = held_file_retries(log, HELD_REMOVAL_LINE)
        assert {target for _, target, _ in removals} == {windows_path(left)}
        assert sum(pause for pause, _, _ in removals) <= 1000, removals
        assert "Work directory left for the next update: " + windows_path(left.parent) in \
            log.texts()
        assert left.exists() and len(made.installation.starts()) == 1
    else:
        assert sum(pauses) == 10000
        failed = next(line for line in log.lines if line.text.startswith("Replace failed: "))
        assert (failed.time - retries[0][2].time).total_seconds() < 12
    conclude(probe, made, "disk", "installed file held open" + (", released" if released else ""))


@pytest.fixture
def small_disk(tmp_path):
    """A tmpfs mounted for the test; the function sets its size."""
    mount_point = tmp_path / "disk"
    mount_point.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64m", "tmpfs", mount_point],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"no tmpfs can be mounted here ({mounted.stderr.strip()}): "
                    "the full-disk case needs root and mount rights")

    def resize(size):
        subprocess.run(["mount", "-o", f"remount,size={size}", mount_point], check=True)

    yield mount_point, resize
    subprocess.run(["umount", "-l", mount_point], check=True)


def disk_usage(folder):
    return sum(path.stat().st_size for path in folder.rglob("*") if path.is_file())


@pytest.mark.parametrize("room", [300_000, 2_500_000])
def test_disk_fills_up_part_way(site, probe, install_dir, small_disk, room):
    """The disk has room for part of the downloads: the run stops with an error
    somewhere in the file phase and leaves every file whole."""
    mount_point, resize = small_disk
    made = release(site, install_dir, folder=(mount_point.name, "Quillo mark"))
    resize(disk_usage(mount_point) + room)
    expect_error(probe, made.installation, TITLE, "VIGA!")
    conclude(probe, made, "disk", f"disk full, {room} bytes free", heal=lambda: resize("64m"))


# Folder and file names outside any ANSI code page. The installation's own path
# stays below MAX_PATH (Windows, and Wine, start no program from a longer one); a
# file deep below it has paths of more than 300 characters, which Windows reaches
# only with the "\\?\" prefix.
DEEP = Record("Данные приложения\\Φάκελος με πολύ μεγάλο όνομα για τη δοκιμή\\"
              "документ с очень длинным именем для проверки путей.txt", OLD_TEXT * 3)


def long_folder(parent, length=200):
    """Folder names below `parent` that make a path of `length` characters."""
    names = ["Пользовательские программы", "Εφαρμογές χρήστη"]
    used = len(windows_path(parent)) + sum(len(name) + 1 for name in names) + 1
    return ("Quillo mark", *names, "Установка " + "у" * max(1, length - used - len("Установка ")))


def test_power_cut_finds_every_file_flushed_before_its_move(site, install_dir, tmp_path):
    """A self-update and the file phase of the new launcher (patches, plain files,
    containers, the record) in Cyrillic and Greek folders, with a patched file whose
    paths pass 300 characters, traced: every file the run moves into place has its
    data flushed after its last write and before its move, none of the release is
    written in place, and the record is moved after every other file."""
    made = release(site, install_dir,
                   Record("quillomark.exe", NEXT_LAUNCHER.read_bytes(), compressed=True),
                   folder=long_folder(tmp_path))
    deep_new = Record(DEEP.name, DEEP.content + "uus rida\r\n".encode("utf-8"))
    made.old.insert(-1, DEEP)
    made.new.insert(-1, deep_new)
    made.installation.install(1, made.old)
    made.publish(good_patches(tmp_path) | {
        DEEP.name: bsdiff(DEEP.content, deep_new.content, tmp_path / "bsdiff-deep")})
    assert len(windows_path(made.installation.work_file(DEEP.name))) > 300
    session = TracedSession(tmp_path)
    try:
        start(session.probe, made.installation)
        assert session.probe.wait_exit(RUN_MS) == 0
        session.probe.wait_idle(RUN_MS)
    finally:
        trace = session.close()
    assert made.is_current()
    assert made.installation.launcher == NEXT_LAUNCHER.read_bytes()
    log = made.installation.log()
    log.assert_in_order(["Launcher update required", "Quillomark End", "Quillomark Start"])
    for name in PATCHED + (DEEP.name,):
        assert f"Patch: successful {windows_path(made.installation.file(name))}" in log.texts()
    old = made.expected(made.old, made.old_vif)
    new = made.expected(made.new, made.new_vif)
    violations = flush_order_violations(trace, made.installation.path, new,
                                        [name for name in new if new[name] != old.get(name)])
    if RESULTS:
        with open(RESULTS, "a", encoding="utf-8") as results:
            results.write(json.dumps({"kind": "flush order", "case": "self-update and file phase",
                                      "seed": SEED, "violations": violations}) + "\n")
    assert not violations


# Random kills. The moments are offsets from the window's appearance, as fractions
# of how long an undisturbed run of the same kind takes here.
def measured_span(probe, made, until_idle, done="is_current"):
    start(probe, made.installation)
    probe.wait_window()
    began = time.monotonic()
    assert probe.wait_exit(RUN_MS) == 0
    if until_idle:
        probe.wait_idle(RUN_MS)
    span = time.monotonic() - began
    assert getattr(made, done)()
    return span


def moments(count, salt):
    """Numbered moments as fractions of the span, each with what is killed then."""
    generator = random.Random(f"{SEED}-{salt}")
    return [(number, generator.random(), generator.choice(["launcher", "job"]))
            for number in range(1, count + 1)]


def kill_at(probe, made, span, fraction, target):
    """Starts the launcher, kills it (or its whole job) at the moment, and lets
    whatever was not killed finish. A launcher killed inside the creation of its new
    copy leaves that copy suspended for good (the next start ends it with the
    probe's job); the self-update tests show it does not block a later hand-over.
    Under Wine, a job killed while the launcher is inside CreateProcessW for the patch
    tool can leave the child in the job without an image (it never gets past its
    start-up): it shows as an empty path, and the recovery that follows shows it
    blocks nothing."""
    start(probe, made.installation)
    probe.wait_window()
    time.sleep(span * fraction)
    probe.must("kill", target)
    left = probe.left_running(RUN_MS)
    new_copy = windows_path(made.installation.path / "Temp" / "quillomark.exe").casefold()
    assert all(path.casefold() in (new_copy, "") for path in left), left


@pytest.fixture(scope="module")
def spans(server, probe, tmp_path_factory):
    """How long an undisturbed file phase and an undisturbed self-update take, measured once."""
    from harness import Site
    site = Site(server.root, server.state)
    folder = tmp_path_factory.mktemp("spans")
    counter = iter(range(10))

    def install_dir(*parts):
        return Installation(folder / str(next(counter)) / Path(*parts))

    file_phase = measured_span(probe, release(site, install_dir), until_idle=False)
    hand_off = measured_span(probe, release(site, install_dir, Record(
        "quillomark.exe", NEXT_LAUNCHER.read_bytes(), compressed=True)), until_idle=True)
    restore = measured_span(probe, on_trial(site, probe, install_dir, folder), until_idle=False,
                            done="is_restored")
    return {"file phase": file_phase, "hand-off": hand_off, "restore": restore}


@pytest.mark.parametrize("number,fraction,target", moments(KILLS, "file phase"))
def test_killed_during_the_file_phase(site, probe, install_dir, spans, number, fraction,
                                      target):
    """The launcher with all it started (a patch tool, the application)."""
    made = release(site, install_dir)
    kill_at(probe, made, spans["file phase"], fraction, "job")
    conclude(probe, made, "kill, file phase",
             f"kill {number}/{KILLS}, seed {SEED}, at {fraction:.3f} of "
             f"{spans['file phase']:.2f} s")


@pytest.mark.parametrize("number,fraction,target", moments(HAND_OFF_KILLS, "hand-off"))
def test_killed_during_the_self_update(site, probe, install_dir, spans, number, fraction,
                                       target):
    """The old launcher alone, or it with the new copy and whatever that started."""
    made = release(site, install_dir,
                   Record("quillomark.exe", NEXT_LAUNCHER.read_bytes(), compressed=True))
    kill_at(probe, made, spans["hand-off"], fraction, target)
    conclude(probe, made, "kill, hand-off",
             f"kill {number}/{HAND_OFF_KILLS} ({target}), seed {SEED}, at {fraction:.3f} of "
             f"{spans['hand-off']:.2f} s")


def on_trial(site, probe, install_dir, folder):
    """Version 2 installed on trial by a launcher that waits for a confirmation which
    never comes, and has one try: its next start takes version 1 back."""
    stamped = stamped_launcher(LAUNCHER, folder / "stamped.exe",
                               "--health", "confirm", "--health-tries", "1")
    made = release(site, install_dir, stamped=stamped)
    assert run_to_end(probe, made.installation) and made.is_current()
    return made


@pytest.mark.parametrize("number,fraction,target", moments(RESTORE_KILLS, "restore"))
def test_killed_during_the_restore(site, probe, install_dir, spans, tmp_path, number,
                                   fraction, target):
    """The launcher putting version 1 back: the next start finishes it."""
    made = on_trial(site, probe, install_dir, tmp_path)
    kill_at(probe, made, spans["restore"], fraction, target)
    conclude(probe, made, "kill, restore",
             f"kill {number}/{RESTORE_KILLS} ({target}), seed {SEED}, at {fraction:.3f} of "
             f"{spans['restore']:.2f} s", done=made.is_restored)
