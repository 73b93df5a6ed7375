"""The demo's own steps, run by scripts/demo.sh once nginx, the display and the
Wine session are up: the launcher stamped and signed from the prebuilt template as
the sample application's setup, version 1 published with it by quillomark-publish
and installed by the setup from a download folder, version 2 published and the
installed launcher run twice under Wine through the end-to-end probe; then the same
update once more, prepared in the background by the running version 1 while version
2 is published, and applied by the next start; the same update by a launcher stamped
in English; a broken version 2 taken back by a launcher that watches its
application's start; screenshots, and a report of what happened."""

import argparse
import os
import random
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

from harness import BAR, INFO, TITLE, Log, Probe, registry, unix_path  # noqa: E402

SHOWN_TIMEOUT = 60
# nginx serves at 1 MiB/s per connection, so this new file keeps the progress
# window busy for a few seconds.
BIG_FILE_SIZE = 3 * 1024 * 1024
BIG_FILE = "andmed\\tausta muusika.bin"
# Files before it in name order, done while it downloads; the bar shows their share
# (it moves only while files wait in the queue).
DONE_BEFORE_BIG_FILE = 2
KNOWN_EXTRAS = {"quillomark.exe", "versioninfo.vif", "ezo.log", "ezo-prepare.log", "shown.txt",
                "prepared.txt", "quillomark.refused", "quillomark.startapp"}
PREPARED_TEXT = "Uuendus 2 on valmis: see paigaldatakse järgmisel käivitamisel."
RESTORED_TEXT = "Versioon 2 ei käivitunud; taastati versioon 1."
PRODUCT = "Näidisrakendus"
INSTALL_DIR = f"%LOCALAPPDATA%\\Programs\\{PRODUCT}"
PUBLISHER = "Quillomark demo"
UNINSTALL = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
# The sample application's icon: an orange disc with a navy ring, in four sizes.
ICON_ORANGE, ICON_NAVY = "#F28C1E", "#1B2A6B"


def words_text(seed, lines):
    generator = random.Random(seed)
    words = ["õun", "pirn", "ploom", "kirss", "vaarikas", "mustikas", "maasikas", "sõstar"]
    return "".join(" ".join(generator.choice(words) for _ in range(8)) + "\n"
                   for _ in range(lines)).encode("utf-8")


def release_files(version, build, broken=False):
    """Name -> content of the sample application's release (`broken`: with an
    application that never starts)."""
    prices = "".join(f"toode {i:04d}: {i * (3 + version) % 997} eurot\n" for i in range(4000))
    dictionary = bytearray(words_text(7, 60000))
    if version == 2:
        dictionary[100_000:100_000] = words_text(8, 300)
    files = {
        "demoapp.exe": (build / "tools" / "demo" /
                        f"qm_demoapp_v{version}{'_broken' if broken else ''}.exe").read_bytes(),
        "andmed/hinnakiri.txt": prices.encode(),
        "andmed/sõnastik.dat": bytes(dictionary),
        "andmed/õpetus ja märkmed.txt": "Kasutusjuhend: käivita quillomark.exe.\n".encode(),
        "pildid/taust.bin": random.Random(9).randbytes(300_000),
    }
    if version == 2:
        files["andmed/uudised.txt"] = "Versioonis 2: uudised ja uus värv.\n".encode()
        files["andmed/tausta muusika.bin"] = random.Random(10).randbytes(BIG_FILE_SIZE)
    return files


def write_release(folder, files):
    shutil.rmtree(folder, ignore_errors=True)
    for name, content in files.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_bytes(content)


def publish(publisher, *arguments):
    subprocess.run([str(publisher), *map(str, arguments)], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_icon(path):
    subprocess.run(["/usr/bin/convert", "-size", "256x256", "xc:none", "-fill", ICON_ORANGE,
                    "-draw", "circle 128,128 128,8", "-fill", "none", "-stroke", ICON_NAVY,
                    "-strokewidth", "40", "-draw", "circle 128,128 128,58",
                    "-define", "icon:auto-resize=256,48,32,16", str(path)], check=True)


def stamp_launcher(args, *options, launcher=None):
    """The publisher's launcher, which is also the setup: the template with the demo's
    address, key, icon, name and installation folder (and `options`), signed; checked
    with osslsigncode against the demo's certificate."""
    launcher, icon = launcher or args.demo / "quillomark.exe", args.demo / "demoapp.ico"
    launcher.parent.mkdir(exist_ok=True)
    make_icon(icon)
    template = ["--template", args.template] if args.template else []
    publish(args.publisher, "launcher", *template, "--base-url",
            f"http://127.0.0.1:{args.port}/download/", "--key", args.public_key, "--icon", icon,
            "--product", PRODUCT, "--version", "1.0.0.0", "--install-dir", INSTALL_DIR,
            "--publisher", PUBLISHER, "--sign-cert", args.certificate,
            "--sign-password-file", args.certificate.with_name("signing.password"),
            *options, "--out", launcher)
    subprocess.run(["osslsigncode", "verify", "-CAfile",
                    str(args.certificate.with_name("signing.cert.pem")), "-in", str(launcher)],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return launcher


def screenshot(path):
    """The whole display, and beside it the same trimmed to the windows on it."""
    subprocess.run(["/usr/bin/import", "-window", "root", str(path)], check=True)
    subprocess.run(["/usr/bin/convert", str(path), "-trim", "+repage",
                    str(path.with_name(path.stem + "-trimmed.png"))], check=True)


def wait_for(done, what, deadline):
    """The sample application writes its marker once its window is up, and the launcher
    started by the setup ends on its own; neither has another channel to say so, so
    they are looked for every 50 ms."""
    while not done():
        if time.monotonic() > deadline:
            raise RuntimeError(f"{what} did not happen")
        time.sleep(0.05)


class LauncherRun:
    """One start of the launcher in the installation (or of the setup, which starts
    the launcher there), through a probe of its own."""

    def __init__(self, demo, install, access_log, program=None):
        self.probe = Probe(demo / "probe-stderr.txt")
        self.start(install, access_log, program or install / "quillomark.exe")

    def start(self, install, access_log, program):
        self.install, self.access_log = install, access_log
        self.log_offset = (install / "ezo.log").stat().st_size if (install / "ezo.log").exists() else 0
        access_log.write_bytes(b"")
        (install / "shown.txt").unlink(missing_ok=True)
        self.started = time.monotonic()
        self.probe.start(program.parent, program)

    def wait_text(self, control, text):
        self.probe.wait_text(control, text, ms=60000)
        return time.monotonic() - self.started

    def wait_application(self):
        shown = self.install / "shown.txt"
        wait_for(shown.exists, f"{shown} appearing", time.monotonic() + SHOWN_TIMEOUT)
        self.shown_at = shown.stat().st_mtime
        return time.monotonic() - self.started

    def wait_prepared(self):
        """The running application's prepare has staged the update and it says so."""
        prepared = self.install / "prepared.txt"
        wait_for(prepared.exists, f"{prepared} appearing", time.monotonic() + SHOWN_TIMEOUT)
        return prepared.read_text().strip()

    def close_application(self):
        """Waits for the launcher to end, then ends the probe, which ends the rest of its
        job: the application. (Waiting for the job to empty is not used: when the first
        window of a Wine session starts Wine's desktop process inside the job, the job
        never empties.)"""
        assert self.probe.wait_exit(30000) == 0
        wait_for(lambda: self.log().texts()[-1:] == ["Quillomark End"], "the launcher's end",
                 time.monotonic() + SHOWN_TIMEOUT)
        self.probe.close()

    def log(self):
        return Log((self.install / "ezo.log").read_bytes()[self.log_offset:])

    def served(self, before_application=True):
        """(requests, body bytes, signatures) that nginx served during the run: by
        default only before the application showed, since the application then asks
        the launcher for a prepare and a check of its own."""
        lines = [line.split() for line in self.access_log.read_text().splitlines()]
        if before_application:
            lines = [line for line in lines if float(line[3]) <= self.shown_at]
        return (len(lines), sum(int(line[2]) for line in lines),
                sum(line[0].endswith(".sig") for line in lines))


def log_span(log):
    return (log.lines[-1].time - log.lines[0].time).total_seconds()


def counts(texts):
    return {
        "kept": sum(text.endswith(" Local version ok -> Continue") for text in texts),
        "patched": sum(text.startswith("Patch: successful ") for text in texts),
        "downloaded": sum(text.startswith("Downloading: ") for text in texts),
    }


def installation_differences(install, release):
    differences = []
    for path in sorted(release.rglob("*")):
        if path.is_file():
            relative = path.relative_to(release)
            copy = install / relative
            if not copy.is_file() or copy.read_bytes() != path.read_bytes():
                differences.append(f"differs: {relative}")
    for path in sorted(install.rglob("*")):
        relative = path.relative_to(install)
        if path.is_file() and str(relative) not in KNOWN_EXTRAS and not (release / relative).exists():
            differences.append(f"extra: {relative}")
    return differences


def remove_earlier_installation(folders):
    """What an earlier demo installed into its Wine prefix: the setup would only start it."""
    for key in uninstall_entries(installed_folder(folders)):
        subprocess.run([os.environ["QM_WINE_RUN"], "reg", "delete", key, "/f"],
                       capture_output=True)
    for shortcut in shortcut_paths(folders):
        unix_path(shortcut).unlink(missing_ok=True)
    shutil.rmtree(unix_path(installed_folder(folders)), ignore_errors=True)


def uninstall_entries(installed):
    """The launcher's uninstall entries that name the installation folder: {key: values}."""
    return {key: values for key, values in (registry(UNINSTALL) or {}).items()
            if "\\Quillomark-" in key and values.get("InstallLocation") == installed}


def installed_folder(folders):
    return folders["local_app_data"] + "\\Programs\\" + PRODUCT


def shortcut_paths(folders):
    return [f"{folders[place]}\\{PRODUCT}.lnk" for place in ("programs", "desktop")]


def installation_report(probe, folders):
    """The setup's traces: the shortcuts as the shell reads them, the uninstall entry."""
    lines = []
    for path in shortcut_paths(folders):
        link = probe.must("shortcut", path)
        lines.append(f"  shortcut {path} -> {link['target']} (starts in {link['working_folder']})")
    entries = uninstall_entries(installed_folder(folders))
    lines.append("  uninstall entry " + (", ".join(entries) if entries else "MISSING") + ":")
    lines += [f"    {name} = {value}" for values in entries.values()
              for name, value in values.items()]
    return lines


def publish_version(args, version, launcher, tree, broken=False):
    demo = args.demo
    write_release(demo / f"release-{version}", release_files(version, args.win_build, broken))
    notes = demo / f"notes-{version}.txt"
    notes.write_bytes(f"Versioon {version}\r\n\r\nNäidisrakenduse väljalase {version}.\r\n".encode())
    publish(args.publisher, "release", demo / f"release-{version}", "--tree", tree,
            "--startapp", "demoapp.exe", "--notes", notes, "--sign", args.sign,
            "--launcher", launcher)
    if args.upload_endpoint:
        publish(args.publisher, "upload", tree, "s3://quillomark/demo", "--endpoint",
                args.upload_endpoint, "--public-url", f"http://127.0.0.1:{args.port}/download/",
                "--key", args.public_key)


def snapshot(demo, install, tree):
    """Copies of the installation of version 1 and of the tree that offers it, so that
    the same update can be made once more, prepared."""
    copies = {"install": demo / "snapshot-install", "tree": demo / "snapshot-tree"}
    for source, copy in ((install, copies["install"]), (tree, copies["tree"])):
        shutil.rmtree(copy, ignore_errors=True)
        shutil.copytree(source, copy, symlinks=True)
    (copies["install"] / "ezo.log").unlink(missing_ok=True)
    return copies


def restore(copy, target):
    shutil.rmtree(target)
    shutil.copytree(copy, target, symlinks=True)


def prepared_update(args, launcher, tree, install, snapshots):
    """Version 1 again, offered alone; its application opens (started as the
    shortcut's launcher would start it) and prepares in the background; version 2
    is published while it runs; once it shows that the update is ready it is closed
    and the launcher started: the staged files are taken and only records move."""
    demo = args.demo
    restore(snapshots["install"], install)
    restore(snapshots["tree"], tree)
    (install / "prepared.txt").unlink(missing_ok=True)
    application = LauncherRun(demo, install, args.access_log, program=install / "demoapp.exe")
    application.wait_application()
    publish_version(args, 2, launcher, tree)
    published = time.monotonic()
    shown = application.wait_prepared()
    prepared_after = time.monotonic() - published
    screenshot(demo / "prepared.png")
    prepare_served = application.served(before_application=False)
    application.probe.close()
    prepare_log = Log((install / "ezo-prepare.log").read_bytes()).texts()

    run = LauncherRun(demo, install, args.access_log)
    app_after = run.wait_application()
    run.close_application()
    differences = release_2_differences(install, demo, launcher)
    return {
        "shown": PREPARED_TEXT if shown == "prepared 2" else f"NOT READY: {shown}",
        "prepared_after": prepared_after, "prepare_served": prepare_served,
        "staged": sum(text.startswith("Prepare: staged ") for text in prepare_log),
        "served": run.served(), "app_after": app_after,
        "taken": sum(text.startswith("Prepared: ") for text in run.log().texts()),
        "differences": differences,
    }


def release_2_differences(install, demo, launcher):
    differences = installation_differences(install, demo / "release-2")
    if (install / "quillomark.exe").read_bytes() != launcher.read_bytes():
        differences.append("differs: quillomark.exe")
    return differences


def update_with_screenshots(args, launcher, tree, install, downloading, suffix=""):
    """Publishes version 2 with `launcher` and starts the installed one: the progress
    window is taken while it downloads the big file, the files before it done, and the
    application once it shows. Returns the run and when the application showed."""
    publish_version(args, 2, launcher, tree)
    run = LauncherRun(args.demo, install, args.access_log)
    files = len(release_files(2, args.win_build)) + 1  # and the launcher
    run.wait_text(INFO, downloading + BIG_FILE)
    run.wait_text(BAR, str(DONE_BEFORE_BIG_FILE * 100 // files))
    screenshot(args.demo / f"progress{suffix}.png")
    app_after = run.wait_application()
    screenshot(args.demo / f"application{suffix}.png")
    return run, app_after


def english_update(args, tree, install, snapshots):
    """The update from version 1 to 2 once more, by a launcher stamped in English from
    the same template and published in version 2: the window, and the sample
    application, which speaks the language of the launcher beside it, show English."""
    demo = args.demo
    english = stamp_launcher(args, "--language", "en", launcher=demo / "english" / "quillomark.exe")
    restore(snapshots["install"], install)
    restore(snapshots["tree"], tree)
    shutil.copyfile(english, install / "quillomark.exe")
    run, app_after = update_with_screenshots(args, english, tree, install, "Downloading: ",
                                             "-english")
    texts = run.probe.history()["texts"]
    run.close_application()
    differences = release_2_differences(install, demo, english)
    return {"titles": texts[str(TITLE)], "infos": texts[str(INFO)], "app_after": app_after,
            "differences": differences}


def bad_release_taken_back(args, tree, install, snapshots):
    """Version 1 again, with a launcher that watches its application's start for 5 s
    and takes one failed start, and version 2 published broken: its application ends
    by an access violation at once. The launcher updates, sees the start fail, puts
    version 1 back, says so and starts it."""
    demo = args.demo
    watching = stamp_launcher(args, "--health", "watch=5", "--health-tries", "1",
                              launcher=demo / "watching" / "quillomark.exe")
    restore(snapshots["install"], install)
    restore(snapshots["tree"], tree)
    shutil.copyfile(watching, install / "quillomark.exe")
    publish_version(args, 2, watching, tree, broken=True)
    run = LauncherRun(demo, install, args.access_log)
    restored_after = run.wait_text(INFO, RESTORED_TEXT)
    # The window shows the text for 3 s from its first moment, when the display has not
    # painted it yet; nothing tells when it has.
    time.sleep(1)
    screenshot(demo / "restored.png")
    app_after = run.wait_application()
    run.close_application()
    trial = [text for text in run.log().texts()
             if text.startswith(("Trial: ", "Restore: ", "Version 2 refused"))]
    return {"restored_after": restored_after, "app_after": app_after, "log": trial,
            "differences": installation_differences(install, demo / "release-1")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--demo", type=Path, required=True)
    parser.add_argument("--win-build", type=Path, required=True)
    parser.add_argument("--publisher", type=Path, required=True)
    parser.add_argument("--sign", type=Path, required=True)
    parser.add_argument("--public-key", required=True)
    parser.add_argument("--template", type=Path,
                        help="the prebuilt launcher; default: the one installed with the publisher")
    parser.add_argument("--certificate", type=Path, required=True)
    parser.add_argument("--access-log", type=Path, required=True)
    parser.add_argument("--port", type=int, default=8480)
    parser.add_argument("--upload-endpoint",
                        help="an S3 endpoint to upload the tree to (credentials from AWS_*)")
    args = parser.parse_args()
    demo = args.demo

    launcher = stamp_launcher(args)
    tree = demo / "tree"
    shutil.rmtree(tree, ignore_errors=True)
    publish_version(args, 1, launcher, tree)
    base_url = f"http://127.0.0.1:{args.port}/download/"
    served_from = f"served by nginx at {base_url}"
    if args.upload_endpoint:
        served_from = (f"uploaded to the object store at {args.upload_endpoint} "
                       f"(s3://quillomark/demo), {served_from} from there")

    # The user downloads the setup (the stamped launcher under the product's name)
    # and starts it: it installs version 1 and starts the application.
    folders_probe = Probe(demo / "probe-stderr.txt")
    folders = folders_probe.must("folders")
    remove_earlier_installation(folders)
    install = unix_path(installed_folder(folders))
    setup = demo / "Allalaadimised" / f"{PRODUCT}-Setup.exe"
    setup.parent.mkdir(exist_ok=True)
    shutil.copyfile(launcher, setup)
    first = LauncherRun(demo, install, args.access_log, program=setup)
    first_app_after = first.wait_application()
    screenshot(demo / "installed.png")
    first.close_application()
    first_texts, first_served = first.log().texts(), first.served()
    snapshots = snapshot(demo, install, tree)
    installed = installation_differences(install, demo / "release-1")
    traces = installation_report(folders_probe, folders)
    folders_probe.close()

    update, app_after = update_with_screenshots(args, launcher, tree, install, "Laen alla: ")
    update.close_application()
    update_log, update_served = update.log(), update.served()
    update_texts = update_log.texts()
    differences = release_2_differences(install, demo, launcher)

    again = LauncherRun(demo, install, args.access_log)
    seen_after = again.wait_text(TITLE, "Uuendusi ei leitud")
    screenshot(demo / "no-updates.png")
    second_app_after = again.wait_application()
    again.close_application()
    again_served = again.served()

    prepared = prepared_update(args, launcher, tree, install, snapshots)
    differences += prepared["differences"]
    english = english_update(args, tree, install, snapshots)
    differences += english["differences"]
    taken_back = bad_release_taken_back(args, tree, install, snapshots)
    differences += taken_back["differences"]

    done = counts(update_texts)
    report = [
        "Quillomark demo",
        f"  tree: {tree} (versions 1 and 2, patch set 1_2), {served_from}",
        f"  signed with {args.sign}; the launcher holds its public key",
        f"  launcher: {launcher}, stamped from {args.template or 'the installed template'} "
        "with the address, the key, "
        f"the icon, the name \"{PRODUCT}\" and the installation folder {INSTALL_DIR}, "
        "Authenticode-signed (osslsigncode verify: ok), published in both releases",
        f"setup: {setup} (the launcher), started from its download folder:",
        f"  install folder: {installed_folder(folders)} ({install})",
        f"  files: {counts(first_texts)['downloaded']} downloaded, {first_served[1]} bytes in "
        f"{first_served[0]} requests; version 1 showed after {first_app_after:.1f} s",
        "  installation equals release 1 and the launcher: " + ("yes" if not installed else
                                               "NO: " + ", ".join(installed)),
        *traces,
        "run 1, update from version 1 to 2:",
        f"  files: {done['kept']} kept, {done['patched']} patched, {done['downloaded']} downloaded",
        f"  moved: {update_served[1]} bytes in {update_served[0]} requests, "
        f"{update_served[2]} of them detached signatures checked (the master record "
        "carries its own)",
        f"  time: {log_span(update_log):.1f} s from the launcher's start to its end (log), "
        f"{app_after:.1f} s until version 2 showed",
        "  installation equals release 2 and the launcher: " + ("yes" if not differences else
                                               "NO: " + ", ".join(differences)),
        "run 2, nothing to update:",
        f"  \"Uuendusi ei leitud\" after {seen_after:.1f} s, application shown after "
        f"{second_app_after:.1f} s ({second_app_after - seen_after:.1f} s pause)",
        f"  moved: {again_served[1]} bytes in {again_served[0]} requests",
        "run 3, the same update from version 1 to 2, prepared in the background:",
        f"  version 1 running, version 2 published: the application showed "
        f"\"{prepared['shown']}\" after {prepared['prepared_after']:.1f} s",
        f"  prepare: {prepared['staged']} files staged, {prepared['prepare_served'][1]} bytes in "
        f"{prepared['prepare_served'][0]} requests",
        f"  next start: {prepared['served'][1]} bytes in {prepared['served'][0]} requests, "
        f"{prepared['taken']} staged files taken; version 2 showed after "
        f"{prepared['app_after']:.1f} s, against {app_after:.1f} s unprepared "
        f"(ratio {prepared['app_after'] / app_after:.2f})",
        "  installation equals release 2 and the launcher: " + (
            "yes" if not prepared["differences"] else "NO: " + ", ".join(prepared["differences"])),
        "run 4, the same update from version 1 to 2 by a launcher stamped with --language en:",
        "  titles shown: " + " | ".join(text for text in english["titles"] if text),
        "  info lines shown: " + " | ".join(text for text in english["infos"] if text)[:300],
        f"  version 2 showed after {english['app_after']:.1f} s",
        "  installation equals release 2 and the English launcher: " + (
            "yes" if not english["differences"] else "NO: " + ", ".join(english["differences"])),
        "run 5, version 2 published broken (its application crashes at start) to a launcher "
        "stamped with --health watch=5 --health-tries 1:",
        f"  \"{RESTORED_TEXT}\" after {taken_back['restored_after']:.1f} s, version 1 showed "
        f"after {taken_back['app_after']:.1f} s",
        *["  " + text for text in taken_back["log"]],
        "  installation equals release 1: " + (
            "yes" if not taken_back["differences"] else
            "NO: " + ", ".join(taken_back["differences"])),
        "screenshots: " + ", ".join(str(demo / name) for name in
                                    ("installed.png", "progress.png", "application.png",
                                     "no-updates.png", "prepared.png", "progress-english.png",
                                     "application-english.png", "restored.png")),
        "log excerpt (run 1):",
        *["  " + text for text in update_texts if not text.startswith("MasterVersion")][:40],
    ]
    (demo / "report.txt").write_text("\n".join(report) + "\n", encoding="utf-8")
    print("\n".join(report))
    return 0 if not differences and not installed else 1


if __name__ == "__main__":
    sys.exit(main())
