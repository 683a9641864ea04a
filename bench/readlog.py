#!/usr/bin/env python3
"""The reports of the guest's read test (bench/guestreader.c) in bench/run's
restore part, from the log of bench/restorewatch.py: each console line
preceded by the host's clock (epoch seconds) at the moment it was seen.

A report covers the interval that ends when it arrives and lasts its ms=
field; it belongs to a time window when the middle of its interval lies
inside the window. Over a window's reports, per kind of read:

  4k  the number of reads, their mean, median (p50), 99th percentile
      (nearest rank) and worst latency in us
  1m  the number of reads, their mean, median and 99th percentile in ms

Percentiles come from the reports' histograms (steps of 19 %): a bucket
stands for the geometric middle of its range.

Usage: readlog.py LOG START END [MAX_INTERVALS]
Prints one line: "INTERVALS PASS N_4K MEAN_US P50_US P99_US MAX_US N_1M MEAN_MS
P50_MS P99_MS" (PASS: the highest pass= among them, 1 if every read was the
test's first of its data), "-" for a figure without reads; with
MAX_INTERVALS, only the first that many intervals of the window count.
"""

import math
import re
import sys

LINE = re.compile(r"^(\d+\.\d+) console QREAD kind=(4k|1m) ms=(\d+) n=(\d+) pass=(\d+) "
                  r"sum_us=(\d+) max_us=(\d+) h=([\d:,]*)\s*$")


def reports(path):
    found = []
    with open(path, errors="replace") as handle:
        for line in handle:
            match = LINE.match(line)
            if match:
                seen, kind, ms, n, npass, total, worst, hist = match.groups()
                buckets = {}
                for pair in filter(None, hist.split(",")):
                    b, count = pair.split(":")
                    buckets[int(b)] = int(count)
                found.append({"middle": float(seen) - int(ms) / 2000, "kind": kind,
                              "seconds": int(ms) / 1000, "n": int(n), "pass": int(npass),
                              "sum_us": int(total),
                              "max_us": int(worst), "hist": buckets})
    return found


def percentile(buckets, share):
    total = sum(buckets.values())
    rank = max(1, math.ceil(share * total))
    seen = 0
    for b in sorted(buckets):
        seen += buckets[b]
        if seen >= rank:
            return 2 ** ((b + 0.5) / 4)
    return None


def summary(found):
    intervals = len([r for r in found if r["kind"] == "4k"])
    out = [str(intervals), str(max((r["pass"] for r in found if r["n"]), default=1))]
    for kind in ("4k", "1m"):
        sel = [r for r in found if r["kind"] == kind]
        n = sum(r["n"] for r in sel)
        if not n:
            out += ["0"] + ["-"] * (4 if kind == "4k" else 3)
            continue
        buckets = {}
        for r in sel:
            for b, count in r["hist"].items():
                buckets[b] = buckets.get(b, 0) + count
        mean = sum(r["sum_us"] for r in sel) / n
        p99 = percentile(buckets, 0.99)
        p50 = percentile(buckets, 0.5)
        if kind == "4k":
            out += [str(n), f"{mean:.1f}", f"{p50:.1f}", f"{p99:.1f}", str(max(r["max_us"] for r in sel))]
        else:
            out += [str(n), f"{mean / 1000:.2f}", f"{p50 / 1000:.2f}", f"{p99 / 1000:.2f}"]
    return " ".join(out)


def main():
    if len(sys.argv) not in (4, 5):
        sys.exit(__doc__)
    start, end = float(sys.argv[2]), float(sys.argv[3])
    found = [r for r in reports(sys.argv[1]) if start <= r["middle"] <= end]
    if len(sys.argv) == 5:
        # Both lines of an interval, for the first MAX_INTERVALS intervals.
        found = found[:2 * int(sys.argv[4])]
    print(summary(found))


if __name__ == "__main__":
    main()
