#!/usr/bin/python3
"""The time split of one launcher run from its log: each line's share is the time
since the previous line of the same thread (or, for a thread's first line, of any
thread; for the first line of a whole file's finishing, at the earliest since the
end of its download), from the timestamps (the lines' own elapsed field is cut to
whole milliseconds).

  log_split.py NAME LOG [TOTAL-SECONDS [PROCESS-START-SECONDS]]

Prints NAME_network_seconds, NAME_unpacking_seconds, NAME_hashing_seconds and
NAME_patching_seconds (the network share of a changed file also holds the check of
its installed copy, which no line ends; the hashing share holds the move into
place); with the measured time of a hidden process start, the
patching share is split into NAME_process_starts_seconds (one start per patch
applied) and the rest; NAME_waiting_seconds holds the worker's waits for the
finishing line to take the next downloaded file, and with the run's total what no
stage accounts for: starting the launcher and its window, the control files,
completion and the application's start; NAME_overlapped_seconds is by how much the stages add up
to more than the total, since downloads go on while earlier files are unpacked,
checked and moved. NAME_run_seconds runs from the master record's arrival
to the log's last line, the window's after it started the application: the records'
download and reading, the file loop, completion, and the window's handling of what
the engine posted, without the start of Wine and of the window."""
import bisect
import os
import re
import sys
from collections import deque
from datetime import datetime

# What the finishing line lets wait, and how many files it works on at once, as the
# engine sets them (finishing_line.h).
WAITING_LIMIT = 64 * 1024 * 1024
LINE_WIDTH = int(os.environ.get("QUILLOMARK_FINISHING_WIDTH") or min(8, max(2, os.cpu_count())))
LINE = re.compile(r"Th=(\w+) (\S+ \S+) \[[^]]*\] - (.*)")
STAGES = [("network", lambda text: text.startswith("Downloaded: ")),
          ("unpacking", lambda text: text.startswith("Unpacked: ")),
          ("patching", lambda text: text.startswith("Patched: ")),
          ("hashing", lambda text: text.startswith(("Installed: ", "Downloading: ",
                                                     "Patch: successful "))
           or text.endswith(" Local version ok -> Continue"))]


def starts_finishing(text, previous):
    """The first line of a whole file's finishing (unpacking, or the check and move)."""
    return text.startswith("Unpacked: ") or (text.startswith("Installed: ")
                                             and not previous.startswith("Unpacked: "))


def parse(log):
    lines = []
    for line in log:
        match = LINE.match(line.rstrip("\r\n"))
        if match:
            thread, stamp, text = match.groups()
            # A stamp on the whole second is written without its fraction.
            form = "%Y-%b-%d %H:%M:%S.%f" if "." in stamp else "%Y-%b-%d %H:%M:%S"
            lines.append((thread, datetime.strptime(stamp, form), text))
    return lines


def installed_size(windows_path):
    """The size of an installed file named in the log (Wine's Z: is the Unix root)."""
    path = windows_path[2:].replace("\\", "/") if windows_path[1:2] == ":" else windows_path
    return os.path.getsize(path) if os.path.isfile(path) else 0


def finishing_waits(lines):
    """When the worker waited for the finishing line, as (thread, from, to). The
    line's jobs start in download order, LINE_WIDTH at once; a hand-over waits while
    the jobs waiting, with it, would stand for more than WAITING_LIMIT bytes, unless
    none waits. The waits are replayed from the downloads' ends, the installations'
    ends and the installed files' sizes: a job is taken to start once the job
    LINE_WIDTH places before it is installed."""
    whole_files, handed, installed = set(), [], []
    for thread, when, text in lines:
        if text.startswith("Downloading: "):
            whole_files.add(text[len("Downloading: "):])
        elif text.startswith("Downloaded: ") and text[len("Downloaded: "):] in whole_files:
            handed.append((thread, when))
        elif text.startswith("Installed: "):
            installed.append((when, installed_size(text[len("Installed: "):])))
    waits, starts = [], []
    for k, ((thread, downloaded), (_, size)) in enumerate(zip(handed, installed)):
        # Jobs start in order, so those still waiting at the download's end are the
        # last ones; each leaves the queue when it starts.
        first_waiting = bisect.bisect_right(starts, downloaded)
        waiting = sum(installed[j][1] for j in range(first_waiting, k))
        handed_over = downloaded
        for j in range(first_waiting, k):
            if waiting + size <= WAITING_LIMIT:
                break
            waiting -= installed[j][1]
            handed_over = starts[j]
        if handed_over > downloaded:
            waits.append((thread, downloaded, handed_over))
        starts.append(max(handed_over, installed[k - LINE_WIDTH][0])
                      if k >= LINE_WIDTH else handed_over)
    return waits


def waited(thread, since, when, waits):
    return sum(max(0.0, (min(when, end) - max(since, start)).total_seconds())
               for waiter, start, end in waits if waiter == thread)


def split(lines):
    totals = {stage: 0.0 for stage, _ in STAGES}
    totals["waiting"] = 0.0
    waits = finishing_waits(lines)
    last_seen, last_text = {}, {}
    whole_files, downloaded = set(), deque()
    patches = 0
    master_seen = last_line = None
    for thread, when, text in lines:
        # A thread's first line counts from the line before it, of any thread.
        since = last_seen.get(thread, last_line)
        # Whole files are finished in download order, on the worker or on the
        # finishing line; a file's finishing cannot begin before its download ended.
        if text.startswith("Downloading: "):
            whole_files.add(text[len("Downloading: "):])
        elif text.startswith("Downloaded: ") and text[len("Downloaded: "):] in whole_files:
            downloaded.append(when)
        elif starts_finishing(text, last_text.get(thread, "")) and downloaded:
            since = max(since, downloaded.popleft())
        last_text[thread] = text
        if since is not None:
            for stage, belongs in STAGES:
                if belongs(text):
                    blocked = min(waited(thread, since, when, waits),
                                  (when - since).total_seconds())
                    totals["waiting"] += blocked
                    totals[stage] += (when - since).total_seconds() - blocked
        last_seen[thread] = when
        patches += text.startswith("Patched: ")
        if text.startswith("MasterVersion: "):
            master_seen = when
        last_line = when
    run = (last_line - master_seen).total_seconds() if master_seen else 0.0
    return totals, patches, run


def main():
    name, path = sys.argv[1:3]
    total = float(sys.argv[3]) if len(sys.argv) > 3 else None
    start_seconds = float(sys.argv[4]) if len(sys.argv) > 4 else None
    with open(path, encoding="utf-8", errors="replace") as log:
        totals, patches, run = split(parse(log))
    if start_seconds is not None:
        totals["process_starts"] = min(totals["patching"], patches * start_seconds)
        totals["patching"] -= totals["process_starts"]
    if total is not None:
        stages = sum(totals.values())
        totals["waiting"] += max(0.0, total - stages)
        totals["overlapped"] = max(0.0, stages - total)
    for stage, seconds in totals.items():
        print(f"{name}_{stage}_seconds: {seconds:.3f}")
    print(f"{name}_run_seconds: {run:.3f}")


main()
