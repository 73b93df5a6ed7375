"""Runs that do not reach the application: Cancel (or Esc) in the middle of the file
phase with the release notes open, or while another program holds a file, every
failure that ends the run before it, and a launcher that cannot make its window; the
window at 96 and 144 DPI, left with Esc."""

import os
import subprocess

import pytest

from harness import (BAR, BASE_URL, BYTES, CANCEL, INFO, NOTES_BUTTON, STRINGS, TESTAPP,
                     TITLE, WINE_RUN, WORK, Probe, Record, Run, assert_subsequence,
                     file_phase_texts,
                     version_info, windows_path)

NOTES_1257 = "Täiendused: õunad, šokolaad ja žürii"


def close_notes_and_tab_by_keyboard(probe):
    """Enter presses OK, the notes' default button. Back in the progress window, whose
    focus was on Cancel, Tab goes to the other button and back."""
    probe.key("enter", "notes")
    probe.wait_notes(0)
    for button in [NOTES_BUTTON, CANCEL]:
        probe.key("tab")
        probe.wait_focus("progress", button)


# Cancel while the server has not answered, has stopped sending mid-body, or sends
# one byte a second: the launcher ends at once each time, not at the 60-second
# time-out. Keys do what the buttons do.
@pytest.mark.parametrize("notes_open, stopped, keyboard",
                         [(False, "stall=120", False), (True, "hang=100000", False),
                          (False, "trickle=0", False), (False, "trickle=0", True)],
                         ids=["notes closed, no answer", "notes open, body stopped",
                              "notes closed, body trickles",
                              "notes closed by Enter, body trickles, Esc"])
def test_cancel_during_the_file_phase(site, probe, install_dir, notes_open, stopped, keyboard):
    installation = install_dir("Quillo mark")
    records = [Record("app.exe", TESTAPP.read_bytes(), compressed=True),
               Record("big.bin", bytes(range(256)) * 2000),
               Record("after.txt", b"never fetched\r\n")]
    site.master(2, force_notes=True)
    site.version(2, records, notes=NOTES_1257.encode("cp1257"))
    site.set_rules({"/download/2/big.bin": stopped})

    run = Run(probe, installation)
    probe.wait_notes(1)
    # Notes written on Windows in code page 1257 read as they were meant.
    assert probe.read()["notes"] == [NOTES_1257]
    if keyboard:
        close_notes_and_tab_by_keyboard(probe)
    elif not notes_open:
        probe.click_notes_ok()
        probe.wait_notes(0)
    probe.wait_text(INFO, "Laen alla: big.bin")
    # Counted from the click: the window's going may take time of its own.
    if keyboard:
        probe.key("escape")
    else:
        probe.click(CANCEL)
    assert probe.wait_exit(5000) == 0, "the launcher still waits for its download"
    probe.wait_gone()
    assert run.finish() == 0
    log = run.log()
    assert log.texts()[-1] == "Quillomark End"
    history = probe.history()
    assert history["window_gone"]
    assert history["texts"][str(TITLE)][-1] == "Failide uuendamine"
    assert_subsequence(history["texts"][str(INFO)], file_phase_texts(
        [("app.exe", "download"), ("big.bin", "download")])[:-1])

    assert installation.starts() == []
    assert not (installation.path / "versioninfo.vif").exists()
    assert not installation.file("after.txt").exists()
    assert installation.file("app.exe").read_bytes() == records[0].content
    assert "/download/2/after.txt" not in site.requests()
    log.assert_in_order(["Quillomark Start", f"Downloading: {BASE_URL}2/app.exe",
                         f"Downloading: {BASE_URL}2/big.bin", "Quillomark End"])

    site.set_rules({})
    run = Run(probe, installation)
    probe.wait_notes(1)
    probe.click_notes_ok()
    assert run.finish() == 0
    for record in records:
        assert installation.file(record.name).read_bytes() == record.content, record.name
    assert len(installation.starts()) == 1


def test_cancel_ends_the_wait_for_a_held_file(site, probe, install_dir):
    """Another program holds the installed record when the new one is to replace it:
    Cancel ends the wait between two tries at once, and the record stays the old one."""
    installation = install_dir("Quillo mark")
    old = [Record("app.exe", TESTAPP.read_bytes()), Record("data.txt", b"old\r\n")]
    installation.install(1, old)
    site.master(2)
    site.version(2, [old[0], Record("data.txt", b"new\r\n")])
    record = installation.path / "versioninfo.vif"
    probe.hold(record)
    try:
        run = Run(probe, installation)
        installation.wait_log_line("File held by another program")
        log = run.cancel()
    finally:
        probe.release(record)
    retries = [text for text in log.texts() if text.startswith("File held by another program")]
    assert len(retries) == 1 and f" -> {windows_path(record)} (error " in retries[0], retries
    assert not [text for text in log.texts() if text.startswith("Shut-down still waits")]
    assert record.read_bytes() == version_info(1, old)
    assert installation.starts() == []


def unsafe_name(site):
    site.master(2)
    site.version(2, [Record("..\\outside.txt", b"x")])


def unsafe_start(site):
    site.master(2, startapp="..\\outside.exe")
    site.version(2, [Record("app.exe", b"x")])


def damaged_version_info(site):
    site.master(2)
    site.version(2, [Record("app.exe", b"x")])
    site.put("2/versioninfo.vif", version_info(2, [Record("app.exe", b"x")])[:-3])


def no_version_key(site):
    site.put("masterversion", b"startapp=app.exe$patches=1_2")


def missing_patch_set(site):
    site.master(2, patches=["1_2"])
    site.version(2, [Record("app.exe", b"x")])


def version_zero(site):
    site.master(0)
    site.version(0, [Record("app.exe", b"x")])


def missing_version_info(site):
    site.master(2)


# A server that stops the run, the control and text it shows, and the installed
# version beforehand (0: none).
RUN_FAILURES = {
    "no master version": (lambda site: None, INFO,
                          "Põhiversiooni info allalaadimine ebaõnnestus!", 0),
    "no version key": (no_version_key, INFO, "Viga versiooni laadimisel!", 0),
    "no version info": (missing_version_info, INFO,
                        "Aktiivse versiooni info allalaadimine ebaõnnestus!", 0),
    "damaged version info": (damaged_version_info, INFO,
                             "Viga serverist versiooni info saamisel!", 0),
    "name outside": (unsafe_name, INFO, "Viga serverist versiooni info saamisel!", 0),
    "start outside": (unsafe_start, INFO, "Viga serverist versiooni info saamisel!", 0),
    "no patch set": (missing_patch_set, INFO,
                     "Uuenduspakettide infofaili allalaadimine ebaõnnestus!", 1),
    "version 0": (version_zero, TITLE, "Viga uuendamisel!", 3),
}


@pytest.mark.parametrize("failure", RUN_FAILURES)
def test_run_failure_leaves_the_installation_alone(site, probe, install_dir, failure):
    publish, control, text, installed = RUN_FAILURES[failure]
    installation = install_dir("Quillo mark")
    old = [Record("app.exe", b"old")]
    if installed:
        installation.install(installed, old)
    publish(site)

    run = Run(probe, installation)
    probe.wait_text(control, text)
    if control == INFO:
        probe.wait_view(title="Versiooni kontrollimine...")
    assert probe.wait_exit(300) is None, "the window stays open after an error"
    run.cancel()

    files = sorted(p.name for p in installation.path.iterdir())
    assert files == sorted(["quillomark.exe", "ezo.log"]
                           + (["app.exe", "versioninfo.vif"] if installed else []))
    if installed:
        assert (installation.path / "versioninfo.vif").read_bytes() == version_info(installed, old)
    assert not [path for path in site.requests() if path.endswith(("app.exe", ".txt"))
                and not path.endswith("changes.txt")]


def test_a_launcher_without_a_display_ends_with_a_logged_error(site, install_dir):
    """Without a display the window cannot be made; the launcher says so in its log
    and ends instead of waiting for ever, unseen, before anything happens."""
    installation = install_dir("Quillo mark")
    installation.install(1, [Record("app.exe", b"old")])
    site.master(2)
    site.version(2, [Record("app.exe", TESTAPP.read_bytes())])

    result = subprocess.run([WINE_RUN, "quillomark.exe"], cwd=installation.path,
                            env={**os.environ, "DISPLAY": ":99"}, timeout=60,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    assert result.returncode == 1
    texts = installation.log().texts()
    assert texts[0] == "Quillomark Start" and texts[2:] == ["Quillomark End"]
    assert texts[1].startswith("Progress window could not be created: ")
    assert site.requests() == []
    assert installation.file("app.exe").read_bytes() == b"old"
    assert sorted(p.name for p in installation.path.iterdir()) == [
        "app.exe", "ezo.log", "quillomark.exe", "versioninfo.vif"]


@pytest.fixture(scope="module")
def probe_at_144_dpi():
    """A probe in a Wine prefix of the slot's own whose screen has 144 DPI: LogPixels,
    which Wine 8 reads as the system's DPI when a program starts. The prefix is made
    on first use and kept; its wineserver ends with the tests of this file."""
    prefix = WORK / "wineprefix-144dpi"
    environment = {**os.environ, "QUILLOMARK_WINEPREFIX": str(prefix)}
    subprocess.run([WINE_RUN, "reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels",
                    "/t", "REG_DWORD", "/d", "144", "/f"], env=environment, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    started = Probe(WORK / "probe-144dpi-stderr.txt", environment=environment)
    yield started
    started.close()
    subprocess.run(["wineserver", "-k"], env={**environment, "WINEPREFIX": str(prefix)})


def screenshot(layout, path):
    """The progress window as the display shows it."""
    geometry = f"{layout['width']}x{layout['height']}+{layout['left']}+{layout['top']}"
    subprocess.run(["/usr/bin/import", "-window", "root", "-crop", geometry, "+repage", path],
                   check=True)


def assert_no_text_cut(layout):
    cut = [control for control in layout["statics"]
           if control["needed_width"] > control["width"]
           or control["needed_height"] > control["height"]]
    assert not cut, f"texts cut at {layout['dpi']} DPI: {cut}"


def test_the_window_grows_with_the_display_and_no_text_is_cut(site, probe, probe_at_144_dpi,
                                                              install_dir):
    """The window at 96 and at 144 DPI, on a download that the server never answers,
    two files of four done: it grows with the DPI, every static text fits its control
    in the dialog's font, the bar is named by the title line, and Esc ends the run as
    Cancel does; then with an error of two lines, the tallest text it shows. The
    screenshots stay in the slot's folder."""
    application = TESTAPP.read_bytes()
    records = [Record("app.exe", application), Record("data.txt", b"2\r\n"),
               Record("big.bin", bytes(100_000), compressed=True),
               Record("after.txt", b"never fetched")]
    site.master(2)
    layouts = {}
    old = [Record("app.exe", b"old")]
    for dpi, shown_by in [(96, probe), (144, probe_at_144_dpi)]:
        site.version(2, records)
        site.set_rules({"/download/2/big.bin": "stall=120"})
        installation = install_dir(f"{dpi} dpi")
        installation.install(1, old)
        run = Run(shown_by, installation)
        shown_by.wait_text(INFO, "Laen alla: big.bin")
        shown_by.wait_text(BYTES, f"{(len(application) + 3) >> 10}KB")
        shown_by.wait_text(BAR, "50")
        layout = layouts[dpi] = shown_by.layout()
        assert layout["dpi"] == dpi
        assert_no_text_cut(layout)
        assert shown_by.bar_names() == ("Failide uuendamine", "Failide uuendamine")
        screenshot(layout, WORK / f"display-{dpi}dpi.png")

        shown_by.key("escape")
        assert shown_by.wait_exit(5000) == 0, "the launcher still waits for its download"
        assert run.finish() == 0
        assert run.log().texts()[-1] == "Quillomark End"
        assert (installation.path / "versioninfo.vif").read_bytes() == version_info(1, old)
        assert installation.starts() == []

        site.set_rules({})
        site.put("2/big.bin", b"not a container")
        broken = install_dir(f"{dpi} dpi, broken container")
        broken.install(1, old)
        run = Run(shown_by, broken)
        shown_by.wait_text(INFO, STRINGS[104])
        assert_no_text_cut(shown_by.layout())
        assert shown_by.bar_names() == ("VIGA!", "VIGA!")
        shown_by.key("escape")
        assert shown_by.wait_exit(5000) == 0
        assert run.finish() == 0
    # 144 DPI is half again as many pixels, less what the fonts' sizes round off.
    for side in ["width", "height"]:
        assert layouts[144][side] > 1.25 * layouts[96][side], (side, layouts)
