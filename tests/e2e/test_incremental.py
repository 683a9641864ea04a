"""Incremental backups (--incremental) against the real libvirt daemon and QEMU.

A chain of a full backup and incremental ones restores, backup by backup,
exactly what the disks held when each was taken, and each incremental image
holds only the clusters written since its parent. A run takes a full backup
when the chain cannot continue (its newest backup damaged, say), and says
why. A run killed or stopped during an incremental leaves nothing that the
next run does not clean up. A busy Linux guest's chain, one backup quiesced,
holds its files, and the last incremental's restore boots.

After every test the VMs carry only the newest backup's checkpoint and its
bitmaps: no other checkpoint, no scratch image, no backup job.
"""
import json
import os
import re
import signal
import subprocess
import time
import unittest

import guest
import vmlib
from vmlib import harness, virsh
from drills import (CHECKPOINT_PREFIX, GATED_QEMU_IMG, GATED_VIRSH, MIB, DrillCase,
                    checkpoint_names, finish_tool, job_type, scratch_images, sleep_past,
                    start_tool, timestamp_dirs, wait_for_file)

KIB = 1024


# ----------------------------------------------------------- the VM's view

def qemu_bitmaps(vm):
    """{image file: sorted bitmap names} of every block node of the running
    QEMU that carries dirty bitmaps."""
    reply = virsh("qemu-monitor-command", vm.name,
                  '{"execute":"query-named-block-nodes","arguments":{"flat":true}}').stdout
    found = {}
    for node in json.loads(reply)["return"]:
        names = [b["name"] for b in node.get("dirty-bitmaps", [])]
        if names:
            found.setdefault(node["file"], []).extend(names)
    return {path: sorted(names) for path, names in found.items()}


def write_zeroes(vm, target, offset, length):
    """A write-zeroes request of the guest (as a discard or TRIM turns into),
    flushed to the image."""
    device = vm.block_device(target)
    for command in ("write -z %d %d" % (offset, length), "flush"):
        reply = vm.monitor('qemu-io -d %s "%s"' % (device, command)).strip()
        if reply:
            raise RuntimeError("qemu-io %s on %s: %s" % (command, vm.name, reply))


def fill_random(vm, target, length):
    """Gives a VM that has not started yet a disk whose first `length` bytes
    are random (incompressible, and no cluster like another)."""
    image = vm.images[target]
    size = vmlib.image_info(image)["virtual-size"]
    raw = image + ".raw"
    with open("/dev/urandom", "rb") as source, open(raw, "wb") as f:
        f.write(source.read(length))
        f.truncate(size)
    subprocess.run(["qemu-img", "convert", "-q", "-f", "raw", "-O", "qcow2", raw, image],
                   check=True, stdin=subprocess.DEVNULL)
    os.unlink(raw)


def copy_disks(vm, directory, label):
    """Raw copies of the VM's disks as they are now: {target: path}."""
    copies = {}
    for target, image in vm.images.items():
        copies[target] = os.path.join(directory, "%s-%s.raw" % (label, target))
        subprocess.run(["qemu-img", "convert", "-U", "-q", "-O", "raw", image, copies[target]],
                       check=True, stdin=subprocess.DEVNULL)
    return copies


def top_clusters(image, cluster):
    """The clusters that the image itself holds (data or zeros), not its backing chain."""
    out = subprocess.run(["qemu-img", "map", "-U", "--output=json", image], check=True,
                         capture_output=True, text=True, stdin=subprocess.DEVNULL).stdout
    found = set()
    for extent in json.loads(out):
        if extent["depth"] == 0:
            found.update(range(extent["start"] // cluster,
                               (extent["start"] + extent["length"] - 1) // cluster + 1))
    return found


def clusters_of(writes, cluster):
    found = set()
    for offset, length in writes:
        found.update(range(offset // cluster, (offset + length - 1) // cluster + 1))
    return found


def kill_qemu(vm):
    """SIGKILL to the VM's QEMU, as the OOM killer would; returns once libvirt
    sees the VM shut off."""
    with open("/run/libvirt/qemu/%s.pid" % vm.name) as f:
        os.kill(int(f.read().strip()), signal.SIGKILL)
    deadline = time.time() + 60
    while vm.state() != "shut off":
        if time.time() > deadline:
            raise AssertionError("%s still %s after SIGKILL to QEMU" % (vm.name, vm.state()))
        time.sleep(0.1)


def kind_lines(result):
    """The lines of a run that say which kind of backup it takes."""
    return [line for line in result.out_lines
            if line.startswith("Incremental backup:") or line.startswith("Full backup")]


# ------------------------------------------------------------------ tests

class IncrementalCase(DrillCase):
    """Runs with --incremental and what a chain must look like."""

    def setUp(self):
        super().setUp()
        self.last = ""

    def run_i(self, vm, *extra, keep=5, extra_path=()):
        """One run with --incremental that must succeed; returns (result, timestamp)."""
        sleep_past(self.last)
        result = self.backup(vm, "-i", *extra, keep=keep, extra_path=extra_path)
        self.assertEqual(result.rc, 0, result)
        done = [line for line in result.out_lines if line.startswith("Backup complete: ")]
        self.assertEqual(len(done), 1, result)
        self.last = os.path.basename(done[0].split(": ", 1)[1])
        return result, self.last

    def backup_dir(self, vm, ts):
        return os.path.join(self.root, vm.name, ts)

    def image(self, vm, ts, target):
        return os.path.join(self.backup_dir(vm, ts), "%s-%s.qcow2" % (vm.name, target))

    def assertKind(self, result, line):
        """The run says once, in `line`, which kind of backup it takes and why."""
        self.assertEqual(kind_lines(result), [line], result)

    def assertChain(self, vm, ts, result, parent, sizes):
        """Backup ts is complete, of the kind its parent (None: full) makes it,
        in its chain file, its run's record and its images' backing files."""
        kind = "incremental" if parent else "full"
        text = "kind=%s\n%scheckpoint=%s%s\n%s" % (
            kind, "parent=%s\n" % parent if parent else "", CHECKPOINT_PREFIX, ts,
            "".join("disk=%s %d\n" % (t, sizes[t]) for t in sorted(sizes)))
        with open(os.path.join(self.backup_dir(vm, ts), vm.name + ".chain")) as f:
            self.assertEqual(f.read(), text)
        self.assertEqual(len(result.app_log), 1, result.app_log)
        self.assertRegex(result.app_log[0], r"^\[[^]]+\] vm=%s result=success dir=%s "
                         r"consistency=\S+ kind=%s%s duration=\d+s " % (
                             re.escape(vm.name), re.escape(self.backup_dir(vm, ts)), kind,
                             " parent=" + parent if parent else ""))
        self.assertEqual(sorted(os.listdir(self.backup_dir(vm, ts))), sorted(
            ["%s-%s.log" % (vm.name, ts), vm.name + ".chain", vm.name + ".xml",
             vm.name + ".xml.backup"] + ["%s-%s.qcow2" % (vm.name, t) for t in sizes]))
        for target in sizes:
            info = vmlib.image_info(self.image(vm, ts, target))
            self.assertEqual(info["virtual-size"], sizes[target], target)
            self.assertNotIn("bitmaps", info["format-specific"]["data"], target)
            if parent:
                self.assertEqual(info.get("backing-filename"),
                                 "../%s/%s-%s.qcow2" % (parent, vm.name, target))
                self.assertEqual(info.get("backing-filename-format"), "qcow2")
                self.assertEqual(os.path.realpath(info["full-backing-filename"]),
                                 os.path.realpath(self.image(vm, parent, target)))
            else:
                self.assertNotIn("backing-filename", info)

    def assertHolds(self, vm, ts, copies):
        """Every image of backup ts, read through its chain, is the disk as copied."""
        for target, copy in copies.items():
            equal, text = vmlib.images_equal(self.image(vm, ts, target), copy, "qcow2", "raw")
            self.assertTrue(equal, "%s of %s: %s" % (target, ts, text))

    def assertOnlyTipTracked(self, vm, tip):
        """The VM runs on its base images with the checkpoint of backup `tip`
        alone (none when tip is None) and that checkpoint's bitmaps, no
        scratch image and no job."""
        names = [CHECKPOINT_PREFIX + tip] if tip else []
        self.assertEqual(checkpoint_names(vm), names)
        self.assertEqual(qemu_bitmaps(vm), {image: names for image in vm.images.values()}
                         if tip else {})
        self.assertEqual(scratch_images(vm), [])
        self.assertEqual(job_type(vm), "None")
        self.assertOnBaseImages(vm)

    def gate(self, name):
        """(bin dir, marker, release) for a gated stand-in."""
        directory = os.path.join(self.tool.root, name)
        os.makedirs(directory)
        return directory, os.path.join(directory, "marker"), os.path.join(directory, "release")


class IncrementalChain(IncrementalCase):

    def test_each_backup_of_a_chain_restores_the_disks_as_they_were(self):
        vm = vmlib.make_vm(self, disks=[("vda", "qcow2", "32M"), ("vdb", "qcow2", "16M")])
        fill_random(vm, "vda", 8 * MIB)
        fill_random(vm, "vdb", 4 * MIB)
        vm.start()
        sizes = {"vda": 32 * MIB, "vdb": 16 * MIB}
        copies_dir = os.path.join(self.tool.root, "copies")
        os.makedirs(copies_dir)
        points = []  # (timestamp, {target: copy of the disk at that backup})

        # The full backup that starts the chain.
        vm.write_pattern("vda", 0x11, 10 * MIB, 1 * MIB)
        vm.write_pattern("vdb", 0x21, 6 * MIB, 512 * KIB)
        copies = copy_disks(vm, copies_dir, "b0")
        result, b0 = self.run_i(vm, "-C", "4")
        self.assertKind(result, "Full backup, starting a new chain: no complete backup of this "
                        "VM was made with --incremental.")
        self.assertChain(vm, b0, result, None, sizes)
        points.append((b0, copies))
        self.assertOnlyTipTracked(vm, b0)

        # Writes over the full backup's data and into clusters it does not hold,
        # one of them 4 KiB inside a 64 KiB cluster, one straddling two clusters,
        # zeros written as data, a write-zeroes request, a disk left alone.
        rounds = [
            {"vda": [(0x12, 1 * MIB, 256 * KIB), (0x13, 12 * MIB + 4 * KIB, 4 * KIB)],
             "vdb": [(0x22, 2 * MIB, 128 * KIB)]},
            {"vda": [(0x00, 10 * MIB + 256 * KIB, 256 * KIB), (0x14, 3 * MIB + 60 * KIB, 8 * KIB)],
             "vdb": [("zero", 6 * MIB, 256 * KIB), (0x23, 2 * MIB + 64 * KIB, 64 * KIB)]},
            {"vda": [(0x15, 20 * MIB, 64 * KIB)], "vdb": []},
        ]
        parent = b0
        for number, writes in enumerate(rounds, start=1):
            for target, requests in writes.items():
                for byte, offset, length in requests:
                    if byte == "zero":
                        write_zeroes(vm, target, offset, length)
                    else:
                        vm.write_pattern(target, byte, offset, length)
            copies = copy_disks(vm, copies_dir, "b%d" % number)
            result, ts = self.run_i(vm, "-C", "4")
            self.assertKind(result, "Incremental backup: only the blocks changed since backup %s "
                            "(backup %d of at most 4 in its chain)." % (parent, number + 1))
            self.assertChain(vm, ts, result, parent, sizes)
            points.append((ts, copies))
            # Only the clusters written since the parent, which take far less
            # room than the full backup.
            for target, requests in writes.items():
                image = self.image(vm, ts, target)
                cluster = vmlib.image_info(image)["cluster-size"]
                self.assertEqual(top_clusters(image, cluster),
                                 clusters_of([(o, n) for _, o, n in requests], cluster),
                                 "%s of %s" % (target, ts))
                self.assertLess(os.path.getsize(image) * 8,
                                os.path.getsize(self.image(vm, b0, target)), image)
            self.assertOnlyTipTracked(vm, ts)
            parent = ts
        b1, b2, b3 = [ts for ts, _ in points[1:]]

        # Every backup of the chain, restored as standalone images, is the
        # disks as they were when it was taken.
        restored = {}
        for number, (ts, copies) in enumerate(points):
            self.assertHolds(vm, ts, copies)
            name = "%s-r%d" % (vm.name, number)
            directory = self.restored_vm(name)
            result = self.tool.run(["-n", vm.name, "-r", self.root, "-t", ts, "--as", name,
                                    "-i", directory], binary=harness.RESTORE_BINARY)
            self.assertEqual(result.rc, 0, result)
            for target, copy in copies.items():
                image = os.path.join(directory, "%s-%s.qcow2" % (name, target))
                restored[ts, target] = image
                info = vmlib.image_info(image)
                self.assertNotIn("backing-filename", info)
                self.assertNotIn("bitmaps", info["format-specific"]["data"])
                equal, text = vmlib.images_equal(image, copy, "qcow2", "raw")
                self.assertTrue(equal, "%s restored from %s: %s" % (target, ts, text))
        # What was zeroed after b1 is there in b1 and zeros from b2 on.
        zeroed = {"vda": (0x11, 10 * MIB + 256 * KIB, 256 * KIB), "vdb": (0x21, 6 * MIB, 256 * KIB)}
        for target, (byte, offset, length) in zeroed.items():
            self.assertTrue(vmlib.image_has_pattern(restored[b1, target], byte, offset, length))
            for ts in (b2, b3):
                self.assertTrue(vmlib.image_has_pattern(restored[ts, target], 0, offset, length))
        check = self.tool.run(["-n", vm.name, "-r", self.root, "-t", b3, "--check"],
                              binary=harness.RESTORE_BINARY)
        self.assertEqual(check.rc, 0, check)

        # The chain is full: the next run starts a new one, and with room for
        # one backup retention deletes the old chain.
        result, b4 = self.run_i(vm, "-C", "4", keep=1)
        # (The chain is named by its full backup or by its newest one.)
        self.assertIn(kind_lines(result), [
            ["Full backup, starting a new chain: the chain of backup %s holds 4 backups "
             "(--chain-length 4)." % ts] for ts in (b0, b3)])
        self.assertChain(vm, b4, result, None, sizes)
        self.assertHolds(vm, b4, points[-1][1])
        self.assertEqual(timestamp_dirs(os.path.join(self.root, vm.name)), [b4])
        self.assertOnlyTipTracked(vm, b4)

        # A kept incremental backup keeps the full one it is made on.
        vm.write_pattern("vda", 0x16, 5 * MIB, 64 * KIB)
        copies = copy_disks(vm, copies_dir, "b5")
        result, b5 = self.run_i(vm, "-C", "4", keep=1)
        self.assertKind(result, "Incremental backup: only the blocks changed since backup %s "
                        "(backup 2 of at most 4 in its chain)." % b4)
        self.assertChain(vm, b5, result, b4, sizes)
        self.assertEqual(timestamp_dirs(os.path.join(self.root, vm.name)), [b4, b5])
        self.assertHolds(vm, b5, copies)
        self.assertOnlyTipTracked(vm, b5)


class ChainBreaks(IncrementalCase):

    def test_a_run_takes_a_full_backup_when_the_chain_cannot_go_on_and_says_why(self):
        vm = vmlib.make_vm(self, disks=[("vda", "qcow2", "32M")])
        fill_random(vm, "vda", 4 * MIB)
        vm.start()
        copies_dir = os.path.join(self.tool.root, "copies")
        os.makedirs(copies_dir)
        sizes = {"vda": 32 * MIB}
        result, b0 = self.run_i(vm)
        self.assertChain(vm, b0, result, None, sizes)

        # QEMU killed: the bitmaps of the checkpoint were never saved.
        vm.write_pattern("vda", 0x31, 1 * MIB, 64 * KIB)
        kill_qemu(vm)
        vm.start()
        vm.write_pattern("vda", 0x32, 2 * MIB, 64 * KIB)
        copies = copy_disks(vm, copies_dir, "b1")
        result, b1 = self.run_i(vm)
        checkpoint = CHECKPOINT_PREFIX + b0
        self.assertIn(kind_lines(result), [
            ["Full backup, starting a new chain: checkpoint '%s' of backup %s is inconsistent "
             "(QEMU stopped without saving its bitmaps)." % (checkpoint, b0)],
            ["Full backup, starting a new chain: libvirt has no checkpoint '%s' of backup %s."
             % (checkpoint, b0)]])
        self.assertChain(vm, b1, result, None, sizes)
        self.assertHolds(vm, b1, copies)
        self.assertOnlyTipTracked(vm, b1)

        # The new chain goes on.
        vm.write_pattern("vda", 0x33, 3 * MIB, 64 * KIB)
        copies = copy_disks(vm, copies_dir, "b2")
        result, b2 = self.run_i(vm)
        self.assertKind(result, "Incremental backup: only the blocks changed since backup %s "
                        "(backup 2 of at most 7 in its chain)." % b1)
        self.assertChain(vm, b2, result, b1, sizes)
        self.assertEqual(top_clusters(self.image(vm, b2, "vda"), 64 * KIB), {3 * 16})
        self.assertHolds(vm, b2, copies)

        # Its checkpoint deleted behind the tool's back.
        virsh("checkpoint-delete", vm.name, CHECKPOINT_PREFIX + b2)
        vm.write_pattern("vda", 0x34, 4 * MIB, 64 * KIB)
        copies = copy_disks(vm, copies_dir, "b3")
        result, b3 = self.run_i(vm)
        self.assertKind(result, "Full backup, starting a new chain: libvirt has no checkpoint "
                        "'%s%s' of backup %s." % (CHECKPOINT_PREFIX, b2, b2))
        self.assertChain(vm, b3, result, None, sizes)
        self.assertHolds(vm, b3, copies)
        self.assertOnlyTipTracked(vm, b3)

        # The disk grown: its new blocks were never tracked.
        virsh("blockresize", vm.name, "vda", "%dB" % (48 * MIB))
        sizes = {"vda": 48 * MIB}
        vm.write_pattern("vda", 0x35, 40 * MIB, 64 * KIB)
        copies = copy_disks(vm, copies_dir, "b4")
        result, b4 = self.run_i(vm)
        self.assertKind(result, "Full backup, starting a new chain: disk vda has %d bytes, %d in "
                        "backup %s." % (48 * MIB, 32 * MIB, b3))
        self.assertChain(vm, b4, result, None, sizes)
        self.assertHolds(vm, b4, copies)

        # A paused VM continues its chain.
        vm.write_pattern("vda", 0x36, 44 * MIB, 64 * KIB)
        vm.pause()
        copies = copy_disks(vm, copies_dir, "b5")
        result, b5 = self.run_i(vm)
        self.assertKind(result, "Incremental backup: only the blocks changed since backup %s "
                        "(backup 2 of at most 7 in its chain)." % b4)
        self.assertChain(vm, b5, result, b4, sizes)
        self.assertEqual(top_clusters(self.image(vm, b5, "vda"), 64 * KIB), {44 * 16})
        self.assertHolds(vm, b5, copies)
        self.assertEqual(vm.state(), "paused")
        self.assertOnlyTipTracked(vm, b5)
        vm.resume()

    def test_a_damaged_tip_starts_a_new_chain_and_the_next_run_continues_it(self):
        vm = vmlib.make_vm(self, disks=[("vda", "qcow2", "32M")])
        fill_random(vm, "vda", 4 * MIB)
        vm.start()
        copies_dir = os.path.join(self.tool.root, "copies")
        os.makedirs(copies_dir)
        sizes = {"vda": 32 * MIB}
        _, b0 = self.run_i(vm)
        vm.write_pattern("vda", 0x61, 1 * MIB, 64 * KIB)
        _, b1 = self.run_i(vm)

        # The header of the tip's image overwritten, as bit rot or a partial
        # copy leaves it.
        damaged = self.image(vm, b1, "vda")
        with open(damaged, "r+b") as f:
            f.write(b"\0" * 8)
        vm.write_pattern("vda", 0x62, 2 * MIB, 64 * KIB)
        copies = copy_disks(vm, copies_dir, "b2")
        result, b2 = self.run_i(vm)
        self.assertKind(result, "Full backup, starting a new chain: backup %s is damaged: its "
                        "image of vda does not open: qemu-img: Could not open '%s': Image is not "
                        "in qcow2 format." % (b1, damaged))
        self.assertChain(vm, b2, result, None, sizes)
        self.assertHolds(vm, b2, copies)
        self.assertOnlyTipTracked(vm, b2)
        self.assertEqual(timestamp_dirs(os.path.join(self.root, vm.name)), [b0, b1, b2])

        vm.write_pattern("vda", 0x63, 3 * MIB, 64 * KIB)
        copies = copy_disks(vm, copies_dir, "b3")
        result, b3 = self.run_i(vm)
        self.assertKind(result, "Incremental backup: only the blocks changed since backup %s "
                        "(backup 2 of at most 7 in its chain)." % b2)
        self.assertChain(vm, b3, result, b2, sizes)
        self.assertEqual(top_clusters(self.image(vm, b3, "vda"), 64 * KIB), {3 * 16})
        self.assertHolds(vm, b3, copies)
        self.assertOnlyTipTracked(vm, b3)


class InterruptedIncremental(IncrementalCase):

    def chain(self, vm):
        """A full and an incremental backup of the running vm; returns
        {timestamp: copies of the disks at that backup}, oldest first."""
        self.copies_dir = os.path.join(self.tool.root, "copies")
        os.makedirs(self.copies_dir)
        points = {}
        for number, byte in enumerate((0x41, 0x42)):
            for target in vm.images:
                vm.write_pattern(target, byte + 0x10 * (target == "vdb"), (number + 1) * MIB,
                                 128 * KIB)
            copies = copy_disks(vm, self.copies_dir, "b%d" % number)
            _, ts = self.run_i(vm)
            points[ts] = copies
        return points

    def start_gated(self, vm, stand_in, text):
        """Starts a run with --incremental whose `stand_in` waits at a gate;
        returns (process, marker, release)."""
        bindir, marker, release = self.gate("gated-" + stand_in)
        vmlib.write_script(bindir, stand_in, text % {
            "marker": marker, "release": release, "calls": os.path.join(bindir, "calls")})
        sleep_past(self.last)
        proc = start_tool(self.tool, ["-n", vm.name, "-r", self.root, "-k", "5", "-i"],
                          extra_path=[bindir], new_session=True)
        self.addCleanup(lambda: proc.poll() is None and os.killpg(proc.pid, signal.SIGKILL))
        wait_for_file(marker)
        return proc, marker, release

    def finish_gated(self, proc):
        """The result of a gated run; the next run starts in a later second."""
        result = finish_tool(self.tool, proc)
        for line in result.out_lines:
            if line.startswith("Step 2: Creating backup directory: "):
                self.last = os.path.basename(line.rsplit(" ", 1)[1])
        return result

    def assertInterruptedCleanly(self, vm, result, parent, stamps):
        """An incremental run from backup `parent` stopped by SIGTERM: exit 143,
        its record says so, and nothing it made is left (its checkpoint, job,
        scratch images, directory)."""
        self.assertEqual(result.rc, 143, result)
        self.assertEqual(result.err_lines[-1], "WARN:  Interrupted by Terminated; the backup job "
                         "was aborted, its checkpoint and the partial backup removed.", result)
        self.assertEqual(len(result.app_log), 1, result.app_log)
        self.assertRegex(result.app_log[0], r"^\[[^]]+\] vm=%s result=interrupted .*kind="
                         r"incremental parent=%s .*reason=\"SIGTERM\"$" % (re.escape(vm.name),
                                                                         parent))
        self.assertEqual(timestamp_dirs(os.path.join(self.root, vm.name)), stamps)
        self.assertEqual(scratch_images(vm), [])
        self.assertEqual(job_type(vm), "None")
        # The rest of the test goes on if this fails: the next run must clean up.
        with self.subTest("the stopped run's checkpoint is deleted"):
            self.assertOnlyTipTracked(vm, parent)

    def test_run_killed_during_the_copy_then_one_stopped_after_the_job_began(self):
        vm = vmlib.make_vm(self, disks=[("vda", "qcow2", "32M"), ("vdb", "qcow2", "16M")])
        fill_random(vm, "vda", 4 * MIB)
        vm.start()
        points = self.chain(vm)
        b0, b1 = points
        vm_dir = os.path.join(self.root, vm.name)

        # SIGKILL to the run and all it started while it copies the changed blocks.
        vm.write_pattern("vda", 0x43, 6 * MIB, 64 * KIB)
        proc, marker, _ = self.start_gated(vm, "qemu-img", GATED_QEMU_IMG)
        os.killpg(proc.pid, signal.SIGKILL)
        self.assertEqual(self.finish_gated(proc).rc, -signal.SIGKILL)
        (killed,) = timestamp_dirs(vm_dir)[2:]
        # It leaves its checkpoint, its scratch images and its partial directory.
        self.assertEqual(checkpoint_names(vm), [CHECKPOINT_PREFIX + b1, CHECKPOINT_PREFIX + killed])
        scratch = sorted(os.path.join(vm.scratch, "%s-%s.quorlane-backup-scratch.qcow2"
                                      % (vm.name, t)) for t in vm.images)
        self.assertEqual(scratch_images(vm), scratch)

        # The next run deletes them and continues from the newest complete
        # backup: the writes made before the killed run are in it too.
        vm.write_pattern("vdb", 0x53, 7 * MIB, 64 * KIB)
        copies = copy_disks(vm, self.copies_dir, "b2")
        result, b2 = self.run_i(vm)
        points[b2] = copies
        self.assertKind(result, "Incremental backup: only the blocks changed since backup %s "
                        "(backup 3 of at most 7 in its chain)." % b1)
        self.assertIn("WARN:  Checkpoint '%s%s' belongs to no complete backup (a run was killed); "
                      "deleting it." % (CHECKPOINT_PREFIX, killed), result.err_lines)
        for path in scratch:
            self.assertIn("WARN:  Removed the scratch image of an interrupted run: " + path,
                          result.err_lines)
        self.assertChain(vm, b2, result, b1, {"vda": 32 * MIB, "vdb": 16 * MIB})
        self.assertEqual(top_clusters(self.image(vm, b2, "vda"), 64 * KIB), {6 * 16})
        self.assertEqual(top_clusters(self.image(vm, b2, "vdb"), 64 * KIB), {7 * 16})
        self.assertOnlyTipTracked(vm, b2)
        # The killed run's directory is no backup; it stays for the operator.
        self.assertEqual(timestamp_dirs(vm_dir), [b0, b1, killed, b2])

        # SIGTERM to the run once its backup job has begun: the run ends with
        # all it made removed.
        vm.write_pattern("vda", 0x44, 8 * MIB, 64 * KIB)
        proc, marker, release = self.start_gated(vm, "virsh", GATED_VIRSH)
        os.kill(proc.pid, signal.SIGTERM)
        open(release, "w").close()
        result = self.finish_gated(proc)
        with open(marker) as f:
            self.assertEqual(f.read(), "begun 0\n")
        self.assertInterruptedCleanly(vm, result, b2, [b0, b1, killed, b2])

        # Every kept backup restores what the disks held then, and the chain
        # goes on from the last complete backup.
        copies = copy_disks(vm, self.copies_dir, "b3")
        result, b3 = self.run_i(vm)
        points[b3] = copies
        self.assertKind(result, "Incremental backup: only the blocks changed since backup %s "
                        "(backup 4 of at most 7 in its chain)." % b2)
        for ts, copies in points.items():
            self.assertHolds(vm, ts, copies)
        self.assertOnlyTipTracked(vm, b3)

    def test_run_stopped_during_the_copy_of_the_changed_blocks(self):
        vm = vmlib.make_vm(self, disks=[("vda", "qcow2", "32M")])
        vm.start()
        points = self.chain(vm)
        b0, b1 = points
        vm.write_pattern("vda", 0x45, 9 * MIB, 64 * KIB)
        proc, _, release = self.start_gated(vm, "qemu-img", GATED_QEMU_IMG)
        os.kill(proc.pid, signal.SIGTERM)
        open(release, "w").close()
        result = self.finish_gated(proc)
        self.assertInterruptedCleanly(vm, result, b1, [b0, b1])

        copies = copy_disks(vm, self.copies_dir, "b2")
        result, b2 = self.run_i(vm)
        points[b2] = copies
        self.assertKind(result, "Incremental backup: only the blocks changed since backup %s "
                        "(backup 3 of at most 7 in its chain)." % b1)
        for ts, copies in points.items():
            self.assertHolds(vm, ts, copies)
        self.assertOnlyTipTracked(vm, b2)


RECORDING_VIRSH = '#!/bin/sh\nprintf "%%s\\n" "$*" >> %s\nexec /usr/bin/virsh "$@"\n'


class RealGuestChain(IncrementalCase):

    def test_busy_guest_chain_keeps_its_files_and_the_last_incremental_boots(self):
        vm = guest.QcowGuest()
        self.addCleanup(vm.cleanup)
        vm.boot()
        bindir = os.path.join(self.tool.root, "recording-bin")
        os.makedirs(bindir)
        calls = os.path.join(bindir, "calls")
        vmlib.write_script(bindir, "virsh", RECORDING_VIRSH % calls)
        sizes = {"vda": 64 * MIB, "vdb": 64 * MIB}

        # A full backup and three incremental ones, the last quiesced, while
        # the guest writes; before each the guest has synced ten more files.
        points, parent = [], None
        for quiesce in (False, False, False, True):
            vm.wait_synced(vm.synced() + 10)
            synced = vm.synced()
            result, ts = self.run_i(vm, *(["--quiesce"] if quiesce else []), extra_path=[bindir])
            if parent:
                self.assertKind(result, "Incremental backup: only the blocks changed since backup "
                                "%s (backup %d of at most 7 in its chain)." % (parent,
                                                                              len(points) + 1))
            self.assertChain(vm, ts, result, parent, sizes)
            self.assertRegex(result.app_log[0], " consistency=%s " % (
                "application-consistent" if quiesce else "crash-consistent"))
            points.append((ts, synced, quiesce))
            parent = ts
        tip = parent
        self.assertOnlyTipTracked(vm, tip)
        # The quiesced job began inside a freeze of the guest's file systems.
        with open(calls) as f:
            commands = [line.split()[0] for line in f if line.split()[0] in (
                "domfsfreeze", "domfsthaw", "backup-begin", "snapshot-create-as")]
        self.assertEqual(commands, ["snapshot-create-as"] + ["backup-begin"] * 2 + [
            "domfsfreeze", "backup-begin", "domfsthaw"])
        vm.shutoff()  # the restored copy boots on the CPUs alone

        # Each backup holds the files synced before it; the quiesced one's
        # file systems are clean and all their files whole.
        workdir = os.path.join(vm.scratch, "check")
        found = {}
        for ts, synced, quiesce in points:
            for target in sorted(vm.images):
                files = guest.check_image(self, self.image(vm, ts, target), workdir,
                                          fix=not quiesce)
                lost = [seq for seq in range(1, synced + 1) if not files.get(seq)]
                self.assertEqual(lost, [], "%s of %s: synced files lost" % (target, ts))
                if quiesce:
                    self.assertEqual(sorted(files), list(range(1, len(files) + 1)), target)
                    self.assertEqual([seq for seq, ok in files.items() if not ok], [], target)
                    found[target] = files

        # The last incremental backup, restored beside the guest, boots and
        # finds every file intact.
        new = vm.name + "-copy"
        restored = guest.GuestVM(name=new, xml_text="<domain/>")
        self.addCleanup(restored.cleanup)
        restored.console = os.path.join(vm.scratch, new + "-console.log")
        result = self.tool.run(["-b", self.backup_dir(vm, tip), "--as", new, "-i",
                                restored.scratch, "--start"], binary=harness.RESTORE_BINARY)
        self.assertEqual(result.rc, 0, result)
        restored.wait_ready()
        self.assertEqual(restored.reports(), {t: (len(files), 0) for t, files in found.items()})
        disks = {t: s for _, d, t, s in restored.domblklist() if d == "disk"}
        self.assertEqual(disks, {t: os.path.join(restored.scratch, "%s-%s.qcow2" % (new, t))
                                 for t in sizes})
        for image in disks.values():
            self.assertNotIn("backing-filename", vmlib.image_info(image))
        # The copy starts with no checkpoint and tracks nothing.
        self.assertEqual(checkpoint_names(restored), [])
        self.assertEqual(qemu_bitmaps(restored), {})


if __name__ == "__main__":
    unittest.main()
