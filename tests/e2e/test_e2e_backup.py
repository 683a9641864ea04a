"""Real backups of running VMs with the machine's libvirt daemon and QEMU.

Each VM sits in its firmware and writes nothing by itself, so after the run
the merged base image must hold exactly what the backup holds; patterns
written beforehand through QEMU, as the guest would write them, make sure
the images are not merely equally empty.
"""
import filecmp
import glob
import os
import re
import shutil
import subprocess
import unittest
import xml.etree.ElementTree as ET

import vmlib

MiB = 1024 * 1024
TS_DIR = re.compile(r"^\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d$")


def setUpModule():
    vmlib.require_libvirt()


class BackupTestCase(unittest.TestCase):

    def setUp(self):
        self.tool = vmlib.make_tool(self)

    def backup(self, vm, extra_path=()):
        """Backs up `vm` into a root next to its disks; returns (result, backup dir)."""
        root = os.path.join(vm.scratch, "backups")
        os.makedirs(root, exist_ok=True)
        result = self.tool.run(["-n", vm.name, "-r", root, "-k", "3"], extra_path=extra_path)
        self.assertEqual(result.rc, 0, result)
        runs = os.listdir(os.path.join(root, vm.name))
        self.assertEqual(len(runs), 1, runs)
        self.assertRegex(runs[0], TS_DIR)
        return result, os.path.join(root, vm.name, runs[0])

    def assertCleanBackup(self, vm, result, backup_dir):
        """Everything a successful backup of a running VM leaves behind."""
        name = vm.name
        timestamp = os.path.basename(backup_dir)
        self.assertEqual(result.err, "", result)
        self.assertEqual(result.out_lines[-1], "Backup complete: " + backup_dir)
        self.assertEqual(len(result.app_log), 1, result)
        self.assertRegex(result.app_log[0],
                         r"^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] vm=%s result=success dir=%s "
                         r"consistency=crash-consistent duration=\d+s version=0\.1\.5-prototype$"
                         % (re.escape(name), re.escape(backup_dir)))

        expected = {name + ".xml.backup", name + ".xml", "%s-%s.log" % (name, timestamp)}
        expected |= {"%s-%s.qcow2" % (name, target) for target in vm.images}
        if vm.nvram:
            expected.add(name + "-nvram.fd")
        self.assertEqual(set(os.listdir(backup_dir)), expected)
        with open(os.path.join(backup_dir, "%s-%s.log" % (name, timestamp))) as f:
            self.assertIn("Step 6: Backing up disks (thin + compressed qcow2)...", f.read())

        # The snapshot is gone, its overlays too, and the VM runs on its base images.
        self.assertEqual(vm.snapshots(), [])
        self.assertEqual(glob.glob(os.path.join(vm.scratch, "*quorlane-backup-temp*")), [])
        for target in vm.images:
            self.assertFalse(os.path.exists(vm.overlay_path(target)))
        disks = {t: s for _, dev, t, s in vm.domblklist() if dev == "disk"}
        self.assertEqual(disks, vm.images)
        self.assertEqual(vm.state(), "running")

        for target, base in vm.images.items():
            copy = os.path.join(backup_dir, "%s-%s.qcow2" % (name, target))
            info = vmlib.image_info(copy)
            self.assertEqual(info["format"], "qcow2")
            self.assertEqual(info["format-specific"]["data"].get("compression-type"), "zstd")
            self.assertEqual(info["virtual-size"], vmlib.image_info(base)["virtual-size"])
            equal, text = vmlib.images_equal(base, copy, vm.formats[target], "qcow2")
            self.assertTrue(equal, "%s: backup differs from the merged base: %s" % (target, text))

        if vm.nvram:
            self.assertTrue(filecmp.cmp(vm.nvram, os.path.join(backup_dir, name + "-nvram.fd"),
                                        shallow=False), "NVRAM copy differs from the VM's file")

        self.assertDefinitions(vm, backup_dir)

    def assertDefinitions(self, vm, backup_dir):
        verbatim = os.path.join(backup_dir, vm.name + ".xml.backup")
        corrected = os.path.join(backup_dir, vm.name + ".xml")
        if shutil.which("virt-xml-validate"):
            for path in (verbatim, corrected):
                proc = subprocess.run(["virt-xml-validate", path, "domain"], capture_output=True,
                                      text=True, stdin=subprocess.DEVNULL)
                self.assertEqual(proc.returncode, 0, "%s: %s%s" % (path, proc.stdout, proc.stderr))
        elif vmlib.e2e_required():
            self.fail("virt-xml-validate is not installed (package libvirt-clients): "
                      "the definitions cannot be checked against libvirt's schema")
        else:
            print("virt-xml-validate is not installed (package libvirt-clients): "
                  "schema check of the definitions skipped")

        def disks(path):
            root = ET.parse(path).getroot()
            found = {}
            for disk in root.findall("./devices/disk[@device='disk']"):
                found[disk.find("target").get("dev")] = (disk.find("source").get("file"),
                                                         disk.find("driver").get("type"))
            nvram = root.find("./os/nvram")
            return root.findtext("name"), found, (nvram.text if nvram is not None else None)

        name, found, nvram = disks(verbatim)
        self.assertEqual(name, vm.name)
        self.assertEqual(found, {t: (p, vm.formats[t]) for t, p in vm.images.items()})
        self.assertEqual(nvram, vm.nvram)

        name, found, nvram = disks(corrected)
        self.assertEqual(name, vm.name)
        self.assertEqual(found, {t: (os.path.join(os.path.dirname(p), "%s-%s.qcow2" % (vm.name, t)),
                                     "qcow2") for t, p in vm.images.items()})
        if vm.nvram:
            self.assertEqual(nvram, os.path.join(os.path.dirname(vm.nvram), vm.name + "-nvram.fd"))
        else:
            self.assertIsNone(nvram)


class RunningVmBackup(BackupTestCase):

    def test_bios_vm_with_qcow2_disk_and_empty_cd_drive(self):
        vm = vmlib.make_vm(self, disks=[("vda", "qcow2", "48M")], cdrom=True)
        vm.start()
        vm.write_pattern("vda", 0xab, 0, 2 * MiB)
        vm.write_pattern("vda", 0x5c, 40 * MiB, MiB)
        result, backup_dir = self.backup(vm)
        self.assertCleanBackup(vm, result, backup_dir)
        copy = os.path.join(backup_dir, vm.name + "-vda.qcow2")
        self.assertTrue(vmlib.image_has_pattern(copy, 0xab, 0, 2 * MiB))
        self.assertTrue(vmlib.image_has_pattern(copy, 0x5c, 40 * MiB, MiB))
        self.assertTrue(vmlib.image_has_pattern(copy, 0x00, 2 * MiB, 38 * MiB))
        self.assertIn("  No NVRAM file (BIOS VM). Skipping.", result.out_lines)
        # The CD drive keeps its place, still empty.
        self.assertIn(("file", "cdrom", "sda", "-"), vm.domblklist())

    def test_uefi_vm_with_qcow2_and_raw_disks(self):
        vm = vmlib.make_vm(self, disks=[("vda", "qcow2", "32M"), ("vdb", "raw", "16M")], uefi=True)
        vm.start()
        vm.write_pattern("vda", 0x3e, 4 * MiB, MiB)
        vm.write_pattern("vdb", 0xe7, 0, 3 * MiB)
        # OVMF rewrites its variables a few seconds after start; copy after that.
        vm.wait_nvram_settled()
        result, backup_dir = self.backup(vm)
        self.assertCleanBackup(vm, result, backup_dir)
        self.assertTrue(vmlib.image_has_pattern(os.path.join(backup_dir, vm.name + "-vda.qcow2"),
                                                0x3e, 4 * MiB, MiB, fmt="qcow2"))
        self.assertTrue(vmlib.image_has_pattern(os.path.join(backup_dir, vm.name + "-vdb.qcow2"),
                                                0xe7, 0, 3 * MiB, fmt="qcow2"))
        # The VM's own raw image stays raw; only the copy is qcow2.
        self.assertEqual(vmlib.image_info(vm.images["vdb"])["format"], "raw")
        with open(vm.nvram, "rb") as f, open(vmlib.OVMF_VARS, "rb") as g:
            self.assertNotEqual(f.read(), g.read(), "the firmware never wrote its NVRAM")


if __name__ == "__main__":
    unittest.main()
