"""Drills over several real runs: a VM in each power state, and retention
over a series of backups with foreign and left-over directories beside them.
"""
import os
import signal
import subprocess
import unittest

import vmlib
from vmlib import SNAPSHOT
from drills import (MIB, DrillCase, app_record, finish_tool, sleep_past, start_tool,
                         timestamp_dirs, tree, wait_for_file)


def offline_write(path, fmt, byte, offset, length):
    """Writes into the image of a shut-off VM."""
    subprocess.run(["qemu-io", "-f", fmt, "-c", "write -P 0x%02x %d %d" % (byte, offset, length),
                    path], check=True, capture_output=True, stdin=subprocess.DEVNULL, timeout=60)


SLOW_SNAPSHOT_VIRSH = """#!/bin/sh
# Taking the snapshot is slow: 'snapshot-create-as' waits, then the real virsh
# takes it.
if [ "$1" = snapshot-create-as ]; then
  echo "started $$" >> '%(marker)s'
  sleep 2
fi
exec /usr/bin/virsh "$@"
"""


class PowerStateDrill(DrillCase):

    def backed_up(self, vm, stamp, target):
        return os.path.join(self.root, vm.name, stamp, "%s-%s.qcow2" % (vm.name, target))

    def run_in_state(self, vm, expected_state, consistency, *extra):
        """One run; checks the outcome common to every state; returns (result, stamp)."""
        before = timestamp_dirs(os.path.join(self.root, vm.name))
        if before:
            sleep_past(before[-1])
        result = self.backup(vm, *extra, keep=10)
        self.assertOk(result)
        stamps = timestamp_dirs(os.path.join(self.root, vm.name))
        self.assertEqual(stamps[:-1], before)
        backup = os.path.join(self.root, vm.name, stamps[-1])
        self.assertEqual(len(result.app_log), 1, result.app_log)
        self.assertTrue(app_record(result.app_log[0], vm.name, "success", dir_=backup,
                                   consistency=consistency), result.app_log)
        self.assertEqual(vm.state(), expected_state)
        self.assertOnBaseImages(vm)
        return result, stamps[-1]

    def test_running_paused_and_shut_off_vm_each_back_up_and_keep_their_state(self):
        vm = vmlib.make_vm(self, disks=[("vda", "qcow2", "32M"), ("vdb", "raw", "16M")])
        vm.start()

        vm.write_pattern("vda", 0x61, 1 * MIB, 128 * 1024)
        _, stamp = self.run_in_state(vm, "running", "crash-consistent")
        self.assertTrue(vmlib.image_has_pattern(self.backed_up(vm, stamp, "vda"),
                                                0x61, 1 * MIB, 128 * 1024))

        vm.pause()
        vm.write_pattern("vdb", 0x62, 2 * MIB, 128 * 1024)
        _, stamp = self.run_in_state(vm, "paused", "offline-consistent")
        self.assertTrue(vmlib.image_has_pattern(self.backed_up(vm, stamp, "vdb"),
                                                0x62, 2 * MIB, 128 * 1024))

        vm.shutoff()
        offline_write(vm.images["vda"], "qcow2", 0x63, 3 * MIB, 128 * 1024)
        _, stamp = self.run_in_state(vm, "shut off", "offline-consistent")
        # Merging by a paused QEMU left the base images as they were, and the
        # backup of a shut-off VM holds all of them.
        for target, image in vm.images.items():
            equal, text = vmlib.images_equal(self.backed_up(vm, stamp, target), image)
            self.assertTrue(equal, "%s: %s" % (target, text))
        self.assertTrue(vmlib.image_has_pattern(self.backed_up(vm, stamp, "vda"),
                                                0x63, 3 * MIB, 128 * 1024))

        result, _ = self.run_in_state(vm, "shut off", "offline-consistent", "--quiesce", "-v")
        self.assertIn("  --quiesce requested but VM is 'shutoff'; flag skipped.", result.err_lines)
        self.assertNotIn("  Checking qemu-guest-agent responsiveness...", result.err_lines)

        # The VM still starts from its merged images.
        vm.start()
        self.assertOnBaseImages(vm)


class RetentionDrill(DrillCase):

    def setUp(self):
        super().setUp()
        self.vm = vmlib.make_vm(self, disks=[("vda", "qcow2", "32M")])
        self.vm.start()
        self.vm_dir = os.path.join(self.root, self.vm.name)
        # Things an operator keeps beside the backups.
        os.makedirs(os.path.join(self.vm_dir, "notes"))
        with open(os.path.join(self.vm_dir, "notes", "restore-test.txt"), "w") as f:
            f.write("restored fine in March\n")
        with open(os.path.join(self.vm_dir, "stray.log"), "w") as f:
            f.write("not a backup\n")
        self.foreign = tree(self.vm_dir)

    def complete_run(self):
        """One successful run, a second after the previous one; returns its stamp."""
        stamps = timestamp_dirs(self.vm_dir)
        if stamps:
            sleep_past(stamps[-1])
        result = self.backup(self.vm, keep=2)
        self.assertOk(result)
        (line,) = [l for l in result.out_lines if l.startswith("Backup complete: ")]
        stamp = os.path.basename(line[len("Backup complete: "):])
        self.assertTrue(os.path.isfile(os.path.join(self.vm_dir, stamp, self.vm.name + ".xml")))
        return stamp, result

    def assertForeignUntouched(self):
        now = tree(self.vm_dir)
        for path, content in self.foreign.items():
            self.assertEqual(now.get(path, "missing"), content, path)

    def test_keep_two_over_four_runs(self):
        done = []
        for _ in range(4):
            stamp, result = self.complete_run()
            deleted = [l[len("  Deleting old backup: "):] for l in result.out_lines
                       if l.startswith("  Deleting old backup: ")]
            self.assertEqual(deleted, done[:-1][-1:] if len(done) >= 2 else [])
            done.append(stamp)
            self.assertEqual(timestamp_dirs(self.vm_dir), done[-2:])
            self.assertForeignUntouched()
        self.assertOnBaseImages(self.vm)

    def test_leftover_of_interrupted_run_is_neither_counted_nor_touched(self):
        first, _ = self.complete_run()

        # A run interrupted while it takes the snapshot leaves a directory
        # with the definition and its log but no disk image; the operator
        # merges the snapshot as told and goes on with the next backups.
        bindir = os.path.join(self.tool.root, "slow-snapshot-bin")
        os.makedirs(bindir)
        marker = os.path.join(self.tool.root, "snapshot-calls")
        vmlib.write_script(bindir, "virsh", SLOW_SNAPSHOT_VIRSH % {"marker": marker})
        sleep_past(first)
        proc = start_tool(self.tool, ["-n", self.vm.name, "-r", self.root, "-k", "2"],
                          extra_path=[bindir])
        wait_for_file(marker)
        os.kill(proc.pid, signal.SIGTERM)
        self.assertEqual(finish_tool(self.tool, proc).rc, 143)
        vmlib.virsh("snapshot-delete", self.vm.name, SNAPSHOT)
        self.assertOnBaseImages(self.vm)
        (leftover,) = [s for s in timestamp_dirs(self.vm_dir) if s != first]
        self.assertEqual(sorted(os.listdir(os.path.join(self.vm_dir, leftover))), sorted([
            self.vm.name + ".xml.backup", "%s-%s.log" % (self.vm.name, leftover)]))
        self.foreign.update({k: v for k, v in tree(self.vm_dir).items()
                             if k.split("/")[0] == leftover})

        # Keep 2 means the two newest complete backups, first and third here.
        third, _ = self.complete_run()
        self.assertEqual(timestamp_dirs(self.vm_dir), [first, leftover, third])
        self.assertForeignUntouched()
        fourth, _ = self.complete_run()
        self.assertEqual(timestamp_dirs(self.vm_dir), [leftover, third, fourth])
        self.assertForeignUntouched()

if __name__ == "__main__":
    unittest.main()
