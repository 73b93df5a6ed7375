"""The first installation and the removal under Wine: a launcher stamped with an
installation folder (quillomark-publish launcher --install-dir) is the product's
setup. Started from a download folder, silent or with its window, it installs the
release for the Wine user with shortcuts (read back through IShellLinkW in the
probe) and an uninstall entry (read back with Wine's reg.exe); the installed
launcher removes what it installed, and only that."""

import hashlib
import json
import os
import random
import shutil
import subprocess
from datetime import datetime

import pytest

from harness import (BASE_URL, LAUNCHER, TESTAPP, WINE_RUN, Record, registry, unix_path,
                     version_info, windows_path)

PUBLISH = os.environ.get("QM_PUBLISH", "")
PRODUCT = "Quillo e2e õun"
PUBLISHER = "Õunapuu & Pirn OÜ"
UNINSTALL = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
KEY = UNINSTALL + "\\Quillomark-" + hashlib.md5(PRODUCT.encode()).hexdigest()
QUESTION = f"Kas eemaldada rakendus {PRODUCT} ja kõik selle failid?"
YES, OK = 6, 1


def stamp_setup(folder, version="1.0.0.0"):
    """The launcher of this slot stamped as the product's setup, as a publisher makes it."""
    folder.mkdir(parents=True, exist_ok=True)
    out = folder / f"{PRODUCT}-Setup.exe"
    subprocess.run([PUBLISH, "launcher", "--template", LAUNCHER, "--base-url", BASE_URL,
                    "--unsigned", "--product", PRODUCT, "--version", version, "--install-dir",
                    f"%LOCALAPPDATA%\\Programs\\{PRODUCT}", "--publisher", PUBLISHER,
                    "--out", out], check=True, capture_output=True)
    return out


def publish_release(site, launcher):
    """Version 1 with the launcher, the test application and a data folder."""
    generator = random.Random(26)
    records = [Record("app.exe", TESTAPP.read_bytes(), compressed=True),
               Record("quillomark.exe", launcher.read_bytes()),
               Record("data\\pilt.bin", generator.randbytes(150_000), compressed=True),
               Record("data\\sõnad.txt", "õun\r\n".encode() * 2000)]
    site.master(1)
    site.version(1, records)
    return records


def entry():
    """The product's uninstall entry, or None."""
    found = registry(KEY)
    return None if found is None else found[KEY.replace("HKCU", "HKEY_CURRENT_USER")]


def shortcut_paths(folders):
    return [f"{folders[place]}\\{PRODUCT}.lnk" for place in ("programs", "desktop")]


def removal_copies(folders):
    return sorted(unix_path(folders["temp"]).glob("quillomark-removal-*.exe"))


@pytest.fixture
def user(probe):
    """The Wine user's folders, without anything of the product from an earlier run."""
    folders = probe.must("folders")
    subprocess.run([WINE_RUN, "reg", "delete", KEY, "/f"], capture_output=True)
    for path in shortcut_paths(folders):
        unix_path(path).unlink(missing_ok=True)
    shutil.rmtree(unix_path(folders["local_app_data"]) / "Programs" / PRODUCT, ignore_errors=True)
    for copy in removal_copies(folders):
        copy.unlink()
    return folders


def assert_installed(folder, records, launcher):
    for record in records:
        path = folder / record.name.replace("\\", "/")
        expected = launcher.read_bytes() if record.name == "quillomark.exe" else record.content
        assert path.read_bytes() == expected, record.name
    assert (folder / "versioninfo.vif").read_bytes() == version_info(1, records)
    assert not (folder / "Temp").exists()


def assert_shortcuts(probe, folders, installed):
    launcher = installed + "\\quillomark.exe"
    for path in shortcut_paths(folders):
        found = probe.must("shortcut", path)
        assert (found["target"], found["arguments"], found["working_folder"]) == (
            launcher, "", installed), path
        assert (found["description"], found["icon"], found["icon_index"]) == (
            PRODUCT, launcher, 0), path


def assert_no_traces(folders):
    assert entry() is None
    assert not [path for path in shortcut_paths(folders) if unix_path(path).exists()]


def starts(folder):
    record = folder / "started.txt"
    return record.read_text("utf-8").splitlines() if record.exists() else []


def setup_run(probe, setup, *arguments):
    """Starts the setup from its download folder; its exit code, once every process
    it started has ended."""
    probe.start(setup.parent, setup, *arguments)
    code = probe.wait_exit(60000)
    probe.wait_idle(60000)
    return code


def test_setup_from_a_download_folder_installs_once_with_shortcuts_and_entry(
        site, probe, tmp_path, user):
    setup = stamp_setup(tmp_path / "Allalaadimised")
    records = publish_release(site, setup)
    installed = user["local_app_data"] + "\\Programs\\" + PRODUCT
    folder = unix_path(installed)
    day_before = datetime.now().strftime("%Y%m%d")

    assert setup_run(probe, setup) == 0
    assert_installed(folder, records, setup)
    assert [json.loads(line) for line in starts(folder)] == [
        {"command_line": f'"{installed}\\app.exe"', "cwd": installed}]
    assert [path.name for path in setup.parent.iterdir()] == [setup.name]
    assert_shortcuts(probe, user, installed)
    values = entry()
    assert values.pop("InstallDate") in {day_before, datetime.now().strftime("%Y%m%d")}
    launcher = f'"{installed}\\quillomark.exe"'
    assert values == {
        "DisplayName": PRODUCT, "DisplayIcon": installed + "\\quillomark.exe,0",
        "DisplayVersion": "1", "Publisher": PUBLISHER, "InstallLocation": installed,
        "UninstallString": launcher + " --uninstall",
        "QuietUninstallString": launcher + " --uninstall --silent", "NoModify": 1, "NoRepair": 1,
        "EstimatedSize": (sum(len(record.content) for record in records) + 1023) // 1024}

    # A second setup only starts the installation it finds.
    assert setup_run(probe, setup) == 0
    assert len(starts(folder)) == 2
    assert_installed(folder, records, setup)
    entries = [key for key, values in registry(UNINSTALL).items()
               if values.get("DisplayName") == PRODUCT]
    assert entries == [KEY.replace("HKCU", "HKEY_CURRENT_USER")]


def test_silent_setup_into_a_chosen_folder_and_silent_removal(site, probe, tmp_path, user):
    """No window at any point, through the self-update that brings the release's
    newer launcher; a server that fails leaves nothing behind."""
    setup = stamp_setup(tmp_path / "Загрузки")
    newer = stamp_setup(tmp_path / "uus", "1.0.0.1")
    records = publish_release(site, newer)
    folder = tmp_path / "Программы" / "Тест õun"
    installed = windows_path(folder)

    site.set_rules({"/download/masterversion": "status=500"})
    assert setup_run(probe, setup, "--install-dir", installed, "--silent") == 1
    assert probe.history()["visible_windows"] == []
    assert_no_traces(user)
    assert not folder.exists()

    site.set_rules({})
    assert setup_run(probe, setup, "--silent", "--install-dir", installed) == 0
    assert probe.history()["visible_windows"] == []
    assert_installed(folder, records, newer)
    assert starts(folder) == []
    assert "Launcher update required" in (folder / "ezo.log").read_text("utf-8")
    assert_shortcuts(probe, user, installed)
    assert entry()["InstallLocation"] == installed

    probe.start(folder, folder / "quillomark.exe", "--uninstall", "--silent")
    assert probe.wait_exit() == 0
    probe.wait_idle()
    assert probe.history()["visible_windows"] == []
    assert not folder.exists()
    assert_no_traces(user)
    assert len(removal_copies(user)) == 1


def test_removal_waits_for_a_held_file_and_keeps_the_users_files(site, probe, tmp_path, user):
    setup = stamp_setup(tmp_path / "Allalaadimised")
    publish_release(site, setup)
    folder = tmp_path / "Minu rakendus"
    installed = windows_path(folder)
    assert setup_run(probe, setup, "--install-dir", installed, "--silent") == 0
    own = [folder / "data" / "minu.txt", folder / "Märkmed" / "täna.txt"]
    for path in own:
        path.parent.mkdir(exist_ok=True)
        path.write_text("minu oma", "utf-8")
    stale = unix_path(user["temp"]) / "quillomark-removal-4242.exe"
    stale.write_bytes(b"left by an earlier removal")

    # The application holds a file: after the retries the removal stops, and the
    # launcher, the shortcuts and the entry stay for a second removal.
    probe.hold(folder / "data" / "pilt.bin")
    probe.start(folder, folder / "quillomark.exe", "--uninstall")
    assert probe.must("wait-message", 15000)["text"] == QUESTION
    probe.must("click-message", YES)
    held = probe.must("wait-message", 30000, wait_ms=30000)
    assert (held["caption"], held["text"]) == (
        PRODUCT, "Faili ei saanud eemaldada, sest see on kasutusel: data\\pilt.bin. "
        "Sulge rakendus ja proovi uuesti.")
    probe.must("click-message", OK)
    assert probe.wait_exit() == 1
    assert (folder / "quillomark.exe").exists() and entry()["InstallLocation"] == installed
    assert_shortcuts(probe, user, installed)
    assert not stale.exists()

    probe.release(folder / "data" / "pilt.bin")
    first = probe.start(folder, folder / "quillomark.exe", "--uninstall")
    assert probe.must("wait-message", 15000)["text"] == QUESTION
    probe.must("click-message", YES)
    closing = probe.must("wait-message", 30000, wait_ms=30000)
    assert closing["text"] == (f"Rakendus {PRODUCT} on eemaldatud. Kausta {installed} jäid "
                               "failid, mida paigaldus ei loonud: 2.")
    probe.must("click-message", OK)
    assert probe.wait_exit() == 0
    probe.wait_idle()
    assert sorted(path for path in folder.rglob("*") if path.is_file()) == sorted(own)
    assert sorted(path.name for path in folder.iterdir()) == ["Märkmed", "data"]
    assert_no_traces(user)
    assert [path.name for path in removal_copies(user)] == [f"quillomark-removal-{first}.exe"]
