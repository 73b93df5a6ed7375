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
from pathlib import Path

import pytest

from harness import (BASE_URL, INFO, LAUNCHER, TESTAPP, TITLE, WINE_RUN, Record,
                     assert_subsequence, registry, unix_path, version_info,
                     windows_path)

PUBLISH = os.environ.get("QM_PUBLISH", "")
PRODUCT = "Quillo e2e õun"
PUBLISHER = "Õunapuu & Pirn OÜ"
UNINSTALL = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
OUR_KEYS = UNINSTALL.replace("HKCU", "HKEY_CURRENT_USER") + "\\Quillomark-"
# The key that setups made before an entry belonged to its folder.
FORMER_KEY = UNINSTALL + "\\Quillomark-" + hashlib.md5(PRODUCT.encode()).hexdigest()
YES, OK = 6, 1


def question(product=PRODUCT):
    return f"Kas eemaldada rakendus {product} ja kõik selle failid?"


def stamp(out, *options, product=PRODUCT):
    """The launcher of this slot stamped by the publisher."""
    out.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run([PUBLISH, "launcher", "--template", LAUNCHER, "--base-url", BASE_URL,
                    "--unsigned", "--product", product, *options, "--out", out], check=True,
                   capture_output=True)
    return out


def stamp_setup(folder, version="1.0.0.0", product=PRODUCT):
    """The launcher of this slot stamped as the product's setup, as a publisher makes it."""
    return stamp(folder / f"{product}-Setup.exe", "--version", version, "--install-dir",
                 f"%LOCALAPPDATA%\\Programs\\{product}", "--publisher", PUBLISHER,
                 product=product)


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


def entries():
    """Every installation's uninstall entry: {key: values}."""
    return {key: values for key, values in (registry(UNINSTALL) or {}).items()
            if key.startswith(OUR_KEYS)}


def entry_key(installed):
    """The key of the entry that names the installation folder, or None."""
    named = [key for key, values in entries().items()
             if values.get("InstallLocation") == installed]
    assert len(named) <= 1, named
    return named[0] if named else None


def entry(installed):
    """The values of the entry that names the installation folder, or None."""
    key = entry_key(installed)
    return None if key is None else entries()[key]


def shortcut_paths(folders, number=1, product=PRODUCT):
    name = product if number == 1 else f"{product} ({number})"
    return [f"{folders[place]}\\{name}.lnk" for place in ("programs", "desktop")]


def removal_copies(folders):
    return sorted(unix_path(folders["temp"]).glob("quillomark-removal-*.exe"))


@pytest.fixture
def user(probe):
    """The Wine user's folders, without anything of the product from an earlier run."""
    folders = probe.must("folders")
    for key in entries():
        subprocess.run([WINE_RUN, "reg", "delete", key, "/f"], capture_output=True)
    for place in ("programs", "desktop"):
        for path in unix_path(folders[place]).glob("*.lnk"):
            path.unlink()
    (unix_path(folders["temp"]) / "quillomark-setup.log").unlink(missing_ok=True)
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


def assert_shortcuts(probe, folders, installed, number=1):
    launcher = installed + "\\quillomark.exe"
    for path in shortcut_paths(folders, number):
        found = probe.must("shortcut", path)
        assert (found["target"], found["arguments"], found["working_folder"]) == (
            launcher, "", installed), path
        assert (found["description"], found["icon"], found["icon_index"]) == (
            PRODUCT, launcher, 0), path


def assert_no_traces(folders, installed):
    assert entry(installed) is None
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


def silent_removal(probe, folder):
    probe.start(folder, folder / "quillomark.exe", "--uninstall", "--silent")
    assert probe.wait_exit() == 0
    probe.wait_idle()


def setup_log(folders):
    return (unix_path(folders["temp"]) / "quillomark-setup.log").read_text("utf-8")


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
    values = entry(installed)
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
    assert list(entries()) == [entry_key(installed)]

    # Folders that are not an installation's own are refused, and nothing in them
    # is touched: the user's shared folders, a folder of other files, another
    # product's installation (never started in this one's place).
    kept = unix_path(user["temp"]) / "kasutaja fail.txt"
    kept.write_text("minu", "utf-8")
    other_files = tmp_path / "Minu pildid"
    (other_files / "pilt.txt").parent.mkdir()
    (other_files / "pilt.txt").write_text("minu", "utf-8")
    other_product = tmp_path / "Teine toode"
    other_product.mkdir()
    shutil.copy(setup, other_product / "quillomark.exe")
    other_key = UNINSTALL + "\\Quillomark-teine"
    subprocess.run([WINE_RUN, "reg", "add", other_key, "/v", "DisplayName", "/d", "Teine toode",
                    "/f"], check=True, capture_output=True)
    subprocess.run([WINE_RUN, "reg", "add", other_key, "/v", "InstallLocation", "/d",
                    windows_path(other_product), "/f"], check=True, capture_output=True)
    temp = user["temp"].rstrip("\\")
    programs = user["local_app_data"] + "\\Programs"
    for refused in (temp, user["local_app_data"], programs, programs + "\\..\\Documents",
                    windows_path(other_files), windows_path(other_product)):
        assert setup_run(probe, setup, "--install-dir", refused, "--silent") == 1, refused
    assert kept.read_text("utf-8") == "minu"
    assert [path.name for path in other_files.iterdir()] == ["pilt.txt"]
    assert sorted(path.name for path in other_product.iterdir()) == ["quillomark.exe"]
    subprocess.run([WINE_RUN, "reg", "delete", other_key, "/f"], check=True, capture_output=True)
    assert list(entries()) == [entry_key(installed)]
    log = setup_log(user)
    assert f"into {temp} failed: it is the user's shared folder" in log
    assert f"into {user['local_app_data']}\\Documents failed: it is a folder that programs " \
        "share below" in log
    assert f"into {windows_path(other_files)} failed: it holds files of no installation" in log
    assert f"into {windows_path(other_product)} failed: it holds the installation of " \
        "Teine toode" in log

    # A second installation of the product elsewhere: a failed setup takes back only
    # what it made, then one that completes gets an entry and shortcuts of its own,
    # and its removal leaves the first installation's.
    second = tmp_path / "Teine koht"
    site.set_rules({"/download/masterversion": "status=500"})
    assert setup_run(probe, setup, "--install-dir", windows_path(second), "--silent") == 1
    assert not second.exists() and list(entries()) == [entry_key(installed)]
    assert_shortcuts(probe, user, installed)
    site.set_rules({})
    assert setup_run(probe, setup, "--install-dir", windows_path(second), "--silent") == 0
    assert_installed(second, records, setup)
    assert_shortcuts(probe, user, installed)
    assert_shortcuts(probe, user, windows_path(second), number=2)
    assert len(entries()) == 2 and entry(windows_path(second))["DisplayName"] == PRODUCT
    silent_removal(probe, second)
    assert not second.exists() and entry(windows_path(second)) is None
    assert not [path for path in shortcut_paths(user, 2) if unix_path(path).exists()]
    assert_shortcuts(probe, user, installed)
    assert_installed(folder, records, setup)
    assert list(entries()) == [entry_key(installed)]


def test_a_setup_outside_its_installation_does_no_background_mode(site, probe, tmp_path, user):
    """--prepare, --check and --after belong to an installed launcher: a setup started
    with them where it was downloaded (from there, or from another folder) ends with
    2 at once, with no window, no request, no work directory, no log and no
    installation. Inside its installation the same launcher checks and prepares."""
    setup = stamp_setup(tmp_path / "Allalaadimised")
    publish_release(site, setup)
    installed = user["local_app_data"] + "\\Programs\\" + PRODUCT
    folder = unix_path(installed)
    elsewhere = tmp_path / "Töölaud"
    elsewhere.mkdir()
    for current in (setup.parent, elsewhere):
        for mode in (["--prepare"], ["--prepare", "--rate", "64"], ["--check"],
                     ["--after", "4294967295"], ["--silent", "--after", "4294967295"]):
            probe.start(current, setup, *mode)
            assert probe.wait_exit(10000) == 2, (current, mode)
            assert not probe.history()["window_seen"], mode
    assert [path.name for path in setup.parent.iterdir()] == [setup.name]
    assert list(elsewhere.iterdir()) == []
    assert site.requests() == []
    assert not folder.exists()
    assert_no_traces(user, installed)
    assert not (unix_path(user["temp"]) / "quillomark-setup.log").exists()

    assert setup_run(probe, setup, "--silent") == 0
    probe.start(folder, folder / "quillomark.exe", "--check")
    assert probe.wait_exit() == 0
    assert (folder / "ezo-prepare.log").read_text("utf-8").splitlines()[-2].endswith(
        "Check: current 1")
    probe.start(folder, folder / "quillomark.exe", "--prepare")
    assert probe.wait_exit() == 0
    silent_removal(probe, folder)


def test_silent_setup_into_a_chosen_folder_and_silent_removal(site, probe, tmp_path, user):
    """No window at any point, through the self-update that brings the release's
    newer launcher; a server that fails leaves nothing behind; two setups started
    at once give one installation."""
    setup = stamp_setup(tmp_path / "Загрузки")
    newer = stamp_setup(tmp_path / "uus", "1.0.0.1")
    records = publish_release(site, newer)
    folder = tmp_path / "Программы" / "Тест õun"
    installed = windows_path(folder)

    site.set_rules({"/download/masterversion": "status=500"})
    assert setup_run(probe, setup, "--install-dir", installed, "--silent") == 1
    assert probe.history()["visible_windows"] == []
    assert_no_traces(user, installed)
    assert not folder.exists()

    site.set_rules({})
    twin = subprocess.Popen([WINE_RUN, setup, "--silent", "--install-dir", installed])
    assert setup_run(probe, setup, "--silent", "--install-dir", installed) == 0
    assert twin.wait(60) == 0
    assert probe.history()["visible_windows"] == []
    assert_installed(folder, records, newer)
    assert starts(folder) == []
    assert "Launcher update required" in (folder / "ezo.log").read_text("utf-8")
    assert_shortcuts(probe, user, installed)
    assert entry(installed)["InstallLocation"] == installed

    silent_removal(probe, folder)
    assert probe.history()["visible_windows"] == []
    assert not folder.exists()
    assert_no_traces(user, installed)
    assert len(removal_copies(user)) == 1


def former_entry(installed):
    """Moves the installation's entry to the key that setups used to make."""
    key = entry_key(installed)
    subprocess.run([WINE_RUN, "reg", "copy", key, FORMER_KEY, "/s", "/f"], check=True,
                   capture_output=True)
    subprocess.run([WINE_RUN, "reg", "delete", key, "/f"], check=True, capture_output=True)
    assert entry_key(installed) == FORMER_KEY.replace("HKCU", "HKEY_CURRENT_USER")


def removal_to_message(probe, folder, product=PRODUCT):
    """Starts a removal, says yes, and returns the message it ends with (clicked away)."""
    probe.start(folder, folder / "quillomark.exe", "--uninstall")
    assert probe.must("wait-message", 15000)["text"] == question(product)
    probe.must("click-message", YES)
    message = probe.must("wait-message", 30000, wait_ms=30000)
    probe.must("click-message", OK)
    return message


def held_text(name):
    return f"Faili ei saanud eemaldada, sest see on kasutusel: {name}. Sulge rakendus ja proovi uuesti."


def test_removal_waits_for_held_files_and_keeps_the_users_files(site, probe, tmp_path, user):
    """A removal that cannot take something away stops with the launcher, the entry
    and the shortcuts in place, and a second removal finishes. The installation was
    made under the former entry key and its product renamed since."""
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
    running = unix_path(user["temp"]) / "quillomark-removal-4243.exe"
    shutil.copy(TESTAPP, running)
    probe.must("park", user["temp"], f"{user['temp']}\\{running.name}")
    (folder / "data" / "sõnad.txt").chmod(0o444)
    deep = folder / "Temp" / ("sügav kaust " * 12).strip() / ("veel sügavam " * 12).strip()
    deep.mkdir(parents=True)
    (deep / "pooleli.bin").write_bytes(b"half")
    assert len(windows_path(deep / "pooleli.bin")) > 300

    # A rebrand: the installed launcher now carries another product's name, and still
    # finds the entry (made under the former key) and the shortcuts its setup made.
    former_entry(installed)
    renamed = "Quillo uus nimi"
    shutil.copy(stamp_setup(tmp_path / "uus", product=renamed), folder / "quillomark.exe")
    probe.start(folder, folder / "quillomark.exe", "--silent")
    assert probe.wait_exit() == 0
    probe.wait_idle()
    assert entry(installed)["DisplayName"] == renamed

    # The application holds a file: after the retries the removal stops, and the
    # launcher, the shortcuts and the entry stay for a second removal.
    probe.hold(folder / "data" / "pilt.bin")
    held = removal_to_message(probe, folder, renamed)
    assert (held["caption"], held["text"]) == (renamed, held_text("data\\pilt.bin"))
    assert probe.wait_exit() == 1
    assert (folder / "quillomark.exe").exists() and entry(installed) is not None
    assert_shortcuts(probe, user, installed)
    assert not stale.exists() and running.exists()

    # A shortcut held open: the launcher and the entry stay until it can go.
    probe.release(folder / "data" / "pilt.bin")
    desktop = shortcut_paths(user)[1]
    probe.hold(unix_path(desktop))
    assert removal_to_message(probe, folder, renamed)["text"] == held_text(desktop)
    probe.wait_idle()
    assert (folder / "quillomark.exe").exists() and entry(installed) is not None

    probe.release(unix_path(desktop))
    first = probe.start(folder, folder / "quillomark.exe", "--uninstall")
    assert probe.must("wait-message", 15000)["text"] == question(renamed)
    probe.must("click-message", YES)
    closing = probe.must("wait-message", 30000, wait_ms=30000)
    assert closing["text"] == (f"Rakendus {renamed} on eemaldatud. Kausta {installed} jäid "
                               "failid, mida paigaldus ei loonud: 2.")
    probe.must("click-message", OK)
    assert probe.wait_exit() == 0
    probe.wait_idle()
    assert sorted(path for path in folder.rglob("*") if path.is_file()) == sorted(own)
    assert sorted(path.name for path in folder.iterdir()) == ["Märkmed", "data"]
    assert_no_traces(user, installed)
    assert sorted(path.name for path in removal_copies(user)) == sorted(
        [f"quillomark-removal-{first}.exe", running.name])


def own_table(folder, replaced):
    """The built-in English table with some texts of the publisher's own."""
    english = (Path(__file__).resolve().parents[2] / "resources" / "texts" / "en.txt").read_text()
    lines = [replaced.get(line.split("=")[0], line) for line in english.splitlines()]
    path = folder / "latviešu.txt"
    path.write_text("\n".join(lines) + "\n", "utf-8")
    return path


def test_the_stamped_language_or_the_publishers_table_speaks_from_start_to_removal(
        site, probe, tmp_path, user):
    """An English launcher installs with English texts; stamped with a table of the
    publisher's own, the same installation's removal asks and reports in it."""
    folder = tmp_path / "Programs" / "App"
    launcher = stamp(folder / "quillomark.exe", "--language", "en")
    publish_release(site, launcher)
    probe.start(folder, launcher)
    assert probe.wait_exit(60000) == 0
    probe.wait_idle(60000)
    texts = probe.history()["texts"]
    assert "Updating files" in texts[str(TITLE)]
    assert_subsequence(texts[str(TITLE)], ["", "Checking for updates...", "Updating files", "DONE"])
    assert all(text in ("info", "", "All files are up to date")
               or text.startswith(("Checking: ", "Downloading: "))
               for text in texts[str(INFO)]), texts[str(INFO)]
    assert len(starts(folder)) == 1

    question_text = "Vai noņemt %s un visus tā failus?"
    done_text = "%s ir noņemts. Mapē %s palika faili, ko instalēšana neizveidoja: %d."
    stamp(folder / "quillomark.exe", "--texts", own_table(tmp_path, {
        "removal_question": "removal_question=" + question_text,
        "removal_done_files_left": "removal_done_files_left=" + done_text}))
    probe.start(folder, folder / "quillomark.exe", "--uninstall")
    assert probe.must("wait-message", 15000)["text"] == f"Vai noņemt {PRODUCT} un visus tā failus?"
    probe.must("click-message", YES)
    message = probe.must("wait-message", 30000, wait_ms=30000)
    probe.must("click-message", OK)
    assert message["text"].startswith(f"{PRODUCT} ir noņemts. Mapē {windows_path(folder)}")
