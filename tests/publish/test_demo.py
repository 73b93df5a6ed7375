"""make demo, headless: its report and its screenshots."""

import os
import re
import subprocess
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


def test_demo_updates_the_installation_and_reports_it():
    result = subprocess.run([ROOT / "scripts" / "demo.sh"], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, env=dict(os.environ, DISPLAY=""))
    assert result.returncode == 0, result.stdout
    report = result.stdout
    assert (DEMO / "report.txt").read_text(encoding="utf-8") in report

    assert "  files: 2 kept, 2 patched, 3 downloaded\n" in report
    assert "  installation equals release 2 and the launcher: yes\n" in report
    assert "(osslsigncode verify: ok)" in report
    # versioninfo.vif and changes.txt of version 2, the patch set's record.
    assert ", 3 of them detached signatures checked (the master record carries its own)\n" \
        in report
    assert "Refused " not in report
    moved = int(re.search(r"run 1.*?moved: (\d+) bytes", report, re.S).group(1))
    assert 3 * 1024 * 1024 < moved < 4 * 1024 * 1024
    pause = float(re.search(r"\(([\d.]+) s pause\)", report).group(1))
    assert 2.9 <= pause < 6
    assert "  Patch: successful " in report and "Local version ok -> Continue" in report

    for name in ("progress", "application", "no-updates"):
        assert size_of(DEMO / f"{name}.png") == (1024, 768)
        width, height = size_of(DEMO / f"{name}-trimmed.png")
        assert 200 < width < 1024 and 100 < height < 768, (name, width, height)
    # The progress bar's blue, and the green that only version 2 of the application
    # paints, with the icon stamped into the launcher as Windows reads it from the file.
    assert "#3096FA" in colours(DEMO / "progress-trimmed.png")
    application = colours(DEMO / "application-trimmed.png")
    assert "#1E7B4F" in application
    assert "#F28C1E" in application and "#1B2A6B" in application
