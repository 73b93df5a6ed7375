"""quillomark-publish signing releases: keygen, --sign on every command that writes
a record, and verify --key on good and damaged trees. Signatures are checked with
libsodium directly, apart from the publisher."""

import hashlib
import re
import shutil
import stat
import sys
import urllib.error
import urllib.request
from datetime import datetime, timedelta, timezone
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))
sys.path.insert(0, str(Path(__file__).parents[1] / "e2e"))

from publish_tree import LINUX_PUBLISH, Record, make_release, md5, publish, read_vif, write_vif  # noqa: E402
from signing import (ReleaseKey, master_signed_by, signature_matches, strong_digests_of,  # noqa: E402
                     unsigned_master)
from tls import Nginx, free_port, http_server, serve_tree  # noqa: E402

SIGNED = ["1/versioninfo.vif", "1/changes.txt", "1/versioninfo.sha256", "2/versioninfo.vif",
          "2/changes.txt", "2/versioninfo.sha256", "1_2/versioninfo.vif", "1_2/versioninfo.sha256"]


def keygen(path):
    public = publish("keygen", "--out", path).stdout.strip()
    assert re.fullmatch("[0-9a-f]{64}", public), public
    return public


@pytest.fixture(scope="module")
def signed_once(tmp_path_factory):
    """Versions 1 and 2 released with --sign, and the key's file and public half."""
    folder = tmp_path_factory.mktemp("signed")
    key = folder / "release.key"
    public = keygen(key)
    tree = folder / "tree"
    first = make_release(folder / "one", {"app.exe": b"app one\n" * 500, "a.txt": b"a\n"})
    second = make_release(folder / "two", {"app.exe": b"app two\n" * 500, "a.txt": b"a\n"})
    publish("release", first, "--tree", tree, "--startapp", "app.exe", "--sign", key)
    publish("release", second, "--tree", tree, "--startapp", "app.exe", "--sign", key)
    return tree, key, public


@pytest.fixture
def signed(signed_once, tmp_path):
    tree, key, public = signed_once
    shutil.copytree(tree, tmp_path / "tree")
    return tmp_path / "tree", key, public


def test_keygen_writes_a_private_key_once(tmp_path):
    key = tmp_path / "release.key"
    public = keygen(key)
    mode = stat.S_IMODE(key.stat().st_mode)
    # Wine maps the Windows publisher's one-user access list to the group's bits too.
    assert mode == 0o600 or (LINUX_PUBLISH and mode & 0o707 == 0o600), oct(mode)
    assert ReleaseKey.from_key_file(key).public_hex == public
    before = key.read_bytes()
    result = publish("keygen", "--out", key, check_status=2)
    assert "never overwritten" in result.stderr
    assert key.read_bytes() == before
    assert keygen(tmp_path / "other.key") != public
    assert publish("keygen", "--help").stdout.startswith("usage: quillomark-publish keygen")


def test_every_record_is_signed_and_the_master_expires_in_90_days(signed):
    tree, key, public = signed
    for name in SIGNED:
        signature = (tree / (name + ".sig")).read_bytes()
        assert signature_matches(public, (tree / name).read_bytes(), signature), name
    assert sorted(str(p.relative_to(tree)) for p in tree.rglob("*.sig")) == \
        sorted(name + ".sig" for name in SIGNED)
    for directory in ["1", "2", "1_2"]:
        assert (tree / directory / "versioninfo.sha256").read_bytes() == \
            strong_digests_of(tree / directory), directory
    master = (tree / "masterversion").read_bytes()
    assert master_signed_by(public, master)
    expires = re.fullmatch(r"version=2\$patches=1_2\$startapp=app\.exe\$force_releasenotes=0"
                           r"\$expires=(\S+)\$keys=" + public[:16] + r"\$sig=[0-9a-f]{128}",
                           master.decode()).group(1)
    ahead = datetime.strptime(expires, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=timezone.utc) - \
        datetime.now(timezone.utc)
    assert timedelta(days=89, hours=23) < ahead <= timedelta(days=90)
    assert publish("verify", tree, "--key", public).stdout == ""


def test_each_command_signs_what_it_writes(signed):
    tree, key, public = signed
    source = make_release(tree.parent / "three", {"app.exe": b"app three\n" * 500})
    publish("version", source, "--tree", tree, "--version", "3", "--sign", key)
    publish("patch", tree, "--from", "2", "--to", "3", "--sign", key)
    (tree / "masterversion.sig").write_bytes(b"left by a publisher of the old way")
    publish("master", tree, "--version", "3", "--startapp", "app.exe", "--sign", key,
            "--expires", "2099-12-31T23:59:59Z")
    master = (tree / "masterversion").read_bytes()
    assert unsigned_master(master).endswith(b"$expires=2099-12-31T23:59:59Z")
    assert master_signed_by(public, master)
    assert not (tree / "masterversion.sig").exists()
    for name in ["3/versioninfo.vif", "3/changes.txt", "2_3/versioninfo.vif"]:
        assert signature_matches(public, (tree / name).read_bytes(),
                                 (tree / (name + ".sig")).read_bytes()), name
    assert publish("verify", tree, "--key", public).stdout == ""


def changed_master(tree, key):
    text = (tree / "masterversion").read_text()
    (tree / "masterversion").write_text(text.replace("startapp=app.exe", "startapp=a.txt"))
    return "masterversion: is not signed with the key"


def changed_version_record(tree, key):
    """A record swapped together with its file: consistent, but not what was signed."""
    version, records = read_vif(tree / "2" / "versioninfo.vif")
    (tree / "2" / "a.txt").write_bytes(b"swapped\n")
    write_vif(tree / "2" / "versioninfo.vif", version,
              [record if record.name != "a.txt" else Record("a.txt", 8, 0, md5(b"swapped\n"))
               for record in records])
    return "2/versioninfo.vif: is not signed with the key"


def missing_signature(tree, key):
    (tree / "2" / "changes.txt.sig").unlink()
    return "2/changes.txt: has no signature (2/changes.txt.sig: "


def expired_master(tree, key):
    text = (tree / "masterversion").read_text()
    past = "2020-01-01T00:00:00Z"
    (tree / "masterversion").write_text(re.sub(r"expires=\S+", "expires=" + past, text))
    ReleaseKey.from_key_file(key).sign_tree(tree)
    return f"masterversion: expired (expires={past})"


def master_without_expiry(tree, key):
    text = (tree / "masterversion").read_text()
    (tree / "masterversion").write_text(re.sub(r"\$expires=\S+", "", text))
    ReleaseKey.from_key_file(key).sign_tree(tree)
    return "masterversion: no expiry date (expires=)"


def signed_the_old_way(tree, key):
    """A master record signed before it carried its own signature."""
    path = tree / "masterversion"
    path.write_bytes(unsigned_master(path.read_bytes()))
    (tree / "masterversion.sig").write_bytes(
        ReleaseKey.from_key_file(key).signature(path.read_bytes()))
    return "masterversion: is signed the old way, in a separate masterversion.sig: sign it again"


def rebound(tree, key, directory, versions, product=None):
    """The directory's SHA-256 record made for other versions or product, signed again."""
    path = tree / directory / "versioninfo.sha256"
    path.write_bytes(strong_digests_of(tree / directory, product, versions))
    ReleaseKey.from_key_file(key).sign_tree(tree, strong_digests=False)


def record_of_another_version(tree, key):
    rebound(tree, key, "1_2", "1 3")
    return '1_2/versioninfo.sha256: names the version "1 3" instead of "1 2"'


def record_of_another_product(tree, key):
    publish("master", tree, "--version", "2", "--startapp", "app.exe", "--product", "A",
            "--sign", key)
    rebound(tree, key, "2", "2", product="B")
    return '2/versioninfo.sha256: names the product "B", the master record "A"'


def another_key(tree, key):
    ReleaseKey.labelled("someone else").sign_tree(tree)
    return "1_2/versioninfo.vif: is not signed with the key"


DAMAGE = [changed_master, changed_version_record, missing_signature, expired_master,
          master_without_expiry, signed_the_old_way, another_key, record_of_another_version,
          record_of_another_product]


@pytest.mark.parametrize("damage", DAMAGE, ids=[d.__name__ for d in DAMAGE])
def test_verify_with_the_key_names_each_fault(signed, damage):
    tree, key, public = signed
    expected = damage(tree, key)
    faults = publish("verify", tree, "--key", public, check_status=1).stdout.splitlines()
    assert any(line.startswith(expected) for line in faults), faults
    # Without the key the tree is whole.
    assert publish("verify", tree).stdout == ""


def test_revert_refuses_a_file_that_its_sha256_record_does_not_name(signed):
    """An MD5 twin of a file of version 1: revert signs nothing it cannot prove."""
    tree, key, public = signed
    path = tree / "1" / "versioninfo.sha256"
    twin = hashlib.sha256(b"an MD5 twin").hexdigest()
    path.write_text(re.sub(r"^file \S+ a\.txt$", f"file {twin} a.txt", path.read_text(),
                           flags=re.M))
    before = sorted(tree.rglob("*"))
    refused = publish("revert", tree, "--to", "1", "--sign", key, check_status=2)
    assert "1/a.txt does not hold the file that its SHA-256 record (versioninfo.sha256) names" \
        in refused.stderr.replace("\\", "/")
    assert sorted(tree.rglob("*")) == before


def test_rollout_rewrites_only_its_piece_and_signs_it_again(signed, tmp_path):
    tree, key, public = signed
    path = tree / "masterversion"
    released = path.read_bytes()
    publish("rollout", tree, "--percent", "10", "--sign", key)
    halted = path.read_bytes()
    assert unsigned_master(halted) == \
        unsigned_master(released).replace(b"$expires=", b"$rollout=10$expires=")
    publish("rollout", tree, "--percent", "100", "--sign", key)
    widened = path.read_bytes()
    assert unsigned_master(widened) == unsigned_master(halted).replace(b"=10$", b"=100$")
    assert master_signed_by(public, widened)
    result = publish("verify", tree, "--key", public)
    assert result.stdout == ""
    assert "verify: version 2 is offered to 100% of the installations\n" in result.stderr

    other = tmp_path / "other.key"
    keygen(other)
    for arguments, message in [
        (["--percent", "50"], "the master record is signed: give --sign KEYFILE"),
        (["--percent", "50", "--sign", other], "the master record is not signed with this key"),
        (["--percent", "101", "--sign", key], "take a whole number from 0 to 100"),
    ]:
        result = publish("rollout", tree, *arguments, check_status=2)
        assert message in result.stderr, (arguments, result.stderr)
    assert path.read_bytes() == widened
    expired = expired_master(tree, key)
    refused = publish("rollout", tree, "--percent", "50", "--sign", key, check_status=2)
    assert expired.split(": ")[1] in refused.stderr, refused.stderr
    path.write_bytes(unsigned_master(widened))
    refused = publish("rollout", tree, "--percent", "50", "--sign", key, check_status=2)
    assert "the master record is unsigned" in refused.stderr
    assert path.read_bytes() == unsigned_master(widened)


def test_signing_bad_inputs_are_refused_with_status_2(signed):
    tree, key, public = signed
    source = make_release(tree.parent / "three", {"app.exe": b"app"})
    before = sorted(tree.rglob("*"))
    for arguments, message in [
        (["release", source, "--tree", tree, "--startapp", "app.exe", "--sign",
          tree / "missing.key"], "is not a secret key file"),
        (["release", source, "--tree", tree, "--startapp", "app.exe", "--sign",
          tree / "masterversion"], "is not a secret key file"),
        (["release", source, "--tree", tree, "--startapp", "app.exe", "--sign", key,
          "--expires", "2020-01-01T00:00:00Z"], "has passed"),
        (["release", source, "--tree", tree, "--startapp", "app.exe", "--sign", key,
          "--expires", "next week"], "--expires must be a UTC time"),
        (["master", tree, "--version", "2", "--startapp", "app.exe", "--expires",
          "2099-01-01T00:00:00Z"], "--expires needs --sign"),
        (["verify", tree, "--key", public.upper()], "--key must be the public key"),
        (["keygen", "--out", key], "never overwritten"),
        (["keygen"], "--out is required"),
    ]:
        result = publish(*arguments, check_status=2)
        assert message in result.stderr, (arguments, result.stderr)
    assert sorted(tree.rglob("*")) == before



def test_two_keys_sign_every_record_for_launchers_of_either(signed, tmp_path):
    """--sign given twice while the release key changes: the first key signs where the
    launchers in the field look, by the rule they keep (the master record's last piece
    signs all before it, and no key is given twice); the second key's signatures come
    beside them, and verify names the keys that signed each record."""
    tree, old_key, old_public = signed
    new_key = tmp_path / "new.key"
    new_public = keygen(new_key)
    source = make_release(tmp_path / "three", {"app.exe": b"app three\n" * 500})
    publish("release", source, "--tree", tree, "--startapp", "app.exe", "--sign", old_key,
            "--sign", new_key)

    master = (tree / "masterversion").read_bytes()
    assert master_signed_by(old_public, master)
    pieces = [piece.partition(b"=")[0] for piece in master.split(b"$")]
    assert len(pieces) == len(set(pieces)) and pieces[-3:] == [b"keys", b"sig1", b"sig"]
    inner = master[:master.rindex(b"$sig=")]
    assert master_signed_by(new_public, inner.replace(b"$sig1=", b"$sig="))
    for name in ["3/versioninfo.vif", "3/changes.txt", "3/versioninfo.sha256",
                 "2_3/versioninfo.vif", "2_3/versioninfo.sha256"]:
        content = (tree / name).read_bytes()
        assert signature_matches(old_public, content, (tree / (name + ".sig")).read_bytes())
        lines = (tree / (name + ".sigs")).read_text().splitlines()
        assert [line.split(" ")[0] for line in lines] == [old_public, new_public], name
        assert all(signature_matches(key, content, bytes.fromhex(signature))
                   for key, signature in (line.split(" ") for line in lines)), name

    both = publish("verify", tree, "--key", old_public, "--key", new_public)
    assert both.stdout == ""
    assert f"verify: masterversion is signed by {old_public[:16]}, {new_public[:16]}\n" \
        in both.stderr
    assert f"verify: 2_3/versioninfo.sha256 is signed by {old_public[:16]}, {new_public[:16]}\n" \
        in both.stderr
    assert f"verify: 2/versioninfo.vif is signed by {old_public[:16]}\n" in both.stderr
    # Versions that launchers no longer read may carry the old key's signatures alone.
    assert publish("verify", tree, "--key", new_public).stdout == ""
    publish("rollout", tree, "--percent", "50", "--sign", old_key, "--sign", new_key)
    assert publish("verify", tree, "--key", new_public).stdout == ""

    for arguments, message in [
        (["--sign", old_key, "--sign", old_key], "holds a key given already"),
        ([part for number in range(5) for part in ("--sign", tmp_path / f"{number}.key")],
         "at most 4 keys sign a release"),
    ]:
        result = publish("master", tree, "--version", "3", "--startapp", "app.exe", *arguments,
                         check_status=2)
        assert message in result.stderr, (arguments, result.stderr)


# A line of S3's server access log format, as a bucket's logging writes it.
S3_RESTORE = ('79a59df900b949e55d96a1e698fbacedfd6e09d98eacf8f8d5218e7cd47ef2be releases '
              '[06/Feb/2027:00:00:38 +0000] 192.0.2.3 - 3E57427F3EXAMPLE REST.GET.OBJECT '
              'download/health/2/restored "GET /releases/download/health/2/restored HTTP/1.1" '
              '404 NoSuchKey 300 - 7 - "-" "Quillomark" - s9lzHYrFp76ZVxRcpX9+5cjAnEH2ROuNkd2= '
              'SigV4 ECDHE-RSA-AES128-GCM-SHA256 - releases.s3.eu-north-1.amazonaws.com TLSv1.2\n')


def test_health_reads_restores_from_real_access_logs_and_halts_the_rollout(signed, tmp_path):
    tree, key, public = signed
    port = free_port()
    nginx = Nginx(tmp_path / "nginx", [http_server(port, serve_tree(tree))], log_format="combined")
    try:
        for path in (["2/versioninfo.vif"] * 8 + ["1/versioninfo.vif"] * 2 +
                     ["health/2/restored"] * 2 + ["3/versioninfo.vif", "2/a.txt"]):
            try:
                urllib.request.urlopen(f"http://127.0.0.1:{port}/download/{path}").read()
            except urllib.error.HTTPError as answer:
                assert answer.code == 404, path
    finally:
        nginx.stop()
    s3_log = tmp_path / "s3.log"
    s3_log.write_text(S3_RESTORE)
    logs = [nginx.access_log, s3_log]

    report = publish("health", *logs, "--tree", tree).stdout
    assert report == ("version 1: 0 restores in 2 record requests (0.0%)\n"
                      "version 2: 3 restores in 8 record requests (37.5%)\n")
    path = tree / "masterversion"
    released = path.read_bytes()
    stays = publish("health", *logs, "--tree", tree, "--halt-above", "40", "--sign", key)
    assert "health: version 2 stays" in stays.stdout and path.read_bytes() == released
    publish("health", *logs, "--tree", tree, "--halt-above", "30", "--sign", key)
    halted = path.read_bytes()
    assert unsigned_master(halted) == \
        unsigned_master(released).replace(b"$expires=", b"$rollout=0$expires=")
    assert master_signed_by(public, halted)
