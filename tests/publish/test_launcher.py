"""quillomark-publish launcher: a launcher stamped from the prebuilt template with a
base URL, key, icon and version block, read back with Debian's pefile (apart from the
publisher), signed with osslsigncode, and published with release --launcher."""

import hashlib
import struct
import subprocess
import sys
from pathlib import Path

import pefile
import pytest

sys.path.insert(0, str(Path(__file__).parent))

from publish_tree import LINUX_PUBLISH, lzma_decode, make_release, md5, publish, read_vif  # noqa: E402

TEMPLATE = Path(__import__("os").environ.get("QM_TEMPLATE", ""))
ENGLISH_TEXTS = Path(__file__).resolve().parents[2] / "resources" / "texts" / "en.txt"
URL = "https://updates.example.com/download/"
KEY = "0123456789abcdef" * 4
RT_ICON, RT_RCDATA, RT_GROUP_ICON = 3, 10, 14


def resources(image):
    """(type, name) -> bytes of the first language, names as text or numbers."""
    found = {}
    for kind in image.DIRECTORY_ENTRY_RESOURCE.entries:
        for entry in kind.directory.entries:
            data = entry.directory.entries[0].data.struct
            key = (str(kind.name) if kind.name else kind.id, str(entry.name) if entry.name else entry.id)
            found[key] = image.get_data(data.OffsetToData, data.Size)
    return found


def sections_but_resources(image):
    return {section.Name: section.get_data() for section in image.sections
            if not section.Name.startswith(b".rsrc")}


def icon_images(path):
    """(width, bit count, bytes) of every image of an .ico file."""
    data = path.read_bytes()
    (count,) = struct.unpack_from("<H", data, 4)
    images = []
    for i in range(count):
        width, _, _, _, _, bits, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        images.append((width, bits, data[offset:offset + size]))
    return images


def group_entries(group):
    (count,) = struct.unpack_from("<H", group, 4)
    return [struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i) for i in range(count)]


def stamp(tmp_path, *options, out="quillomark.exe", status=0):
    result = publish("launcher", "--template", TEMPLATE, "--out", tmp_path / out, *options,
                     check_status=status)
    return result, tmp_path / out


@pytest.fixture(scope="module")
def icon(tmp_path_factory):
    path = tmp_path_factory.mktemp("icon") / "app.ico"
    subprocess.run(["convert", "-size", "64x64", "xc:orange", "-fill", "navy", "-draw",
                    "circle 32,32 32,6", "-define", "icon:auto-resize=256,48,32,16", path],
                   check=True)
    return path


def test_only_resources_change_and_the_launcher_reads_back_as_asked(tmp_path, icon):
    _, out = stamp(tmp_path, "--base-url", URL, "--key", KEY, "--icon", icon,
                   "--product", "Õunaraamat", "--version", "2.3.4.5",
                   "--install-dir", INSTALL_DIR, "--publisher", "Õun & Pirn OÜ")
    template, stamped = pefile.PE(str(TEMPLATE)), pefile.PE(str(out))
    assert stamped.verify_checksum()
    assert sections_but_resources(stamped) == sections_but_resources(template)
    before, after = resources(template), resources(stamped)
    assert after[("PATCHER", 132)] == before[("PATCHER", 132)]
    assert after[(RT_RCDATA, "QUILLOMARK_CONFIG")] == (
        f"quillomark-config 1\nbase_url={URL}\npublic_key={KEY}\n"
        f"install_dir={INSTALL_DIR}\npublisher=Õun & Pirn OÜ\nproduct=Õunaraamat\n".encode())

    images = icon_images(icon)
    assert len(images) == 4 and images[0][2][:4] == b"\x89PNG"
    entries = group_entries(after[(RT_GROUP_ICON, 1)])
    assert [(entry[0], entry[5], entry[6]) for entry in entries] == [
        (width, bits, len(data)) for width, bits, data in images]
    assert [after[(RT_ICON, entry[7])] for entry in entries] == [data for *_, data in images]

    strings = stamped.FileInfo[0][0].StringTable[0].entries
    assert strings[b"ProductName"] == strings[b"FileDescription"] == "Õunaraamat".encode()
    assert strings[b"FileVersion"] == strings[b"ProductVersion"] == b"2.3.4.5"
    fixed = stamped.VS_FIXEDFILEINFO[0]
    assert (fixed.FileVersionMS, fixed.FileVersionLS) == (2 << 16 | 3, 4 << 16 | 5)
    assert (fixed.ProductVersionMS, fixed.ProductVersionLS) == (2 << 16 | 3, 4 << 16 | 5)
    untouched = {key for key in before if key[0] not in (RT_RCDATA, 16)}
    assert {key: after[key] for key in untouched} == {key: before[key] for key in untouched}

    # Stamped again with a shorter record and without --icon: the section shrinks,
    # the icon and version block stay.
    _, again = stamp(tmp_path, "--base-url", "http://h/d/", "--unsigned", "--template", out,
                     out="again.exe")
    restamped = pefile.PE(str(again))
    assert restamped.verify_checksum()
    assert sections_but_resources(restamped) == sections_but_resources(template)
    assert resources(restamped) == {**after, (RT_RCDATA, "QUILLOMARK_CONFIG"):
                                    b"quillomark-config 1\nbase_url=http://h/d/\npublic_key=\n"}

    # A language, and a table of the publisher's own: its texts go into the record,
    # escaped as in the file, in the order of their ids.
    _, english = stamp(tmp_path, "--base-url", "http://h/d/", "--unsigned", "--language", "en",
                       out="english.exe")
    assert resources(pefile.PE(str(english)))[(RT_RCDATA, "QUILLOMARK_CONFIG")].endswith(
        b"public_key=\nlanguage=en\n")
    _, own = stamp(tmp_path, "--base-url", "http://h/d/", "--unsigned", "--texts",
                   own_texts(tmp_path, "done=Gatavs: 100%%"), out="own.exe")
    record = resources(pefile.PE(str(own)))[(RT_RCDATA, "QUILLOMARK_CONFIG")].decode()
    texts = [line for line in record.splitlines() if line.startswith("text.")]
    ids = [line.split("=")[0] for line in ENGLISH_TEXTS.read_text().splitlines()[1:]]
    assert [line.split("=")[0] for line in texts] == ["text." + name for name in ids]
    assert "text.done=Gatavs: 100%%" in texts
    assert "text.copy_failed=A file could not be replaced.\\nPlease make sure the program is closed." in texts


def own_texts(folder, line, replaced=None):
    """The English table with `line` in place of the line of id `replaced` (by default
    the line's own)."""
    path = folder / "texts.txt"
    name = replaced or line.split("=")[0]
    path.write_text("".join(line + "\n" if old.startswith(name + "=") else old
                            for old in ENGLISH_TEXTS.read_text().splitlines(keepends=True)))
    return path


def truncated_icon(tmp_path, icon):
    path = tmp_path / "broken.ico"
    path.write_bytes(icon.read_bytes()[:3000])
    return path


def text_file(tmp_path, icon):
    path = tmp_path / "notes.txt"
    path.write_text("not a program")
    return path


def patch_tool(tmp_path, icon):
    return TEMPLATE.parents[1] / "patchtool" / "bspatch.exe"


GOOD = ["--base-url", URL, "--key", KEY]
INSTALL_DIR = "%LOCALAPPDATA%\\Programs\\Õunaraamat"
SETUP = GOOD + ["--product", "Õunaraamat", "--install-dir", INSTALL_DIR]
# Arguments (a function of the test's folder and icon gives a file) and a word of the reason.
BAD_INPUT = {
    "no key": (["--base-url", URL], "--unsigned"),
    "key and unsigned": (GOOD + ["--unsigned"], "exclude"),
    "ftp URL": (["--base-url", "ftp://h/d/", "--key", KEY], "http://"),
    "URL without slash": (["--base-url", "http://h/download", "--key", KEY], "end with /"),
    "short key": (["--base-url", URL, "--key", KEY[:-1]], "64"),
    "three numbers": (GOOD + ["--version", "1.2.3"], "A.B.C.D"),
    "number too big": (GOOD + ["--version", "1.2.3.65536"], "A.B.C.D"),
    "truncated icon": (GOOD + ["--icon", truncated_icon], ".ico"),
    "text as icon": (GOOD + ["--icon", text_file], ".ico"),
    "text as template": (GOOD + ["--template", text_file], "not a Quillomark launcher"),
    "another program": (GOOD + ["--template", patch_tool], "not a Quillomark launcher"),
    "missing certificate": (GOOD + ["--sign-cert", "missing.pfx"], "--sign-cert"),
    # A setup installs for the user alone, below a folder of the user's own.
    "machine-wide folder": (GOOD + ["--product", "A", "--install-dir", "C:\\Program Files\\A"],
                            "%LOCALAPPDATA%"),
    "another variable": (GOOD + ["--product", "A", "--install-dir", "%ProgramFiles%\\A"],
                         "%LOCALAPPDATA%"),
    "folder leaving": (GOOD + ["--product", "A", "--install-dir", "%APPDATA%\\..\\..\\A"],
                       ". or .."),
    "folder through a dot": (GOOD + ["--product", "A", "--install-dir",
                                     "%LOCALAPPDATA%\\Programs\\. \\A"], ". or .."),
    "setup without product": (GOOD + ["--install-dir", INSTALL_DIR], "--product"),
    "product no file name": (GOOD + ["--product", "A/B", "--install-dir", INSTALL_DIR],
                             "--product"),
    "publisher line break": (SETUP + ["--publisher", "Õun\npublic_key="], "--publisher"),
    "publisher without setup": (GOOD + ["--publisher", "Õun OÜ"], "--install-dir"),
    "unknown language": (GOOD + ["--language", "fr"], "--language must be et or en"),
    "texts losing a name": (GOOD + ["--texts", lambda folder, _: own_texts(
        folder, "downloading_file=Downloading")], "texts.txt: line 21: downloading_file takes %s"),
    "texts with another id": (GOOD + ["--texts", lambda folder, _: own_texts(
        folder, "doen=Done", "done")], 'texts.txt: line 23: unknown id "doen"'),
}
# The installation's work directory Temp is emptied by every update: a folder that
# Windows or other programs share, however spelled, is no installation's own.
SHARED_FOLDERS = ["%LOCALAPPDATA%", "%userprofile%\\", "%LocalAppData%/temp. /",
                  "%USERPROFILE%\\AppData\\Local\\Temp", "%USERPROFILE%\\desktop ",
                  "%APPDATA%\\Microsoft\\Windows\\Start Menu\\Programs\\\\",
                  "%LOCALAPPDATA%\\Programs..", "%USERPROFILE%\\OneDrive"]
BAD_INPUT.update({f"shared folder {folder}": (GOOD + ["--product", "A", "--install-dir", folder],
                                              "not a folder of the product's own")
                  for folder in SHARED_FOLDERS})


@pytest.mark.parametrize("case", BAD_INPUT)
def test_bad_input_is_refused_in_one_line_and_writes_nothing(tmp_path, icon, case):
    arguments, reason = BAD_INPUT[case]
    arguments = [argument(tmp_path, icon) if callable(argument) else argument
                 for argument in arguments]
    result, out = stamp(tmp_path, *arguments, status=2)
    assert reason in result.stderr and result.stderr.count("\n") == 1, result.stderr
    assert [path.name for path in tmp_path.iterdir() if path.name.startswith(out.name)] == []


def code_signing_certificate(folder, password):
    """A self-signed code-signing certificate as PKCS#12, made with openssl."""
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=Quillomark test publisher", "-addext",
                    "extendedKeyUsage=codeSigning", "-keyout", folder / "key.pem",
                    "-out", folder / "cert.pem"], check=True, capture_output=True)
    subprocess.run(["openssl", "pkcs12", "-export", "-inkey", folder / "key.pem", "-in",
                    folder / "cert.pem", "-out", folder / "cert.pfx", "-passout",
                    f"pass:{password}"], check=True, capture_output=True)
    (folder / "password").write_text(password + "\n")
    return folder / "cert.pfx", folder / "password", folder / "cert.pem"


# Under Wine the Windows publisher finds neither osslsigncode nor signtool.
@pytest.mark.skipif(not LINUX_PUBLISH, reason="the Windows publisher's refusal")
def test_without_a_code_signer_at_hand_signing_is_refused_before_writing(tmp_path, icon):
    certificate, password, _ = code_signing_certificate(tmp_path, "geheim 1")
    result, _ = stamp(tmp_path, *GOOD, "--sign-cert", certificate, "--sign-password-file",
                      password, status=2)
    assert "--sign-cert needs osslsigncode or signtool (Windows SDK) on the PATH" in result.stderr
    assert not list(tmp_path.glob("quillomark.exe*"))


@pytest.mark.skipif(bool(LINUX_PUBLISH), reason="osslsigncode is out of the Windows publisher's reach")
def test_signed_launcher_verifies_and_is_published_as_the_release_launcher(tmp_path, icon):
    certificate, password, ca = code_signing_certificate(tmp_path, "geheim 1")
    key = tmp_path / "release.key"
    public = publish("keygen", "--out", key).stdout.strip()
    _, launcher = stamp(tmp_path, "--base-url", URL, "--key", public, "--icon", icon,
                        "--sign-cert", certificate, "--sign-password-file", password)
    verified = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-in", launcher],
                              capture_output=True, text=True)
    assert verified.returncode == 0, verified.stdout + verified.stderr
    signed = pefile.PE(str(launcher))
    assert signed.verify_checksum()
    assert resources(signed)[(RT_RCDATA, "QUILLOMARK_CONFIG")].endswith(f"={public}\n".encode())

    (tmp_path / "wrong").write_text("falsch\n")
    stamp(tmp_path, *GOOD, "--sign-cert", certificate, "--sign-password-file",
          tmp_path / "wrong", out="wrong.exe", status=1)
    assert not list(tmp_path.glob("wrong.exe*"))

    # The release takes the signed file, in place of the source's launcher.
    app = make_release(tmp_path / "app", {"app.exe": b"app\n" * 100,
                                          "Quillomark.exe": b"an old build\n"})
    tree = tmp_path / "tree"
    for other_key in (["--sign", tmp_path / "other.key"], []):
        if other_key:
            publish("keygen", "--out", other_key[1])
        result = publish("release", app, "--tree", tree, "--startapp", "app.exe",
                         "--launcher", launcher, *other_key, check_status=2)
        assert public in result.stderr and not tree.exists()
    result = publish("release", app, "--tree", tree, "--startapp", "app.exe", "--sign", key,
                     "--launcher", launcher)
    assert "warning" not in result.stderr
    _, records = read_vif(tree / "1" / "versioninfo.vif")
    assert {record.name: record.digest for record in records} == {
        "app.exe": md5(b"app\n" * 100), "quillomark.exe": md5(launcher.read_bytes())}
    # A stamped launcher in the source folder is one too.
    (app / "Quillomark.exe").write_bytes(launcher.read_bytes())
    publish("release", app, "--tree", tree, "--startapp", "app.exe", "--sign", key)
    # A setup, handed out under any name, lies in every installation as quillomark.exe.
    _, setup = stamp(tmp_path, "--base-url", URL, "--key", public, "--product", "Minu rakendus",
                     "--install-dir", "%LOCALAPPDATA%\\Programs\\Minu rakendus",
                     out="Minu rakendus-Setup.exe")
    publish("release", app, "--tree", tree, "--startapp", "app.exe", "--sign", key,
            "--launcher", setup)
    _, records = read_vif(tree / "3" / "versioninfo.vif")
    assert {record.name: record.digest for record in records} == {
        "app.exe": md5(b"app\n" * 100), "quillomark.exe": md5(setup.read_bytes())}
    # The setup takes only master records made for its product: the release names it
    # in the signed part, later records of the tree keep it, and another is refused.
    assert "$product=Minu rakendus$" in (tree / "masterversion").read_text("utf-8")
    for directory, versions in [("3", "3"), ("2_3", "2 3")]:
        assert (tree / directory / "versioninfo.sha256").read_text("utf-8").startswith(
            "quillomark sha256 1\n"
            f"file {hashlib.sha256('Minu rakendus'.encode()).hexdigest()} *product Minu rakendus\n"
            f"file {hashlib.sha256(versions.encode()).hexdigest()} *version {versions}\n")
    publish("master", tree, "--version", "3", "--startapp", "app.exe", "--sign", key)
    assert "$product=Minu rakendus$" in (tree / "masterversion").read_text("utf-8")
    refused = publish("release", app, "--tree", tree, "--startapp", "app.exe", "--sign", key,
                      "--launcher", setup, "--product", "Teine", check_status=2)
    assert "--product" in refused.stderr


def launcher_of(tree, version):
    """The launcher of a version as installations get it."""
    _, records = read_vif(tree / version / "versioninfo.vif")
    (record,) = [record for record in records if record.name == "quillomark.exe"]
    stored = (tree / version / "quillomark.exe").read_bytes()
    return lzma_decode(stored) if record.flags & 1 else stored


def test_revert_keeps_the_launcher_that_holds_the_current_key(tmp_path):
    """Release 1's launcher holds only the old key, release 2's only the new one: taking
    back release 2 must not hand the installations back to a launcher that refuses
    every release signed with the new key."""
    keys, publics, launchers = {}, {}, {}
    for name in ("old", "new"):
        keys[name] = tmp_path / f"{name}.key"
        publics[name] = publish("keygen", "--out", keys[name]).stdout.strip()
        (tmp_path / name).mkdir()
        _, launchers[name] = stamp(tmp_path, "--base-url", URL, "--key", publics[name],
                                   out=f"{name}/quillomark.exe")
    tree = tmp_path / "site"
    for number, name in [(1, "old"), (2, "new")]:
        app = make_release(tmp_path / f"app{number}", {"app.exe": b"app %d\n" % number})
        publish("release", app, "--tree", tree, "--startapp", "app.exe", "--sign", keys[name],
                "--launcher", launchers[name])

    refused = publish("revert", tree, "--to", "1", "--sign", keys["new"], "--launcher",
                      launchers["old"], check_status=2)
    assert f"--launcher {launchers['old']} takes only releases signed with one of the keys " \
        f"{publics['old']}, not with these" in refused.stderr
    publish("revert", tree, "--to", "1", "--sign", keys["new"])
    assert launcher_of(tree, "3") == launchers["new"].read_bytes()
    assert (tree / "3" / "app.exe").read_bytes() == b"app 1\n"

    # A version whose launcher holds none of the keys that signed it strands the
    # installations that take it.
    stranding = make_release(tmp_path / "app4", {"app.exe": b"app 4\n",
                                                 "quillomark.exe": launchers["old"].read_bytes()})
    publish("version", stranding, "--tree", tree, "--version", "4", "--sign", keys["new"])
    faults = publish("verify", tree, "--key", publics["new"], check_status=1).stdout
    assert faults == "4/quillomark.exe: holds none of the keys that signed version 4 " \
        f"({publics['new'][:16]})\n"


def test_an_unsigned_release_warns_in_one_line(tmp_path):
    app = make_release(tmp_path / "app", {"app.exe": b"app\n"})
    result = publish("release", app, "--tree", tmp_path / "tree", "--startapp", "app.exe")
    (warning,) = [line for line in result.stderr.splitlines() if line.startswith("warning")]
    assert "unsigned" in warning
