"""Single files from a backup of a shut-off VM with a recognisable Linux
root, LVM (a volume group vg0, as hosts name theirs), an NTFS data disk, a
hostile ext4 disk and a LUKS volume: --ls lists the file systems with the
guest's mount points, --extract brings files back by the guest's paths and
by device, and nothing of the hostile disk lands outside the output
directory. Bad requests exit 4 and write nothing (guest_files.py: what
every run must leave as it was)."""
import os
import stat
import subprocess
import unittest

import disk_images
import vmlib
from disk_images import MIB
from drills import timestamp_dirs
from guest_files import UNREADABLE, FilesCase, backup_hashes, err_lines
from vmlib import harness


# ----------------------------------------------- LVM, NTFS, hostile and LUKS

ROOT_FILES = {
    "etc/hostname": b"files-test\n",
    "etc/os-release": b'PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nNAME="Debian GNU/Linux"\n'
                      b'VERSION_ID="12"\nVERSION="12 (bookworm)"\nID=debian\n',
    "etc/fstab": b"LABEL=root / ext4 errors=remount-ro 0 1\n"
                 b"/dev/vg0/data /srv/data ext4 defaults 0 2\n"
                 b"LABEL=DATEN /mnt/daten ntfs-3g defaults 0 0\n",
    "bin": None, "usr/bin": None, "srv/data": None, "mnt/daten": None,
}
LVM_FILES = {
    "docs/report.txt": ("file", b"quarterly figures\n" * 100, 0o640, 1600000000),
    "docs/sub/notes.md": ("file", b"# notes\n", 0o600, 1600000100),
    "docs/sub/empty": None,
    "docs/latest": ("link", "report.txt"),
}
NTFS_FILES = {"Bericht 2024.txt": b"Umsatz\r\n" * 50, "Gr\u00f6\u00dfe.txt": b"gross\r\n"}
KEY = b"correct horse battery staple"


class DisksOfAShutOffVM(FilesCase):
    """One backup of a VM whose disks hold what an operator's VMs hold, made
    by the host's mkfs tools and one appliance; the VM never runs."""

    def make_disks(self, vm, work):
        """Fills the VM's disks; returns (the operating system's product name,
        {device: (type, size)}, {mount point: device}) as the appliance sees them."""
        # vda: a Debian root on a partition; vdc: NTFS on a partition.
        root_tree = os.path.join(work, "root-tree")
        disk_images.fill_tree(root_tree, ROOT_FILES)
        for target, fs, code in (("vda", "root", "83"), ("vdc", "ntfs", "7")):
            part = os.path.join(work, fs + ".fs")
            if fs == "root":
                disk_images.ext4_image(part, 63 * MIB, root_tree, "root")
            else:
                disk_images.ntfs_partition(part, 63 * MIB, "DATEN", NTFS_FILES)
            raw = os.path.join(work, target + ".raw")
            disk_images.partitioned(raw, 64 * MIB, part, code)
            subprocess.run(["qemu-img", "convert", "-q", "-f", "raw", "-O", "qcow2", raw,
                            vm.images[target]], check=True, stdin=subprocess.DEVNULL)
        # vdd: the hostile disk; vde: an encrypted volume.
        hostile = os.path.join(work, "hostile-tree")
        os.makedirs(os.path.join(hostile, "stash", "escape"))
        with open(os.path.join(hostile, "stash", "escape", "payload"), "w") as f:
            f.write("payload\n")
        self.hostile = disk_images.hostile_tree(os.path.join(hostile, "tree"),
                                                self.outside, self.up)
        disk_images.ext4_image(vm.images["vdd"], 32 * MIB, hostile, "hostile")
        disk_images.duplicate_entry(vm.images["vdd"], "/stash/escape", "/tree")
        disk_images.luks_image(vm.images["vde"], 32 * MIB, KEY)
        # vdb: LVM, made inside the appliance, with an ext4 file system made here.
        lv_tree = os.path.join(work, "lv-tree")
        disk_images.fill_tree(lv_tree, LVM_FILES)
        lv_image = os.path.join(work, "lv.fs")
        disk_images.ext4_image(lv_image, 32 * MIB, lv_tree, "data")
        handle, _ = disk_images.guestfs_handle()
        try:
            for target in sorted(vm.images):
                handle.add_drive_opts(vm.images[target], format=vm.formats[target],
                                      readonly=target != "vdb")
            handle.launch()
            handle.pvcreate("/dev/sdb")
            handle.vgcreate("vg0", ["/dev/sdb"])
            handle.lvcreate("data", "vg0", 32)
            handle.upload(lv_image, "/dev/vg0/data")
            (root,) = handle.inspect_os()
            product = handle.inspect_get_product_name(root)
            mounts = handle.inspect_get_mountpoints(root)
            filesystems = {dev: (fs, handle.blockdev_getsize64(dev))
                           for dev, fs in handle.list_filesystems().items()}
            handle.shutdown()
        except RuntimeError as e:
            vmlib.cannot_run("the libguestfs appliance cannot make the test disks: %s" % e)
        finally:
            handle.close()
        return product, filesystems, mounts

    def around_output(self):
        """tree_report() of the directories around the output directory
        a/b/out, the directories the hostile links aim at included, without
        the output directory's contents."""
        return [row for row in disk_images.tree_report(os.path.join(self.work, "a"))
                if row[1] != b"b/out" and not row[1].startswith(b"b/out/")]

    def test_lvm_ntfs_hostile_and_encrypted_disks_of_one_backup(self):
        vm = vmlib.make_vm(self, disks=[("vda", "qcow2", "64M"), ("vdb", "qcow2", "64M"),
                                        ("vdc", "qcow2", "64M"), ("vdd", "raw", "32M"),
                                        ("vde", "raw", "32M")])
        # Where the hostile disk's links point, seen from the output directory.
        base = os.path.join(self.work, "a", "b")
        out = os.path.join(base, "out")
        self.outside = os.path.join(base, "outside")
        self.up = os.path.join(self.work, "a", "up")
        os.makedirs(out)  # an empty output directory is taken as it is
        for directory in (self.outside, self.up):
            os.makedirs(directory)
            with open(os.path.join(directory, "sentinel"), "w") as f:
                f.write("untouched\n")
        with open("/etc/passwd", "rb") as f:
            passwd = f.read()
        product, filesystems, mounts = self.make_disks(vm, self.work)
        self.assertEqual(set(filesystems) - {"/dev/sde"},
                         {"/dev/sda1", "/dev/vg0/data", "/dev/sdc1", "/dev/sdd"}, filesystems)
        vm.define()
        self.assertOk(self.backup(vm))
        (ts,) = timestamp_dirs(os.path.join(self.root, vm.name))
        backup = os.path.join(self.root, vm.name, ts)
        hashes = backup_hashes(self.root)
        outside_before = self.around_output()

        # An output directory with something in it: refused before any
        # appliance starts (libguestfs would run this instead of QEMU).
        busy = self.output_dir("busy")
        os.makedirs(busy)
        with open(os.path.join(busy, "keep"), "w") as f:
            f.write("keep\n")
        marker = os.path.join(self.work, "appliance-started")
        hv = vmlib.write_script(self.work, "hv", "#!/bin/sh\n: >%s\nexit 1\n" % marker)
        result = self.tool.run(["-b", backup, "-x", "/etc/hostname", "-o", busy],
                               binary=harness.RESTORE_BINARY, env={"LIBGUESTFS_HV": hv})
        self.assertEqual(result.rc, UNREADABLE, result)
        self.assertIn(busy, result.err, result)
        self.assertFalse(os.path.exists(marker), "an appliance was started")
        self.assertEqual(os.listdir(busy), ["keep"])

        # The file systems, with the guest's mount points.
        listing = self.files("-b", backup, "--ls")
        self.assertEqual(listing.rc, 0, listing)
        lines = listing.out.splitlines()
        self.assertEqual(lines[0], "Operating system: " + product, listing)
        rows = {}
        for line in lines[1:]:
            fields = line.split("\t")
            self.assertEqual(len(fields), 5, line)
            rows[fields[0]] = fields[1:]
        mount_of = {dev: point for point, dev in mounts.items()}
        labels = {"/dev/sda1": "root", "/dev/vg0/data": "data", "/dev/sdc1": "DATEN",
                  "/dev/sdd": "hostile"}
        for dev, label in labels.items():
            fs, size = filesystems[dev]
            self.assertEqual(rows.get(dev), [fs, str(size), label, mount_of.get(dev, "-")],
                             "%s in %r" % (dev, lines))
        # The encrypted volume is listed as such, though it cannot be read.
        self.assertEqual(rows.get("/dev/sde", [""])[:2], ["crypto_LUKS", str(32 * MIB)], lines)
        self.assertEqual(set(rows), set(labels) | {"/dev/sde"}, lines)
        self.assertEqual(mount_of["/dev/vg0/data"], "/srv/data")
        self.assertEqual(mount_of["/dev/sdc1"], "/mnt/daten")

        # Files by the guest's paths (LVM and NTFS through its fstab) and by
        # device, and the whole hostile tree, in one run.
        result = self.files("-b", backup, "-o", out, "-x", "/etc/hostname", "-x", "/srv/data/docs",
                            "-x", "/mnt/daten/Bericht 2024.txt",
                            "-x", "/dev/sdc1:/Gr\u00f6\u00dfe.txt", "-x", "/dev/sdd:/tree")
        self.assertEqual(result.rc, 0, result)
        self.assertEqual(sorted(os.listdir(out)), sorted(
            ["hostname", "docs", "Bericht 2024.txt", "Gr\u00f6\u00dfe.txt", "tree"]))
        with open(os.path.join(out, "hostname"), "rb") as f:
            self.assertEqual(f.read(), ROOT_FILES["etc/hostname"])
        for name, data in NTFS_FILES.items():
            with open(os.path.join(out, name), "rb") as f:
                self.assertEqual(f.read(), data, name)
        docs = disk_images.tree_report(os.path.join(self.work, "lv-tree", "docs"))
        self.assertEqual(disk_images.tree_report(os.path.join(out, "docs")), docs)

        # The hostile tree: what can be written is, as it was; the special
        # files are skipped with a warning each; nothing lands outside.
        tree = os.fsencode(os.path.join(out, "tree"))
        for name, expected in sorted(self.hostile.items()):
            if name == b"escape":
                continue  # below
            path = os.path.join(tree, name)
            st = os.lstat(path)
            if expected[0] == "link":
                self.assertTrue(stat.S_ISLNK(st.st_mode), name)
                self.assertEqual(os.readlink(path), expected[1], name)
            elif expected[0] == "dir":
                self.assertTrue(stat.S_ISDIR(st.st_mode), name)
                self.assertEqual(stat.S_IMODE(st.st_mode), expected[1], name)
            else:
                self.assertTrue(stat.S_ISREG(st.st_mode), name)
                with open(path, "rb") as f:
                    self.assertEqual(f.read(), expected[1], name)
                # Set-user-ID and set-group-ID bits are dropped.
                self.assertEqual(stat.S_IMODE(st.st_mode), expected[2] & 0o777, name)
                self.assertEqual(st.st_uid, os.getuid(), name)
        warnings = [line for line in err_lines(result) if line.startswith("WARN:")]
        for name in disk_images.SPECIAL:
            self.assertFalse(os.path.lexists(os.path.join(tree, os.fsencode(name))), name)
            self.assertEqual(len([w for w in warnings if "/tree/%s" % name in w]), 1,
                             "%s: %r" % (name, warnings))
        # The name that the hostile disk holds twice, once a link out and once
        # a directory: whichever was written, nothing went through the link.
        escape = os.path.join(tree, b"escape")
        if os.path.islink(escape):
            self.assertEqual(os.readlink(escape), self.hostile[b"escape"][1])
        else:
            self.assertEqual(os.listdir(escape), [b"payload"])
        self.assertEqual(self.around_output(), outside_before)
        with open("/etc/passwd", "rb") as f:
            self.assertEqual(f.read(), passwd)

        # A path that is not there, beside one that is: nothing is written.
        missing_out = self.output_dir("missing")
        result = self.files("-b", backup, "-o", missing_out, "-x", "/srv/data/docs",
                            "-x", "/srv/data/no-such-file")
        self.assertEqual(result.rc, UNREADABLE, result)
        self.assertIn("/srv/data/no-such-file", result.err, result)
        self.assertNothingWritten(missing_out)

        # The encrypted volume: said so, nothing written.
        luks_out = self.output_dir("luks")
        result = self.files("-b", backup, "-o", luks_out, "-x", "/dev/sde:/")
        self.assertEqual(result.rc, UNREADABLE, result)
        self.assertRegex(result.err, r"(?i)encrypt", result)
        self.assertNothingWritten(luks_out)

        self.assertEqual(backup_hashes(self.root), hashes)


if __name__ == "__main__":
    unittest.main()
