"""Overlapping runs against the real libvirt daemon and QEMU: a run of a VM
that another run is backing up refuses at once and leaves that run's
snapshot, checkpoint and scratch images alone, so that its backup completes
as if it had run alone; a backup that a restore beside the original reads
stays through the retention of a backup run until the restore has ended.
"""
import os
import re
import signal
import time
import unittest

import vmlib
from vmlib import SNAPSHOT, harness
from drills import (CHECKPOINT_PREFIX, GATED_QEMU_IMG, GATED_VIRSH, MIB, DrillCase, app_record,
                    checkpoint_names, finish_tool, job_type, scratch_images, sleep_past,
                    start_tool, timestamp_dirs)

STEP1 = "Step 1: Validating arguments and environment..."
KIB = 1024


def wait_until_held(proc, marker):
    """Waits until a gated stand-in has written its marker; fails when the
    run ends before."""
    while not (os.path.exists(marker) and os.path.getsize(marker) > 0):
        if proc.poll() is not None:
            raise AssertionError("the run ended before its gate: %r" % (proc.communicate(),))
        time.sleep(0.05)


class OverlapDrill(DrillCase):

    def gate(self, stand_in, text):
        """A bin directory whose `stand_in` waits at a gate; (bin dir, marker, release)."""
        bindir = os.path.join(self.tool.root, "gated-" + stand_in)
        os.makedirs(bindir)
        marker, release = os.path.join(bindir, "marker"), os.path.join(bindir, "release")
        vmlib.write_script(bindir, stand_in, text % {
            "marker": marker, "release": release, "calls": os.path.join(bindir, "calls")})
        return bindir, marker, release

    def start_held(self, vm, stand_in, text, *extra):
        """Starts a backup of vm that waits at `stand_in`'s gate; (process, release)."""
        bindir, marker, release = self.gate(stand_in, text)
        proc = start_tool(self.tool, ["-n", vm.name, "-r", self.root, "-k", "5"] + list(extra),
                          extra_path=[bindir], new_session=True)
        self.addCleanup(lambda: proc.poll() is None and os.killpg(proc.pid, signal.SIGKILL))
        wait_until_held(proc, marker)
        return proc, release

    def assertRefused(self, result, vm, holder):
        """A run that found vm locked by `holder`: one error naming it, its
        record, exit 1."""
        self.assertEqual(result.rc, 1, result)
        self.assertEqual(result.out_lines, [STEP1])
        self.assertEqual(len(result.err_lines), 1, result)
        self.assertRegex(result.err_lines[0], r"^ERROR: VM '%s' is being worked on by another "
                         r"run: quorlane-backup, pid %d, started \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.$"
                         % (re.escape(vm.name), holder.pid))
        self.assertEqual(len(result.app_log), 1, result)
        self.assertTrue(app_record(result.app_log[0], vm.name, "failure",
                                   stage="validation_or_setup"), result.app_log)

    def image(self, vm, stamp):
        return os.path.join(self.root, vm.name, stamp, vm.name + "-vda.qcow2")

    def test_a_second_run_while_the_first_copies_leaves_its_snapshot_alone(self):
        vm = vmlib.make_vm(self, disks=[("vda", "qcow2", "32M")])
        vm.start()
        vm.write_pattern("vda", 0x5a, 1 * MIB, 128 * KIB)
        first, release = self.start_held(vm, "qemu-img", GATED_QEMU_IMG)
        self.assertEqual(vm.snapshots(), [SNAPSHOT])

        self.assertRefused(self.backup(vm), vm, first)
        self.assertEqual(vm.snapshots(), [SNAPSHOT])
        self.assertEqual(vm.active_image("vda"), vm.overlay_path("vda"))

        open(release, "w").close()
        result = finish_tool(self.tool, first)
        self.assertOk(result)
        (stamp,) = timestamp_dirs(os.path.join(self.root, vm.name))
        # The refusal's record came first, while this run copied.
        self.assertTrue(app_record(result.app_log[-1], vm.name, "success",
                                   dir_=os.path.join(self.root, vm.name, stamp),
                                   consistency="crash-consistent"), result.app_log)
        self.assertTrue(vmlib.image_has_pattern(self.image(vm, stamp), 0x5a, 1 * MIB, 128 * KIB))
        self.assertOnBaseImages(vm)

    def test_a_second_incremental_run_leaves_the_first_runs_checkpoint_and_scratch(self):
        vm = vmlib.make_vm(self, disks=[("vda", "qcow2", "32M")])
        vm.start()
        vm_dir = os.path.join(self.root, vm.name)
        self.assertOk(self.backup(vm, "-i"))
        (b0,) = timestamp_dirs(vm_dir)
        vm.write_pattern("vda", 0x5b, 2 * MIB, 64 * KIB)
        sleep_past(b0)
        first, release = self.start_held(vm, "virsh", GATED_VIRSH, "-i")
        (b1,) = timestamp_dirs(vm_dir)[1:]
        checkpoints = checkpoint_names(vm)
        self.assertEqual(checkpoints, [CHECKPOINT_PREFIX + b0, CHECKPOINT_PREFIX + b1])
        scratch = scratch_images(vm)
        self.assertEqual(len(scratch), 1, scratch)

        self.assertRefused(self.backup(vm, "-i"), vm, first)
        self.assertEqual(checkpoint_names(vm), checkpoints)
        self.assertEqual(scratch_images(vm), scratch)

        open(release, "w").close()
        result = finish_tool(self.tool, first)
        self.assertOk(result)
        self.assertIn("Incremental backup: only the blocks changed since backup %s (backup 2 of "
                      "at most 7 in its chain)." % b0, result.out_lines)
        self.assertTrue(vmlib.image_has_pattern(self.image(vm, b1), 0x5b, 2 * MIB, 64 * KIB))
        self.assertEqual(checkpoint_names(vm), [CHECKPOINT_PREFIX + b1])
        self.assertEqual(scratch_images(vm), [])
        self.assertEqual(job_type(vm), "None")
        self.assertOnBaseImages(vm)

    def test_retention_keeps_a_backup_that_a_restore_beside_the_original_reads(self):
        vm = vmlib.make_vm(self, disks=[("vda", "qcow2", "32M")])
        vm.start()
        vm_dir = os.path.join(self.root, vm.name)
        vm.write_pattern("vda", 0x5c, 3 * MIB, 128 * KIB)
        self.assertOk(self.backup(vm, keep=1))
        (b0,) = timestamp_dirs(vm_dir)
        name = vm.name + "-copy"
        directory = self.restored_vm(name)
        bindir, marker, release = self.gate("qemu-img", GATED_QEMU_IMG)
        # The restore waits as it starts to read the backup's clusters back.
        restore = self.tool.box.start(
            ["-b", os.path.join(vm_dir, b0), "--as", name, "-i", directory],
            path=bindir + ":" + vmlib.SYSTEM_PATH, binary=harness.RESTORE_BINARY)
        self.addCleanup(lambda: restore.poll() is None and restore.kill())
        wait_until_held(restore, marker)

        sleep_past(b0)
        result = self.backup(vm, keep=1)
        self.assertOk(result)
        self.assertIn("  Keeping old backup %s: a restore is reading it." % b0, result.out_lines)
        b1 = timestamp_dirs(vm_dir)[-1]
        self.assertEqual(timestamp_dirs(vm_dir), [b0, b1])

        open(release, "w").close()
        out, err = vmlib.communicate(restore, None)
        self.assertEqual(restore.returncode, 0, out + err)
        equal, text = vmlib.images_equal(self.image(vm, b0),
                                         os.path.join(directory, name + "-vda.qcow2"))
        self.assertTrue(equal, text)
        self.assertEqual(timestamp_dirs(vm_dir), [b0, b1])

        sleep_past(b1)
        self.assertOk(self.backup(vm, keep=1))
        self.assertEqual(len(timestamp_dirs(vm_dir)), 1)
        self.assertNotIn(b0, timestamp_dirs(vm_dir))
        self.assertOnBaseImages(vm)


if __name__ == "__main__":
    unittest.main()
