#!/usr/bin/env python3
"""The reports of the guest's writer (bench/guestwriter.c) in bench/run's
load part, from the guest's serial console as bench/run logs it: each line
preceded by the host's clock (epoch seconds) at the moment it arrived.

A report covers the interval that ends when it arrives and lasts its ms=
field; it belongs to a time window when the middle of its interval lies
inside the window. Over a window's reports:

  throughput  MiB written / length of their intervals
  p99         the 99th percentile (nearest rank) of the latencies of every
              write they list
  worst       the largest of those latencies

Usage: guestlog.py LOG START END...
Waits until the writer has reported past the last END (a minute at most),
then prints "MIB_PER_S P99_MS WORST_MS" for each window [START, END], one
line each.
"""

import math
import re
import sys
import time
from collections import namedtuple

Report = namedtuple("Report", "end seconds mib latencies_ms")
LINE = re.compile(r"^(\d+\.\d+) QLOAD ms=(\d+) mib=([\d.]+) max_ms=[\d.]+ lat_us=([\d,]+)\s*$")
WAIT_S = 60


def reports(path):
    found = []
    with open(path, errors="replace") as handle:
        for line in handle:
            match = LINE.match(line)
            if match:
                found.append(Report(float(match.group(1)), int(match.group(2)) / 1000,
                                    float(match.group(3)),
                                    [int(us) / 1000 for us in match.group(4).split(",")]))
    return found


def middle(report):
    return report.end - report.seconds / 2


def window(found, start, end):
    return [r for r in found if start <= middle(r) <= end]


def figures(selected):
    latencies = sorted(ms for r in selected for ms in r.latencies_ms)
    seconds = sum(r.seconds for r in selected)
    p99 = latencies[math.ceil(0.99 * len(latencies)) - 1]
    return sum(r.mib for r in selected) / seconds, p99, latencies[-1]


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    path, start, ends = sys.argv[1], float(sys.argv[2]), [float(a) for a in sys.argv[3:]]
    deadline = time.time() + WAIT_S
    while not any(middle(r) > max(ends) for r in reports(path)):
        if time.time() > deadline:
            sys.exit(f"guestlog: no report from the guest's writer after {max(ends):.3f} "
                     f"within {WAIT_S} s (see {path})")
        time.sleep(0.5)
    found = reports(path)
    for end in ends:
        selected = window(found, start, end)
        if not selected:
            sys.exit(f"guestlog: no report of the guest's writer between {start:.3f} and {end:.3f}")
        mib_s, p99, worst = figures(selected)
        print(f"{mib_s:.2f} {p99:.1f} {worst:.1f}")


if __name__ == "__main__":
    main()
