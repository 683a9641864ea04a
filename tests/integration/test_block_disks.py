"""Disks whose base is a device: their overlays go to libvirt's image directory."""
import os
import unittest

from harness import SNAPSHOT, BackupTest, healthy_vm

IMAGE_DIR = "/var/lib/libvirt/images"
# A private, empty /var/lib for the run, with or without libvirt's image directory.
PRIVATE_VAR_LIB = "mount -t tmpfs tmpfs /var/lib || exit 98"
WITH_IMAGE_DIR = PRIVATE_VAR_LIB + "\nmkdir -p " + IMAGE_DIR


class BlockDiskTest(BackupTest):

    def setUp(self):
        super().setUp()
        # A link to a device node, as /dev/<vg>/<lv> is to /dev/dm-N.
        self.device = self.box.path("dev", "vg0-web01")
        os.makedirs(os.path.dirname(self.device))
        os.symlink("/dev/null", self.device)
        self.file_base = self.box.path("images", "web01-data.qcow2")
        self.lay_out({"vdb": self.file_base})
        self.use(healthy_vm(disks={"vda": self.device, "vdb": self.file_base}))

    def snapshot_call(self):
        calls = [c for c in self.box.calls("virsh") if c[1] == "snapshot-create-as"]
        self.assertEqual(len(calls), 1)
        return calls[0]

    def test_device_overlay_in_image_dir_file_overlay_beside_its_base(self):
        res = self.backup(setup=WITH_IMAGE_DIR)
        self.assertEqual(res.rc, 0, res.err)
        self.assertEqual(self.snapshot_call()[6:], [
            "--diskspec",
            "vda,snapshot=external,file=%s/web01-vda.%s.qcow2" % (IMAGE_DIR, SNAPSHOT),
            "--diskspec",
            "vdb,snapshot=external,file=%s/web01-vdb.%s.qcow2"
            % (os.path.dirname(self.file_base), SNAPSHOT)])
        converted = [c[-2] for c in self.box.calls("qemu-img") if c[1] == "convert"]
        self.assertEqual(converted, [self.device, self.file_base])

    def test_missing_image_dir_fails_before_the_snapshot(self):
        res = self.backup(setup=PRIVATE_VAR_LIB)
        self.assertEqual(res.rc, 1)
        self.assertIn("ERROR: Directory for the overlay of disk vda (%s) does not exist: %s"
                      % (self.device, IMAGE_DIR), res.err_lines)
        self.assertFalse([c for c in self.box.calls("virsh") if c[1] == "snapshot-create-as"])
        self.assertEqual(os.listdir(os.path.join(self.root, "web01")), [])


if __name__ == "__main__":
    unittest.main()
