"""Updates of an installed version: through a patch set, where one patch fails in
each of its ways and every later file comes whole; releases whose files share work
files in Temp; file failures that stop the run with a string-table text while the
installed files stay intact; and a file of 3 GiB that installs from a container and
then patches; an update prepared in the background while the application runs,
taken by the next start, continued after a kill, and stopped by a start."""

import random
import re
import subprocess
import time
from datetime import timedelta

import pytest

from harness import (BASE_URL, BIG_SIZE, DONE_INFO, FRESH_SUFFIX, INFO, STRINGS, TESTAPP, TITLE,
                     WINE_RUN, Log, Record, Run, assert_bytes_shown, assert_counters,
                     assert_subsequence, big_patch, bsdiff, check, file_phase_texts, installed,
                     lzma_container, pack_big_version_1, prepare, prepare_killed_at_half,
                     unix_name, version_info, wait_until, windows_path)

generator = random.Random(12)
OLD = {name: generator.randbytes(size) for name, size in
       (("a.bin", 120_000), ("sub\\b.bin", 90_000), ("c.bin", 60_000), ("d.bin", 40_000))}


def changed(content):
    """A new version of the content: a block inserted, one byte changed."""
    middle = len(content) // 2
    new = content[:middle] + generator.randbytes(3000) + content[middle:]
    return new[:100] + bytes([new[100] ^ 1]) + new[101:]


NEW = {name: changed(content) for name, content in OLD.items()}
APP = Record("app.exe", TESTAPP.read_bytes())
SAME = Record("same.txt", "ühesugune\r\n".encode("utf-8") * 100)


def version_1():
    return [APP, SAME] + [Record(name, OLD[name]) for name in ("a.bin", "sub\\b.bin", "c.bin")]


def version_2():
    return [APP, SAME, Record("a.bin", NEW["a.bin"]),
            Record("sub\\b.bin", NEW["sub\\b.bin"], compressed=True),
            Record("c.bin", NEW["c.bin"]), Record("new.txt", "uus fail\r\n".encode("utf-8"))]


def damaged(patch):
    return patch[:40] + bytes(b ^ 0xFF for b in patch[40:80]) + patch[80:]


# How the patch of sub\b.bin fails, and the log line that says so: missing on the
# server, damaged on the way (its digest differs from the patch set's), or made
# from another old file (the patched file's digest differs).
PATCH_FAILURES = {
    "missing": "Patch: download patch failed {patch_url}->{work}",
    "damaged": "Patch:sub\\b.bin Hash Failed",
    "wrong_base": "Patch: Hash check failed {fresh}",
}


@pytest.mark.parametrize("failure", PATCH_FAILURES)
def test_patch_set_with_one_failing_patch(site, probe, install_dir, tmp_path, failure):
    installation = install_dir("Quillo mark")
    installation.install(1, version_1())
    patches = {name: bsdiff(OLD[name], NEW[name], tmp_path / unix_name(name))
               for name in ("a.bin", "sub\\b.bin", "c.bin")}
    site.master(2, patches=["", "1_2"], force_notes=True)
    served = site.version(2, version_2())
    if failure == "wrong_base":
        other_old = bytes(b ^ 1 if i % 997 == 0 else b for i, b in enumerate(OLD["sub\\b.bin"]))
        patches["sub\\b.bin"] = bsdiff(other_old, NEW["sub\\b.bin"], tmp_path / "other")
    site.patch_set(1, 2, patches)
    rules = {"/download/1_2/a.bin": "stall=1"}
    if failure == "missing":
        rules["/download/1_2/sub/b.bin"] = "status=404"
    elif failure == "damaged":
        site.put("1_2/sub\\b.bin", damaged(patches["sub\\b.bin"]))
    site.set_rules(rules)

    run = Run(probe, installation)
    probe.wait_notes(1)
    probe.wait_text(INFO, "Uuendan: a.bin")
    probe.wait_text(TITLE, "VALMIS")
    patch_bytes = len(patches["a.bin"]) + (0 if failure == "missing" else
                                           len(site.served("1_2/sub\\b.bin")))
    received = patch_bytes + sum(len(served[name]) for name in ("sub\\b.bin", "c.bin", "new.txt"))
    view = probe.wait_view(bar=100, info=DONE_INFO)
    if "/download/1_2/c.bin" in site.requests():  # fetched before b.bin's patch failed
        received += len(patches["c.bin"])
    assert_bytes_shown(view["bytes"], received + 11)  # a 404 answer's own bytes may count
    probe.click_notes_ok()
    assert run.finish() == 0
    assert len(installation.starts()) == 1

    for record in version_2():
        assert installation.file(record.name).read_bytes() == record.content, record.name
    assert (installation.path / "versioninfo.vif").read_bytes() == version_info(2, version_2())
    assert not (installation.path / "Temp").exists()
    requests = site.requests()
    assert requests[:4] == ["/download/masterversion", "/download/2/versioninfo.vif",
                            "/download/2/changes.txt", "/download/1_2/versioninfo.vif"]
    files = ["/download/1_2/a.bin", "/download/1_2/sub/b.bin", "/download/2/sub/b.bin",
             "/download/2/c.bin", "/download/2/new.txt"]

    history = probe.history()
    steps = [("app.exe", "check"), ("same.txt", "check"), ("a.bin", "patch"),
             ("sub\\b.bin", "patch+download"), ("c.bin", "download"), ("new.txt", "download")]
    shown = history["texts"][str(INFO)]
    if failure == "wrong_base":
        # The patch tool's failure shows once b.bin is patched, beside the next files:
        # c.bin's patch may be fetched by then and is not used, and b.bin follows whole
        # in its turn on the finishing line.
        assert sorted(path for path in requests[4:] if path != "/download/1_2/c.bin") == \
            sorted(files)
        assert set(shown) <= {*file_phase_texts(steps), "Uuendan: c.bin"}, shown
        assert shown[-1] == DONE_INFO
    else:
        assert requests[4:] == files
        assert_subsequence(shown, file_phase_texts(steps))
    assert_counters(history, len(version_2()))

    work = windows_path(installation.work_file("sub\\b.bin"))
    file_url = f"{BASE_URL}2/"
    # a.bin is patched on the finishing line while b.bin's patch is tried: the lines of
    # the two files may interleave.
    checked = ["Quillomark Start", "MasterVersion: patches=,1_2",
               "app.exe Local version ok -> Continue", "same.txt Local version ok -> Continue"]
    log = run.log()
    log.assert_in_order([*checked, f"Patch: successful {windows_path(installation.path)}\\a.bin",
                         "Quillomark End"])
    later = [f"Downloading: {file_url}c.bin", f"Downloading: {file_url}new.txt"]
    fresh = next((found.group(0) for text in log.texts()
                  if (found := re.search(re.escape(work) + FRESH_SUFFIX, text))), None)
    log.assert_in_order([
        *checked, PATCH_FAILURES[failure].format(patch_url=f"{BASE_URL}1_2/sub\\b.bin", work=work,
                                                 fresh=fresh),
        f"Downloading: {file_url}sub\\b.bin", *([] if failure == "wrong_base" else later),
        "Quillomark End"])
    assert set(later) <= set(log.texts())


# Entries named as the work files of others, on Windows, where names ignore case: the
# container data.pak unpacks beside Temp\files\data.pak, where DATA.PAK.new downloads
# to Temp\files\DATA.PAK.new; A.new downloads to Temp\files\A.new, beside which a is
# patched while the unpacking of slow.pak still holds up the finishing line. And
# release files named as the launcher's own work files in Temp (the patch tool,
# patched and then used for the next patch, or downloaded whole before it; the staged
# record; a new copy of the launcher), which must meet none of them. Releases as (installed, offered): name,
# size, compressed; PATCHED: patched from the installed file of that name.
PATCHED = None
SHARED_WORK_FILES = {
    "unpacked": ([("data.pak", 100_000)],
                 [("data.pak", 4_000_000, True), ("DATA.PAK.new", 4_000_000, False)]),
    "patched": ([("a", 200_000)],
                [("slow.pak", 6_000_000, True), ("A.new", 200_000, False), ("a", PATCHED, False)]),
    "launcher's names, patched": (
        [("bspatch.exe", 100_000), ("a", 200_000)],
        [("bspatch.exe", PATCHED, False), ("versioninfo.vif.part", 20_000, True),
         ("quillomark.exe.new", 50_000, False), ("a", PATCHED, False)]),
    "launcher's names, downloaded": (
        [("a", 200_000)],
        [("bspatch.exe", 100_000, True), ("versioninfo.vif.part", 20_000, False),
         ("quillomark.exe.new", 50_000, True), ("a", PATCHED, False)]),
}
RUNS_PER_RELEASE = 2


@pytest.mark.parametrize("release", SHARED_WORK_FILES)
def test_entries_whose_work_files_meet_install_every_file(site, probe, install_dir, tmp_path,
                                                          release):
    contents = random.Random(release)
    installed, offered = SHARED_WORK_FILES[release]
    old = {name: contents.randbytes(size) for name, size in installed}
    new = [APP] + [Record(name, changed(old[name]) if size is PATCHED else contents.randbytes(size),
                          compressed) for name, size, compressed in offered]
    patched = [record for record, (_, size, _) in zip(new[1:], offered) if size is PATCHED]
    site.version(2, new)
    if patched:
        site.patch_set(1, 2, {record.name: bsdiff(old[record.name], record.content,
                                                  tmp_path / record.name) for record in patched})
    site.master(2, patches=["1_2"] if patched else None)

    for run in range(RUNS_PER_RELEASE):
        installation = install_dir(f"run {run}")
        installation.install(1, [APP] + [Record(name, content) for name, content in old.items()])
        assert Run(probe, installation).finish() == 0
        assert len(installation.starts()) == 1
        for record in new:
            assert installation.file(record.name).read_bytes() == record.content, record.name
        assert (installation.path / "versioninfo.vif").read_bytes() == version_info(2, new)
        for record in patched:
            assert f"Patch: successful {windows_path(installation.file(record.name))}" in \
                installation.log().texts()


# How one file fails: compressed or not, what the server or the test does to it,
# the string-table text shown, and the log line that goes with it (None: none).
FILE_FAILURES = {
    "missing": (False, "missing", 107, "Download failed: {url}"),
    "held_plain": (False, "held", 106, None),
    "held_container": (True, "held", 104, None),
    "wrong_plain": (False, "wrong", 105, None),
    "wrong_container": (True, "wrong", 105, "LzmaUncompress Hash check failed: {local}"),
}


@pytest.mark.parametrize("failure", FILE_FAILURES)
def test_file_failure_stops_the_run_and_keeps_the_installation(site, probe, install_dir, failure):
    compressed, fault, string_id, log_line = FILE_FAILURES[failure]
    installation = install_dir("Quillo mark")
    old = [APP, SAME, Record("d.bin", OLD["d.bin"]), Record("last.txt", b"old\r\n")]
    new = [APP, SAME, Record("d.bin", NEW["d.bin"], compressed=compressed),
           Record("last.txt", b"new\r\n")]
    installation.install(1, old)
    site.master(2)
    site.version(2, new)
    if fault == "missing":
        site.set_rules({"/download/2/d.bin": "status=404"})
    elif fault == "wrong":
        other = NEW["a.bin"]
        site.put("2/d.bin", lzma_container(other) if compressed else other)
    local = installation.file("d.bin")
    if fault == "held":
        probe.hold(local)

    run = Run(probe, installation)
    probe.wait_text(TITLE, "VIGA!")
    probe.wait_view(title="VIGA!", info=STRINGS[string_id], notes_button=True)
    assert probe.wait_exit(500) is None, "the window stays open after an error"
    log = run.cancel()
    if fault == "held":
        probe.release(local)

    for record in old:
        assert installation.file(record.name).read_bytes() == record.content, record.name
    assert (installation.path / "versioninfo.vif").read_bytes() == version_info(1, old)
    assert installation.starts() == []
    steps = [("app.exe", "check"), ("same.txt", "check"), ("d.bin", "download")]
    if fault == "missing":
        # A failed download ends the loop at once.
        assert "/download/2/last.txt" not in site.requests()
    else:
        # A file that fails to unpack, check or move may already have the next
        # download behind it, unused.
        steps.append(("last.txt", "download"))
    texts = probe.history()["texts"]
    assert texts[str(TITLE)][-1] == "VIGA!" and texts[str(INFO)][-1] == STRINGS[string_id]
    assert_subsequence(texts[str(INFO)][:-1], file_phase_texts(steps)[:-1])
    assert DONE_INFO not in texts[str(INFO)]
    if log_line:
        log.assert_in_order([log_line.format(url=f"{BASE_URL}2/d.bin",
                                             local=windows_path(local)), "Quillomark End"])


def test_a_file_of_3_gib_installs_from_a_container_and_then_patches(site, probe, install_dir):
    installation = install_dir("Quillo mark")
    app = Record("app.exe", TESTAPP.read_bytes())
    container = site.download / "1" / "big.bin"
    container.parent.mkdir(parents=True)
    first, second = pack_big_version_1(container)
    site.master(1)
    site.version(1, [app])
    site.put("1/versioninfo.vif", version_info(1, [app, first]))
    big = installation.file("big.bin")
    try:
        run = Run(probe, installation)
        assert run.finish(ms=300_000) == 0
        assert big.stat().st_size == BIG_SIZE
        assert (installation.path / "versioninfo.vif").read_bytes() == \
            version_info(1, [app, first])

        patch = big_patch()
        site.master(2, patches=["1_2"])
        site.put("2/versioninfo.vif", version_info(2, [app, second]))
        site.put("2/changes.txt", b"")
        site.patch_set(1, 2, {"big.bin": patch})
        run = Run(probe, installation)
        assert run.finish(ms=300_000) == 0
        assert big.stat().st_size == second.size
        assert (installation.path / "versioninfo.vif").read_bytes() == \
            version_info(2, [app, second])
        assert site.requests()[-2:] == ["/download/1_2/versioninfo.vif", "/download/1_2/big.bin"]
        installation.log().assert_in_order([f"Installed: {windows_path(big)}",
                                            f"Patch: successful {windows_path(big)}"])
    finally:
        big.unlink(missing_ok=True)
        container.unlink()


def test_a_prepared_update_is_taken_by_the_next_start(site, probe, install_dir, tmp_path):
    """The application holds every file of version 1 open while a prepare stages
    version 2 (a patch, a container, whole files): nothing installed changes and the
    check says prepared. A second prepare finds it done. Version 3 follows, which
    drops c.bin and changes new.txt: the next prepare fetches only new.txt and
    removes the staged c.bin. A staged file changed by hand since is fetched again;
    the next start downloads nothing else but records."""
    installation = install_dir("Quillo mark")
    installation.install(1, version_1())
    site.master(2, patches=["1_2"])
    site.version(2, version_2())
    site.patch_set(1, 2, {"a.bin": bsdiff(OLD["a.bin"], NEW["a.bin"], tmp_path / "a")})
    for record in version_1():
        probe.hold(installation.file(record.name))
    before = installed(installation)

    assert prepare(installation).wait(120) == 0
    assert installed(installation) == before
    assert (installation.path / "Temp" / "prepared.vif").read_bytes() == \
        site.served("2/versioninfo.vif")
    assert prepare(installation).wait(60) == 0
    assert check(probe, installation) == (11, "prepared 2")
    assert "/download/1_2/a.bin" in site.requests()

    version_3 = [record for record in version_2() if record.name != "c.bin"]
    version_3[-1] = Record("new.txt", b"version 3\r\n")
    site.master(3)
    site.version(3, version_3)
    assert check(probe, installation) == (10, "available 3")
    requested = len(site.requests())
    assert prepare(installation).wait(120) == 0
    assert site.requests()[requested:] == [
        "/download/masterversion", "/download/3/versioninfo.vif", "/download/3/new.txt"]
    staged = installation.path / "Temp" / "prepared"
    assert sorted(path.name for path in staged.rglob("*.*")) == ["a.bin", "b.bin", "new.txt"]
    staged_b = staged / "sub" / "b.bin"
    staged_b.write_bytes(changed(staged_b.read_bytes())[:len(NEW["sub\\b.bin"])])
    for record in version_1():
        probe.release(installation.file(record.name))

    requested = len(site.requests())
    run = Run(probe, installation)
    assert run.finish() == 0
    assert site.requests()[requested:] == [
        "/download/masterversion", "/download/3/versioninfo.vif", "/download/3/changes.txt",
        "/download/3/sub/b.bin"]
    for record in version_3:
        assert installation.file(record.name).read_bytes() == record.content, record.name
    assert (installation.path / "versioninfo.vif").read_bytes() == version_info(3, version_3)
    assert len(installation.starts()) == 1
    # The worker finds the damaged staged file as it checks; the finishing line moves
    # every file into place in the records' order.
    log = run.log()
    log.assert_in_order([
        f"Staged file does not match its record, fetched again: "
        f"{windows_path(installation.path)}\\Temp\\prepared\\sub\\b.bin",
        f"Downloading: {BASE_URL}3/sub\\b.bin"])
    log.assert_in_order([
        f"Prepared: {windows_path(installation.file('a.bin'))}",
        f"Installed: {windows_path(installation.file('sub/b.bin'))}",
        f"Prepared: {windows_path(installation.file('new.txt'))}", "Quillomark End"])


@pytest.mark.parametrize("server_range", ["honour", "ignore"])
def test_a_killed_prepare_continues_where_it_stopped(site, probe, install_dir, server_range):
    """A prepare killed at half of a large file: the next one continues it with a range
    request (or, from a server that ignores ranges, downloads it whole) and stages it."""
    installation = install_dir("Quillo mark")
    installation.install(1, [APP])
    big = Record("big.bin", generator.randbytes(4_000_000))
    site.master(2)
    site.version(2, [APP, big])
    partial = prepare_killed_at_half(probe, site, installation, big)
    site.set_rules({"/download/2/big.bin": f"range={server_range}"})
    sent = site.sent("/2/big.bin")
    assert prepare(installation).wait(120) == 0

    again = site.sent("/2/big.bin") - sent
    if server_range == "honour":
        assert again <= len(big.content) // 2 + 2 * 65536 + 32
    else:
        assert again == len(big.content)
    staged = installation.path / "Temp" / "prepared" / "big.bin"
    assert staged.read_bytes() == big.content
    assert not partial.exists()
    assert check(probe, installation) == (11, "prepared 2")


def test_a_killed_prepare_ends_its_patch_tool(site, probe, install_dir, tmp_path):
    """A prepare killed while its patch tool waits for the installed file, which the
    application holds at that moment: the patch tool ends with the prepare."""
    installation = install_dir("Quillo mark")
    installation.install(1, version_1())
    site.master(2, patches=["1_2"])
    site.version(2, version_2())
    site.patch_set(1, 2, {"a.bin": bsdiff(OLD["a.bin"], NEW["a.bin"], tmp_path / "a")})
    site.set_rules({"/download/1_2/a.bin": "stall=2"})

    probe.start(installation.path, installation.path / "quillomark.exe", "--prepare")
    wait_until(lambda: "/download/1_2/a.bin" in site.requests())
    probe.hold(installation.file("a.bin"), exclusive=True)
    wait_until(lambda: any(image.lower().endswith("\\bspatch.exe")
                           for image in probe.left_running(0)))
    probe.must("kill", "launcher")
    # Left alone, the tool would give up on the held file 10 s after its first try:
    # 8 s tell the two apart and leave a busy machine time to end the process.
    assert probe.ask("wait-idle", 8000, wait_ms=8000)["ok"], probe.left_running(0)
    probe.release(installation.file("a.bin"))


def test_a_start_stops_a_prepare_and_takes_what_it_staged(site, probe, install_dir):
    installation = install_dir("Quillo mark")
    installation.install(1, [APP])
    small = Record("small.txt", b"staged\r\n")
    big = Record("big.bin", generator.randbytes(3_000_000))
    site.master(2)
    site.version(2, [APP, small, big])
    site.set_rules({"/download/2/big.bin": "hang=1000000"})

    preparing = prepare(installation)
    wait_until(lambda: site.sent("/2/big.bin") > 0)
    site.set_rules({})
    run = Run(probe, installation)
    assert preparing.wait(30) == 1
    assert run.finish() == 0
    assert installation.file("big.bin").read_bytes() == big.content
    assert installation.file("small.txt").read_bytes() == small.content
    assert site.requests().count("/download/2/small.txt") == 1
    stopped = Log((installation.path / "ezo-prepare.log").read_bytes()).lines[-1]
    assert stopped.text == "Prepare: stopped for a start of the launcher"
    started = run.log().lines[0]
    assert started.text == "Quillomark Start"
    assert started.time - stopped.time < timedelta(seconds=2)
    run.log().assert_in_order([f"Prepared: {windows_path(installation.file('small.txt'))}",
                               "Quillomark End"])


def test_two_starts_during_a_prepare_leave_the_installation_to_one_of_them(
        site, probe, install_dir):
    """A double double-click while a prepare works: both starts stop it, and within
    about a second of its end exactly one of them updates and starts the application,
    while the other ends with 0 soon after, without a line in the log."""
    installation = install_dir("Quillo mark")
    installation.install(1, [APP])
    big = Record("big.bin", generator.randbytes(3_000_000))
    site.master(2)
    site.version(2, [APP, big])
    site.set_rules({"/download/2/big.bin": "hang=1000000"})

    preparing = prepare(installation)
    wait_until(lambda: site.sent("/2/big.bin") > 0)
    # The run takes a while, so that the start that steps aside finds it working
    # (after a run that has ended, a start runs again).
    site.set_rules({"/download/2/big.bin": "stall=2"})
    launcher = installation.path / "quillomark.exe"
    probe.start(installation.path, launcher)
    other = subprocess.Popen([WINE_RUN, launcher], cwd=installation.path,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    assert preparing.wait(30) == 1
    prepare_ended = time.monotonic()
    ended = {}
    while len(ended) < 2:
        assert time.monotonic() < prepare_ended + 60, f"the starts still run: {ended}"
        if "probe" not in ended and (code := probe.wait_exit(0)) is not None:
            ended["probe"] = (time.monotonic() - prepare_ended, code)
        if "other" not in ended and (code := other.poll()) is not None:
            ended["other"] = (time.monotonic() - prepare_ended, code)
        time.sleep(0.05)
    probe.wait_idle()
    assert [code for _, code in ended.values()] == [0, 0], ended
    # The start that ran showed its window; the other, which only stepped aside,
    # ended within a few seconds of the prepare (not after waiting out its 5 s).
    stepped_aside = "other" if probe.history()["window_seen"] else "probe"
    assert ended[stepped_aside][0] < 2.5, ended

    wait_until(lambda: len(installation.starts()) == 1)
    assert installation.file("big.bin").read_bytes() == big.content
    assert (installation.path / "versioninfo.vif").read_bytes() == version_info(2, [APP, big])
    stopped = next(line for line in Log((installation.path / "ezo-prepare.log").read_bytes()).lines
                   if line.text == "Prepare: stopped for a start of the launcher")
    log = installation.log()
    assert log.texts().count("Quillomark Start") == 1, log.texts()
    assert log.texts().count("Quillomark End") == 1, log.texts()
    started = log.lines[0]
    assert started.text == "Quillomark Start"
    assert started.time - stopped.time < timedelta(seconds=2)
