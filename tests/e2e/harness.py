"""The parts of the end-to-end tests: the server tree of versions and patch sets,
the file of 3 GiB with its container and patch, the installation directory, the
test server process, the probe that runs the launcher under Wine, and the readers of
the log and of what the windows showed."""

import bz2
import hashlib
import json
import os
import random
import re
import select
import shutil
import struct
import subprocess
import tempfile
import threading
import time
from dataclasses import dataclass, field
from datetime import datetime, timedelta
from pathlib import Path

PORT = int(os.environ.get("QM_E2E_PORT", "18480"))
WORK = Path(os.environ.get("QM_E2E_WORK", "/tmp/quillomark-e2e"))
LAUNCHER = Path(os.environ.get("QM_E2E_LAUNCHER", ""))
PROBE = Path(os.environ.get("QM_E2E_PROBE", ""))
TESTAPP = Path(os.environ.get("QM_E2E_TESTAPP", ""))
WINE_RUN = os.environ.get("QM_WINE_RUN", "")
SERVER_SCRIPT = os.environ.get("QM_TEST_SERVER", "")
PUBLISH = os.environ.get("QM_PUBLISH", "")
BASE_URL = f"http://127.0.0.1:{PORT}/download/"
# The Wine prefix that scripts/wine-run uses.
WINE_PREFIX = Path(os.environ.get("QUILLOMARK_WINEPREFIX")
                   or Path(__file__).resolve().parents[2] / "build" / "wineprefix")

# Control ids of the progress window.
TITLE, INFO, BYTES, BAR, NOTES_BUTTON, CANCEL = 1003, 1001, 1002, 1000, 1006, 2

# The texts of the launcher's string table.
STRINGS = {
    104: "Uuendamiseks vajalikku faili ei õnnestunud lahti pakkida.\n"
         "Kontrollige, et uuendatav programm on suletud!",
    105: "Uuendatud faili räsi ei vasta serveri versioonile!",
    106: "Faili ei õnnestunud üle kopeerida.\nKontrollige, et uuendatav programm on suletud!",
    107: "Faili allalaadimine ebaõnnestus!",
}


def md5(content):
    return hashlib.md5(content).digest()


def windows_path(path):
    """The path as Wine's programs see it, through drive Z:."""
    return "Z:" + str(path).replace("/", "\\")


def unix_path(path):
    """A Windows path of the Wine user ("C:\\users\\...") or of drive Z: as a Linux path."""
    drive, rest = path[0].upper(), path[3:].replace("\\", "/")
    return Path("/" + rest) if drive == "Z" else WINE_PREFIX / "drive_c" / rest


def registry(key):
    """The values below a registry key, exported by Wine's reg.exe: {key: {name: value}},
    keys as reg.exe names them ("HKEY_CURRENT_USER\\..."), REG_DWORD values as int;
    None when there is no such key."""
    with tempfile.TemporaryDirectory() as folder:
        export = Path(folder) / "export.reg"
        exported = subprocess.run([WINE_RUN, "reg", "export", key, windows_path(export), "/y"],
                                  capture_output=True)
        if exported.returncode != 0:
            return None
        text = export.read_bytes().decode("utf-16")
    keys, current = {}, None
    unescape = lambda quoted: re.sub(r"\\(.)", r"\1", quoted)  # noqa: E731
    for line in text.splitlines():
        if line.startswith("["):
            current = keys.setdefault(line[1:-1], {})
        value = re.fullmatch(r'"((?:[^"\\]|\\.)*)"=(?:"((?:[^"\\]|\\.)*)"|dword:([0-9a-f]{8}))',
                             line)
        if value:
            name, quoted, number = value.groups()
            current[unescape(name)] = unescape(quoted) if number is None else int(number, 16)
    return keys


def unix_name(name):
    """A record name ("sub\\a.txt") as a relative POSIX path."""
    return name.replace("\\", "/")


def lzma_container(content):
    """The content in an LZMA container, as xz writes it."""
    return subprocess.run(["xz", "--format=lzma", "-c"], input=content, stdout=subprocess.PIPE,
                          check=True).stdout


def bsdiff(old, new, folder):
    """A BSDIFF40 patch from old to new, made by Debian's bsdiff."""
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "old").write_bytes(old)
    (folder / "new").write_bytes(new)
    subprocess.run(["bsdiff", folder / "old", folder / "new", folder / "patch"], check=True)
    return (folder / "patch").read_bytes()


@dataclass
class Record:
    """One file of a version information file."""
    name: str
    content: bytes
    compressed: bool = False

    def encoded(self):
        name = self.name.encode("utf-8")
        return (struct.pack("<i", len(name)) + name
                + struct.pack("<IBB", len(self.content), int(self.compressed), 16) + md5(self.content))


def version_info(version, records):
    """The bytes of a versioninfo.vif."""
    return (b"QM_VIF" + struct.pack("<Bii", 1, version, len(records))
            + b"".join(record.encoded() for record in records))


# The file of 3 GiB: a block of 64 KiB again and again, each copy stamped with its
# number, so that every block differs yet the file packs small and quickly.
BIG_SIZE = 3 << 30
BIG_BLOCK = 1 << 16
BIG_BASE = random.Random(27).randbytes(BIG_BLOCK)


def big_pieces(start, stop):
    """The big file's bytes from start to stop, at most a block at a time."""
    while start < stop:
        index, offset = divmod(start, BIG_BLOCK)
        block = bytearray(BIG_BASE)
        struct.pack_into("<Q", block, index * 4099 % (BIG_BLOCK - 8), index)
        end = min(stop - index * BIG_BLOCK, BIG_BLOCK)
        yield block[offset:end]
        start = index * BIG_BLOCK + end


# Version 2 of the big file as (old position, bytes of the old file skipped, bytes
# inserted) from front to back: an insertion, a change past 2 GiB, a run of 1 MiB of
# the old file repeated (a step back) and a deletion near the end.
BIG_EDITS = [(1 << 30, 0, b"inserted " * 600),
             ((5 << 29) + 12345, 100, random.Random(5).randbytes(100)),
             (11 << 28, -(1 << 20), b""),
             (BIG_SIZE - (1 << 20), 70_000, b"")]


def big_version_2_pieces():
    position = 0
    for at, skipped, inserted in BIG_EDITS:
        yield from big_pieces(position, at)
        yield inserted
        position = at + skipped
    yield from big_pieces(position, BIG_SIZE)


def big_patch():
    """BSDIFF40 from version 1 to 2 of the big file: the old file's runs come through
    a diff block of zeros, the rest through the extra block."""
    control, extra, position, copied = b"", b"", 0, 0
    for at, skipped, inserted in BIG_EDITS:
        control += b"".join(patch_number(n) for n in (at - position, len(inserted), skipped))
        extra += inserted
        copied += at - position
        position = at + skipped
    control += b"".join(patch_number(n) for n in (BIG_SIZE - position, 0, 0))
    copied += BIG_SIZE - position
    blocks = [bz2.compress(control), bzip2_zeros(copied), bz2.compress(extra)]
    size = copied + len(extra)
    return (b"BSDIFF40" + patch_number(len(blocks[0])) + patch_number(len(blocks[1]))
            + patch_number(size) + b"".join(blocks))


def patch_number(value):
    """The format's 8-byte number: magnitude little-endian, sign in the top bit."""
    return struct.pack("<Q", abs(value) | (1 << 63 if value < 0 else 0))


BZIP2_BLOCK_MAGIC = format(0x314159265359, "048b")
BZIP2_END_MAGIC = format(0x177245385090, "048b")
# bzip2 -9 fills a block with 179,997 runs of 255 zeros.
ZEROS_PER_BZIP2_BLOCK = 179_997 * 255


def bzip2_blocks(stream):
    """The header's bits and each block's bits (from its magic to the next) of a
    bzip2 stream, as text of 0 and 1."""
    bits = format(int.from_bytes(stream, "big"), f"0{len(stream) * 8}b")
    end = bits.rfind(BZIP2_END_MAGIC)
    starts = []
    position = bits.find(BZIP2_BLOCK_MAGIC, 32)
    while 0 <= position < end:
        starts.append(position)
        position = bits.find(BZIP2_BLOCK_MAGIC, position + 48)
    return bits[:32], [bits[a:b] for a, b in zip(starts, starts[1:] + [end])]


def bzip2_zeros(count):
    """A bzip2 stream of `count` zero bytes: every full block of zeros codes alike,
    so one is coded and repeated, where compressing 3 GiB would take half a minute.
    The stream's CRC combines the blocks' CRCs (bits 48 to 80 of each block)."""
    header, full = bzip2_blocks(bz2.compress(bytes(ZEROS_PER_BZIP2_BLOCK + 1)))
    _, last = bzip2_blocks(bz2.compress(bytes(count % ZEROS_PER_BZIP2_BLOCK)))
    blocks = full[:1] * (count // ZEROS_PER_BZIP2_BLOCK) + last
    combined = 0
    for block in blocks:
        combined = ((combined << 1 | combined >> 31) & 0xFFFFFFFF) ^ int(block[48:80], 2)
    bits = header + "".join(blocks) + BZIP2_END_MAGIC + format(combined, "032b")
    bits += "0" * (-len(bits) % 8)
    return int(bits, 2).to_bytes(len(bits) // 8, "big")


class BigRecord:
    """The record of a file that is never held in memory."""

    def __init__(self, name, pieces, compressed):
        self.name, self.compressed = name, compressed
        digest, self.size = hashlib.md5(), 0
        for piece in pieces:
            digest.update(piece)
            self.size += len(piece)
        self.digest = digest.digest()

    def encoded(self):
        name = self.name.encode("utf-8")
        return (struct.pack("<i", len(name)) + name
                + struct.pack("<IBB", self.size, int(self.compressed), 16) + self.digest)


def pack_big_version_1(container):
    """Writes version 1 of the big file packed by xz, fed while its digest is taken;
    meanwhile version 2's digest is taken on another thread. Returns the records of
    both versions."""
    with open(container, "wb") as out:
        packer = subprocess.Popen(["xz", "--format=lzma", "--lzma1=dict=1MiB,mf=hc3,mode=fast,"
                                   "nice=273,depth=1", "-c"], stdin=subprocess.PIPE, stdout=out)
        second = {}
        hashing = threading.Thread(target=lambda: second.update(
            record=BigRecord("big.bin", big_version_2_pieces(), compressed=False)))
        hashing.start()

        def fed():
            for piece in big_pieces(0, BIG_SIZE):
                packer.stdin.write(piece)
                yield piece
        first = BigRecord("big.bin", fed(), compressed=True)
        packer.stdin.close()
        assert packer.wait() == 0
        hashing.join()
    return first, second["record"]


class Site:
    """The tree below /download/ of the test server and the per-path rules."""

    def __init__(self, root, state):
        self.download = root / "download"
        self.state = state
        shutil.rmtree(self.download, ignore_errors=True)
        self.download.mkdir(parents=True)
        self.set_rules({})
        (state / "requests.log").write_bytes(b"")
        (state / "sent.log").write_bytes(b"")

    def put(self, path, content):
        target = self.download / unix_name(path)
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(content)

    def served(self, path):
        return (self.download / unix_name(path)).read_bytes()

    def master(self, version, startapp="app.exe", patches=None, force_notes=False, extra=""):
        text = f"version={version}$startapp={startapp}"
        if patches is not None:
            text += "$patches=" + ",".join(patches)
        if force_notes:
            text += "$force_releasenotes=1"
        self.put("masterversion", (text + extra).encode("utf-8"))

    def version(self, number, records, notes="Uus versioon".encode("utf-8")):
        """Publishes a version: its versioninfo.vif, changes.txt and every file, LZMA
        containers for the compressed ones. Returns the bytes each file is served with."""
        self.put(f"{number}/versioninfo.vif", version_info(number, records))
        if notes is not None:
            self.put(f"{number}/changes.txt", notes)
        served = {}
        for record in records:
            served[record.name] = (lzma_container(record.content) if record.compressed
                                   else record.content)
            self.put(f"{number}/{record.name}", served[record.name])
        return served

    def patch_set(self, old, new, patches):
        """Publishes the patch set old_new; patches maps a record name to its patch bytes."""
        name = f"{old}_{new}"
        records = [Record(file, patch) for file, patch in patches.items()]
        self.put(f"{name}/versioninfo.vif", version_info(new, records))
        for file, patch in patches.items():
            self.put(f"{name}/{file}", patch)

    def set_rules(self, rules):
        """Misbehaviour per path ("/download/2/a.bin": "stall=1"), read by the server per request."""
        temporary = self.state / "rules.json.tmp"
        temporary.write_text(json.dumps(rules), encoding="utf-8")
        temporary.replace(self.state / "rules.json")

    def requests(self):
        """The decoded paths requested since the site was built, in order; a request
        repeated at once (the transfer's retry after a failure) counts once."""
        from urllib.parse import unquote_to_bytes
        lines = (self.state / "requests.log").read_bytes().splitlines()
        paths = [unquote_to_bytes(line).decode("utf-8") for line in lines]
        return [path for i, path in enumerate(paths) if i == 0 or paths[i - 1] != path]


    def sent(self, path_part=""):
        """The body bytes the server sent since the site was built, to targets that
        hold `path_part`."""
        lines = (self.state / "sent.log").read_text("latin-1").splitlines()
        return sum(int(count) for count, target in (line.split(" ", 1) for line in lines)
                   if path_part in target)


class Installation:
    """An installation directory with the launcher in it as quillomark.exe."""

    def __init__(self, path):
        self.path = path
        path.mkdir(parents=True)
        shutil.copyfile(LAUNCHER, path / "quillomark.exe")

    @property
    def launcher(self):
        return (self.path / "quillomark.exe").read_bytes()

    def file(self, name):
        return self.path / unix_name(name)

    def work_file(self, name):
        """Where a file of the release downloads, in the work directory's folder of the
        release's files (apart from the launcher's own at its top)."""
        return self.path / "Temp" / "files" / unix_name(name)

    def install(self, version, records):
        """Lays down the files of a version and its versioninfo.vif, as an earlier run would."""
        for record in records:
            self.file(record.name).parent.mkdir(parents=True, exist_ok=True)
            self.file(record.name).write_bytes(record.content)
        (self.path / "versioninfo.vif").write_bytes(version_info(version, records))

    def log(self):
        return Log((self.path / "ezo.log").read_bytes())

    def wait_log_line(self, part, seconds=30):
        """Waits until a whole line of the log holds `part`, woken by inotify at each
        change of the directory; returns the line."""
        watcher = subprocess.Popen(["inotifywait", "-m", "-q", "-e", "modify,create",
                                    str(self.path)], stdout=subprocess.PIPE)
        deadline = time.monotonic() + seconds
        try:
            while True:
                log = self.path / "ezo.log"
                lines = log.read_bytes().split(b"\r\n")[:-1] if log.exists() else []
                found = [line.decode("utf-8") for line in lines if part.encode("utf-8") in line]
                if found:
                    return found[0]
                remaining = deadline - time.monotonic()
                assert remaining > 0, f"no log line with {part!r} in {seconds} s"
                # A change made while the watch was being set up has no event of its
                # own: look again at least every second.
                if select.select([watcher.stdout], [], [], min(remaining, 1.0))[0]:
                    watcher.stdout.readline()
        finally:
            watcher.kill()
            watcher.wait()

    def starts(self):
        """What the test application recorded of each of its starts."""
        record = self.path / "started.txt"
        if not record.exists():
            return []
        return [json.loads(line) for line in record.read_text(encoding="utf-8").splitlines()]


CHECK_LOG = "ezo-prepare.log"
# The launcher patches or unpacks download W into W.<its process id>-<its start time>.new.
FRESH_SUFFIX = r"\.\d+-[0-9a-f]+\.new"


def wait_until(condition, seconds=60):
    """Looks every 50 ms until the condition holds."""
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "the condition did not come true"
        time.sleep(0.05)


def contents(installation):
    """Every file and folder below the installation, files with their bytes, but the
    check's own log."""
    return {path.relative_to(installation.path): path.read_bytes() if path.is_file() else None
            for path in installation.path.rglob("*") if path.name != CHECK_LOG}


def installed(installation):
    """contents() without the work directory."""
    return {path: content for path, content in contents(installation).items()
            if path.parts[0] != "Temp"}


def stamped_launcher(template, out, *options):
    """The template stamped by the host's publisher for this slot's server, without
    a key; returns its bytes."""
    subprocess.run([PUBLISH, "launcher", "--template", template, "--base-url", BASE_URL,
                    "--unsigned", *options, "--out", out], check=True, capture_output=True)
    return Path(out).read_bytes()


def prepare(installation, *arguments):
    """Starts quillomark.exe --prepare in the installation; returns the process."""
    return subprocess.Popen([WINE_RUN, installation.path / "quillomark.exe", "--prepare",
                             *arguments], cwd=installation.path, stdout=subprocess.DEVNULL)


def prepare_killed_at_half(probe, site, installation, record):
    """A prepare of version 2 killed once about half of the record's file has arrived
    (the server sends no more of it); returns its partial work file."""
    half = len(record.content) // 2
    site.set_rules({f"/download/2/{record.name}": f"hang={half}"})
    probe.start(installation.path, installation.path / "quillomark.exe", "--prepare")
    partial = installation.work_file(record.name)
    wait_until(lambda: partial.exists() and partial.stat().st_size >= half - 2 * 65536)
    probe.must("kill", "launcher")
    assert probe.wait_exit() is not None
    return partial


def check(probe, installation):
    """quillomark.exe --check in the installation, twice: through the probe, which sees
    that no window shows, and with a pipe as its standard output. Neither run changes
    anything but the check's log, and both end alike. Returns the exit code and the
    line written, which the log repeats."""
    before = contents(installation)
    probe.start(installation.path, installation.path / "quillomark.exe", "--check")
    code = probe.wait_exit()
    assert not probe.history()["window_seen"]
    answered = subprocess.run([WINE_RUN, installation.path / "quillomark.exe", "--check"],
                              cwd=installation.path, stdout=subprocess.PIPE, timeout=60)
    assert answered.returncode == code, answered
    assert contents(installation) == before
    line = answered.stdout.decode("ascii")
    assert line.endswith("\r\n") and line.count("\n") == 1, line
    log = Log((installation.path / CHECK_LOG).read_bytes()).texts()
    assert log[-2:] == [f"Check: {line[:-2]}", "Quillomark Check End"], log
    return code, line[:-2]


LINE = re.compile(r"Th=([0-9a-f]+) (\d{4}-[A-Z][a-z]{2}-\d\d \d\d:\d\d:\d\d(?:\.\d{6})?) "
                  r"\[ (-?\d+) (ms|s) \] - (.*)")
MARKER = re.compile(r"--- (\d{4}-[A-Z][a-z]{2}-\d\d \d\d:\d\d:\d\d) ---")


@dataclass
class LogLine:
    thread: str
    time: datetime
    text: str


class Log:
    """ezo.log as written on Windows: CRLF line ends, one marker per opening."""

    def __init__(self, raw):
        self.raw = raw
        assert b"\n" not in raw.replace(b"\r\n", b""), "a line end without CR"
        self.markers = []
        self.lines = []
        for text in raw.decode("utf-8").split("\r\n"):
            self._parse(text)

    def _parse(self, text):
        if not text:
            return
        marker = MARKER.fullmatch(text)
        if marker:
            self.markers.append(datetime.strptime(marker.group(1), "%Y-%b-%d %H:%M:%S"))
            return
        line = LINE.fullmatch(text)
        assert line, f"not a log line: {text!r}"
        stamp = line.group(2)
        pattern = "%Y-%b-%d %H:%M:%S.%f" if "." in stamp else "%Y-%b-%d %H:%M:%S"
        self.lines.append(LogLine(line.group(1), datetime.strptime(stamp, pattern), line.group(5)))

    def texts(self):
        return [line.text for line in self.lines]

    def assert_in_order(self, expected):
        """The lines occur in this order; URLs and paths compare with escapes decoded
        and backslashes as slashes."""
        assert_in_order([url_path(text) for text in expected], [url_path(t) for t in self.texts()])

    def thread_of(self, text):
        return next(line.thread for line in self.lines if line.text == text)

    def assert_local_times(self, since, until):
        """Every line and marker lies in the local-time span of the run."""
        low, high = since - timedelta(seconds=1), until + timedelta(seconds=1)
        for moment in self.markers + [line.time for line in self.lines]:
            assert low <= moment <= high, f"{moment} is not local time of the run {since}-{until}"


def assert_in_order(expected, actual):
    """Each expected item occurs in actual, in this order (other items may come between)."""
    position = 0
    for item in expected:
        assert item in actual[position:], f"{item!r} missing after position {position} in {actual!r}"
        position = actual.index(item, position) + 1


def assert_subsequence(shown, possible):
    """Everything a control showed is one of the texts it may show, in their order:
    the probe samples every few milliseconds, so a short-lived text may be missing."""
    position = 0
    for text in shown:
        assert text in possible[position:], (
            f"{text!r} shown out of order or unexpected; may show {possible[position:]!r}, "
            f"showed {shown!r}")
        position = possible.index(text, position)


class ProbeError(AssertionError):
    pass


class Probe:
    """qm_probe under Wine: one command line out, one JSON answer back."""

    def __init__(self, stderr_path, runner=(WINE_RUN,), environment=None):
        self.stderr = open(stderr_path, "ab")
        self.process = subprocess.Popen([*runner, str(PROBE)], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=self.stderr,
                                        env=environment)

    def close(self):
        if self.process.poll() is None:
            self.process.stdin.write(b"quit\n")
            self.process.stdin.close()
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.stderr.close()

    def ask(self, *fields, wait_ms=0):
        escaped = (str(f).replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")
                   for f in fields)
        self.process.stdin.write(("\t".join(escaped) + "\n").encode("utf-8"))
        self.process.stdin.flush()
        ready, _, _ = select.select([self.process.stdout], [], [], wait_ms / 1000 + 30)
        if not ready:
            raise ProbeError(f"the probe did not answer {fields[0]}")
        line = self.process.stdout.readline()
        if not line:
            raise ProbeError(f"the probe ended at {fields[0]}")
        return json.loads(line)

    def must(self, *fields, wait_ms=0):
        answer = self.ask(*fields, wait_ms=wait_ms)
        if not answer["ok"]:
            raise ProbeError(f"{fields}: {answer}")
        return answer

    def start(self, directory, program, *arguments):
        return self.must("start", windows_path(directory), windows_path(program), *arguments)["pid"]

    def park(self, directory, program, *arguments):
        """Creates the program suspended, held so until the probe ends or the test
        ends it with "kill parked"."""
        return self.must("park", windows_path(directory), windows_path(program), *arguments)["pid"]

    def wait_window(self, ms=15000):
        self.must("wait-window", ms, wait_ms=ms)

    def wait_text(self, control, text, ms=15000, prefix=False):
        mode = "prefix" if prefix else "exact"
        return self.must("wait-text", control, ms, mode, text, wait_ms=ms)["text"]

    def wait_notes(self, count, ms=15000):
        self.must("wait-notes", count, ms, wait_ms=ms)

    def read(self):
        return self.must("read")["view"]

    def wait_view(self, ms=15000, **shown):
        """Waits until the progress window shows every given field of read() at once
        (title="VALMIS", bar=100, foreground=True); returns the view."""
        fields = [str(value).lower() if isinstance(value, bool) else str(value)
                  for pair in shown.items() for value in pair]
        answer = self.ask("wait-view", ms, *fields, wait_ms=ms)
        if not answer["ok"]:
            raise ProbeError(f"the window did not show {shown} in {ms} ms: {answer}")
        return answer["view"]

    def history(self):
        return self.must("history")

    def click(self, control):
        self.must("click", control)

    def wait_gone(self, ms=15000):
        self.must("wait-gone", ms, wait_ms=ms)

    def click_notes_ok(self):
        self.must("click-notes-ok")

    def wait_exit(self, ms=30000):
        """The launcher's exit code, or None when it still runs at the deadline."""
        answer = self.ask("wait-exit", ms, wait_ms=ms)
        return answer["exit_code"] if answer["ok"] else None

    def wait_idle(self, ms=30000):
        left = self.left_running(ms)
        if left:
            raise ProbeError(f"still running after {ms} ms: {left}")

    def left_running(self, ms=30000):
        """Waits for every process of the job to end; the image paths of those still
        running at the deadline."""
        answer = self.ask("wait-idle", ms, wait_ms=ms)
        if answer["ok"]:
            return []
        if "running" not in answer:
            raise ProbeError(f"wait-idle: {answer}")
        return answer["running"]

    def hold(self, path, exclusive=False):
        """Keeps the file open, sharing reading, or with `exclusive` nothing."""
        self.must("hold", windows_path(path), *(["exclusive"] if exclusive else []))

    def release(self, path):
        self.must("release", windows_path(path))

    def key(self, name, window="progress"):
        """Brings the progress window (or the notes window) to the front and presses
        escape, enter or tab in it."""
        self.must("key", name, window)

    def wait_focus(self, window, control, ms=15000):
        """Waits until the launcher's keyboard focus is on the control of the progress
        (or the notes) window."""
        self.must("wait-focus", ms, window, control, wait_ms=ms)

    def layout(self):
        """The progress window's DPI, place and size, and its visible static controls'
        texts with their sizes and the sizes their texts need."""
        return self.must("layout")

    def bar_names(self):
        """The progress bar's accessible name and the text of the control before it."""
        answer = self.must("names")
        return answer["accessible"], answer["label"]


@dataclass
class Run:
    """One start of the launcher in an installation, timed in local time."""
    probe: Probe
    installation: Installation
    arguments: tuple = ()
    started: datetime = field(default_factory=datetime.now)

    def __post_init__(self):
        self.probe.start(self.installation.path, self.installation.path / "quillomark.exe",
                         *self.arguments)

    def finish(self, ms=30000):
        """Waits for the launcher and every process it started; returns its exit code."""
        code = self.probe.wait_exit(ms)
        assert code is not None, f"the launcher still runs after {ms} ms: {self.probe.read()}"
        self.probe.wait_idle(ms)
        self.ended = datetime.now()
        return code

    def log(self):
        log = self.installation.log()
        log.assert_local_times(self.started, getattr(self, "ended", datetime.now()))
        return log

    def cancel(self):
        """Closes the window with Cancel; the launcher ends with 0 and logs its end last."""
        self.probe.click(CANCEL)
        self.probe.wait_gone()
        assert self.finish() == 0
        log = self.log()
        assert log.texts()[-1] == "Quillomark End"
        return log


class SlotServer:
    """fault_server.py on this slot's port, serving WORK/server/root."""

    def __init__(self):
        self.root = WORK / "server" / "root"
        self.state = WORK / "server" / "state"
        subprocess.run(["/usr/bin/python3", SERVER_SCRIPT, "start", "--root", self.root,
                        "--state", self.state, "--port", str(PORT)], check=True,
                       stdout=subprocess.DEVNULL)

    def stop(self):
        subprocess.run(["/usr/bin/python3", SERVER_SCRIPT, "stop", "--state", self.state],
                       check=True)


DONE_INFO = "Vajalikud failid edukalt uuendatud"
RUN_TITLES = ["", "Versiooni kontrollimine...", "Failide uuendamine", "VALMIS"]


def file_phase_texts(steps):
    """The info texts of a complete run, in order: steps are (name, what happens to
    it), what being "check", "patch", "download" or "patch+download"."""
    texts = ["info"]
    for name, what in steps:
        texts.append("Kontrollin: " + name)
        if what.startswith("patch"):
            texts.append("Uuendan: " + name)
        if what.endswith("download"):
            texts.append("Laen alla: " + name)
    return texts + [DONE_INFO]


def assert_counters(history, files):
    """The byte counter only grows; the bar shows shares of the files done, growing."""
    kilobytes = [int(text[:-2]) for text in history["texts"][str(BYTES)] if text]
    assert all(text.endswith("KB") for text in history["texts"][str(BYTES)] if text)
    assert kilobytes == sorted(kilobytes), f"the byte counter went back: {kilobytes}"
    bar = [int(value) for value in history["texts"][str(BAR)]]
    assert bar == sorted(bar), f"the bar went back: {bar}"
    assert set(bar) <= {done * 100 // files for done in range(files + 1)}, bar


def assert_bytes_shown(text, received):
    """The byte counter as the waiter's last round saw it, which may come before the
    last files: some, but never more than was received."""
    assert text.endswith("KB") and 0 < int(text[:-2]) <= received // 1024, (text, received)


def url_path(url):
    """A URL as the server sees it: escapes decoded, backslashes as slashes."""
    from urllib.parse import unquote
    return unquote(url).replace("\\", "/")
