"""Interruption drills against the real libvirt daemon and QEMU.

A stand-in qemu-img first on PATH makes the disk copy slow (it waits, then
runs the real qemu-img), so that a signal can arrive while the copy is in
progress.
"""
import os
import signal
import unittest

import vmlib
from vmlib import SNAPSHOT
from drills import (MIB, DrillCase, app_record, finish_tool, framed_lines,
                         prior_snapshot_lines, sleep_past, slow_qemu_img,
                         start_tool, timestamp_dirs, tree, wait_for_file)


def marker_lines(marker):
    with open(marker) as f:
        return f.read().split("\n")[:-1]


class InterruptDrill(DrillCase):

    def test_sigterm_leaves_evidence_refusal_recovery_then_ctrl_c_cleans_up(self):
        vm = vmlib.make_vm(self, disks=[("vda", "qcow2", "32M")])
        vm.start()
        vm.write_pattern("vda", 0x11, 1 * MIB, 128 * 1024)
        bindir, marker = slow_qemu_img(self.tool.root, delay=3)
        vm_dir = os.path.join(self.root, vm.name)
        args = ["-n", vm.name, "-r", self.root, "-k", "5"]

        # SIGTERM to the tool alone while the copy runs: the copy finishes,
        # then the run stops and leaves snapshot and directory behind.
        proc = start_tool(self.tool, args, extra_path=[bindir])
        wait_for_file(marker)
        os.kill(proc.pid, signal.SIGTERM)
        result = finish_tool(self.tool, proc)
        self.assertEqual(result.rc, 143, result)
        self.assertEqual(result.err_lines[-1], "WARN:  Interrupted by Terminated; leaving snapshot "
                         "and partial backup as evidence for manual cleanup.")
        self.assertNotIn("Step 8.a: Removing snapshot '%s'..." % SNAPSHOT, result.out_lines)
        (stamp,) = timestamp_dirs(vm_dir)
        partial = os.path.join(vm_dir, stamp)
        self.assertEqual(len(result.app_log), 1)
        self.assertTrue(app_record(result.app_log[0], vm.name, "interrupted", dir_=partial,
                                   reason="SIGTERM"), result.app_log)
        self.assertEqual(vm.snapshots(), [SNAPSHOT])
        self.assertEqual(vm.active_image("vda"), vm.overlay_path("vda"))
        self.assertEqual(sorted(os.listdir(partial)), sorted([
            "%s.xml.backup" % vm.name, "%s-%s.log" % (vm.name, stamp), "%s-vda.qcow2" % vm.name]))
        self.assertTrue(vmlib.image_has_pattern(os.path.join(partial, "%s-vda.qcow2" % vm.name),
                                                0x11, 1 * MIB, 128 * 1024))
        # The guest keeps writing, into the overlay.
        vm.write_pattern("vda", 0x22, 4 * MIB, 128 * 1024)
        self.assertFalse(vmlib.image_has_pattern(vm.images["vda"], 0x22, 4 * MIB, 128 * 1024))
        evidence = tree(vm_dir)

        # The next run refuses, touches nothing, and says how to recover.
        result = self.tool.run(args)
        self.assertEqual(result.rc, 1, result)
        self.assertEqual(result.out_lines, ["Step 1: Validating arguments and environment..."])
        self.assertEqual(result.err_lines, prior_snapshot_lines(vm.name, self.root))
        self.assertTrue(app_record(result.app_log[0], vm.name, "failure",
                                   stage="validation_or_setup"), result.app_log)
        self.assertEqual(tree(vm_dir), evidence)
        self.assertEqual(vm.snapshots(), [SNAPSHOT])

        # The printed recovery command, run as printed, merges the overlay.
        self.assertPrintedRecoveryWorks(result.err_lines, vm)
        self.assertTrue(vmlib.image_has_pattern(vm.images["vda"], 0x22, 4 * MIB, 128 * 1024),
                        "the write made during the snapshot did not reach the base image")

        # After the recovery a run succeeds.
        sleep_past(stamp)
        result = self.tool.run(args)
        self.assertEqual(result.rc, 0, result)
        stamps = timestamp_dirs(vm_dir)
        self.assertEqual(len(stamps), 2)
        self.assertOnBaseImages(vm)
        good = os.path.join(vm_dir, stamps[-1], "%s-vda.qcow2" % vm.name)
        self.assertTrue(vmlib.image_has_pattern(good, 0x22, 4 * MIB, 128 * 1024))

        # Ctrl-C: SIGINT to the whole process group kills the slow copy; the
        # step fails and the run cleans up after itself.
        os.unlink(marker)
        sleep_past(stamps[-1])
        before = tree(vm_dir)
        proc = start_tool(self.tool, args, extra_path=[bindir], new_session=True)
        wait_for_file(marker)
        os.killpg(proc.pid, signal.SIGINT)
        result = finish_tool(self.tool, proc)
        self.assertEqual(result.rc, 1, result)
        calls = marker_lines(marker)
        self.assertEqual(len(calls), 1, calls)
        self.assertTrue(calls[0].startswith("started "), calls)
        err = framed_lines(result.err)
        self.assertIn("ERROR: Failed to back up disk: vda (%s): " % vm.images["vda"], err)
        self.assertCopyFailureCleanedUp(result, err, vm)
        self.assertEqual(tree(vm_dir), before)

