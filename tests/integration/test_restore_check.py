"""quorlane-restore --check: a sound backup, and each way one can be damaged."""
import os
import subprocess
import unittest

from harness import REAL_QEMU_IMG, TS, RestoreTest, real_qemu_img


def damage_compressed_cluster(image):
    """Overwrites the header of the first zstd frame; the qcow2 metadata stays intact."""
    with open(image, "r+b") as f:
        data = f.read()
        frame = data.find(bytes.fromhex("28b52ffd"))
        assert frame > 0, "no zstd frame in %s" % image
        f.seek(frame + 4)
        f.write(b"\xff" * 16)


class RestoreCheckTest(RestoreTest):

    def setUp(self):
        super().setUp()
        self.use(real_qemu_img())

    def check(self, *args):
        return self.restore("-n", self.vm, "-r", self.root, "--check", *args)

    def test_a_sound_backup_passes_and_every_image_is_read_back(self):
        d = self.make_backup(disks=("vda", "vdb"))
        res = self.check()
        self.assertEqual((res.rc, res.err), (0, ""))
        self.assertEqual(res.out_lines[-1], "Backup is sound: " + d)
        reads = [c for c in self.box.calls("qemu-img") if c[1] == "convert"]
        self.assertEqual([c[-2] for c in reads],
                         [os.path.join(d, "web01-vda.qcow2"), os.path.join(d, "web01-vdb.qcow2")])
        self.assertEqual(len(self.box.restore_log()), 1)
        self.assertRegex(self.box.restore_log()[0], "^" + TS + "vm=web01 result=check_passed from="
                         + d + r" duration=\d+s version=0\.1\.5-prototype$")
        self.assertEqual(sorted(os.listdir(d)), sorted(
            ["web01.xml", "web01.xml.backup", "web01-nvram.fd", "web01-vda.qcow2",
             "web01-vdb.qcow2", "web01-%s.log" % os.path.basename(d)]))

    def test_a_damaged_compressed_cluster_gives_3_though_qemu_img_check_passes(self):
        d = self.make_backup(disks=("vda", "vdb"))
        image = os.path.join(d, "web01-vdb.qcow2")
        damage_compressed_cluster(image)
        self.assertEqual(subprocess.run([REAL_QEMU_IMG, "check", image],
                                        capture_output=True).returncode, 0)
        res = self.restore("-b", d, "-c")
        self.assertEqual(res.rc, 3, res.err)
        errors = res.err_lines
        self.assertTrue(errors[0].startswith("ERROR: Image does not read back whole: " + image), errors)
        self.assertIn("ERROR: Backup is damaged or incomplete: " + d, errors)
        self.assertIn("result=damaged from=" + d, self.box.restore_log()[0])

    def test_missing_or_unfinished_parts_give_3(self):
        cases = {
            "incomplete log": lambda d: self.rewrite_log(d),
            "nvram": lambda d: os.remove(os.path.join(d, "web01-nvram.fd")),
            "corrected definition": lambda d: os.remove(os.path.join(d, "web01.xml")),
            "image": lambda d: os.remove(os.path.join(d, "web01-vda.qcow2")),
            "not qcow2": lambda d: open(os.path.join(d, "web01-vda.qcow2"), "wb").close(),
        }
        expected = {
            "incomplete log": "ERROR: Disk copy did not complete: the log ",
            "nvram": "ERROR: NVRAM file missing: ",
            "corrected definition": "ERROR: Corrected definition missing: ",
            "image": "ERROR: Disk image missing for vda: ",
            "not qcow2": "ERROR: qemu-img check failed for ",
        }
        for index, (name, spoil) in enumerate(cases.items()):
            with self.subTest(name):
                d = self.make_backup(ts="2026-03-0%d_02-00-00" % (index + 1))
                spoil(d)
                res = self.check()   # the newest backup: the one just spoilt
                self.assertEqual(res.rc, 3, res.err)
                self.assertTrue(res.err_lines[0].startswith(expected[name]), res.err_lines)

    def rewrite_log(self, d):
        with open(os.path.join(d, "web01-%s.log" % os.path.basename(d)), "w") as f:
            f.write("[2026-03-01 02:00:05] Step 6: Backing up disks (thin + compressed qcow2)...\n")

    def test_a_backup_directory_that_does_not_exist_is_a_failure(self):
        missing = os.path.join(self.root, "web01", "2026-01-01_00-00-00")
        res = self.restore("-b", missing, "--check")
        self.assertEqual(res.rc, 1)
        self.assertIn("ERROR: Backup directory does not exist: " + missing, res.err_lines)

    def make_chain(self):
        """A full backup and an incremental one on it, as --incremental
        leaves them: the incremental image has the full one's image behind it."""
        full = self.make_backup("2026-03-01_02-00-05", nvram=False)
        inc = self.make_backup("2026-03-02_02-00-05", nvram=False)
        image = os.path.join(inc, "web01-vda.qcow2")
        subprocess.run([REAL_QEMU_IMG, "rebase", "-u", "-F", "qcow2", "-b",
                        "../2026-03-01_02-00-05/web01-vda.qcow2", image], check=True)
        for d, record in [(full, "kind=full\ncheckpoint=quorlane-2026-03-01_02-00-05\n"),
                          (inc, "kind=incremental\nparent=2026-03-01_02-00-05\n")]:
            with open(os.path.join(d, "web01.chain"), "w") as f:
                f.write(record + "disk=vda 65536\n")
        return full, inc

    def test_an_incremental_backup_is_checked_with_its_whole_chain(self):
        full, inc = self.make_chain()
        listed = self.restore("-n", self.vm, "-r", self.root, "--list")
        self.assertEqual([line.split("  ")[-1] for line in listed.out.splitlines()],
                         ["kind: incremental, parent 2026-03-01_02-00-05", "kind: full"])
        res = self.check()
        self.assertEqual((res.rc, res.err), (0, ""))
        self.assertIn("  chain: " + full, res.out_lines)
        self.assertIn(["qemu-img", "check", "-q", "-f", "qcow2", os.path.join(full, "web01-vda.qcow2")],
                      self.box.calls("qemu-img"))
        # A restore of it writes a standalone image holding the whole chain.
        copies = self.box.path("copies")
        os.makedirs(copies)
        self.use(real_qemu_img() + [{"prog": "virsh", "args": ["domstate", "copy"], "exit": 1,
                                     "stderr": "error: failed to get domain 'copy'\n"}])
        self.assertEqual(self.restore("-b", inc, "--as", "copy", "-i", copies).rc, 0)
        restored = os.path.join(copies, "copy-vda.qcow2")
        info = subprocess.run([REAL_QEMU_IMG, "info", restored], capture_output=True, text=True)
        self.assertNotIn("backing file", info.stdout)
        self.assertEqual(subprocess.run([REAL_QEMU_IMG, "compare", "-q", restored,
                                         os.path.join(inc, "web01-vda.qcow2")]).returncode, 0)
        # The VM's backups moved together to another root are still one chain.
        moved = self.box.path("moved")
        os.rename(self.root, moved)
        self.assertEqual(self.restore("-n", self.vm, "-r", moved, "--check").rc, 0)
        os.rename(os.path.join(moved, self.vm, os.path.basename(full)), self.box.path("aside"))
        res = self.restore("-n", self.vm, "-r", moved, "--check")
        self.assertEqual(res.rc, 3)
        self.assertIn("ERROR: The chain of this incremental backup is broken: backup "
                      "2026-03-01_02-00-05 of the chain is missing: %s/%s/2026-03-01_02-00-05"
                      % (moved, self.vm), res.err_lines)


if __name__ == "__main__":
    unittest.main()
