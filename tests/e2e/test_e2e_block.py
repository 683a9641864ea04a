"""A running VM with a disk on a block device (a loop device) and a qcow2 file.

The device's overlay lives in libvirt's image directory for the length of
the backup; afterwards the VM must be back on the device and the file, with
everything the guest wrote before the run in the backup.
"""
import os
import signal
import unittest

import vmlib
from drills import (MIB, DrillCase, finish_tool, prior_snapshot_lines, slow_qemu_img,
                         start_tool, timestamp_dirs, wait_for_file)

DISKS = [("vda", "loop", "32M"), ("vdb", "qcow2", "32M")]


class BlockDiskBackup(DrillCase):

    def running_vm(self):
        vm = vmlib.make_vm(self, disks=DISKS)
        vm.start()
        vm.write_pattern("vda", 0x5a, 2 * MIB, 256 * 1024)
        vm.write_pattern("vdb", 0xa5, 3 * MIB, 256 * 1024)
        return vm

    def test_backup_copies_both_disks_and_puts_the_vm_back_on_them(self):
        vm = self.running_vm()
        result = self.backup(vm)
        self.assertOk(result)
        self.assertIn("WARN:  Disk vda: path %s not found in the definition; the corrected XML "
                      "still names it." % vm.images["vda"], result.err_lines)
        (stamp,) = timestamp_dirs(os.path.join(self.root, vm.name))
        backup_dir = os.path.join(self.root, vm.name, stamp)
        self.assertOnBaseImages(vm)
        self.assertEqual(vm.state(), "running")
        for target, byte, offset in (("vda", 0x5a, 2 * MIB), ("vdb", 0xa5, 3 * MIB)):
            copy = os.path.join(backup_dir, "%s-%s.qcow2" % (vm.name, target))
            equal, text = vmlib.images_equal(vm.images[target], copy, vm.formats[target], "qcow2")
            self.assertTrue(equal, "%s: %s" % (target, text))
            self.assertTrue(vmlib.image_has_pattern(copy, byte, offset, 256 * 1024))

    def test_interrupted_run_refuses_and_printed_recovery_merges_into_the_device(self):
        vm = self.running_vm()
        bindir, marker = slow_qemu_img(self.tool.root, delay=3)
        proc = start_tool(self.tool, ["-n", vm.name, "-r", self.root, "-k", "5"],
                          extra_path=[bindir])
        wait_for_file(marker)
        os.kill(proc.pid, signal.SIGTERM)
        self.assertEqual(finish_tool(self.tool, proc).rc, 143)
        self.assertEqual(vm.active_image("vda"), vm.overlay_path("vda"))
        self.assertEqual(os.path.dirname(vm.overlay_path("vda")), "/var/lib/libvirt/images")
        vm.write_pattern("vda", 0x77, 5 * MIB, 128 * 1024)

        result = self.backup(vm)
        self.assertEqual(result.rc, 1, result)
        self.assertEqual(result.err_lines, prior_snapshot_lines(vm.name, self.root))
        self.assertPrintedRecoveryWorks(result.err_lines, vm)
        self.assertTrue(vmlib.image_has_pattern(vm.images["vda"], 0x77, 5 * MIB, 128 * 1024),
                        "the write made on the overlay did not reach the device")


if __name__ == "__main__":
    unittest.main()
