"""Signed releases: a launcher built with the publisher's public key and its product
installs what that key signed for that product, and refuses records that are
unsigned, signed by another key, past their expiry or made for another product,
without touching the installation. A launcher built without a
key takes the same unsigned tree as it comes."""

import hashlib
import os
import random
import re
import shutil
import subprocess
from datetime import timedelta
from pathlib import Path

import pytest

from harness import (BASE_URL, FRESH_SUFFIX, INFO, STRINGS, TESTAPP, TITLE, Record, Run, bsdiff,
                     check, version_info)
from signing import NEXT_QUARTER, ReleaseKey, expires_in, strong_digests_of, unsigned_master

RELEASE_KEY = ReleaseKey.labelled("quillomark e2e release key")
NEW_KEY = ReleaseKey.labelled("quillomark e2e new release key")
PRODUCT = "$product=Õunaraamat"
OTHER_KEY = ReleaseKey.labelled("quillomark e2e other key")
UNSIGNED_LAUNCHER = Path(os.environ.get("QM_E2E_UNSIGNED_LAUNCHER", ""))
LAUNCHER = Path(os.environ.get("QM_E2E_LAUNCHER", ""))
PUBLISH = os.environ.get("QM_PUBLISH", "")
NOTES = b"Versioon 2: allkirjastatud"
EVIL = b"MZ not what the publisher released"


def version_1():
    generator = random.Random(1)
    return [Record("app.exe", TESTAPP.read_bytes(), compressed=True),
            Record("data.bin", generator.randbytes(200_000)),
            Record("readme.txt", b"Versioon 1\r\n")]


def version_2():
    data = bytearray(version_1()[1].content)
    data[1000:1100] = bytes(100)
    return [Record("app.exe", TESTAPP.read_bytes(), compressed=True),
            Record("data.bin", bytes(data), compressed=True),
            Record("readme.txt", b"Versioon 2\r\n"),
            Record("new.txt", "uus fail õunaga\r\n".encode("utf-8"))]


def publish_signed(site, tmp_path, key=RELEASE_KEY, expires=expires_in(NEXT_QUARTER)):
    """Version 2 with the patch set 1_2, signed with the key for the product."""
    site.master(2, patches=["1_2"], force_notes=True, extra=PRODUCT + expires)
    site.version(2, version_2(), notes=NOTES)
    site.patch_set(1, 2, {"data.bin": bsdiff(version_1()[1].content, version_2()[1].content,
                                             tmp_path / "patch")})
    key.sign_tree(site.download)


def installed(tmp_path, install_dir, launcher=None):
    installation = install_dir("Quillo mark")
    if launcher:
        shutil.copyfile(launcher, installation.path / "quillomark.exe")
    installation.install(1, version_1())
    return installation


def snapshot(installation):
    return {path.relative_to(installation.path): path.read_bytes()
            for path in installation.path.rglob("*") if path.is_file() and path.name != "ezo.log"}


def swap_data_file(site):
    """An attacker's tree, consistent in itself: data.bin replaced together with its record."""
    records = [record if record.name != "data.bin" else Record("data.bin", EVIL)
               for record in version_2()]
    site.put("2/data.bin", EVIL)
    site.put("2/versioninfo.vif", version_info(2, records))
    return records


def refusals(log):
    return [text for text in log.texts() if text.startswith("Refused ")]


def test_launcher_key_is_the_test_release_key():
    assert os.environ["QM_E2E_RELEASE_KEY"] == RELEASE_KEY.public_hex


def test_a_signed_release_installs_with_its_patch_set(site, probe, install_dir, tmp_path):
    installation = installed(tmp_path, install_dir)
    publish_signed(site, tmp_path)
    assert check(probe, installation) == (10, "available 2")

    run = Run(probe, installation)
    probe.wait_notes(1)
    probe.wait_text(TITLE, "VALMIS")
    probe.click_notes_ok()
    assert run.finish() == 0
    assert probe.history()["notes_seen"] == [NOTES.decode("utf-8")]
    assert len(installation.starts()) == 1
    for record in version_2():
        assert installation.file(record.name).read_bytes() == record.content, record.name
    assert (installation.path / "versioninfo.vif").read_bytes() == version_info(2, version_2())

    requests = site.requests()
    assert "/download/masterversion.sig" not in requests
    for path in ["2/versioninfo.vif", "2/changes.txt", "1_2/versioninfo.vif"]:
        assert requests.index(f"/download/{path}.sig") == requests.index(f"/download/{path}") + 1
    assert "/download/1_2/data.bin" in requests and "/download/2/data.bin" not in requests
    assert refusals(run.log()) == []
    assert check(probe, installation) == (0, "current 2")


def unsigned_swap(site):
    swap_data_file(site)


def unsigned_swap_without_signature(site):
    swap_data_file(site)
    (site.download / "2" / "versioninfo.vif.sig").unlink()


def record_of_another_version(site):
    """A genuinely signed record, but of the installed version: it would end the run
    with nothing to update."""
    site.put("2/versioninfo.vif", version_info(1, version_1()))
    RELEASE_KEY.sign_tree(site.download)


def master_without_signature(site):
    site.put("masterversion", unsigned_master(site.served("masterversion")))


def master_signed_the_old_way(site):
    """What launchers before the signature piece read: a detached masterversion.sig."""
    master_without_signature(site)
    site.put("masterversion.sig", RELEASE_KEY.signature(site.served("masterversion")))


def master_piece_added_after_signature(site):
    site.put("masterversion", site.served("masterversion") + b"$startapp=evil.exe")


def expired_master(site):
    site.master(2, patches=["1_2"], extra=PRODUCT + expires_in(-timedelta(minutes=1)))
    RELEASE_KEY.sign_tree(site.download)


def master_with_a_value_holding_a_piece(site):
    """What a publisher that let "$" into a value would sign: the later version wins."""
    site.master(2, startapp="app.exe$version=1", patches=["1_2"],
                extra=PRODUCT + expires_in(NEXT_QUARTER))
    RELEASE_KEY.sign_tree(site.download)


def master_without_expiry(site):
    site.master(2, patches=["1_2"], extra=PRODUCT)
    RELEASE_KEY.sign_tree(site.download)


def another_key(site):
    OTHER_KEY.sign_tree(site.download)


def another_product(site):
    """Another product's release under the same key, served at this one's address."""
    site.master(2, patches=["1_2"], extra="$product=Teine toode" + expires_in(NEXT_QUARTER))
    RELEASE_KEY.sign_tree(site.download)


def master_without_product(site):
    site.master(2, patches=["1_2"], extra=expires_in(NEXT_QUARTER))
    RELEASE_KEY.sign_tree(site.download)


def strong_digests_of_another_product(site):
    """Another product's genuine version record under the same key, under this
    product's genuine master record."""
    record = site.download / "2" / "versioninfo.vif"
    record.with_name("versioninfo.sha256").write_bytes(
        strong_digests_of(record.parent, "Teine toode"))
    RELEASE_KEY.sign_tree(site.download, strong_digests=False)


def strong_digests_of_another_version(site):
    path = site.download / "2" / "versioninfo.sha256"
    path.write_bytes(path.read_bytes().replace(
        f"{hashlib.sha256(b'2').hexdigest()} *version 2\n".encode(),
        f"{hashlib.sha256(b'3').hexdigest()} *version 3\n".encode()))
    RELEASE_KEY.sign_tree(site.download, strong_digests=False)


def without_strong_digests(site):
    """A tree signed as launchers without SHA-256 checks took it."""
    for name in ["2/versioninfo.sha256", "2/versioninfo.sha256.sig"]:
        (site.download / name).unlink()


def strong_digests_without_a_file(site):
    path = site.download / "2" / "versioninfo.sha256"
    path.write_bytes(b"".join(line for line in path.read_bytes().splitlines(keepends=True)
                              if not line.endswith(b" new.txt\n")))
    RELEASE_KEY.sign_tree(site.download, strong_digests=False)


MASTER_FAILED = "Põhiversiooni info allalaadimine ebaõnnestus!"
VERSION_INFO_FAILED = "Viga serverist versiooni info saamisel!"

REFUSED_SIGNATURE, EXPIRED, DAMAGED = "refused signature", "expired record", "damaged record"

# A change to the signed release, the text the launcher ends with, the reason logged
# and the reason that --check answers with.
REFUSED = {
    "file swapped with its record": (unsigned_swap, VERSION_INFO_FAILED,
                                     "2/versioninfo.vif: wrong signature", REFUSED_SIGNATURE),
    "record swapped, signature gone": (unsigned_swap_without_signature, VERSION_INFO_FAILED,
                                       "2/versioninfo.vif: no signature", REFUSED_SIGNATURE),
    "record of another version": (record_of_another_version, VERSION_INFO_FAILED,
                                  "2/versioninfo.vif: states version 1, the master record 2",
                                  DAMAGED),
    "master record unsigned": (master_without_signature, MASTER_FAILED,
                               "masterversion: no signature", REFUSED_SIGNATURE),
    "master record signed the old way": (master_signed_the_old_way, MASTER_FAILED,
                                         "masterversion: no signature", REFUSED_SIGNATURE),
    "piece after the signature": (master_piece_added_after_signature, MASTER_FAILED,
                                  "masterversion: no signature", REFUSED_SIGNATURE),
    "no SHA-256 record": (without_strong_digests, VERSION_INFO_FAILED,
                          "2/versioninfo.sha256: a signed release needs its SHA-256 record",
                          REFUSED_SIGNATURE),
    "SHA-256 record without a file": (strong_digests_without_a_file, VERSION_INFO_FAILED,
                                      "2/versioninfo.sha256: no SHA-256 of new.txt", DAMAGED),
    "SHA-256 record of another product": (strong_digests_of_another_product, VERSION_INFO_FAILED,
                                          "2/versioninfo.sha256: made for product Teine toode",
                                          REFUSED_SIGNATURE),
    "SHA-256 record of another version": (strong_digests_of_another_version, VERSION_INFO_FAILED,
                                          "2/versioninfo.sha256: made for version 3",
                                          REFUSED_SIGNATURE),
    "master record expired": (expired_master, MASTER_FAILED, "masterversion: expired", EXPIRED),
    "a key given twice": (master_with_a_value_holding_a_piece, MASTER_FAILED,
                          'masterversion: key "version" appears twice', DAMAGED),
    "master record without expiry": (master_without_expiry, MASTER_FAILED,
                                     "masterversion: no expiry date", EXPIRED),
    "signed with another key": (another_key, MASTER_FAILED, "masterversion: wrong signature",
                                REFUSED_SIGNATURE),
    "made for another product": (another_product, MASTER_FAILED,
                                 "masterversion: made for product Teine toode", REFUSED_SIGNATURE),
    "made for no product": (master_without_product, MASTER_FAILED,
                            "masterversion: made for product (none)", REFUSED_SIGNATURE),
}


@pytest.mark.parametrize("change", REFUSED)
def test_a_refused_record_ends_the_run_before_any_file(site, probe, install_dir, tmp_path,
                                                       change):
    tamper, text, reason, check_reason = REFUSED[change]
    installation = installed(tmp_path, install_dir)
    publish_signed(site, tmp_path)
    tamper(site)
    before = snapshot(installation)

    run = Run(probe, installation)
    probe.wait_text(INFO, text)
    probe.wait_view(title="Versiooni kontrollimine...")
    log = run.cancel()

    assert snapshot(installation) == before
    assert installation.starts() == []
    assert not [path for path in site.requests() if not path.endswith(
        ("masterversion", "versioninfo.vif", "versioninfo.vif.sig", "versioninfo.vif.sigs",
         "versioninfo.sha256", "versioninfo.sha256.sig"))]
    (refusal,) = refusals(log)
    assert refusal.startswith(f"Refused {BASE_URL}{reason}"), refusal
    assert check(probe, installation) == (1, f"failed {check_reason}")


def test_a_file_with_the_right_md5_but_another_sha256_is_never_installed(site, probe, install_dir,
                                                                         tmp_path):
    """What an MD5 twin of a released file looks like to the launcher: its record's MD5
    holds, the signed SHA-256 does not. Neither the patch nor the whole file is taken."""
    installation = installed(tmp_path, install_dir)
    publish_signed(site, tmp_path)
    path = site.download / "2" / "versioninfo.sha256"
    data_line = next(line for line in path.read_text().splitlines() if line.endswith(" data.bin")
                     and line.startswith("file "))
    twin = hashlib.sha256(b"an MD5 twin").hexdigest()
    path.write_text(path.read_text().replace(data_line, f"file {twin} data.bin"))
    RELEASE_KEY.sign_tree(site.download, strong_digests=False)

    run = Run(probe, installation)
    probe.wait_text(TITLE, "VIGA!")
    probe.wait_view(info=STRINGS[105])
    log = run.cancel()

    assert installation.file("data.bin").read_bytes() == version_1()[1].content
    assert (installation.path / "versioninfo.vif").read_bytes() == version_info(1, version_1())
    assert installation.starts() == []
    actual = hashlib.sha256(version_2()[1].content).hexdigest()
    failures = [text for text in log.texts() if text.startswith("SHA-256 check failed: ")]
    assert [bool(re.search(f"data\\.bin{FRESH_SUFFIX} is {actual}, its record {twin}$", text))
            for text in failures] == [True, True], failures
    assert "/download/1_2/data.bin" in site.requests() and "/download/2/data.bin" in site.requests()


def test_a_replayed_older_release_is_refused_and_the_same_one_still_starts(
        site, probe, install_dir):
    installation = install_dir("Quillo mark")
    installation.install(2, version_2())
    site.master(1, extra=PRODUCT + expires_in(NEXT_QUARTER))
    site.version(1, version_1())
    RELEASE_KEY.sign_tree(site.download)
    before = snapshot(installation)

    run = Run(probe, installation)
    probe.wait_text(INFO, MASTER_FAILED)
    log = run.cancel()
    assert snapshot(installation) == before
    assert installation.starts() == []
    assert site.requests() == ["/download/masterversion"]
    assert refusals(log) == [f"Refused {BASE_URL}masterversion: version 1 is lower than the "
                             "installed version 2"]

    site.master(2, extra=PRODUCT + expires_in(NEXT_QUARTER))
    site.version(2, version_2())
    RELEASE_KEY.sign_tree(site.download)
    run = Run(probe, installation)
    probe.wait_text(TITLE, "Uuendusi ei leitud")
    assert run.finish() == 0
    assert len(installation.starts()) == 1
    after = snapshot(installation)
    del after[Path("started.txt")]
    assert after == before


def damage_settings(launcher, old, new):
    """The launcher's settings record edited in place, in bytes of the same length."""
    image = launcher.read_bytes()
    assert image.count(old) == 1
    launcher.write_bytes(image.replace(old, new))


SETTINGS_DAMAGE = {
    "format version": (b"quillomark-config 1\n", b"quillomark-config 9\n",
                       "the first line is not \"quillomark-config 1\""),
    "key": (f"public_key={RELEASE_KEY.public_hex}".encode(),
            f"public_key={RELEASE_KEY.public_hex[:-1]}g".encode(),
            "public_key is not one to four keys of 64 lower-case hex digits, separated by commas"),
    "record renamed away": (b"Q\0U\0I\0L\0L\0O\0M\0A\0R\0K\0_\0C\0O\0N\0F\0I\0G\0",
                            b"Q\0U\0I\0L\0L\0O\0M\0A\0R\0K\0_\0C\0O\0N\0F\0I\0X\0",
                            "the launcher has no settings record"),
}


@pytest.mark.parametrize("damage", SETTINGS_DAMAGE)
def test_a_damaged_settings_record_stops_before_any_request(site, probe, install_dir, tmp_path,
                                                            damage):
    old, new, reason = SETTINGS_DAMAGE[damage]
    installation = installed(tmp_path, install_dir)
    damage_settings(installation.path / "quillomark.exe", old, new)
    publish_signed(site, tmp_path)
    before = snapshot(installation)

    run = Run(probe, installation)
    probe.wait_text(INFO, "Viga versiooni laadimisel!")
    log = run.cancel()

    assert snapshot(installation) == before
    assert site.requests() == []
    assert f"Settings record unusable: {reason}" in log.texts()


def test_unsigned_patch_set_and_notes_leave_whole_files_and_no_notes(site, probe, install_dir,
                                                                     tmp_path):
    installation = installed(tmp_path, install_dir)
    publish_signed(site, tmp_path)
    (site.download / "1_2" / "versioninfo.vif.sig").write_bytes(
        OTHER_KEY.signature(site.served("1_2/versioninfo.vif")))
    (site.download / "2" / "changes.txt.sig").unlink()

    run = Run(probe, installation)
    probe.wait_notes(1)
    probe.wait_text(TITLE, "VALMIS")
    probe.click_notes_ok()
    assert run.finish() == 0
    # The release notes count as absent, as when the server has none.
    assert probe.history()["notes_seen"] == [""]
    for record in version_2():
        assert installation.file(record.name).read_bytes() == record.content, record.name
    requests = site.requests()
    assert "/download/2/data.bin" in requests and "/download/1_2/data.bin" not in requests
    assert refusals(run.log()) == [f"Refused {BASE_URL}2/changes.txt: no signature",
                                   f"Refused {BASE_URL}1_2/versioninfo.vif: wrong signature (this "
                                   f"launcher holds the keys {RELEASE_KEY.public_hex[:16]}; signed by "
                                   "keys it does not name)"]


def test_a_launcher_without_key_takes_the_unsigned_tree(site, probe, install_dir, tmp_path):
    installation = installed(tmp_path, install_dir, launcher=UNSIGNED_LAUNCHER)
    publish_signed(site, tmp_path)
    records = swap_data_file(site)
    for signature in site.download.rglob("*.sig"):
        signature.unlink()

    run = Run(probe, installation)
    probe.wait_notes(1)
    probe.wait_text(TITLE, "VALMIS")
    probe.click_notes_ok()
    assert run.finish() == 0
    assert installation.file("data.bin").read_bytes() == EVIL
    assert (installation.path / "versioninfo.vif").read_bytes() == version_info(2, records)
    assert not [path for path in site.requests() if path.endswith(".sig")]


def test_a_new_release_key_reaches_every_installation_that_updates_in_time(
        site, probe, install_dir, tmp_path):
    """Changing the release key as the README tells: releases 2 and 3 are signed by the
    old and the new key and ship a launcher holding both, release 4 is signed by the
    new key alone and ships a launcher holding only it. An installation that ran at 3
    reaches 4; one that went from 1 straight to 4 is refused and says why."""
    def publish(*arguments):
        subprocess.run([PUBLISH, *map(str, arguments)], check=True, capture_output=True)

    def stamped(name, *keys):
        out = tmp_path / name / "quillomark.exe"
        out.parent.mkdir()
        publish("launcher", "--template", LAUNCHER, "--base-url", BASE_URL, "--product",
                PRODUCT.partition("=")[2], "--out", out,
                *[part for key in keys for part in ("--key", key.public_hex)])
        return out

    old_key = RELEASE_KEY.write_key_file(tmp_path / "old.key")
    new_key = NEW_KEY.write_key_file(tmp_path / "new.key")
    old, both, new = (stamped("old", RELEASE_KEY), stamped("both", RELEASE_KEY, NEW_KEY),
                      stamped("new", NEW_KEY))
    releases = {1: (old, [old_key]), 2: (both, [old_key, new_key]), 3: (both, [old_key, new_key]),
                4: (new, [new_key])}

    def release(number):
        launcher, keys = releases[number]
        folder = tmp_path / f"release-{number}"
        folder.mkdir()
        (folder / "app.exe").write_bytes(TESTAPP.read_bytes())
        (folder / "readme.txt").write_bytes(f"Versioon {number}\r\n".encode())
        publish("release", folder, "--tree", site.download, "--startapp", "app.exe",
                "--launcher", launcher, *[part for key in keys for part in ("--sign", key)])

    def assert_at(installation, number):
        assert installation.file("readme.txt").read_bytes() == f"Versioon {number}\r\n".encode()
        assert installation.launcher == releases[number][0].read_bytes()

    release(1)
    on_time, late = install_dir("on time"), install_dir("late")
    for installation in (on_time, late):
        shutil.copyfile(old, installation.path / "quillomark.exe")
        assert Run(probe, installation).finish() == 0
        assert_at(installation, 1)
    release(2)
    release(3)
    assert Run(probe, on_time).finish() == 0
    assert_at(on_time, 3)
    release(4)
    assert Run(probe, on_time).finish() == 0
    assert_at(on_time, 4)
    assert refusals(on_time.log()) == []

    (late.path / "ezo.log").unlink()
    run = Run(probe, late)
    probe.wait_text(INFO, MASTER_FAILED)
    log = run.cancel()
    assert_at(late, 1)
    assert refusals(log) == [
        f"Refused {BASE_URL}masterversion: wrong signature (this launcher holds the keys "
        f"{RELEASE_KEY.public_hex[:16]}; signed by {NEW_KEY.public_hex[:16]})"]
