"""A first installation into a directory whose path holds blanks and non-ASCII
letters, with the release notes shown at once and the application's start
deferred until they are closed, taken although the version is offered to no
installation yet; then starts with equal versions, and restarts to update that
wait for the application."""

import random
import subprocess
import time

from harness import (BASE_URL, BAR, DONE_INFO, INFO, NOTES_BUTTON, RUN_TITLES, TESTAPP,
                     TITLE, WINE_RUN, Record, Run, assert_bytes_shown, assert_counters,
                     assert_subsequence, file_phase_texts, unix_name, version_info,
                     windows_path)

NOTES = "Versioon 3\r\n\r\n- uus: Tõõtäiendus ülevaade\r\n- parandused šõuäöü"
SUMMARY = "Tõõtäiendus ülevaade.txt"


def version_3(installation):
    generator = random.Random(3)
    return [
        Record("app.exe", TESTAPP.read_bytes(), compressed=True),
        Record("data\\pilt.bin", generator.randbytes(300_000), compressed=True),
        Record("quillomark.exe", installation.launcher),
        Record("data\\sõnad.txt", "õun\r\nöö\r\n".encode("utf-8") * 3000),
        Record(SUMMARY, "Ülevaade: äädikas ja õunad\r\n".encode("utf-8") * 40),
    ]


def assert_started_once_more(installation, starts):
    """The application was started (again) in the installation's directory, with its
    path quoted."""
    recorded = installation.starts()
    assert len(recorded) == starts
    assert recorded[-1] == {"command_line": f'"{windows_path(installation.path)}\\app.exe"',
                            "cwd": windows_path(installation.path)}


def test_first_installation_with_notes_shown_at_once(site, probe, install_dir):
    installation = install_dir("Käivitaja kaust", "Quillo mark õun")
    records = version_3(installation)
    site.master(3, force_notes=True, extra="$rollout=0")
    served = site.version(3, records, notes=NOTES.encode("utf-8"))
    site.set_rules({"/download/masterversion": "stall=1", f"/download/3/{SUMMARY}": "stall=1"})

    run = Run(probe, installation)
    probe.wait_window()
    probe.wait_text(TITLE, "Versiooni kontrollimine...")
    probe.wait_notes(1)
    assert probe.wait_view(notes_button=True)["notes"] == [NOTES]
    probe.wait_text(INFO, "Laen alla: " + SUMMARY)
    probe.wait_text(TITLE, "VALMIS")

    # The notes window is open: the start waits for its OK.
    assert probe.wait_exit(1500) is None
    assert installation.starts() == []
    received = sum(len(served[r.name]) for r in records if r.name != "quillomark.exe")
    view = probe.wait_view(title="VALMIS", info=DONE_INFO, bar=100)
    assert_bytes_shown(view["bytes"], received)
    probe.click_notes_ok()
    assert run.finish() == 0
    assert_started_once_more(installation, 1)

    for record in records:
        assert installation.file(record.name).read_bytes() == record.content, record.name
    assert (installation.path / "versioninfo.vif").read_bytes() == version_info(3, records)
    assert not (installation.path / "Temp").exists()
    assert not (installation.path / "quillomark.id").exists()
    files = [r.name for r in records if r.name != "quillomark.exe"]
    assert site.requests() == ["/download/masterversion", "/download/3/versioninfo.vif",
                               "/download/3/changes.txt"] + [f"/download/3/{unix_name(n)}"
                                                             for n in files]

    history = probe.history()
    texts = history["texts"]
    assert_subsequence(texts[str(TITLE)], RUN_TITLES)
    assert_subsequence(texts[str(INFO)], file_phase_texts([(n, "download") for n in files]))
    assert texts[str(BAR)][-1] == "100"
    assert_counters(history, len(records))
    assert history["notes_seen"] == [NOTES]

    log = run.log()
    assert len(log.markers) == 1
    log.assert_in_order(
        ["Quillomark Start", "MasterVersion: version=3", "MasterVersion: startapp=app.exe",
         "MasterVersion: force_releasenotes=1"]
        + [f"Downloading: {BASE_URL}3/{name}" for name in files] + ["Quillomark End"])
    assert log.texts()[-1] == "Quillomark End"
    assert log.thread_of("Quillomark Start") == log.thread_of("Quillomark End")
    assert not [text for text in log.texts() if text.startswith("CreateProcess failed")]


def test_equal_versions_start_after_a_pause_without_checking_files(site, probe, install_dir):
    """Only the presence and size of each file are looked at; a missing file or one
    of another size makes the run check every file by its digest."""
    installation = install_dir("Quillo mark õun")
    records = version_3(installation)
    installation.install(3, records)
    damaged = installation.file("data\\pilt.bin")
    damaged.write_bytes(bytes(len(records[1].content)))
    site.master(3)
    site.version(3, records, notes=NOTES.encode("utf-8"))

    run = Run(probe, installation)
    probe.wait_text(TITLE, "Uuendusi ei leitud")
    shown = time.monotonic()
    assert probe.wait_view(info="", bar=100, notes_button=True)["notes"] == []
    assert run.finish() == 0
    assert 2.5 <= time.monotonic() - shown <= 6
    assert_started_once_more(installation, 1)
    assert damaged.read_bytes() == bytes(len(records[1].content))
    assert site.requests() == ["/download/masterversion", "/download/3/versioninfo.vif",
                               "/download/3/changes.txt"]
    assert_subsequence(probe.history()["texts"][str(INFO)], ["info", ""])
    log = run.log()
    log.assert_in_order(["Quillomark Start", "MasterVersion: version=3",
                         "Local version == remote version -> no updates", "Quillomark End"])
    assert not [text for text in log.texts() if "Local version ok" in text]

    # The notes opened with the button defer the start until OK.
    run = Run(probe, installation)
    probe.wait_text(NOTES_BUTTON, "enabled")
    probe.click(NOTES_BUTTON)
    probe.wait_notes(1)
    assert probe.read()["notes"] == [NOTES]
    assert probe.wait_exit(4500) is None
    assert len(installation.starts()) == 1
    probe.click_notes_ok()
    assert run.finish() == 0
    assert_started_once_more(installation, 2)

    # Notes closed before the start command: the start follows it at once.
    run = Run(probe, installation)
    probe.wait_text(NOTES_BUTTON, "enabled")
    probe.click(NOTES_BUTTON)
    probe.wait_notes(1)
    probe.click_notes_ok()
    probe.wait_notes(0)
    assert run.finish() == 0
    assert_started_once_more(installation, 3)

    # Four or more arguments that are not a hand-off end the launcher at once.
    log_before = (installation.path / "ezo.log").read_bytes()
    probe.start(installation.path, installation.path / "quillomark.exe", "Update", "a", "b")
    assert probe.wait_exit(10000) == 0
    assert not probe.history()["window_seen"]
    assert (installation.path / "ezo.log").read_bytes() == log_before

    # A restart to update whose process id is no decimal number of 32 bits, or that
    # comes with another option than --silent, ends at once with 2 and touches nothing;
    # so do a check and a prepare with any other word, and a rate that is no number
    # from 1 or goes without a prepare.
    files_before = {p: p.read_bytes() for p in installation.path.rglob("*") if p.is_file()}
    requests_before = site.requests()
    for bad in [[], [""], ["abc"], ["-5"], ["0x10"], [" 5"], ["99999999999"], ["4294967296"],
                ["5", "--uninstall"]]:
        probe.start(installation.path, installation.path / "quillomark.exe", "--after", *bad)
        assert probe.wait_exit(10000) == 2, bad
        assert not probe.history()["window_seen"], bad
    for bad in [["--check", "--silent"], ["--check", "--check"], ["--check", "--after", "5"],
                ["--check", "extra"], ["--check", "--prepare"], ["--prepare", "--silent"],
                ["--prepare", "--rate", "0"], ["--prepare", "--rate", "2k"], ["--prepare", "--rate"],
                ["--rate", "5"], ["--check", "--rate", "5"]]:
        probe.start(installation.path, installation.path / "quillomark.exe", *bad)
        assert probe.wait_exit(10000) == 2, bad
        assert not probe.history()["window_seen"], bad
    assert {p: p.read_bytes() for p in installation.path.rglob("*") if p.is_file()} == files_before
    assert site.requests() == requests_before

    # The application deleted and a data file cut short: both are logged, every file
    # is checked, what differs comes back (the same-size damage too), and the
    # application starts as after an update.
    installation.file("app.exe").unlink()
    installation.file("data\\sõnad.txt").write_bytes(b"cut")
    (installation.path / "ezo.log").unlink()
    run = Run(probe, installation)
    assert run.finish() == 0
    assert_started_once_more(installation, 4)
    for record in records:
        assert installation.file(record.name).read_bytes() == record.content, record.name
    assert_subsequence(probe.history()["texts"][str(TITLE)], RUN_TITLES)
    run.log().assert_in_order([
        "Installed file missing: app.exe",
        f"Installed file has another size: data\\sõnad.txt (3 bytes, listed {len(records[3].content)})",
        "Local version == remote version, installation incomplete -> repairing",
        f"Downloading: {BASE_URL}3/app.exe", f"Downloading: {BASE_URL}3/data\\pilt.bin",
        f"Downloading: {BASE_URL}3/data\\sõnad.txt", "Quillomark End"])


def test_a_second_start_in_the_same_installation_leaves_the_run_to_the_first(
        site, probe, install_dir):
    """A double double-click: the second launcher, started under another spelling of
    the same path while the first waits for a slow server, brings the first one's
    (minimized) window back to the front and ends at once with 0, without a request
    and without a line in the log; the first alone updates."""
    installation = install_dir("Quillo mark õun")
    installation.install(1, [Record("app.exe", b"old")])
    records = [Record("app.exe", TESTAPP.read_bytes()), Record("slow.bin", bytes(100_000))]
    site.master(2)
    site.version(2, records)
    site.set_rules({"/download/2/slow.bin": "stall=3"})

    run = Run(probe, installation)
    probe.wait_window()
    probe.must("minimize")
    probe.wait_view(minimized=True)
    second = subprocess.run([WINE_RUN, windows_path(installation.path).upper() + "\\QUILLOMARK.EXE"],
                            cwd=installation.path, timeout=60, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    assert second.returncode == 0
    assert probe.wait_exit(0) is None, "the second launcher waited for the first"
    probe.wait_view(minimized=False, foreground=True)  # the first window is back in front
    assert run.finish() == 0

    assert_started_once_more(installation, 1)
    for record in records:
        assert installation.file(record.name).read_bytes() == record.content, record.name
    assert site.requests() == ["/download/masterversion", "/download/2/versioninfo.vif",
                               "/download/2/changes.txt", "/download/2/app.exe",
                               "/download/2/slow.bin"]
    texts = run.log().texts()
    assert texts.count("Quillomark Start") == 1 and texts.count("Quillomark End") == 1


def test_a_restart_to_update_waits_for_the_application_to_end(site, probe, install_dir):
    """The application asks for a restart to update: the launcher, started with its
    process id, shows nothing and fetches nothing while it runs, then updates and
    starts it as usual. An id that names no process lets it run at once."""
    installation = install_dir("Quillo mark õun")
    installation.install(1, [Record("app.exe", b"old")])
    records = [Record("app.exe", TESTAPP.read_bytes()), Record("data.txt", b"2\r\n")]
    site.master(2)
    site.version(2, records)

    application = probe.park(installation.path, TESTAPP)
    run = Run(probe, installation, ("--after", str(application)))
    assert probe.wait_exit(2000) is None, "the launcher did not wait for the application"
    assert not probe.history()["window_seen"]
    assert site.requests() == []
    assert not (installation.path / "ezo.log").exists()
    probe.must("kill", "parked")
    assert run.finish() == 0
    assert probe.history()["window_seen"]
    assert_started_once_more(installation, 1)
    for record in records:
        assert installation.file(record.name).read_bytes() == record.content, record.name
    assert site.requests() == ["/download/masterversion", "/download/2/versioninfo.vif",
                               "/download/2/changes.txt", "/download/2/app.exe",
                               "/download/2/data.txt"]
    assert len(run.log().markers) == 1

    # Process ids are multiples of four, so this one names no process; --silent may
    # come first.
    records[1] = Record("data.txt", b"3\r\n")
    site.master(3)
    site.version(3, records)
    run = Run(probe, installation, ("--silent", "--after", "4294967295"))
    assert run.finish() == 0
    assert installation.file("data.txt").read_bytes() == b"3\r\n"
    assert len(installation.starts()) == 1


def test_a_restart_to_update_waits_for_a_process_it_may_not_open(site, probe, install_dir):
    """The process to wait for is another user's (or an elevated one): the launcher may
    not open it to wait for it, and does not take it for ended, but waits until the
    system's process list no longer holds it, and then updates as usual."""
    installation = install_dir("Quillo mark õun")
    installation.install(1, [Record("app.exe", b"old")])
    records = [Record("app.exe", TESTAPP.read_bytes()), Record("data.txt", b"2\r\n")]
    site.master(2)
    site.version(2, records)

    application = probe.must("park-foreign", windows_path(installation.path),
                             windows_path(TESTAPP))["pid"]
    run = Run(probe, installation, ("--after", str(application)))
    assert probe.wait_exit(2000) is None, "the launcher took the process for ended"
    assert not probe.history()["window_seen"]
    assert site.requests() == []
    assert not (installation.path / "ezo.log").exists()
    probe.must("kill", "parked")
    assert run.finish() == 0
    assert_started_once_more(installation, 1)
    for record in records:
        assert installation.file(record.name).read_bytes() == record.content, record.name
