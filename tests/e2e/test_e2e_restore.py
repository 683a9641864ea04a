"""quorlane-restore against the real daemon: beside the original, in place,
and its refusal to restore over a running VM."""
import filecmp
import os
import unittest

import vmlib
from vmlib import harness
from drills import MIB, DrillCase, timestamp_dirs

DISKS = [("vda", "qcow2", "32M"), ("vdb", "raw", "16M")]


class RestoreDrill(DrillCase):

    def backed_up_vm(self):
        """A running UEFI VM with two disks and data, backed up once."""
        vm = vmlib.make_vm(self, disks=DISKS, uefi=True)
        vm.start()
        vm.write_pattern("vda", 0x3c, 1 * MIB, 128 * 1024)
        vm.write_pattern("vdb", 0xc3, 2 * MIB, 128 * 1024)
        self.assertOk(self.backup(vm))
        (stamp,) = timestamp_dirs(os.path.join(self.root, vm.name))
        return vm, os.path.join(self.root, vm.name, stamp)

    def restore(self, *args):
        return self.tool.run(list(args), binary=harness.RESTORE_BINARY)

    def assertRestoredFrom(self, backup_dir, vm_name, images, nvram):
        for target, image in images.items():
            copy = os.path.join(backup_dir, "%s-%s.qcow2" % (vm_name, target))
            equal, text = vmlib.images_equal(copy, image, "qcow2", "qcow2")
            self.assertTrue(equal, "%s: %s" % (target, text))
            self.assertNotIn("backing-filename", vmlib.image_info(image))
        self.assertTrue(filecmp.cmp(os.path.join(backup_dir, vm_name + "-nvram.fd"), nvram,
                                    shallow=False))

    def test_in_place_restore_after_the_images_are_lost_and_refusal_while_running(self):
        vm, backup_dir = self.backed_up_vm()
        refused = self.restore("-b", backup_dir, "--force")
        self.assertEqual(refused.rc, 1, refused)
        self.assertIn("ERROR: VM '%s' is running; a restore never writes over a VM that runs. "
                      "Shut it down first: virsh shutdown %s" % (vm.name, vm.name),
                      refused.err_lines)
        self.assertEqual(vm.active_image("vda"), vm.images["vda"])
        vm.shutoff()
        for image in vm.images.values():
            os.unlink(image)
        result = self.restore("-b", backup_dir, "--force", "--define")
        self.assertEqual(result.rc, 0, result)
        images = {t: os.path.join(os.path.dirname(p), "%s-%s.qcow2" % (vm.name, t))
                  for t, p in vm.images.items()}
        self.assertEqual({t: s for _, d, t, s in vm.domblklist() if d == "disk"}, images)
        self.assertRestoredFrom(backup_dir, vm.name, images,
                                os.path.join(os.path.dirname(vm.nvram), vm.name + "-nvram.fd"))
        vm.images = images
        vm.start()


if __name__ == "__main__":
    unittest.main()
