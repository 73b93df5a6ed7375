#!/usr/bin/python3
"""Runs a command and records the peak resident size of each program it starts,
however deep: this process adopts the orphans among them (a Windows program under
Wine starts another as an orphan), reaps every one and reads its peak from the
kernel's accounting. Appends "<program> <peak KiB>" lines to OUT and exits with
the command's status.

  peak_rss.py OUT COMMAND [ARGS...]"""

import ctypes
import os
import signal
import subprocess
import sys

PR_SET_CHILD_SUBREAPER = 36


def program_of(pid):
    try:
        with open(f"/proc/{pid}/comm") as comm:
            return comm.read().strip()
    except OSError:
        return "?"


def main():
    out, command = sys.argv[1], sys.argv[2:]
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        sys.exit("peak_rss: cannot adopt orphans")
    child = subprocess.Popen(command)
    # A time-out around this process ends the command too.
    signal.signal(signal.SIGTERM, lambda *_: child.terminate())
    peaks, status = {}, None
    while True:
        try:
            # A finished program stays a zombie until reaped, its name still readable.
            info = os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOWAIT)
        except ChildProcessError:
            break
        program = program_of(info.si_pid)
        pid, wait_status, usage = os.wait4(info.si_pid, 0)
        peaks[program] = max(peaks.get(program, 0), usage.ru_maxrss)
        if pid == child.pid:
            status = os.waitstatus_to_exitcode(wait_status)
    child.returncode = status
    with open(out, "a") as lines:
        for program, kib in peaks.items():
            lines.write(f"{program} {kib}\n")
    sys.exit(status or 0)


main()
