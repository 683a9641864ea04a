#!/usr/bin/env python3
"""Summarises the CSV files of bench/run: prints the tables, writes them to
summary.md and draws compare.png with gnuplot.

Usage: report.py RESULTS_DIR MAIN_SIZE_BYTES SMALL_SIZE_BYTES SCRATCH_DIR [INC_SIZE_BYTES]
Every figure is the median over the rounds, with the spread (min-max) beside
it; ratios are ratios of medians.
"""

import csv
import os
import statistics
import subprocess
import sys

import guestlog

KINDS = [("quorlane", "quorlane-backup"), ("bare", "bare commands"), ("peer", "virtnbdbackup")]
# The compare part also runs the tool with --jobs and the bare commands with -W -m.
COMPARE_KINDS = KINDS + [("quorlane-jobs", "quorlane-backup --jobs"), ("bare-jobs", "bare, -W -m")]
MIB = 1 << 20
COLORS = {"quorlane": 0x3B6FB6, "bare": 0x8C8C8C, "virtnbdbackup": 0xE08A2E}

WALL_TARGET = 1.02
RSS_TARGET_MIB = 8.0
GUEST_SHARE_TARGET = 90.0


def read_csv(path):
    if not os.path.exists(path):
        return None
    with open(path, newline="") as handle:
        return list(csv.DictReader(handle))


def num(value):
    return float(value) if value not in (None, "") else None


def stats(values):
    values = [v for v in values if v is not None]
    if not values:
        return None
    return statistics.median(values), min(values), max(values)


def fmt(value, digits):
    return f"{value:.{digits}f}"


def cell(st, digits):
    if st is None:
        return "n/a"
    med, lo, hi = st
    return f"{fmt(med, digits)} ({fmt(lo, digits)}-{fmt(hi, digits)})"


def ratio(a, b):
    if a is None or b is None:
        return "n/a"
    if b[0] < 0.05:  # a ratio to next to nothing says nothing
        return "-"
    return f"{a[0] / b[0]:.3f}"


def verdict(ok):
    return "met" if ok else "NOT met"


def outside_estimate(quorlane, bare):
    """Both run the same qemu-img copy and snapshot removal inside the overlay
    window, whose length varies from run to run by more than the tool adds.
    What the tool adds lies outside that window, in short phases that vary
    little: their difference estimates quorlane/bare with far less noise.
    Returns (the difference in seconds, quorlane/bare, quorlane/(bare + the
    flush of its output))."""
    def outside(rows):
        return stats([num(r["wall_s"]) - num(r["overlay_s"]) for r in rows])[0]

    wall = stats([num(r["wall_s"]) for r in bare])[0]
    flush = stats([num(r["flush_s"]) for r in bare])[0]
    extra = outside(quorlane) - outside(bare)
    return extra, 1 + extra / wall, 1 + (extra - flush) / (wall + flush)


def table(header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    lines = ["| " + " | ".join(str(h).ljust(w) for h, w in zip(header, widths)) + " |",
             "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    for row in rows:
        lines.append("| " + " | ".join(str(c).ljust(w) for c, w in zip(row, widths)) + " |")
    return "\n".join(lines)


def compare_section(rows, size):
    metrics = [
        ("Wall time (s)", lambda r: num(r["wall_s"]), 2),
        ("  before the snapshot (s)", lambda r: num(r["before_snapshot_s"]), 2),
        ("  creating the snapshot (s)", lambda r: num(r["snapshot_create_s"]), 2),
        ("  VM on its overlay (s)", lambda r: num(r["overlay_s"]), 2),
        ("  after the snapshot removal (s)", lambda r: num(r["after_removal_s"]), 2),
        ("CPU, own process tree (s)", lambda r: num(r["user_s"]) + num(r["sys_s"]), 2),
        ("CPU, the VM's QEMU process (s)", lambda r: num(r["qemu_cpu_s"]), 2),
        ("CPU, both (s)",
         lambda r: num(r["user_s"]) + num(r["sys_s"]) + num(r["qemu_cpu_s"]), 2),
        ("Flush left after the run (s)", lambda r: num(r["flush_s"]), 2),
        ("Backup size (MiB)", lambda r: num(r["size_bytes"]) / MIB, 1),
        ("Peak RSS, tool's own process (MiB)",
         lambda r: num(r["own_rss_kib"]) / 1024 if r["own_rss_kib"] else None, 1),
        ("Peak RSS, largest process (MiB)", lambda r: num(r["tree_rss_kib"]) / 1024, 1),
    ]
    out = [f"### Backup of one {size // MIB} MiB qcow2 disk, "
           f"{len({r['round'] for r in rows})} rounds, median (min-max)", ""]
    body = []
    kinds = [(k, name) for k, name in COMPARE_KINDS if any(r["kind"] == k for r in rows)]
    by_kind = {k: [r for r in rows if r["kind"] == k] for k, _ in kinds}
    summary = {}
    for label, get, digits in metrics:
        st = {k: stats([get(r) for r in by_kind[k]]) for k, _ in kinds}
        summary[label] = st
        body.append([label] + [cell(st[k], digits) for k, _ in kinds]
                    + [ratio(st["quorlane"], st["bare"]), ratio(st["quorlane"], st["peer"])])
    out.append(table(["Metric"] + [name for _, name in kinds]
                     + ["quorlane/bare", "quorlane/virtnbdbackup"], body))
    wall = summary["Wall time (s)"]
    flush = summary["Flush left after the run (s)"]
    wall_ratio = wall["quorlane"][0] / wall["bare"][0]
    flushed = wall["bare"][0] + flush["bare"][0]
    extra, est, est_flushed = outside_estimate(by_kind["quorlane"], by_kind["bare"])
    out += ["",
            f"- Wall time quorlane/bare, ratio of medians: {wall_ratio:.3f}; "
            f"with the bare output flushed too: {wall['quorlane'][0] / flushed:.3f}",
            f"- Time outside the overlay window, quorlane minus bare: {extra:.2f} s, so "
            f"quorlane/bare = {est:.3f} (target <= {WALL_TARGET}: {verdict(est <= WALL_TARGET)}"
            f"); against bare + flushing its output: {est_flushed:.3f} "
            f"({verdict(est_flushed <= WALL_TARGET)})"]
    return out, summary


def memory_section(rows):
    sizes = sorted({int(r["disk_bytes"]) for r in rows})
    body = []
    worst = 0.0
    for size in sizes:
        values = [num(r["own_rss_kib"]) / 1024 for r in rows if int(r["disk_bytes"]) == size]
        worst = max(worst, max(values))
        body.append([f"{size // MIB} MiB", len(values), cell(stats(values), 2)])
    out = ["### Peak memory of the tool's own process (VmHWM at exit)", "",
           table(["Disk size", "Runs", "Peak RSS MiB, median (min-max)"], body), "",
           f"- Largest peak seen: {worst:.2f} MiB (target < {RSS_TARGET_MIB:g} MiB at any disk size): "
           + verdict(worst < RSS_TARGET_MIB)]
    return out, {size: [num(r["own_rss_kib"]) / 1024 for r in rows if int(r["disk_bytes"]) == size]
                 for size in sizes}


def prune_section(rows):
    def walls(fs, existing, mode):
        return [num(r["wall_s"]) * 1000 for r in rows
                if r["fs"] == fs and int(r["existing"]) == existing and r["mode"] == mode]

    out = ["### Retention pruning (stand-in virsh and qemu-img, backup directories holding a "
           "run log each)", "",
           "Whole-run times in ms, median (min-max). The costs are taken from the fastest run of "
           "each kind, since load from elsewhere only ever adds time: cost = fastest run minus the "
           "fastest run with no existing backup. rm -r = one rm -r process removing the same "
           "directories, the floor for deleting them.", ""]
    costs = {}
    filesystems = [fs for fs in ("disk", "tmpfs") if any(r["fs"] == fs for r in rows)]
    for fs in filesystems:
        base = stats(walls(fs, 0, "all"))
        counts = sorted({int(r["existing"]) for r in rows if r["fs"] == fs and int(r["existing"])})
        body = [["0", cell(base, 1), "-", "-", "-", "-", "-", "-"]]
        costs[fs] = {}
        for n in counts:
            keep_all, keep_one, floor = (stats(walls(fs, n, m)) for m in ("all", "one", "rm"))
            cost_all, cost_one = keep_all[1] - base[1], keep_one[1] - base[1]
            costs[fs][n] = (cost_all, cost_one, floor[1])
            body.append([str(n), cell(keep_all, 1), cell(keep_one, 1), cell(floor, 1),
                         f"{cost_all:.1f}", f"{cost_one:.1f}", f"{floor[1]:.1f}",
                         f"{cost_one * 1000 / n:.0f}"])
        out += [f"On {'the backup file system' if fs == 'disk' else 'a tmpfs'} ({fs}):", "",
                table(["Existing", "Run, keep all", "Run, keep 1 (all deleted)", "rm -r alone",
                       "Cost keep all", "Cost keep 1", "Cost rm -r", "us per deleted dir"],
                      body), ""]
    rss = stats([num(r["own_rss_kib"]) / 1024 for r in rows if r["own_rss_kib"]])
    out.append(f"Peak RSS of the tool over all pruning runs: {cell(rss, 2)} MiB.")
    for fs in filesystems:
        c = costs[fs]
        if 1000 in c:
            top = max(c[1000][0], c[1000][1])
            out.append(f"- {fs}: pruning cost at 1000 backups {top:.1f} ms (target: well under 1 s, "
                       "taken as < 500 ms): " + verdict(top < 500)
                       + f"; rm -r alone {c[1000][2]:.1f} ms")
        counts = sorted(c)
        if len(counts) >= 2:
            small, large = counts[-2], counts[-1]
            per_small, per_large = c[small][1] / small, c[large][1] / large
            growth = per_large / per_small if per_small > 0 else float("inf")
            out.append(f"- {fs}: cost per deleted directory at {large} vs at {small}: {growth:.2f}x "
                       "(about 1 means linear, well above 1 worse than linear)")
    return out, costs


LIMIT_LABELS = [
    ("read_disk_direct", "Read the image from disk (dd, O_DIRECT, 4 MiB blocks)"),
    ("read_page_cache", "Read the image from the page cache (dd)"),
    ("write_disk_direct", "Write to disk (dd, O_DIRECT, then fsync)"),
    ("convert_plain", "qemu-img convert to qcow2, uncompressed"),
    ("convert_zstd", "qemu-img convert to qcow2, zstd (as the tool runs it)"),
    ("convert_zstd_W", "qemu-img convert, zstd, with -W (not used by the tool)"),
    ("flush_plain", "Flush the uncompressed output (sync FILE)"),
    ("flush_zstd", "Flush the zstd output (sync FILE)"),
    ("flush_zstd_W", "Flush the -W output (sync FILE)"),
]


def limits_section(rows):
    body = []
    for key, label in LIMIT_LABELS:
        sel = [r for r in rows if r["measure"] == key]
        if not sel:
            continue
        secs = stats([num(r["seconds"]) for r in sel])
        nbytes = statistics.median(num(r["bytes"]) for r in sel)
        body.append([label, cell(secs, 2), f"{nbytes / MIB:.0f}",
                     f"{nbytes / MIB / secs[0]:.0f}" if secs[0] > 0 else "n/a"])
    calls = stats([num(r["seconds"]) * 1000 for r in rows if r["measure"] == "virsh_call"])
    out = ["### What limits throughput", "",
           table(["Measure", "Seconds, median (min-max)", "MiB", "MiB/s"], body)]
    if calls:
        out += ["", f"One `virsh dominfo` call: {cell(calls, 1)} ms."]
    return out


def chart(results, scratch, compare, memory, cost, title):
    gp = []
    data = []

    def bars(name, title, unit, entries, digits):
        path = os.path.join(scratch, f"{name}.dat")
        with open(path, "w") as handle:
            for i, (label, st) in enumerate(entries):
                if st is None:
                    continue
                color = COLORS.get(label.split()[0], COLORS["quorlane"])
                handle.write(f'{i} "{label}" {st[0]} {st[1]} {st[2]} "{st[0]:.{digits}f}" {color}\n')
        top = max(st[2] for _, st in entries if st is not None)
        data.append(path)
        gp.extend([
            f'set title "{title}"', f'set ylabel "{unit}"',
            f"set yrange [0:{top * 1.25}]", "set xrange [-0.6:%f]" % (len(entries) - 0.4),
            "set style fill solid 0.7 border -1", "unset logscale",
            "set xtics nomirror", "unset key",
            f'plot "{path}" using 1:3:4:5:(0.3):7:xtic(2) with boxerrorbars lc rgb variable, '
            f'"" using 1:5:6 with labels offset 0,0.8 font ",9"'])

    def entry(label, metric, kind):
        return label, compare[metric][kind] if compare else None

    if compare:
        names = {"quorlane": "quorlane", "bare": "bare", "peer": "virtnbdbackup"}
        for name, heading, metric, unit, digits, kinds in [
            ("wall", "Wall time", "Wall time (s)", "seconds", 2, ["quorlane", "bare", "peer"]),
            ("size", "Backup size", "Backup size (MiB)", "MiB", 0, ["quorlane", "bare", "peer"]),
            ("overlay", "Time VM ran on overlay", "  VM on its overlay (s)", "seconds", 2,
             ["quorlane", "bare"]),
        ]:
            bars(name, heading, unit, [entry(names[k], metric, k) for k in kinds], digits)
        cpu = [(names[k], compare["CPU, both (s)"][k]) for k in ["quorlane", "bare", "peer"]]
        bars("cpu", "CPU time: own processes + the VM QEMU", "seconds", cpu, 2)
    rss = []
    for size, values in sorted(memory.items()):
        rss.append((f"{size // MIB} MiB disk", stats(values)))
    if compare and compare["Peak RSS, tool's own process (MiB)"]["peer"]:
        rss.append(("virtnbdbackup", compare["Peak RSS, tool's own process (MiB)"]["peer"]))
    if rss:
        bars("rss", "Peak RSS of the tool's own process (quorlane at two disk sizes)", "MiB", rss, 1)
    if cost:
        path = os.path.join(scratch, "prune.dat")
        with open(path, "w") as handle:
            for fs, per_n in cost.items():
                handle.write(f"# {fs}\n")
                for n, (_, keep_one, floor) in sorted(per_n.items()):
                    handle.write(f"{n} {max(keep_one, 0.5)} {max(floor, 0.5)}\n")
                handle.write("\n\n")
        plots = []
        for index, fs in enumerate(cost):
            plots.append(f'"{path}" index {index} using 1:2 with linespoints lw 2 '
                         f'title "quorlane keep 1, {fs}"')
            plots.append(f'"{path}" index {index} using 1:3 with linespoints lw 1 dt 2 '
                         f'title "rm -r alone, {fs}"')
        gp.extend([
            'set title "Pruning: cost of deleting N old backups"', 'set ylabel "ms"',
            'set xlabel "existing backups (all deleted)"', "set logscale xy", "set xrange [5:20000]",
            "set yrange [0.5:*]", "set xtics auto", "set key top left font ',8'",
            "plot " + ", ".join(plots), "unset xlabel"])
    panels = sum(1 for line in gp if line.startswith("plot "))
    if not panels:
        return None
    cols = 3 if panels > 4 else 2
    return render(os.path.join(results, "compare.png"), scratch, title, cols,
                  (panels + cols - 1) // cols, gp)


def render(png, scratch, title, cols, rows, gp):
    """Draws the gnuplot commands gp as a grid of panels into png."""
    script = [f'set terminal pngcairo size {cols * 420},{rows * 340} font "DejaVu Sans,10"',
              f'set output "{png}"', f'set multiplot layout {rows},{cols} title "{title}" font ",12"'] + gp + ["unset multiplot"]
    script_path = os.path.join(scratch, os.path.basename(png)[:-4] + ".gp")
    with open(script_path, "w") as handle:
        handle.write("\n".join(script) + "\n")
    subprocess.run(["gnuplot", script_path], check=True)
    return png

LOAD_KINDS = KINDS + [("quorlane-jobs", "quorlane-backup --jobs"),
                      ("snapshot", "snapshot alone, no copy"), ("baseline", "no backup (baseline)")]
# Runs that do not depend on the backup commands' priority: both tables show them.
REFERENCES = ("snapshot", "baseline")
SNAPSHOT_COLOR = 0x3C9A5F
PRIORITIES = [("unit", "at the unit's priorities (nice 10, best-effort I/O level 7)"),
              ("normal", "at normal priority")]


def load_metrics(baseline):
    """(label, value of a row, digits, whether it is a ratio to the round's
    baseline) of the load table; baseline maps a round to its baseline row."""
    def versus(figure, scale=1, flushed=False):
        column = f"guest_flushed_{figure}" if flushed else f"guest_{figure}"
        return lambda r: num(r[column]) / num(baseline[r["round"]][f"guest_{figure}"]) * scale

    return [
        ("Wall time (s)", lambda r: num(r["wall_s"]), 2, False),
        ("  VM on its overlay (s)", lambda r: num(r["overlay_s"]), 2, False),
        ("  overlay when the merge began (MiB)", lambda r: num(r["overlay_mib"]), 1, False),
        ("  merge: the snapshot removal (s)", lambda r: num(r["merge_s"]), 2, False),
        ("Guest writes (MiB/s)", lambda r: num(r["guest_mib_s"]), 1, False),
        ("  share of the baseline (%)", versus("mib_s", 100), 1, True),
        ("  share, run + flush of its output (%)", versus("mib_s", 100, True), 1, True),
        ("Guest write latency, p99 (ms)", lambda r: num(r["guest_p99_ms"]), 1, False),
        ("  p99 to the baseline's (x)", versus("p99_ms"), 2, True),
        ("  p99, run + flush, to the baseline's (x)", versus("p99_ms", 1, True), 2, True),
        ("Guest write latency, worst (ms)", lambda r: num(r["guest_max_ms"]), 1, False),
        ("  worst to the baseline's (x)", versus("max_ms"), 2, True),
        ("  worst, run + flush, to the baseline's (x)", versus("max_ms", 1, True), 2, True),
        ("CPU, own process tree (s)",
         lambda r: num(r["user_s"]) + num(r["sys_s"]) if r["user_s"] else None, 2, False),
        ("CPU, the VM's QEMU process (s)", lambda r: num(r["qemu_cpu_s"]), 2, False),
        ("Flush left after the run (s)", lambda r: num(r["flush_s"]), 2, False),
    ]


def load_section(rows, size, machine):
    baseline = {r["round"]: r for r in rows if r["kind"] == "baseline"}
    metrics = load_metrics(baseline)
    accel = next((line.split("accelerator ", 1)[1].split(",")[0] for line in machine
                  if line.startswith("load guest:")), "unknown")
    rounds = len(baseline)
    out = [f"### Backups under guest write load: {size // MIB} MiB ext4 disk, {rounds} interleaved "
           "rounds, median (min-max)", "",
           f"The guest runs under {accel.upper()}"
           + (" (QEMU's software emulation of the CPU): its virtual CPU is QEMU threads that "
              "compete with the copy for the host's cores, so these figures are not those of a "
              "guest under KVM." if accel == "tcg" else "."),
           "Ratios to the baseline are taken per round (each run against the same round's "
           "baseline) and then summarised.", ""]
    summary = {}
    for priority, heading in PRIORITIES:
        by_kind = {k: [r for r in rows if r["kind"] == k and (k in REFERENCES or r["priority"] == priority)]
                   for k, _ in LOAD_KINDS}
        body = []
        for label, get, digits, relative in metrics:
            st = {k: stats([get(r) for r in by_kind[k]]) for k, _ in LOAD_KINDS}
            summary[priority, label] = st
            body.append([label] + [("-" if relative and k == "baseline" else cell(st[k], digits))
                                   for k, _ in LOAD_KINDS]
                        + [ratio(st["quorlane"], st["bare"]), ratio(st["quorlane"], st["peer"])])
        summary[priority, "outside"] = outside_estimate(by_kind["quorlane"], by_kind["bare"])
        out += [f"Backups {heading}:", "",
                table(["Metric"] + [name for _, name in LOAD_KINDS]
                      + ["quorlane/bare", "quorlane/virtnbdbackup"], body), ""]

    def unit_to_normal(label, kind):
        return ratio(summary["unit", label][kind], summary["normal", label][kind])

    body = [[name] + [unit_to_normal(label, kind) for label in
                      ("Wall time (s)", "Guest writes (MiB/s)", "Guest write latency, p99 (ms)",
                       "CPU, the VM's QEMU process (s)")]
            for kind, name in KINDS]
    out += ["What the unit's priorities change (medians at the unit's priorities / at normal "
            "priority):", "",
            table(["Backup", "Wall time", "Guest writes", "Guest p99 latency", "CPU of the VM's QEMU"],
                  body), ""]

    share, flushed = "  share of the baseline (%)", "  share, run + flush of its output (%)"
    for priority, _ in PRIORITIES:
        for label, what in ((share, "during the run"),
                            (flushed, "during the run and the flush of its output")):
            ours, peer = summary[priority, label]["quorlane"][0], summary[priority, label]["peer"][0]
            out.append(f"- {priority} priority, guest writes {what}: quorlane-backup {ours:.1f} % of "
                       f"the baseline (target >= {GUEST_SHARE_TARGET:g} %: "
                       f"{verdict(ours >= GUEST_SHARE_TARGET)}), virtnbdbackup {peer:.1f} % "
                       f"(target: more during quorlane-backup: {verdict(ours > peer)})")
        extra, est, est_flushed = summary[priority, "outside"]
        out.append(f"- {priority} priority: time outside the overlay window, quorlane minus bare: "
                   f"{extra:.2f} s, so quorlane/bare = {est:.3f}; against bare + flushing its "
                   f"output: {est_flushed:.3f} (target <= {WALL_TARGET}: "
                   f"{verdict(est_flushed <= WALL_TARGET)})")
    alone = summary["normal", share]["snapshot"]
    p99 = summary["normal", "  p99 to the baseline's (x)"]["snapshot"]
    out.append(f"- Snapshot alone (the VM on its overlay for as long as the baseline, nothing "
               f"copied, normal priority): guest writes {alone[0]:.1f} % of the baseline, p99 "
               f"latency {p99[0]:.2f} x the baseline's")
    merges = [num(r["merge_s"]) for r in rows if r["kind"] in ("quorlane", "bare")]
    out.append(f"- Merge under steady writes: all {len(merges)} snapshot removals of quorlane-backup "
               f"and the bare commands returned with the VM back on its base image; median "
               f"{statistics.median(merges):.2f} s, longest {max(merges):.2f} s")
    return out, baseline


INC_KINDS = [("qinc", "incremental (-i)"), ("qfull", "full (no -i)"),
             ("pinc", "virtnbdbackup -l inc")]
INC_SPEED_TARGET = 1 / 6   # incremental / full wall time at 5 % changed
INC_SIZE_TARGET = 1.3      # incremental size / changed bytes at the full's compression ratio
INC_TARGET_PCT = "5"


def inc_metrics():
    """(label, getter, digits) of the incremental part's table."""
    def value(column, scale=1.0):
        return lambda r: num(r[column]) * scale if r.get(column) not in (None, "") else None

    return [
        ("Wall time (s)", value("wall_s"), 2),
        ("  before the job or snapshot (s)", value("before_s"), 2),
        ("  job running, tool polling (s)", value("wait_s"), 2),
        ("  qemu-img rebase + convert (s)", value("copy_s"), 2),
        ("  after the copy or merge (s)", value("after_s"), 2),
        ("  virsh calls (count)", value("virsh_calls"), 0),
        ("  virsh calls (s)", value("virsh_s"), 2),
        ("Guest writes exposed (s)", value("affected_s"), 2),
        ("  VM on its overlay (s)", value("overlay_s"), 2),
        ("  backup job on the VM (s)", lambda r: value("job_s")(r) if r["kind"] != "qfull" else None, 2),
        ("CPU, own process tree (s)", lambda r: num(r["user_s"]) + num(r["sys_s"]), 2),
        ("CPU, the VM's QEMU process (s)", value("qemu_cpu_s"), 2),
        ("Flush left after the run (s)", value("flush_s"), 2),
        ("Backup size, du -B1 (MiB)", value("size_bytes", 1 / MIB), 1),
        ("  the disk's image in it (MiB)", value("disk_bytes", 1 / MIB), 1),
    ]


def incremental_section(rows, inc_size, machine):
    pcts = sorted({r["change_pct"] for r in rows if r["change_pct"]}, key=float)
    conv = [r for r in rows if r["kind"] == "zstd_disk"]
    data = num(conv[0]["changed_bytes"])
    conv_wall = stats([num(r["wall_s"]) for r in conv])
    throughput = data / conv_wall[0]
    conv_size = statistics.median(num(r["size_bytes"]) for r in conv)
    rounds = max(int(r["round"]) for r in rows if r["kind"] == "qinc")
    guest = next((line.split(": ", 1)[1] for line in machine
                  if line.startswith("incremental guests:")), "unknown")
    out = [f"### Incremental backups: {inc_size // MIB} MiB qcow2 disk, {data / MIB:.0f} MiB of data, "
           f"{rounds} interleaved rounds per change size, median (min-max)", "",
           f"Guests: {guest}. Compression throughput of `qemu-img convert -c -o "
           f"compression_type=zstd` on this disk's {data / MIB:.0f} MiB: {cell(conv_wall, 2)} s, "
           f"{throughput / MIB:.0f} MiB/s, {conv_size / MIB:.1f} MiB out.", ""]
    metrics = inc_metrics()
    verdicts = []
    summary_rows = []
    for pct in pcts:
        sel = {k: [r for r in rows if r["kind"] == k and r["change_pct"] == pct] for k, _ in INC_KINDS}
        changed = num(sel["qinc"][0]["changed_bytes"])
        alone = [r for r in rows if r["kind"] == "zstd_changes" and r["change_pct"] == pct]
        alone_wall = stats([num(r["wall_s"]) for r in alone])
        alone_size = stats([num(r["size_bytes"]) / MIB for r in alone])
        body = []
        st = {}
        for label, get, digits in metrics:
            st[label] = {k: stats([get(r) for r in sel[k]]) for k, _ in INC_KINDS}
            body.append([label] + [cell(st[label][k], digits) for k, _ in INC_KINDS]
                        + [ratio(st[label]["qinc"], st[label]["qfull"]),
                           ratio(st[label]["qinc"], st[label]["pinc"])])
        floor = changed / throughput
        out += [f"{pct} % of the data changed ({changed / MIB:.0f} MiB in 1 MiB blocks): floor "
                f"{floor:.2f} s (changed bytes / the throughput above); the changed blocks alone, "
                f"converted the same way: {cell(alone_wall, 2)} s, {cell(alone_size, 1)} MiB", "",
                table(["Metric"] + [name for _, name in INC_KINDS] + ["inc/full", "inc/virtnbdbackup"],
                      body), ""]
        wall = st["Wall time (s)"]
        size = st["Backup size, du -B1 (MiB)"]
        full_ratio = size["qfull"][0] * MIB / data
        expected = changed * full_ratio / MIB
        speed = wall["qinc"][0] / wall["qfull"][0]
        against_peer = wall["qinc"][0] / wall["pinc"][0]
        summary_rows.append([f"{pct} %", f"{changed / MIB:.0f}", f"{floor:.2f}",
                             f"{wall['qinc'][0]:.2f}", f"{wall['qfull'][0]:.2f}",
                             f"{wall['pinc'][0]:.2f}", f"{speed:.3f}", f"{against_peer:.3f}",
                             f"{size['qinc'][0]:.1f}", f"{expected:.1f}",
                             f"{size['qinc'][0] / expected:.3f}", f"{size['pinc'][0]:.1f}"])
        if pct == INC_TARGET_PCT:
            verdicts.append(f"- {pct} %: incremental / full wall time {speed:.3f} (target <= 1/6 = "
                            f"{INC_SPEED_TARGET:.3f}: {verdict(speed <= INC_SPEED_TARGET)})")
            verdicts.append(f"- {pct} %: incremental {size['qinc'][0]:.1f} MiB against "
                            f"{expected:.1f} MiB, the changed bytes at the full's ratio "
                            f"({full_ratio:.3f}): {size['qinc'][0] / expected:.3f} x (target <= "
                            f"{INC_SIZE_TARGET}: {verdict(size['qinc'][0] <= INC_SIZE_TARGET * expected)})")
        verdicts.append(f"- {pct} %: incremental {wall['qinc'][0]:.2f} s, virtnbdbackup -l inc "
                        f"{wall['pinc'][0]:.2f} s: {against_peer:.3f} (target <= 1: "
                        f"{verdict(wall['qinc'][0] <= wall['pinc'][0])}); floor {floor:.2f} s, "
                        f"incremental / floor {wall['qinc'][0] / floor:.1f}")
    out += ["Against the targets (medians):", "",
            table(["Changed", "MiB", "Floor (s)", "Incremental (s)", "Full (s)",
                   "virtnbdbackup -l inc (s)", "inc/full", "inc/virtnbdbackup",
                   "Incremental (MiB)", "Changed at the full's ratio (MiB)", "inc/that",
                   "virtnbdbackup -l inc (MiB)"], summary_rows), ""] + verdicts

    starts = []
    for kind, name in (("qchain", "quorlane-backup -i, full starting the chain"),
                       ("pfull", "virtnbdbackup -l full")):
        sel = [r for r in rows if r["kind"] == kind]
        if sel:
            starts.append([name, len(sel), cell(stats([num(r["wall_s"]) for r in sel]), 2),
                           cell(stats([num(r["affected_s"]) for r in sel]), 2),
                           cell(stats([num(r["user_s"]) + num(r["sys_s"]) for r in sel]), 2),
                           cell(stats([num(r["size_bytes"]) / MIB for r in sel]), 1)])
    if starts:
        out += ["", "The chains' full backups (one per change size):", "",
                table(["Backup", "Runs", "Wall time (s)", "Guest writes exposed (s)",
                       "CPU, own process tree (s)", "Size (MiB)"], starts)]
    return out


RESTORE_KINDS = [("live", "live restore (--live)"), ("copy", "copy restore (--start)"),
                 ("peer", "virtnbdrestore + virsh start")]
RUNNING_TARGET_S = 2.0       # restore's start to libvirt's running state, at any disk size
LIVE_END_TARGET = 1.5        # live restore's end / copy restore's end


def restore_section(rows, machine):
    sizes = sorted({int(r["disk_bytes"]) for r in rows})
    rounds = max(int(r["round"]) for r in rows)
    guest = next((line.split(": ", 1)[1] for line in machine
                  if line.startswith("restore guests:")), "unknown")

    def pick(kind, size):
        return [r for r in rows if r["kind"] == kind and int(r["disk_bytes"]) == size]

    def value(column, scale=1.0):
        return lambda r: num(r[column]) * scale if r.get(column) not in (None, "") else None

    def since_running(column):
        """For a live restore: from the VM running to COLUMN."""
        return lambda r: (num(r[column]) - num(r["running_s"])
                          if r["kind"] in ("live", "lread") and r.get(column) and r.get("running_s")
                          else None)

    out = [f"### Restores of the Linux test guest: {', '.join(f'{s // MIB} MiB' for s in sizes)} "
           f"disks, {rounds} interleaved rounds, median (min-max)", "",
           f"Guests: {guest}. Times in seconds from the start of the restore command.", ""]
    metrics = [
        ("libvirt: VM running (s)", value("running_s"), 2),
        ("  the tool's own figure (s)", value("said_s"), 1),
        ("First console line (s)", value("console_s"), 2),
        ("  the guest's init starts (s)", value("init_s"), 2),
        ("  the guest has read its disk's first MiB (s)", value("disk_s"), 2),
        ("All data in local images (s)", value("data_s"), 2),
        ("  live: the copy, from the VM running (s)", since_running("data_s"), 2),
        ("Restore's end (s)", value("end_s"), 2),
        ("Flush left after it (s)", value("flush_s"), 2),
        ("CPU, the command's process tree (s)", lambda r: num(r["user_s"]) + num(r["sys_s"]), 2),
    ]
    summary = {}
    verdicts = []
    backups = []
    for size in sizes:
        data = num(pick("live", size)[0]["data_bytes"]) if pick("live", size) else None
        for kind, name in (("backup_q", "quorlane-backup (the idle guest)"),
                           ("backup_q_read", "quorlane-backup (the reading guest)"),
                           ("backup_peer", "virtnbdbackup -l copy -z")):
            sel = pick(kind, size)
            if sel:
                backups.append([f"{size // MIB} MiB", name, f"{num(sel[0]['wall_s']):.2f}",
                                f"{num(sel[0]['size_bytes']) / MIB:.1f}"])
        st = {}
        body = []
        for label, get, digits in metrics:
            st[label] = {k: stats([get(r) for r in pick(k, size)]) for k, _ in RESTORE_KINDS}
            body.append([label] + [cell(st[label][k], digits) for k, _ in RESTORE_KINDS]
                        + [ratio(st[label]["live"], st[label]["copy"]),
                           ratio(st[label]["live"], st[label]["peer"])])
        summary[size] = st
        out += [f"{size // MIB} MiB disk, {data / MIB:.0f} MiB of data:" if data else f"{size // MIB} MiB disk:",
                "", table(["Metric"] + [name for _, name in RESTORE_KINDS]
                          + ["live/copy", "live/virtnbdrestore"], body), ""]
    if backups:
        out += ["The backups restored (one each):", "",
                table(["Disk", "Backup", "Wall time (s)", "Size (MiB)"], backups), ""]

    running = {size: summary[size]["libvirt: VM running (s)"]["live"] for size in sizes}
    if all(running.values()):
        worst = max(st[2] for st in running.values())
        verdicts.append(
            "- Live restore, time to libvirt's running state: "
            + ", ".join(f"{size // MIB} MiB {running[size][0]:.2f} s (longest {running[size][2]:.2f})"
                        for size in sizes)
            + f"; largest disk / smallest {running[sizes[-1]][0] / running[sizes[0]][0]:.2f} "
            f"(target: at most {RUNNING_TARGET_S:.0f} s at every size, not growing with the disk: "
            f"{verdict(worst <= RUNNING_TARGET_S)} for the longest run)")
        console = {size: summary[size]["First console line (s)"]["live"] for size in sizes}
        if all(console.values()):
            verdicts.append("- Live restore, time to the guest's first console line (the guest's own "
                            "boot included): " + ", ".join(f"{size // MIB} MiB {console[size][0]:.2f} s"
                                                          for size in sizes))
    for size in sizes:
        end = summary[size]["Restore's end (s)"]
        if end["live"] and end["copy"]:
            r = end["live"][0] / end["copy"][0]
            verdicts.append(f"- {size // MIB} MiB: the live restore ends after {end['live'][0]:.2f} s, "
                            f"the copy restore after {end['copy'][0]:.2f} s: {r:.3f} (target <= "
                            f"{LIVE_END_TARGET}: {verdict(r <= LIVE_END_TARGET)})")
    out += ["Against the targets (medians):", ""] + verdicts + [""]

    read_metrics = [
        ("Intervals of about 1 s", value("intervals"), 0),
        ("Highest pass (1: every read the first of its data)", value("pass"), 0),
        ("4 KiB reads", value("r4k_reads"), 0),
        ("  mean (us)", value("r4k_mean_us"), 0),
        ("  median (us)", value("r4k_p50_us"), 0),
        ("  p99 (us)", value("r4k_p99_us"), 0),
        ("  worst (us)", value("r4k_max_us"), 0),
        ("1 MiB reads", value("r1m_reads"), 0),
        ("  mean (ms)", value("r1m_mean_ms"), 2),
        ("  median (ms)", value("r1m_p50_ms"), 2),
        ("  p99 (ms)", value("r1m_p99_ms"), 2),
    ]
    windows = [("read_pull", "during the copy"), ("read_after", "after the copy, same VM"),
               ("read_local", "local image (copy restore's VM)")]
    for size in sizes:
        if not pick("read_local", size):
            continue
        lread = pick("lread", size)
        bw = lread[0]["bandwidth_mib_s"] if lread else "?"
        body = []
        for label, get, digits in read_metrics:
            st = {k: stats([get(r) for r in pick(k, size)]) for k, _ in windows}
            body.append([label] + [cell(st[k], digits) for k, _ in windows]
                        + [ratio(st["read_pull"], st["read_local"]) if "us" in label or "ms" in label else "-"])
        pull = stats([since_running("data_s")(r) for r in lread])
        data = num(lread[0]["data_bytes"]) if lread else 0
        out += [f"Read test, {size // MIB} MiB disk: live restores with `--bandwidth {bw}` "
                f"(the copy's data alone would take {data / MIB / float(bw):.0f} s at that rate); "
                f"the copy took {cell(pull, 1)} s from the VM running; the restore's end "
                f"{cell(stats([num(r['end_s']) for r in lread]), 1)} s", "",
                table(["Reads, one at a time, O_DIRECT", *[name for _, name in windows], "during/local"], body), ""]
    return out


def host_samples(path):
    """The lines of bench/run's host log: (epoch, busy ticks, idle ticks,
    sectors written)."""
    with open(path) as handle:
        return [tuple(float(v) for v in line.split()) for line in handle if len(line.split()) == 4]


def load_chart(results, scratch, rows, baseline, guest_log, host_log):
    """Guest write throughput over the runs of one round (the round whose
    quorlane run at the unit's priorities has the median share of its
    baseline), each run until the flush of its output ended, one panel per
    backup; the worst write latency of every report, the host's CPU use and
    the writes to the images' disk in the runs at the unit's priorities and
    the reference runs."""
    def share(r):
        return num(r["guest_mib_s"]) / num(baseline[r["round"]]["guest_mib_s"])

    ours = sorted((r for r in rows if r["kind"] == "quorlane" and r["priority"] == "unit"), key=share)
    chosen = ours[(len(ours) - 1) // 2]["round"]
    found = guestlog.reports(guest_log)
    runs = {(r["kind"], r["priority"]): r for r in rows if r["round"] == chosen}
    samples = host_samples(host_log)
    series, host = {}, {}
    for (kind, priority), run in runs.items():
        start, end = num(run["start_epoch"]), num(run["flushed_epoch"])
        series[kind, priority] = os.path.join(scratch, f"load-{kind}-{priority}.dat")
        with open(series[kind, priority], "w") as handle:
            for report in guestlog.window(found, start, end):
                handle.write(f"{guestlog.middle(report) - start:.2f} {report.mib / report.seconds:.2f} "
                             f"{max(report.latencies_ms):.2f}\n")
        host[kind, priority] = os.path.join(scratch, f"host-{kind}-{priority}.dat")
        inside = [x for x in samples if start <= x[0] <= end]
        with open(host[kind, priority], "w") as handle:
            for a, b in zip(inside, inside[1:]):
                ticks = (b[1] - a[1]) + (b[2] - a[2])
                handle.write(f"{(a[0] + b[0]) / 2 - start:.2f} "
                             f"{100 * (b[1] - a[1]) / ticks if ticks else 0:.1f} "
                             f"{(b[3] - a[3]) * 512 / MIB / (b[0] - a[0]):.1f}\n")

    def color(kind):
        return f'"#{COLORS["virtnbdbackup" if kind == "peer" else kind]:06x}"'

    def references(column, files=series):
        return [f'"{files["snapshot", "normal"]}" using 1:{column} with lines lw 1 '
                f'lc rgb "#{SNAPSHOT_COLOR:06x}" title "snapshot alone"',
                f'"{files["baseline", "normal"]}" using 1:{column} with lines lw 1 '
                'lc rgb "#AAAAAA" title "no backup"']

    def unit_runs(column, files):
        return [f'"{files[kind, "unit"]}" using 1:{column} with linespoints pt 7 ps 0.5 '
                f'lc rgb {color(kind)} title "{name}"' for kind, name in KINDS]

    # Room above the curves for the key.
    gp = ['set xlabel "seconds since the start of the run"', "set key top right font ',8'",
          "set grid ytics", "set offsets 0, 0, graph 0.35, 0"]
    for kind, name in KINDS:
        unit, normal = series[kind, "unit"], series[kind, "normal"]
        gp += [f'set title "{name}: guest writes"', 'set ylabel "MiB/s"',
               "unset logscale", "set yrange [0:*]", "set xrange [0:*]"]
        run = runs[kind, "unit"]
        marks = [(num(run["wall_s"]), "returned")]
        if run["overlay_s"]:
            taken = num(run["before_snapshot_s"]) + num(run["snapshot_create_s"])
            merged = taken + num(run["overlay_s"])
            marks += [(taken, "snapshot"), (merged - num(run["merge_s"]), "merge"), (merged, "merged")]
        for at, what in marks:
            gp += [f'set arrow from {at:.2f}, graph 0 to {at:.2f}, graph 1 nohead dt 3 lc rgb "#555555"',
                   f'set label "{what}" at {at:.2f}, graph 0.04 rotate left font ",8"']
        plots = [f'"{unit}" using 1:2 with linespoints pt 7 ps 0.5 lw 2 lc rgb {color(kind)} '
                 'title "unit priorities (dotted: its phases)"',
                 f'"{normal}" using 1:2 with linespoints pt 6 ps 0.5 lw 1 dt 2 lc rgb {color(kind)} '
                 'title "normal priority"']
        gp += ["plot " + ", ".join(plots + references(2)), "unset arrow", "unset label"]
    gp += ['set title "Worst write latency of each report, unit priorities"', 'set ylabel "ms"',
           "set logscale y", "set yrange [*:*]",
           "plot " + ", ".join(unit_runs(3, series) + references(3)),
           'set title "Host CPU in use, all cores, unit priorities"', 'set ylabel "%"',
           "unset logscale", "set yrange [0:150]", "set ytics 0, 20, 100",
           "plot " + ", ".join(unit_runs(2, host) + references(2, host)),
           'set title "Host: writes to the images\' disk, unit priorities"', 'set ylabel "MiB/s"',
           "set yrange [0:*]", "set ytics auto",
           "plot " + ", ".join(unit_runs(3, host) + references(3, host))]
    return render(os.path.join(results, "load.png"), scratch,
                  f"Guest's fsync'd 1 MiB writes in round {chosen}, each run until its output "
                  "is flushed", 2, 3, gp)


def main():
    if len(sys.argv) not in (5, 6):
        sys.exit(__doc__)
    results, size, small, scratch = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    inc_size = int(sys.argv[5]) if len(sys.argv) == 6 else 0
    lines = []
    with open(os.path.join(results, "machine.txt")) as handle:
        machine = [l.rstrip() for l in handle if l.strip()]
    lines += ["### Machine", ""] + [f"- {l}" for l in machine] + [""]
    compare = memory = cost = None
    rows = read_csv(os.path.join(results, "compare.csv"))
    if rows:
        section, compare = compare_section(rows, size)
        lines += section + [""]
    rows = read_csv(os.path.join(results, "memory.csv"))
    if rows:
        section, memory = memory_section(rows)
        lines += section + [""]
    rows = read_csv(os.path.join(results, "prune.csv"))
    if rows:
        section, cost = prune_section(rows)
        lines += section + [""]
    rows = read_csv(os.path.join(results, "limits.csv"))
    if rows:
        lines += limits_section(rows) + [""]
    load_rows = read_csv(os.path.join(results, "load.csv"))
    if load_rows:
        section, baseline = load_section(load_rows, size, machine)
        lines += section + [""]
    rows = read_csv(os.path.join(results, "incremental.csv"))
    if rows:
        lines += incremental_section(rows, inc_size, machine) + [""]
    rows = read_csv(os.path.join(results, "restore.csv"))
    if rows:
        lines += restore_section(rows, machine) + [""]
    if os.path.exists(os.path.join(results, "sync.md")):
        with open(os.path.join(results, "sync.md")) as handle:
            lines += handle.read().splitlines() + [""]
    if os.path.exists(os.path.join(results, "files.md")):
        with open(os.path.join(results, "files.md")) as handle:
            lines += handle.read().splitlines() + [""]
    text = "\n".join(lines)
    print(text)
    with open(os.path.join(results, "summary.md"), "w") as handle:
        handle.write(text)
    rounds = len(read_csv(os.path.join(results, "compare.csv")) or []) // 3
    title = (f"{size // MIB} MiB qcow2 disk, {rounds} rounds: bars are medians, whiskers min-max"
             if compare else "quorlane-backup benchmarks")
    png = chart(results, scratch, compare, memory or {}, cost, title)
    if png:
        print(f"Chart: {png}")
    if load_rows:
        png = load_chart(results, scratch, load_rows, baseline,
                         os.path.join(scratch, "load-guest.log"), os.path.join(scratch, "load-host.log"))
        print(f"Chart: {png}")


if __name__ == "__main__":
    main()
