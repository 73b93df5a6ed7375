"""What a power cut would see: a launcher session under strace, in a Wine prefix of
its own so that its wineserver (which performs Wine's flushes and renames) is traced
too, and the order of writes, flushes and renames read back from the trace."""

import os
import re
import shutil
import subprocess
from dataclasses import dataclass

from harness import WINE_PREFIX as SHARED_PREFIX
from harness import WINE_RUN, Probe

TRACED_CALLS = "write,writev,pwrite64,pwritev,fsync,fdatasync,rename,renameat,renameat2"


def private_prefix(path):
    """A copy of the project's Wine prefix, its files hard links to the shared one's
    (Wine replaces rather than rewrites what it changes there), its registry copied."""
    if not (SHARED_PREFIX / ".quillomark-ready").exists():
        subprocess.run([WINE_RUN, "cmd.exe", "/c", "exit"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not (path / ".quillomark-ready").exists():
        shutil.rmtree(path, ignore_errors=True)
        path.mkdir(parents=True)
        for entry in SHARED_PREFIX.iterdir():
            if entry.name == "drive_c":
                subprocess.run(["cp", "-a", "--link", entry, path], check=True)
            elif entry.name != ".quillomark-ready":
                subprocess.run(["cp", "-a", entry, path], check=True)
        (path / ".quillomark-ready").touch()
    return path


class TracedSession:
    """A probe, and everything it starts, and the prefix's own wineserver, all under
    strace; close() ends them and returns the trace's lines."""

    def __init__(self, work):
        self.prefix = private_prefix(work / "traced-prefix")
        self.trace = work / "trace.txt"
        self.environment = dict(os.environ, QUILLOMARK_WINEPREFIX=str(self.prefix))
        self.stop_server()
        command = ["strace", "-f", "--seccomp-bpf", "-qq", "-y", "-s", "0", "-e", "signal=none",
                   "-e", f"trace={TRACED_CALLS}", "-o", str(self.trace), WINE_RUN]
        self.probe = Probe(work / "traced-probe-stderr.txt", command, self.environment)

    def stop_server(self):
        subprocess.run(["wineserver", "-k"], env=dict(self.environment, WINEPREFIX=str(self.prefix)),
                       stderr=subprocess.DEVNULL)

    def close(self):
        """Ends the probe and the prefix's wineserver with every program it serves,
        so that strace, which waits for all of them, ends too."""
        self.probe.process.stdin.write(b"quit\n")
        self.probe.process.stdin.flush()
        self.stop_server()
        self.probe.close()
        return self.trace.read_text(encoding="utf-8", errors="surrogateescape").splitlines()


@dataclass
class Call:
    name: str
    paths: list
    result: int
    start: int  # position of the line where the call began
    end: int    # position of the line where it returned


CALL = re.compile(r"^(\d+) +(?:<\.\.\. (\w+) resumed>|(\w+)\()(.*)$")
FD_PATH = re.compile(r"^\d+<(.*)>$")
RESULT = re.compile(r"\) += (-?\d+)")


DRIVE_Z = re.compile(r"^.*/dosdevices/z:(?=/)")


def unquote(text):
    r"""A path as strace prints it (quoted with C escapes, or inside <> after -y), as
    a plain path: the wineserver names files through the prefix's drive Z:."""
    if text.startswith('"'):
        text = text[1:-1]
    path = (text.encode("latin-1", "surrogateescape").decode("unicode_escape")
            .encode("latin-1").decode("utf-8", "surrogateescape"))
    return DRIVE_Z.sub("", path)


def arguments(text):
    """The top-level arguments of a call's argument text (quoted strings kept whole)."""
    parts, depth, current, quoted = [], 0, "", False
    for index, char in enumerate(text):
        if quoted:
            current += char
            if char == '"' and text[index - 1] != "\\":
                quoted = False
            continue
        if char == '"':
            quoted = True
        elif char in "<[{":
            depth += 1
        elif char in ">]}":
            depth -= 1
        elif char == "," and depth == 0:
            parts.append(current.strip())
            current = ""
            continue
        current += char
    parts.append(current.strip())
    return parts


def paths_of(name, text):
    """The files a call acts on: the descriptor's path, or a rename's two names."""
    parts = arguments(text[:text.rfind(")")] if ")" in text else text)
    if name.startswith("rename"):
        names = [part for part in parts if part.startswith('"')]
        return [unquote(part) for part in names[:2]]
    fd = FD_PATH.match(parts[0]) if parts else None
    return [unquote(fd.group(1))] if fd else []


def read_calls(lines):
    """Every completed call with the positions of its beginning and its return; a call
    that another process's line interrupted is joined with its resumed part."""
    calls, pending = [], {}
    for position, line in enumerate(lines):
        match = CALL.match(line)
        if not match:
            continue
        pid, resumed, name, rest = match.groups()
        if resumed:
            if pid not in pending:
                continue
            name, start, text = pending.pop(pid)
            text += rest
        else:
            start, text = position, rest
        if text.endswith("<unfinished ...>"):
            pending[pid] = (name, start, text[:-len("<unfinished ...>")])
            continue
        result = RESULT.search(text)
        if result:
            calls.append(Call(name, paths_of(name, text), int(result.group(1)), start, position))
    return calls


def flush_order_violations(lines, root, installed_names, changed_names):
    """What a power cut would find wrong, as texts: a file of the release written in
    place; a rename into the installation whose source's last write was not followed
    by a successful flush before the rename began; a rename of the installed
    versioninfo.vif before the last rename of any other installed file; a changed
    file never moved into place at all."""
    root = str(root).rstrip("/") + "/"
    final = {root + name.replace("\\", "/") for name in installed_names}
    record = root + "versioninfo.vif"
    calls = [call for call in read_calls(lines) if call.result >= 0]
    last_write, synced, problems, renames = {}, {}, [], []
    for call in sorted(calls, key=lambda c: c.start):
        if not call.paths:
            continue
        if "write" in call.name:
            path = call.paths[0]
            last_write[path] = max(last_write.get(path, -1), call.end)
            if path in final:
                problems.append(f"{path} written in place")
        elif call.name in ("fsync", "fdatasync"):
            synced.setdefault(call.paths[0], []).append(call)
        elif call.name.startswith("rename") and len(call.paths) == 2:
            source, target = call.paths
            if target not in final:
                continue
            renames.append((call, target))
            written = last_write.get(source, -1)
            if not any(sync.start > written and sync.end < call.start
                       for sync in synced.get(source, [])):
                problems.append(f"{source} renamed to {target} before its data was flushed")
    record_moves = [call.start for call, target in renames if target == record]
    for call, target in renames:
        if target != record and record_moves and call.start > min(record_moves):
            problems.append(f"{target} moved into place after the record")
    moved = {target for _, target in renames}
    problems += [f"{name} was never moved into place" for name in changed_names
                 if root + name.replace("\\", "/") not in moved]
    return problems
