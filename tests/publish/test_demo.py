"""make demo, headless, with the publisher and template of make package's .deb
unpacked into a fresh directory: its report and its screenshots."""

import gzip
import os
import re
import subprocess
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
DEMO = ROOT / "build" / "demo"


def colours(png):
    """The colours of a picture, as ImageMagick's histogram names them."""
    return subprocess.run(["/usr/bin/convert", str(png), "-format", "%c", "histogram:info:-"],
                          stdout=subprocess.PIPE, check=True, text=True).stdout


def size_of(png):
    return tuple(map(int, subprocess.run(["/usr/bin/identify", "-format", "%w %h", str(png)],
                                         stdout=subprocess.PIPE, check=True,
                                         text=True).stdout.split()))


def output(*command):
    return subprocess.run(command, stdout=subprocess.PIPE, check=True, text=True).stdout


def package_owner(path):
    """The Debian package that holds a library, under either name of merged /usr."""
    for candidate in {path, os.path.realpath(path), path.removeprefix("/usr"), "/usr" + path}:
        found = subprocess.run(["dpkg", "-S", candidate], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
        if found.returncode == 0:
            return found.stdout.split(":")[0]
    raise AssertionError(f"no package holds {path}")


def unpacked_publisher(folder):
    """The package unpacked with dpkg-deb; each library the publisher links resolves
    to a package that it declares as a dependency."""
    package, archive = output(ROOT / "scripts" / "package.sh").split()[-2:]
    assert re.fullmatch(r".*/build/package/quillomark-publish_[\d.]+_amd64\.deb", package)
    assert sorted(zipfile.ZipFile(archive).namelist()) == [
        "LICENSES", "PUBLISHING.txt", "quillomark-publish.exe", "quillomark.exe"]
    subprocess.run(["dpkg-deb", "-x", package, folder], check=True)
    declared = {item.split()[0] for item in output("dpkg-deb", "-f", package, "Depends").split(",")}
    publisher = folder / "usr" / "bin" / "quillomark-publish"
    needed = re.findall(r"NEEDED\s+(\S+)", output("objdump", "-p", publisher))
    resolved = dict(re.findall(r"^\s*(\S+) => (/\S+)", output("ldd", publisher), re.M))
    assert needed and {package_owner(resolved[library]) for library in needed} <= declared
    assert ".SS launcher" in gzip.decompress(
        (folder / "usr/share/man/man1/quillomark-publish.1.gz").read_bytes()).decode()
    return publisher


def test_demo_updates_the_installation_and_reports_it(tmp_path):
    publisher = unpacked_publisher(tmp_path / "unpacked")
    result = subprocess.run([ROOT / "scripts" / "demo.sh"], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True,
                            env=dict(os.environ, DISPLAY="", QM_PUBLISHER=str(publisher)))
    assert result.returncode == 0, result.stdout
    report = result.stdout
    assert (DEMO / "report.txt").read_text(encoding="utf-8") in report

    assert "  files: 2 kept, 2 patched, 3 downloaded\n" in report
    assert "  installation equals release 2 and the launcher: yes\n" in report
    assert "stamped from the installed template" in report and "(osslsigncode verify: ok)" in report
    # versioninfo.vif, changes.txt and versioninfo.sha256 of version 2, the patch set's
    # versioninfo.vif and versioninfo.sha256.
    assert ", 5 of them detached signatures checked (the master record carries its own)\n" \
        in report
    assert "Refused " not in report
    moved = int(re.search(r"run 1.*?moved: (\d+) bytes", report, re.S).group(1))
    assert 3 * 1024 * 1024 < moved < 4 * 1024 * 1024
    pause = float(re.search(r"\(([\d.]+) s pause\)", report).group(1))
    assert 2.9 <= pause < 6
    assert "  Patch: successful " in report and "Local version ok -> Continue" in report
    assert "  titles shown: Checking for updates... | Updating files" in report
    assert "  installation equals release 2 and the English launcher: yes\n" in report
    assert "Trial: start 1 of version 2 failed: the application ended with 0xC0000005" in report
    assert "  installation equals release 1: yes\n" in report

    for name in ("progress", "application", "no-updates", "progress-english", "restored"):
        assert size_of(DEMO / f"{name}.png") == (1024, 768)
        width, height = size_of(DEMO / f"{name}-trimmed.png")
        assert 200 < width < 1024 and 100 < height < 768, (name, width, height)
    # The progress bar's blue, and the green that only version 2 of the application
    # paints, with the icon stamped into the launcher as Windows reads it from the file.
    assert "#3096FA" in colours(DEMO / "progress-trimmed.png")
    application = colours(DEMO / "application-trimmed.png")
    assert "#1E7B4F" in application
    assert "#F28C1E" in application and "#1B2A6B" in application
