#!/usr/bin/python3
"""The two halves of `make reliability` that are not shell.

  reliability.py faults RESULTS    runs the end-to-end fault suite with every case:
                                   its command and environment as ctest knows them,
                                   the counts raised, each case's outcome in RESULTS
  reliability.py table RESULTS FUZZ_OUTPUT
                                   prints the table and the five summary lines
                                   ("left part-way": cases after which some but not
                                   all changed files were already the new ones);
                                   FUZZ_OUTPUT is what `make fuzz` printed, or missing
"""

import json
import os
import re
import subprocess
import sys
from collections import defaultdict
from pathlib import Path

FULL_COUNTS = {"QM_FAULT_KILLS": "50", "QM_FAULT_HAND_OFF_KILLS": "10",
               "QM_FAULT_RESTORE_KILLS": "10", "QM_FAULT_ALL_DROPS": "1"}
FUZZ_LINE = re.compile(r"fuzz (\S+): executions (\d+), coverage (\d+), crashes (\d+)")


def run_faults(results):
    listing = subprocess.run(["ctest", "--test-dir", "build/win", "--show-only=json-v1",
                              "-R", "^e2e_faults$"], check=True, capture_output=True, text=True)
    test = json.loads(listing.stdout)["tests"][0]
    environment = dict(os.environ, **FULL_COUNTS, QM_FAULT_RESULTS=str(results))
    for setting in next((p["value"] for p in test["properties"] if p["name"] == "ENVIRONMENT"), []):
        name, _, value = setting.partition("=")
        environment[name] = value
    Path(results).unlink(missing_ok=True)
    return subprocess.run(test["command"], env=environment).returncode


def read_fuzz(path):
    """Rows (target, executions, crashes) and the total, or None when fuzzing did not run."""
    if not path or not Path(path).is_file():
        return None
    text = Path(path).read_text(encoding="utf-8", errors="replace")
    rows = [(m[1], int(m[2]), int(m[4])) for m in FUZZ_LINE.finditer(text)]
    total = re.search(r"^fuzz_crashes: (\d+)", text, re.MULTILINE)
    return rows, int(total[1]) if total else sum(row[2] for row in rows)


def print_table(results, fuzz_output):
    lines = [json.loads(line) for line in Path(results).read_text(encoding="utf-8").splitlines()]
    traces = [line for line in lines if line["kind"] == "flush order"]
    cases = [line for line in lines if line["kind"] != "flush order"]
    kinds = defaultdict(list)
    for case in cases:
        kinds[case["kind"]].append(case)
    seeds = sorted({case["seed"] for case in cases})
    print(f"fault injection under Wine, seed {', '.join(map(str, seeds)) or '-'}")
    print(f"{'case kind':<20} {'tried':>6} {'left part-way':>14} {'survived':>9} "
          f"{'files damaged':>14} {'max runs to recover':>20}")
    for kind, group in kinds.items():
        part_way = sum(0 < c["progress"][0] < c["progress"][1] for c in group)
        print(f"{kind:<20} {len(group):>6} {part_way:>14} {sum(c['survived'] for c in group):>9} "
              f"{sum(len(c['damaged']) for c in group):>14} "
              f"{max(c['recovery_runs'] for c in group):>20}")
    for case in cases:
        if not case["survived"]:
            print(f"  not survived: {case['kind']}: {case['case']}: damaged {case['damaged']}, "
                  f"launcher {case['launcher']}, recovery runs {case['recovery_runs']}")
    print(f"\n{'traced update':<28} {'flush order violations':>24}")
    for trace in traces:
        print(f"{trace['case']:<28} {len(trace['violations']):>24}")
        for violation in trace["violations"]:
            print(f"  {violation}")
    if not traces:
        print(f"{'(not run)':<28} {'-':>24}")
    fuzz = read_fuzz(fuzz_output)
    print(f"\n{'fuzz target':<28} {'executions':>12} {'crashes':>8}")
    if fuzz is None:
        print(f"{'(make fuzz not run)':<28} {'not run':>12} {'-':>8}")
    else:
        for target, executions, crashes in fuzz[0]:
            print(f"{target:<28} {executions:>12} {crashes:>8}")
    damaged = sum(len(case["damaged"]) + (case["launcher"] == "damaged") for case in cases)
    print(f"\nfault_cases: {len(cases)}")
    print(f"files_damaged: {damaged}")
    print(f"max_recovery_runs: {max((case['recovery_runs'] for case in cases), default=0)}")
    print(f"fuzz_crashes: {'not run' if fuzz is None else fuzz[1]}")
    print(f"flush_order_violations: "
          f"{sum(len(trace['violations']) for trace in traces) if traces else 'not run'}")


def main():
    if sys.argv[1] == "faults":
        sys.exit(run_faults(sys.argv[2]))
    print_table(sys.argv[2], sys.argv[3] if len(sys.argv) > 3 else None)


if __name__ == "__main__":
    main()
