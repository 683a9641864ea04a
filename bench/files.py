#!/usr/bin/env python3
"""The files part of bench/run: single files back from a backup through
quorlane-restore (libguestfs's appliance reads the guest's file systems)
against the floor of the unsafe way, the host's own kernel reading them.

The VM: a BIOS VM without an operating system (it waits in its firmware,
which is all a backup needs) whose qcow2 disk holds an ext4 file system,
made here by mkfs.ext4 -d, with a file of --big-size random bytes and a tree
of --small-count small files. It is backed up with --incremental twice: a
full backup, then an incremental one after a write behind the file system;
every figure reads the incremental one, through its chain.

- listing: `--ls` from the command to the listing; cold the first time with
  an empty appliance cache (LIBGUESTFS_CACHEDIR pointed at a new directory:
  what `rm -rf /var/tmp/.guestfs-$(id -u)` does, without taking the cache
  from everybody else on the machine), warm after it;
- big, small: `--extract` of the file and of the tree into a new directory;
- floor: `qemu-img convert` of the same backup to a raw file, a read-only
  loop mount of it (in a private mount namespace) and `cp -a` of the same
  data, timed whole and the copy alone.

Writes files.csv (kind,round,seconds,bytes,files) and files.md into --out.
"""
import argparse
import csv
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import vmlib  # noqa: E402
from vmlib import harness  # noqa: E402

MIB = 1 << 20


def run(cmd, **kw):
    return subprocess.run([str(c) for c in cmd], check=True, stdin=subprocess.DEVNULL,
                          capture_output=True, **kw)


def make_tree(root, big, small_count):
    """The file system's contents: big.bin and small/NNN/NNNNN.txt."""
    os.makedirs(os.path.join(root, "small"))
    with open("/dev/urandom", "rb") as source, open(os.path.join(root, "big.bin"), "wb") as f:
        left = big
        while left:
            chunk = source.read(min(left, 16 * MIB))
            f.write(chunk)
            left -= len(chunk)
    small_bytes = 0
    for i in range(small_count):
        directory = os.path.join(root, "small", "%03d" % (i // 100))
        os.makedirs(directory, exist_ok=True)
        data = (b"line %d of a small file\n" % i) * (1 + i % 200)
        with open(os.path.join(directory, "%05d.txt" % i), "wb") as f:
            f.write(data)
        small_bytes += len(data)
    return small_bytes


class Bench:

    def __init__(self, args):
        self.args = args
        self.rows = []
        self.tool = vmlib.Tool()
        self.work = tempfile.mkdtemp(prefix="files-", dir=args.work)
        self.env = {"LIBGUESTFS_CACHEDIR": os.path.join(self.work, "appliance-cache")}
        os.makedirs(self.env["LIBGUESTFS_CACHEDIR"])

    def record(self, kind, rnd, seconds, data=0, files=0):
        self.rows.append({"kind": kind, "round": rnd, "seconds": "%.3f" % seconds,
                          "bytes": data, "files": files})
        print("  %-12s round %d: %7.2f s" % (kind, rnd, seconds), flush=True)

    def restore(self, *args):
        start = time.monotonic()
        result = self.tool.run([str(a) for a in args], binary=self.args.restore_binary,
                               env=self.env, timeout=3600)
        seconds = time.monotonic() - start
        if result.rc != 0:
            raise SystemExit("quorlane-restore %s failed: %r" % (" ".join(map(str, args)), result))
        return seconds, result

    def prepare(self):
        """The VM, its file system and its chain; returns the incremental backup."""
        tree = os.path.join(self.work, "tree")
        self.small_bytes = make_tree(tree, self.args.big_size, self.args.small_count)
        fs_size = self.args.big_size + self.small_bytes + self.args.small_count * 4096 + 256 * MIB
        disk_size = fs_size + 64 * MIB
        self.vm = vmlib.VM(disks=[("vda", "qcow2", str(disk_size))])
        raw = os.path.join(self.work, "fs.raw")
        with open(raw, "wb") as f:
            f.truncate(disk_size)
        run(["mkfs.ext4", "-q", "-F", "-L", "bench", "-d", tree, raw, "%dk" % (fs_size // 1024)])
        shutil.rmtree(tree)
        run(["qemu-img", "convert", "-f", "raw", "-O", "qcow2", raw, self.vm.images["vda"]])
        os.unlink(raw)
        self.vm.start()
        root = os.path.join(self.work, "backups")
        os.makedirs(root)
        for number in range(2):
            if number:
                # Behind the file system: the incremental's own clusters.
                self.vm.write_pattern("vda", 0x5a, fs_size, 4 * MIB)
                time.sleep(1.1)  # a backup directory per second
            result = self.tool.run(["-n", self.vm.name, "-r", root, "-k", "2", "-i"])
            if result.rc != 0:
                raise SystemExit("quorlane-backup failed: %r" % result)
        self.vm.shutoff()
        vm_dir = os.path.join(root, self.vm.name)
        return os.path.join(vm_dir, sorted(os.listdir(vm_dir))[-1])

    def floor(self, backup, rnd):
        """The unsafe way: convert, loop mount read-only, copy."""
        raw = os.path.join(self.work, "floor.raw")
        out = os.path.join(self.work, "floor-out")
        mnt = os.path.join(self.work, "floor-mnt")
        os.makedirs(mnt, exist_ok=True)
        image = os.path.join(backup, "%s-vda.qcow2" % self.vm.name)
        script = ('set -e; t0=$(date +%%s.%%N); qemu-img convert -f qcow2 -O raw "$1" "$2"; '
                  't1=$(date +%%s.%%N); dev=$(losetup -r -f --show "$2"); '
                  'mount -o ro,noload "$dev" "$3"; t2=$(date +%%s.%%N); cp -a "$3/%s" "$4/"; '
                  'sync -f "$4"; t3=$(date +%%s.%%N); umount "$3"; losetup -d "$dev"; '
                  'echo "$t0 $t1 $t2 $t3"')
        for kind, path, data, files in (("big", "big.bin", self.args.big_size, 1),
                                        ("small", "small", self.small_bytes,
                                         self.args.small_count)):
            os.makedirs(out)
            proc = run(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                        script % path, "sh", image, raw, mnt, out], text=True)
            t0, t1, t2, t3 = map(float, proc.stdout.split())
            self.record("floor_" + kind, rnd, t3 - t0, data, files)
            self.record("floor_copy_" + kind, rnd, t3 - t2, data, files)
            shutil.rmtree(out)
            os.unlink(raw)

    def extract(self, backup, rnd):
        for kind, path, data, files in (("big", "/dev/sda:/big.bin", self.args.big_size, 1),
                                        ("small", "/dev/sda:/small", self.small_bytes,
                                         self.args.small_count)):
            out = os.path.join(self.work, "out")
            seconds, _ = self.restore("-b", backup, "-o", out, "--extract", path)
            subprocess.run(["sync", "-f", out], check=True)
            self.record("extract_" + kind, rnd, seconds, data, files)
            shutil.rmtree(out)

    def main(self):
        print("  making the VM's file system and its chain...", flush=True)
        backup = self.prepare()
        seconds, result = self.restore("-b", backup, "--ls")
        self.record("ls_cold", 1, seconds)
        print("  " + result.out.replace("\n", "\n  ").rstrip(), flush=True)
        for rnd in range(1, self.args.rounds + 1):
            self.record("ls_warm", rnd, self.restore("-b", backup, "--ls")[0])
            self.extract(backup, rnd)
            self.floor(backup, rnd)

    def cleanup(self):
        if hasattr(self, "vm"):
            self.vm.cleanup()
        self.tool.cleanup()
        shutil.rmtree(self.work, ignore_errors=True)


def median(rows, kind, field="seconds"):
    values = [float(r[field]) for r in rows if r["kind"] == kind]
    return statistics.median(values) if values else None


def summary(rows, args):
    def rate(kind):
        seconds = median(rows, kind)
        data = max(int(r["bytes"]) for r in rows if r["kind"] == kind)
        return data / MIB / seconds

    def span(kind):
        values = sorted(float(r["seconds"]) for r in rows if r["kind"] == kind)
        return "%.2f (%.2f-%.2f) s" % (statistics.median(values), values[0], values[-1])

    warm = median(rows, "ls_warm")
    lines = ["## Single files from a backup (files part)", "",
             "%d MiB file and %d small files (%.1f MiB) in ext4, read from an incremental "
             "backup through its chain; %d rounds, median (min-max)." % (
                 args.big_size // MIB, args.small_count,
                 max(int(r["bytes"]) for r in rows if r["kind"] == "extract_small") / MIB,
                 args.rounds), "",
             "| What | Time | Throughput |", "|---|---|---|",
             "| First listing, cold appliance cache | %s | |" % span("ls_cold"),
             "| First listing, warm | %s | |" % span("ls_warm")]
    for kind, what in (("big", "the big file"), ("small", "the small files")):
        lines += ["| Extract %s (quorlane-restore) | %s | %.1f MiB/s (%.1f MiB/s after the "
                  "appliance's start) |" % (
                      what, span("extract_" + kind), rate("extract_" + kind),
                      max(int(r["bytes"]) for r in rows if r["kind"] == "extract_" + kind) / MIB
                      / max(median(rows, "extract_" + kind) - warm, 0.001)),
                  "| Floor: convert, loop mount, copy %s | %s | %.1f MiB/s |" % (
                      what, span("floor_" + kind), rate("floor_" + kind)),
                  "| Floor: the copy alone | %s | %.1f MiB/s |" % (
                      span("floor_copy_" + kind), rate("floor_copy_" + kind))]
    lines += ["", "Targets: first listing at most 15 s (cold %.1f s, warm %.1f s); extraction "
              "at least half the floor's throughput (big file %.2f, small files %.2f of it)." % (
                  median(rows, "ls_cold"), warm,
                  rate("extract_big") / rate("floor_big"),
                  rate("extract_small") / rate("floor_small"))]
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--big-size", type=int, default=1024 * MIB)
    parser.add_argument("--small-count", type=int, default=10000)
    parser.add_argument("--backup-binary", required=True)
    parser.add_argument("--restore-binary", required=True)
    parser.add_argument("--work", default="/var/tmp")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    vmlib.BINARY = os.path.abspath(args.backup_binary)
    harness.BINARY = vmlib.BINARY
    bench = Bench(args)
    try:
        bench.main()
    finally:
        bench.cleanup()
    with open(os.path.join(args.out, "files.csv"), "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=["kind", "round", "seconds", "bytes", "files"])
        writer.writeheader()
        writer.writerows(bench.rows)
    text = "\n".join(summary(bench.rows, args)) + "\n"
    with open(os.path.join(args.out, "files.md"), "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
