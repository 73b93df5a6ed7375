#!/usr/bin/python3
"""The time split of one launcher run from its log: each line's share is the time
since the previous line of the same thread, from the timestamps (the lines' own
elapsed field is cut to whole milliseconds). Prints NAME_network_seconds,
NAME_unpacking_seconds, NAME_hashing_seconds and NAME_patching_seconds."""
import re
import sys
from datetime import datetime

LINE = re.compile(r"Th=(\w+) (\S+ \S+) \[[^]]*\] - (.*)")
STAGES = [("network", lambda text: text.startswith("Downloaded: ")),
          ("unpacking", lambda text: text.startswith("Unpacked: ")),
          ("patching", lambda text: text.startswith("Patched: ")),
          ("hashing", lambda text: text.startswith(("Installed: ", "Downloading: "))
           or text.endswith(" Local version ok -> Continue"))]


def split(log):
    totals = {stage: 0.0 for stage, _ in STAGES}
    last_seen = {}
    for line in log:
        match = LINE.match(line.rstrip("\r\n"))
        if not match:
            continue
        thread, stamp, text = match.groups()
        when = datetime.strptime(stamp, "%Y-%b-%d %H:%M:%S.%f")
        if thread in last_seen:
            for stage, belongs in STAGES:
                if belongs(text):
                    totals[stage] += (when - last_seen[thread]).total_seconds()
        last_seen[thread] = when
    return totals


def main():
    name, path = sys.argv[1:3]
    with open(path, encoding="utf-8", errors="replace") as log:
        totals = split(log)
    for stage, _ in STAGES:
        print(f"{name}_{stage}_seconds: {totals[stage]:.3f}")


main()
